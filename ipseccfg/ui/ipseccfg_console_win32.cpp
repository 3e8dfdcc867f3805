// Entry of the console twin DravolinIPSecCfg.com. Shells try .COM before
// .EXE, so the bare program name typed in a console lands here: the run
// waits, results go to standard output, messages to standard error, one line
// each. Without arguments it opens the dialog by running the window program
// beside it and hands on that program's exit code.
#include <windows.h>

#include <string>

#include "ipseccfg_app_win32.h"

namespace {

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (handle_ != nullptr)
            CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

std::wstring ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring FromUtf8(std::string_view text) {
    if (text.empty())
        return {};
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            size);
    return wide;
}

class ConsoleFrontend final : public ipseccfg::ProgramFrontend {
  public:
    void Print(std::string_view text) override { Write(STD_OUTPUT_HANDLE, text); }
    void Message(std::string_view line) override {
        Write(STD_ERROR_HANDLE, std::string(line) + "\n");
    }

    int RunWithoutArguments() override {
        const std::wstring program = ProgramFolder() + L"DravolinIPSecCfg.exe";
        std::wstring commandLine = L"\"" + program + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                            nullptr, nullptr, &startup, &info)) {
            Message("DravolinIPSecCfg.exe could not be started.");
            return ipseccfg::kExitApplyFailed;
        }
        Handle process(info.hProcess);
        Handle thread(info.hThread);
        DWORD code = ipseccfg::kExitApplyFailed;
        if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process.get(), &code))
            return ipseccfg::kExitApplyFailed;
        return static_cast<int>(code);
    }

  private:
    // Text for a console window goes through the wide console call, so every
    // character shows whatever the console's code page; redirected output is
    // UTF-8 with CR LF line ends.
    static void Write(DWORD which, std::string_view text) {
        HANDLE out = GetStdHandle(which);
        if (out == nullptr || out == INVALID_HANDLE_VALUE)
            return;
        std::string crlf;
        for (char c : text) {
            if (c == '\n')
                crlf += '\r';
            crlf += c;
        }
        DWORD mode = 0;
        if (GetConsoleMode(out, &mode)) {
            const std::wstring wide = FromUtf8(crlf);
            DWORD written = 0;
            WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
            return;
        }
        std::size_t done = 0;
        while (done < crlf.size()) {
            DWORD written = 0;
            if (!WriteFile(out, crlf.data() + done, static_cast<DWORD>(crlf.size() - done),
                           &written, nullptr) ||
                written == 0)
                return;
            done += written;
        }
    }
};

} // namespace

int main() {
    ConsoleFrontend frontend;
    ipseccfg::CDravolinIPSecCfgApp app(frontend);
    return app.Run();
}
