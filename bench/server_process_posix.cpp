#include "server_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

std::optional<std::uint16_t> parsePortLine(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        std::size_t end = i;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r')
            ++end;
        std::string_view word = line.substr(i, end - i);
        i = end;
        // Punctuation around a word ("(port 5)", "5,") is not part of it.
        while (!word.empty() && (word.front() == '(' || word.front() == '['))
            word.remove_prefix(1);
        while (!word.empty() && (word.back() == ')' || word.back() == ']' || word.back() == ',' ||
                                 word.back() == ';'))
            word.remove_suffix(1);
        if (word.empty() || word.size() > 5)
            continue;
        std::uint32_t value = 0;
        bool digits = true;
        for (char c : word) {
            if (c < '0' || c > '9') {
                digits = false;
                break;
            }
            value = value * 10 + static_cast<std::uint32_t>(c - '0');
        }
        if (digits && value >= 1 && value <= 65535)
            return static_cast<std::uint16_t>(value);
    }
    return std::nullopt;
}

bool pinCurrentThread(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

bool pinProcess(int pid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    const std::string dir = pid > 0 ? "/proc/" + std::to_string(pid) + "/task" : "/proc/self/task";
    DIR* d = opendir(dir.c_str());
    if (!d)
        return false;
    bool ok = true;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        // A thread that ended in the meantime is no failure.
        if (sched_setaffinity(std::atoi(e->d_name), sizeof set, &set) != 0 && errno != ESRCH)
            ok = false;
    }
    closedir(d);
    return ok;
}

bool ServerProcess::pin(int cpu) {
    return pid_ > 0 && pinProcess(pid_, cpu);
}

ServerProcess::~ServerProcess() {
    stop();
}

bool ServerProcess::start(const std::string& program, const std::vector<std::string>& args, int cpu,
                          int timeoutMs) {
    stop();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {fds[0], fds[1], in[0], in[1]})
            ::close(fd);
        return false;
    }
    if (pid == 0) {
        // Child: only async-signal-safe calls until exec.
        dup2(fds[1], STDOUT_FILENO);
        dup2(in[0], STDIN_FILENO);
        if (cpu >= 0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            sched_setaffinity(0, sizeof set, &set);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ::close(fds[1]);
    ::close(in[0]);
    pid_ = pid;
    outFd_ = fds[0];
    inFd_ = in[1];

    // First line, with a deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string rest;
    bool gotLine = false;
    while (!gotLine) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        pollfd p{outFd_, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        char c;
        const ssize_t n = read(outFd_, &c, 1);
        if (n <= 0)
            break;
        if (c == '\n')
            gotLine = true;
        else
            firstLine_.push_back(c);
    }
    const auto port = gotLine ? parsePortLine(firstLine_) : std::nullopt;
    if (!port) {
        stop();
        return false;
    }
    port_ = *port;
    // Keep reading what the server prints, so that it never blocks on a full pipe.
    stopDrain_ = false;
    drain_ = std::thread([this, fd = outFd_] {
        char buf[4096];
        while (!stopDrain_) {
            pollfd p{fd, POLLIN, 0};
            const int r = poll(&p, 1, 100);
            if (r <= 0)
                continue;
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EINTR))
                break;
        }
    });
    return true;
}

void ServerProcess::stop() {
    if (inFd_ >= 0)
        ::close(inFd_);
    inFd_ = -1;
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 300 && !ended; ++i) { // up to 3 s
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            ended = r == pid_ || (r < 0 && errno != EINTR);
            if (!ended)
                usleep(10000);
        }
        if (!ended) {
            kill(pid_, SIGKILL);
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
        pid_ = -1;
    }
    stopDrain_ = true;
    if (drain_.joinable())
        drain_.join();
    if (outFd_ >= 0)
        ::close(outFd_);
    outFd_ = -1;
    port_ = 0;
}

} // namespace bench
