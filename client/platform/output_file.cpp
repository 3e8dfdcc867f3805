// The platform-independent part of the local log file: buffering and closing.
#include "output_file.h"

namespace dravolin::os {

bool OutputFile::write(const char* data, std::size_t length) {
    if (!handle_ || failed_) {
        return false;
    }
    if (buffer_.size() + length > kBufferSize && !flush()) {
        return false;
    }
    if (length >= kBufferSize) {
        buffer_.assign(data, length);
        return flush();
    }
    buffer_.append(data, length);
    return true;
}

bool OutputFile::close() {
    if (!handle_) {
        return !failed_;
    }
    flush();
    if (!closeHandle()) {
        failed_ = true;
    }
    handle_ = nullptr;
    return !failed_;
}

} // namespace dravolin::os
