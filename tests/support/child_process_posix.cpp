#include "child_process.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {
void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}
} // namespace

struct ChildProcess::Impl {
    pid_t pid = -1; // until it is reaped
    int in = -1;    // our end of its standard input
    int out = -1;   // our end of its standard output
    std::string buffer;
    int status = -1;

    ~Impl() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        closeFd(in);
        closeFd(out);
    }
};

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : ChildProcess() {
    start(program, arguments);
}

ChildProcess::~ChildProcess() {
    finish(std::chrono::milliseconds(10000)); // then Impl kills what is still running
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments) {
    int inPipe[2];
    int outPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0) {
        return false;
    }
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        ::close(inPipe[0]);
        ::close(inPipe[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const bool started =
        ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    if (!started) {
        ::close(inPipe[1]);
        ::close(outPipe[0]);
        return false;
    }
    impl_->pid = pid;
    impl_->in = inPipe[1];
    impl_->out = outPipe[0];
    return true;
}

bool ChildProcess::running() const {
    return impl_->pid > 0;
}

bool ChildProcess::readLine(std::string& line, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto lf = impl_->buffer.find('\n');
        if (lf != std::string::npos) {
            line = impl_->buffer.substr(0, lf);
            impl_->buffer.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return true;
        }
        if (impl_->out < 0) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{impl_->out, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        char chunk[512];
        const ssize_t n = ::read(impl_->out, chunk, sizeof chunk);
        if (n <= 0) {
            return false;
        }
        impl_->buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

void ChildProcess::closeInput() {
    closeFd(impl_->in);
}

void ChildProcess::requestStop() {
    if (impl_->pid > 0) {
        ::kill(impl_->pid, SIGTERM);
    }
}

int ChildProcess::wait(std::chrono::milliseconds limit) {
    if (impl_->pid <= 0) {
        return impl_->status;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (::waitpid(impl_->pid, &status, WNOHANG) == impl_->pid) {
            impl_->pid = -1;
            impl_->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return impl_->status;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ChildProcess::finish(std::chrono::milliseconds limit) {
    closeInput();
    return wait(limit);
}

std::string siblingProgram(const std::string& name) {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return name;
    }
    const std::string self(path, static_cast<std::size_t>(n));
    return self.substr(0, self.find_last_of('/') + 1) + name;
}

} // namespace testsupport
