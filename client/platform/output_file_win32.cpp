#include "output_file.h"

#include <windows.h>

namespace dravolin::os {

OutputFile::~OutputFile() {
    close();
}

bool OutputFile::open(const std::string& path) {
    close();
    error_ = 0;
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error_ = ::GetLastError();
        return false;
    }
    handle_ = file;
    failed_ = false;
    buffer_.reserve(kBufferSize);
    return true;
}

bool OutputFile::flush() {
    std::size_t done = 0;
    while (!failed_ && done < buffer_.size()) {
        DWORD written = 0;
        const BOOL wrote =
            ::WriteFile(static_cast<HANDLE>(handle_), buffer_.data() + done,
                        static_cast<DWORD>(buffer_.size() - done), &written, nullptr);
        if (!wrote || written == 0) {
            if (error_ == 0) {
                error_ = wrote ? ERROR_DISK_FULL : ::GetLastError();
            }
            failed_ = true;
            break;
        }
        done += written;
    }
    buffer_.clear();
    return !failed_;
}

bool OutputFile::closeHandle() {
    if (::CloseHandle(static_cast<HANDLE>(handle_)) != FALSE) {
        return true;
    }
    if (error_ == 0) {
        error_ = ::GetLastError();
    }
    return false;
}

} // namespace dravolin::os
