// A local file written start to end: the service log that "getlog" copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dravolin::os {

// A local file written start to end, created or truncated, readable and writable by others
// meanwhile. Writes are buffered; close() flushes.
class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool open(const std::string& path);
    bool isOpen() const { return handle_ != nullptr; }
    // False once a write failed.
    bool write(const char* data, std::size_t length);
    // Flushes and closes; false when anything failed.
    bool close();
    // The system error code of the first failure (open, write or close); 0 when none.
    std::uint32_t error() const { return error_; }

  private:
    static constexpr std::size_t kBufferSize = 64 * 1024;
    bool flush();
    bool closeHandle(); // the OS close of handle_
    void* handle_ = nullptr;
    bool failed_ = false;
    std::uint32_t error_ = 0;
    std::string buffer_;
};

} // namespace dravolin::os
