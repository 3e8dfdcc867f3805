// Bodies of "getlog" replies, produced piece by piece so that a log of
// hundreds of megabytes never sits in memory.
//
// Every body line ends in CR LF, holds no CR, LF or NUL, and is never empty:
// an empty line (or a lone CR before CR LF) would end the reply early.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

namespace dravolin::testserver {

class LogBody {
  public:
    virtual ~LogBody() = default;
    // Exact number of bytes read() will produce in all.
    virtual std::uint64_t size() const = 0;
    // Up to `capacity` next bytes; 0 at the end (or when the source failed).
    virtual std::size_t read(char* buffer, std::size_t capacity) = 0;
};

// A deterministic text body of a requested size. Line k (from 1) is the
// 10-digit line number, a blank, and letters 'a' + (k + i) % 26 for the
// remaining positions i (counted from the start of the line), then CR LF;
// lines are 64 bytes with CR LF, except the last, which takes the remainder
// (65 or 66 bytes when the remainder is 1 or 2). Sizes 1 and 2 cannot be
// written as a line and give a 3-byte body.
class GeneratedLog final : public LogBody {
  public:
    static constexpr std::size_t kLineSize = 64;
    explicit GeneratedLog(std::uint64_t size);
    std::uint64_t size() const override { return size_; }
    std::size_t read(char* buffer, std::size_t capacity) override;

    // The size a request for `requested` bytes actually gives.
    static std::uint64_t effectiveSize(std::uint64_t requested);

  private:
    std::uint64_t lineLength(std::uint64_t line) const; // with CR LF, line from 1
    std::uint64_t size_;
    std::uint64_t lines_ = 0;
    std::uint64_t lastLength_ = 0;
    std::uint64_t line_ = 1;   // line being produced
    std::uint64_t inLine_ = 0; // bytes of it already produced
    std::uint64_t produced_ = 0;
};

// Turns arbitrary file bytes into body lines, piece by piece: LF ends a line
// (a CR right before it is dropped), other CRs and NULs become blanks, an
// empty line becomes one blank, and a last line without LF is ended.
class LineNormalizer {
  public:
    // Appends the normalized form of `size` input bytes to out.
    void feed(const char* data, std::size_t size, std::string& out);
    // Appends what the end of input still needs.
    void finish(std::string& out);

  private:
    bool lineEmpty_ = true;
    bool pendingCr_ = false;
};

// A file served as the log: its bytes normalized as above. The size is
// measured by one pass at open; the file is then read again while sending.
class FileLog final : public LogBody {
  public:
    // Null when the file cannot be opened.
    static std::unique_ptr<FileLog> open(const std::string& path);
    std::uint64_t size() const override { return size_; }
    std::size_t read(char* buffer, std::size_t capacity) override;

  private:
    FileLog() = default;
    std::ifstream in_;
    std::uint64_t size_ = 0;
    std::uint64_t produced_ = 0;
    LineNormalizer normalizer_;
    std::string pending_;
    std::size_t pendingPos_ = 0;
    bool finished_ = false;
};

// Writes the whole body to a file (for tests that compare a received log).
bool writeBody(LogBody& body, const std::string& path);

} // namespace dravolin::testserver
