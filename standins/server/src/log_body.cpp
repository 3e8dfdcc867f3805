#include "log_body.h"

#include <algorithm>
#include <vector>

namespace dravolin::testserver {

std::uint64_t GeneratedLog::effectiveSize(std::uint64_t requested) {
    return requested == 1 || requested == 2 ? 3 : requested;
}

GeneratedLog::GeneratedLog(std::uint64_t size) : size_(effectiveSize(size)) {
    std::uint64_t full = size_ / kLineSize;
    std::uint64_t rest = size_ % kLineSize;
    if (rest == 0) {
        lines_ = full;
        lastLength_ = kLineSize;
    } else if (rest >= 3) {
        lines_ = full + 1;
        lastLength_ = rest;
    } else {
        // Too short for a line of its own: the last full line takes it.
        lines_ = full;
        lastLength_ = kLineSize + rest;
    }
}

std::uint64_t GeneratedLog::lineLength(std::uint64_t line) const {
    return line == lines_ ? lastLength_ : kLineSize;
}

std::size_t GeneratedLog::read(char* buffer, std::size_t capacity) {
    std::size_t n = 0;
    while (n < capacity && line_ <= lines_) {
        const std::uint64_t len = lineLength(line_);
        const std::uint64_t textLen = len - 2;
        while (n < capacity && inLine_ < len) {
            const std::uint64_t i = inLine_;
            char c;
            if (i >= textLen) {
                c = i == textLen ? '\r' : '\n';
            } else if (i < 10) {
                std::uint64_t v = line_;
                for (std::uint64_t d = 9; d > i; --d)
                    v /= 10;
                c = static_cast<char>('0' + v % 10);
            } else if (i == 10) {
                c = ' ';
            } else {
                c = static_cast<char>('a' + (line_ + i) % 26);
            }
            buffer[n++] = c;
            ++inLine_;
        }
        if (inLine_ == len) {
            ++line_;
            inLine_ = 0;
        }
    }
    produced_ += n;
    return n;
}

void LineNormalizer::feed(const char* data, std::size_t size, std::string& out) {
    for (std::size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (pendingCr_) {
            pendingCr_ = false;
            if (c != '\n') {
                out.push_back(' ');
                lineEmpty_ = false;
            }
        }
        if (c == '\n') {
            if (lineEmpty_)
                out.push_back(' ');
            out += "\r\n";
            lineEmpty_ = true;
        } else if (c == '\r') {
            pendingCr_ = true;
        } else {
            out.push_back(c == '\0' ? ' ' : c);
            lineEmpty_ = false;
        }
    }
}

void LineNormalizer::finish(std::string& out) {
    if (pendingCr_) {
        pendingCr_ = false;
        out.push_back(' ');
        lineEmpty_ = false;
    }
    if (!lineEmpty_) {
        out += "\r\n";
        lineEmpty_ = true;
    }
}

std::unique_ptr<FileLog> FileLog::open(const std::string& path) {
    std::unique_ptr<FileLog> log(new FileLog());
    log->in_.open(path, std::ios::binary);
    if (!log->in_)
        return nullptr;
    // First pass: the size after normalization.
    std::vector<char> chunk(64 * 1024);
    std::string out;
    LineNormalizer measure;
    std::uint64_t total = 0;
    while (log->in_) {
        log->in_.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        std::streamsize got = log->in_.gcount();
        if (got <= 0)
            break;
        out.clear();
        measure.feed(chunk.data(), static_cast<std::size_t>(got), out);
        total += out.size();
    }
    out.clear();
    measure.finish(out);
    total += out.size();
    log->size_ = total;
    log->in_.clear();
    log->in_.seekg(0);
    if (!log->in_)
        return nullptr;
    return log;
}

std::size_t FileLog::read(char* buffer, std::size_t capacity) {
    std::size_t n = 0;
    std::vector<char> chunk;
    while (n < capacity && produced_ < size_) {
        if (pendingPos_ < pending_.size()) {
            std::size_t take = std::min(capacity - n, pending_.size() - pendingPos_);
            // Never more than the measured size, even if the file grew.
            take = static_cast<std::size_t>(std::min<std::uint64_t>(take, size_ - produced_));
            std::copy_n(pending_.data() + pendingPos_, take, buffer + n);
            pendingPos_ += take;
            n += take;
            produced_ += take;
            continue;
        }
        pending_.clear();
        pendingPos_ = 0;
        if (finished_)
            break;
        if (chunk.empty())
            chunk.resize(64 * 1024);
        in_.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        std::streamsize got = in_.gcount();
        if (got > 0) {
            normalizer_.feed(chunk.data(), static_cast<std::size_t>(got), pending_);
        } else {
            normalizer_.finish(pending_);
            finished_ = true;
        }
    }
    return n;
}

bool writeBody(LogBody& body, const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    std::vector<char> buf(64 * 1024);
    for (;;) {
        std::size_t n = body.read(buf.data(), buf.size());
        if (n == 0)
            break;
        out.write(buf.data(), static_cast<std::streamsize>(n));
    }
    out.close();
    return static_cast<bool>(out);
}

} // namespace dravolin::testserver
