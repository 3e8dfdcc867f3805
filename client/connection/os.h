// Small OS services of the connection layer.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace dravolin::os {

// Separator appended to a log directory that has none.
char pathSeparator();

// Full path of the host program's executable; empty when unknown.
std::string executablePath();

// The system's message text for an error code (socket codes included); nullopt when the
// system has none.
std::optional<std::string> systemMessage(std::uint32_t code);

// Parking a thread on a 32-bit word, for the library's waits. waitWord blocks while `word`
// holds `expected` and returns once woken or the word changed (it may also return early);
// wakeWord wakes the threads parked on `word`, and must follow the change of the word that
// they wait for. Linux: a futex on the word itself.
void waitWord(std::atomic<std::int32_t>& word, std::int32_t expected);
void wakeWord(std::atomic<std::int32_t>& word);

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
