#include "frame_reassembler.h"

#include "byte_order.h"

#include <algorithm>
#include <cstring>

namespace dravolin::crypto {

namespace {

// XORs the 16-byte `block` with `mask` in place and tells whether the result holds a NUL
// byte (the usual "has a zero byte" test on two 64-bit words).
bool maskAndFindNul(std::uint8_t* block, const std::uint8_t* mask) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHighs = 0x8080808080808080ull;
    std::uint64_t w[2], m[2];
    std::memcpy(w, block, 16);
    std::memcpy(m, mask, 16);
    w[0] ^= m[0];
    w[1] ^= m[1];
    std::memcpy(block, w, 16);
    return (((w[0] - kOnes) & ~w[0]) | ((w[1] - kOnes) & ~w[1])) & kHighs;
}

} // namespace

FrameReassembler::FrameReassembler(const ChannelCipher& cipher, std::size_t maxFrameSize)
    : cipher_(cipher), maxFrameBlocks_(std::max<std::size_t>(maxFrameSize / 16, 2)),
      bufferBlocks_(2 * maxFrameBlocks_) {}

FrameReassembler::~FrameReassembler() {
    wipeHeld();
}

void FrameReassembler::wipeHeld() {
    if (buffer_) {
        detail::secureWipe(buffer_.get(), dirtyBlocks_ * 16);
    }
    detail::secureWipe(partial_, sizeof partial_);
    dirtyBlocks_ = 0;
}

void FrameReassembler::feed(const void* data, std::size_t size) {
    if (!buffer_) {
        buffer_.reset(new std::uint8_t[bufferBlocks_ * 16]);
    }
    text_ = {};
    input_ = static_cast<const std::uint8_t*>(data);
    inputSize_ = size;
    const bool idle = !holdsPartialFrame();
    if (idle) {
        base_ = 0;
    }
    wholeCandidate_ =
        idle && size >= 2 * kFrameDigestSize && size % 16 == 0 && size <= maxFrameBlocks_ * 16;
    fedBlocks_ = size / 16;
}

void FrameReassembler::reset() {
    wipeHeld();
    base_ = have_ = scanned_ = 0;
    partialSize_ = 0;
    digest_.reset();
    input_ = nullptr;
    inputSize_ = 0;
    wholeCandidate_ = false;
    text_ = {};
    error_ = FrameError::None;
}

FrameReassembler::Status FrameReassembler::reject(FrameError error) {
    error_ = error;
    input_ = nullptr;
    inputSize_ = 0;
    text_ = {};
    return Status::Rejected;
}

FrameReassembler::Status FrameReassembler::next() {
    text_ = {};
    if (error_ != FrameError::None) {
        return Status::Rejected;
    }
    for (;;) {
        std::size_t end = 0;
        if (scan(end)) {
            std::uint8_t actual[kFrameDigestSize];
            Md5 whole; // the digest so far, should the whole receive be the frame
            if (wholeCandidate_) {
                whole = digest_;
            }
            digest_.finish(actual);
            if (constantTimeEqual16(actual, buffer_.get() + base_ * 16)) {
                return textOf(end, true);
            }
            if (wholeCandidate_ && wholeReceiveHolds(end, whole)) {
                return textOf(fedBlocks_ - 1, true);
            }
            return reject(FrameError::DigestMismatch);
        }
        // Every decrypted block belongs to the unfinished frame.
        if (inputSize_ == 0) {
            if (wholeCandidate_ && partialSize_ == 0 && have_ == fedBlocks_) {
                // A receive of exactly one frame whose text carries no NUL at all.
                Md5 whole = digest_;
                std::uint8_t actual[kFrameDigestSize];
                whole.finish(actual);
                if (constantTimeEqual16(actual, buffer_.get() + base_ * 16)) {
                    if ((have_ - 1) * 16 > maxTextLength()) {
                        return reject(FrameError::TextTooLong);
                    }
                    return textOf(have_ - 1, false);
                }
            }
            return Status::NeedMore;
        }
        if (have_ == maxFrameBlocks_) {
            return reject(FrameError::NoFrameEnd); // a byte more than the largest frame
        }
        decryptMore();
    }
}

