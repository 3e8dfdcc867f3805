#include "console.h"

#include <cstdlib>
#include <iostream>

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace dravolinctl {

namespace {

// Restores the terminal's echo when the read ends, also on an exception.
class EchoOff final : public EchoGuard {
  public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &saved_) == 0) {
            termios quiet = saved_;
            quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
            active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
        }
    }
    ~EchoOff() {
        if (active_)
            tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

class PosixConsole final : public SystemConsole {
  public:
    bool stdinIsTerminal() const override { return isatty(STDIN_FILENO) == 1; }
    bool stderrIsTerminal() const override { return isatty(STDERR_FILENO) == 1; }

    int terminalWidth() const override {
        winsize ws{};
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
            return ws.ws_col;
        return 80;
    }

  protected:
    std::unique_ptr<EchoGuard> echoOff() override {
        return std::make_unique<EchoOff>(STDIN_FILENO);
    }
};

} // namespace

std::unique_ptr<Console> makeSystemConsole() {
    return std::make_unique<PosixConsole>();
}

} // namespace dravolinctl
