#include "child_process.h"

#include <windows.h>

namespace testsupport {

namespace {
void closeHandle(HANDLE& h) {
    if (h) {
        ::CloseHandle(h);
        h = nullptr;
    }
}

std::string quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        return arg;
    }
    std::string q = "\"";
    for (char c : arg) {
        if (c == '"') {
            q += '\\';
        }
        q += c;
    }
    return q + "\"";
}
} // namespace

struct ChildProcess::Impl {
    HANDLE process = nullptr; // until it is seen to end
    HANDLE in = nullptr;      // our end of its standard input
    HANDLE out = nullptr;     // our end of its standard output
    std::string buffer;
    int status = -1;

    ~Impl() {
        if (process) {
            ::TerminateProcess(process, 1);
            ::WaitForSingleObject(process, 5000);
        }
        closeHandle(process);
        closeHandle(in);
        closeHandle(out);
    }
};

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : ChildProcess() {
    start(program, arguments);
}

ChildProcess::~ChildProcess() {
    finish(std::chrono::milliseconds(10000)); // then Impl terminates what is still running
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
    if (!::CreatePipe(&inRead, &inWrite, &inherit, 0)) {
        return false;
    }
    if (!::CreatePipe(&outRead, &outWrite, &inherit, 0)) {
        closeHandle(inRead);
        closeHandle(inWrite);
        return false;
    }
    // Our ends stay in this process.
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    std::string command = quoted(program);
    for (const auto& a : arguments) {
        command += " " + quoted(a);
    }
    PROCESS_INFORMATION pi{};
    const bool started = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                          nullptr, nullptr, &si, &pi) != FALSE;
    closeHandle(inRead);
    closeHandle(outWrite);
    if (!started) {
        closeHandle(inWrite);
        closeHandle(outRead);
        return false;
    }
    ::CloseHandle(pi.hThread);
    impl_->process = pi.hProcess;
    impl_->in = inWrite;
    impl_->out = outRead;
    return true;
}

bool ChildProcess::running() const {
    return impl_->process != nullptr;
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
        DWORD available = 0;
        if (!impl_->out || !::PeekNamedPipe(impl_->out, nullptr, 0, nullptr, &available, nullptr)) {
            return false;
        }
        if (available == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            ::Sleep(5);
            continue;
        }
        char chunk[512];
        DWORD got = 0;
        if (!::ReadFile(impl_->out, chunk, available < sizeof chunk ? available : sizeof chunk,
                        &got, nullptr) ||
            got == 0) {
            return false;
        }
        impl_->buffer.append(chunk, got);
    }
}

void ChildProcess::closeInput() {
    closeHandle(impl_->in);
}

void ChildProcess::requestStop() {
    if (impl_->process) {
        ::TerminateProcess(impl_->process, 1);
    }
}

int ChildProcess::wait(std::chrono::milliseconds limit) {
    if (!impl_->process) {
        return impl_->status;
    }
    if (::WaitForSingleObject(impl_->process, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
        return -1;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(impl_->process, &code);
    closeHandle(impl_->process);
    impl_->status = static_cast<int>(code);
    return impl_->status;
}

int ChildProcess::finish(std::chrono::milliseconds limit) {
    closeInput();
    return wait(limit);
}

std::string siblingProgram(const std::string& name) {
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string self(path, n);
    return self.substr(0, self.find_last_of("\\/") + 1) + name + ".exe";
}

} // namespace testsupport