// Masks and checks the decrypted blocks not looked at yet; true with the frame's last block
// (counted from its digest block) when one of them ends the frame.
bool FrameReassembler::scan(std::size_t& endBlock) {
    if (scanned_ == have_) {
        return false;
    }
    std::uint8_t* frame = buffer_.get() + base_ * 16;
    if (scanned_ == 0) {
        digest_.reset(); // block 0 is the frame's digest D, not masked
        scanned_ = 1;
    }
    const std::size_t first = scanned_;
    std::size_t block = first;
    bool found = false;
    while (block < have_ && !found) {
        found = maskAndFindNul(frame + block * 16, frame);
        ++block;
    }
    digest_.update(frame + first * 16, (block - first) * 16);
    scanned_ = block;
    if (found) {
        endBlock = block - 1;
    }
    return found;
}

// The frame's digest failed where a NUL ended it; a receive of exactly one frame may still
// be that frame with a NUL inside its text. Masks the rest of the receive and checks it.
bool FrameReassembler::wholeReceiveHolds(std::size_t endBlock, Md5& whole) {
    if (partialSize_ != 0 || inputSize_ != 0 || have_ != fedBlocks_) {
        return false;
    }
    std::uint8_t* frame = buffer_.get() + base_ * 16;
    for (std::size_t block = endBlock + 1; block < have_; ++block) {
        maskAndFindNul(frame + block * 16, frame);
    }
    whole.update(frame + (endBlock + 1) * 16, (have_ - endBlock - 1) * 16);
    std::uint8_t actual[kFrameDigestSize];
    whole.finish(actual);
    return constantTimeEqual16(actual, frame);
}

void FrameReassembler::decryptMore() {
    if (base_ + maxFrameBlocks_ > bufferBlocks_) {
        // What follows the current frame's start moves to the front; this happens at most
        // once per maxFrameBlocks_ blocks, so each byte moves at most once.
        std::memmove(buffer_.get(), buffer_.get() + base_ * 16, have_ * 16);
        base_ = 0;
    }
    std::uint8_t* out = buffer_.get() + (base_ + have_) * 16;
    if (partialSize_ != 0 || inputSize_ < 16) {
        const std::size_t take = std::min(16 - partialSize_, inputSize_);
        std::memcpy(partial_ + partialSize_, input_, take);
        partialSize_ += take;
        input_ += take;
        inputSize_ -= take;
        if (partialSize_ == 16) {
            cipher_.aes().decryptBlock(partial_, out);
            partialSize_ = 0;
            ++have_;
            dirtyBlocks_ = std::max(dirtyBlocks_, base_ + have_);
        }
        return;
    }
    const std::size_t blocks = std::min(inputSize_ / 16, maxFrameBlocks_ - have_);
    cipher_.aes().decryptBlocks(input_, out, blocks);
    input_ += blocks * 16;
    inputSize_ -= blocks * 16;
    have_ += blocks;
    dirtyBlocks_ = std::max(dirtyBlocks_, base_ + have_);
}

FrameReassembler::Status FrameReassembler::textOf(std::size_t endBlock, bool untilFirstNul) {
    const std::uint8_t* body = buffer_.get() + (base_ + 1) * 16;
    std::size_t length = endBlock * 16;
    if (untilFirstNul) {
        length = static_cast<std::size_t>(
            static_cast<const std::uint8_t*>(std::memchr(body, 0, length)) - body);
    }
    text_ = std::string_view(reinterpret_cast<const char*>(body), length);
    base_ += endBlock + 1;
    have_ -= endBlock + 1;
    scanned_ = 0;
    wholeCandidate_ = false;
    return Status::Text;
}

} // namespace dravolin::crypto
