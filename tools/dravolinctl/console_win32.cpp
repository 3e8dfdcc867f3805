#include <windows.h>

#include <cstdlib>
#include <iostream>

#include "console.h"

namespace dravolinctl {

namespace {

bool isConsole(DWORD which) {
    DWORD mode = 0;
    const HANDLE h = GetStdHandle(which);
    return h != INVALID_HANDLE_VALUE && h != nullptr && GetConsoleMode(h, &mode) != 0;
}

// Restores the console's echo when the read ends, also on an exception.
class EchoOff final : public EchoGuard {
  public:
    EchoOff() : handle_(GetStdHandle(STD_INPUT_HANDLE)) {
        if (GetConsoleMode(handle_, &saved_))
            active_ = SetConsoleMode(handle_, saved_ & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) != 0;
    }
    ~EchoOff() {
        if (active_)
            SetConsoleMode(handle_, saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    HANDLE handle_;
    DWORD saved_ = 0;
    bool active_ = false;
};

class Win32Console final : public SystemConsole {
  public:
    bool stdinIsTerminal() const override { return isConsole(STD_INPUT_HANDLE); }
    bool stderrIsTerminal() const override { return isConsole(STD_ERROR_HANDLE); }

    int terminalWidth() const override {
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
            const int width = info.srWindow.Right - info.srWindow.Left + 1;
            if (width > 0)
                return width;
        }
        return 80;
    }

  protected:
    std::unique_ptr<EchoGuard> echoOff() override { return std::make_unique<EchoOff>(); }
};

} // namespace

std::unique_ptr<Console> makeSystemConsole() {
    return std::make_unique<Win32Console>();
}

} // namespace dravolinctl
