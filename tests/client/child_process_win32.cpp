#include "child_process.h"

#include <windows.h>

namespace testpeer {

struct ChildProcess::Impl {
    HANDLE process = nullptr;
    HANDLE in = nullptr;  // its standard input
    HANDLE out = nullptr; // its standard output
    std::string buffer;
    int status = -1;
};

namespace {
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

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : impl_(std::make_unique<Impl>()) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
    if (!::CreatePipe(&inRead, &inWrite, &inherit, 0)) {
        return;
    }
    if (!::CreatePipe(&outRead, &outWrite, &inherit, 0)) {
        ::CloseHandle(inRead);
        ::CloseHandle(inWrite);
        return;
    }
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
    if (::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                         &pi)) {
        ::CloseHandle(pi.hThread);
        impl_->process = pi.hProcess;
    }
    ::CloseHandle(inRead);
    ::CloseHandle(outWrite);
    impl_->in = inWrite;
    impl_->out = outRead;
}

ChildProcess::~ChildProcess() {
    if (finish(std::chrono::milliseconds(10000)) == -1 && impl_->process) {
        ::TerminateProcess(impl_->process, 1);
        ::WaitForSingleObject(impl_->process, 5000);
    }
    if (impl_->process) {
        ::CloseHandle(impl_->process);
    }
    if (impl_->out) {
        ::CloseHandle(impl_->out);
    }
}

bool ChildProcess::running() const {
    return impl_->process != nullptr;
}

std::string ChildProcess::readLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto lf = impl_->buffer.find('\n');
        if (lf != std::string::npos) {
            std::string line = impl_->buffer.substr(0, lf);
            impl_->buffer.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        DWORD available = 0;
        if (!::PeekNamedPipe(impl_->out, nullptr, 0, nullptr, &available, nullptr)) {
            return {};
        }
        if (available == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                return {};
            }
            ::Sleep(5);
            continue;
        }
        char chunk[512];
        DWORD got = 0;
        if (!::ReadFile(impl_->out, chunk, available < sizeof chunk ? available : sizeof chunk,
                        &got, nullptr) ||
            got == 0) {
            return {};
        }
        impl_->buffer.append(chunk, got);
    }
}

int ChildProcess::finish(std::chrono::milliseconds limit) {
    if (impl_->in) {
        ::CloseHandle(impl_->in);
        impl_->in = nullptr;
    }
    if (!impl_->process) {
        return impl_->status;
    }
    if (::WaitForSingleObject(impl_->process, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
        return -1;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(impl_->process, &code);
    ::CloseHandle(impl_->process);
    impl_->process = nullptr;
    impl_->status = static_cast<int>(code);
    return impl_->status;
}

} // namespace testpeer
