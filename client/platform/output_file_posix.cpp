#include "output_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace dravolin::os {

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
