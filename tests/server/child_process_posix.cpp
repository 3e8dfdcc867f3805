#include "child_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

struct ChildProcess::Impl {
    pid_t pid = -1;
    int in = -1;  // our end of the child's standard input
    int out = -1; // our end of the child's standard output
    std::string buffered;
    bool reaped = false;
    int status = -1;
};

ChildProcess::ChildProcess() : impl_(new Impl) {}

ChildProcess::~ChildProcess() {
    if (impl_->pid > 0 && !impl_->reaped) {
        ::kill(impl_->pid, SIGKILL);
        ::waitpid(impl_->pid, nullptr, 0);
    }
    closeInput();
    if (impl_->out >= 0)
        ::close(impl_->out);
    delete impl_;
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args) {
    int inPipe[2], outPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        ::close(inPipe[0]);
        ::close(inPipe[1]);
        return false;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(inPipe[0], 0);
        ::dup2(outPipe[1], 1);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    if (pid < 0) {
        ::close(inPipe[1]);
        ::close(outPipe[0]);
        return false;
    }
    impl_->pid = pid;
    impl_->in = inPipe[1];
    impl_->out = outPipe[0];
    return true;
}

bool ChildProcess::readLine(std::string& line, unsigned timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::size_t lf = impl_->buffered.find('\n');
        if (lf != std::string::npos) {
            line = impl_->buffered.substr(0, lf);
            impl_->buffered.erase(0, lf + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return false;
        pollfd p{impl_->out, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char buf[512];
        ssize_t n = ::read(impl_->out, buf, sizeof buf);
        if (n <= 0)
            return false;
        impl_->buffered.append(buf, static_cast<std::size_t>(n));
    }
}

void ChildProcess::closeInput() {
    if (impl_->in >= 0) {
        ::close(impl_->in);
        impl_->in = -1;
    }
}

void ChildProcess::requestStop() {
    if (impl_->pid > 0 && !impl_->reaped)
        ::kill(impl_->pid, SIGTERM);
}

int ChildProcess::wait(unsigned timeoutMs) {
    if (impl_->pid <= 0)
        return -1;
    if (impl_->reaped)
        return impl_->status;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int st = 0;
        pid_t r = ::waitpid(impl_->pid, &st, WNOHANG);
        if (r == impl_->pid) {
            impl_->reaped = true;
            impl_->status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return impl_->status;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string siblingProgram(const std::string& name) {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return name;
    std::string self(path, static_cast<std::size_t>(n));
    return self.substr(0, self.find_last_of('/') + 1) + name;
}

} // namespace testsupport
