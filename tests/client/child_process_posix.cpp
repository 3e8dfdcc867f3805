#include "child_process.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace testpeer {

struct ChildProcess::Impl {
    pid_t pid = -1;
    int in = -1;  // its standard input
    int out = -1; // its standard output
    std::string buffer;
    int status = -1;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : impl_(std::make_unique<Impl>()) {
    int inPipe[2];
    int outPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0) {
        return;
    }
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        ::close(inPipe[0]);
        ::close(inPipe[1]);
        return;
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
    if (::posix_spawn(&impl_->pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        impl_->pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    impl_->in = inPipe[1];
    impl_->out = outPipe[0];
}

ChildProcess::~ChildProcess() {
    if (finish(std::chrono::milliseconds(10000)) == -1 && impl_->pid > 0) {
        ::kill(impl_->pid, SIGKILL);
        ::waitpid(impl_->pid, nullptr, 0);
        impl_->pid = -1;
    }
    if (impl_->out >= 0) {
        ::close(impl_->out);
    }
}

bool ChildProcess::running() const {
    return impl_->pid > 0;
}

std::string ChildProcess::readLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto lf = impl_->buffer.find('\n');
        if (lf != std::string::npos) {
            std::string line = impl_->buffer.substr(0, lf);
            impl_->buffer.erase(0, lf + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{impl_->out, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return {};
        }
        char chunk[512];
        const ssize_t n = ::read(impl_->out, chunk, sizeof chunk);
        if (n <= 0) {
            return {};
        }
        impl_->buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

int ChildProcess::finish(std::chrono::milliseconds limit) {
    if (impl_->in >= 0) {
        ::close(impl_->in);
        impl_->in = -1;
    }
    if (impl_->pid <= 0) {
        return impl_->status;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (::waitpid(impl_->pid, &status, WNOHANG) == impl_->pid) {
            impl_->pid = -1;
            impl_->status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return impl_->status;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace testpeer
