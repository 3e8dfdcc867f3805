#include "child_process.h"

#include <windows.h>

#include <chrono>
#include <thread>

namespace testsupport {

struct ChildProcess::Impl {
    HANDLE process = nullptr;
    HANDLE in = nullptr;  // our end of the child's standard input
    HANDLE out = nullptr; // our end of the child's standard output
    std::string buffered;
};

namespace {
void closeHandle(HANDLE& h) {
    if (h) {
        CloseHandle(h);
        h = nullptr;
    }
}

std::string quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string q = "\"";
    for (char c : arg) {
        if (c == '"')
            q += '\\';
        q += c;
    }
    return q + "\"";
}
} // namespace

ChildProcess::ChildProcess() : impl_(new Impl) {}

ChildProcess::~ChildProcess() {
    if (impl_->process) {
        if (WaitForSingleObject(impl_->process, 0) != WAIT_OBJECT_0) {
            TerminateProcess(impl_->process, 1);
            WaitForSingleObject(impl_->process, 5000);
        }
        closeHandle(impl_->process);
    }
    closeHandle(impl_->in);
    closeHandle(impl_->out);
    delete impl_;
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr;
    if (!CreatePipe(&childIn, &impl_->in, &sa, 0))
        return false;
    if (!CreatePipe(&impl_->out, &childOut, &sa, 0)) {
        closeHandle(childIn);
        return false;
    }
    // Our ends stay in this process.
    SetHandleInformation(impl_->in, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(impl_->out, HANDLE_FLAG_INHERIT, 0);
    std::string cmd = quote(program);
    for (auto& a : args)
        cmd += " " + quote(a);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = childIn;
    si.hStdOutput = childOut;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    BOOL ok =
        CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    closeHandle(childIn);
    closeHandle(childOut);
    if (!ok)
        return false;
    CloseHandle(pi.hThread);
    impl_->process = pi.hProcess;
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
        DWORD avail = 0;
        if (!PeekNamedPipe(impl_->out, nullptr, 0, nullptr, &avail, nullptr))
            return false;
        if (avail == 0) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        char buf[512];
        DWORD n = 0;
        if (!ReadFile(impl_->out, buf, avail < sizeof buf ? avail : sizeof buf, &n, nullptr) ||
            n == 0)
            return false;
        impl_->buffered.append(buf, n);
    }
}

void ChildProcess::closeInput() {
    closeHandle(impl_->in);
}

void ChildProcess::requestStop() {
    if (impl_->process)
        TerminateProcess(impl_->process, 1);
}

int ChildProcess::wait(unsigned timeoutMs) {
    if (!impl_->process || WaitForSingleObject(impl_->process, timeoutMs) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(impl_->process, &code);
    return static_cast<int>(code);
}

std::string siblingProgram(const std::string& name) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, n);
    return self.substr(0, self.find_last_of("\\/") + 1) + name + ".exe";
}

} // namespace testsupport
