#include "os.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

namespace dravolin::os {

char pathSeparator() {
    return '/';
}

namespace {
static_assert(sizeof(std::atomic<std::int32_t>) == sizeof(std::int32_t) &&
                  std::atomic<std::int32_t>::is_always_lock_free,
              "the futex works on the atomic's own word");

std::int32_t* futexWord(std::atomic<std::int32_t>& word) {
    return reinterpret_cast<std::int32_t*>(&word);
}
} // namespace

void waitWord(std::atomic<std::int32_t>& word, std::int32_t expected) {
    // EAGAIN (the word changed), EINTR and a wake all return to the caller, which looks again.
    ::syscall(SYS_futex, futexWord(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void wakeWord(std::atomic<std::int32_t>& word) {
    ::syscall(SYS_futex, futexWord(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

std::string executablePath() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return {};
    }
    return std::string(path, static_cast<std::size_t>(n));
}

std::optional<std::string> systemMessage(std::uint32_t code) {
    if (code == 0 || code > INT_MAX) {
        return std::nullopt;
    }
    char buffer[512];
    errno = 0;
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    if (!text || std::strncmp(text, "Unknown error", 13) == 0) {
        return std::nullopt;
    }
    return std::string(text);
}

namespace {
int fdOf(void* handle) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)) - 1;
}
} // namespace

OutputFile::~OutputFile() {
    close();
}

bool OutputFile::open(const std::string& path) {
    close();
    error_ = 0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error_ = static_cast<std::uint32_t>(errno);
        return false;
    }
    handle_ = reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1);
    failed_ = false;
    buffer_.reserve(kBufferSize);
    return true;
}

bool OutputFile::flush() {
    std::size_t done = 0;
    while (!failed_ && done < buffer_.size()) {
        const ssize_t n = ::write(fdOf(handle_), buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (error_ == 0) {
                error_ = static_cast<std::uint32_t>(n < 0 ? errno : ENOSPC);
            }
            failed_ = true;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
    return !failed_;
}

bool OutputFile::closeHandle() {
    if (::close(fdOf(handle_)) == 0) {
        return true;
    }
    if (error_ == 0) {
        error_ = static_cast<std::uint32_t>(errno);
    }
    return false;
}

} // namespace dravolin::os
