// Cuts a byte stream of encrypted frames back into the frames' texts.
//
// TCP delivers bytes, not sends: one frame may arrive over many receives, and
// one receive may bring several frames, or the end of one and the start of
// the next. The frame has no length field, so its end is found from inside:
// the sender's text holds no NUL, and its terminating NUL lies in the frame's
// last block, so a frame ends at the first block after its digest block that
// decrypts to something with a NUL byte in it. The digest is checked there,
// over the blocks up to that one.
//
// A receive that holds exactly one valid frame is taken as that frame, as the
// channel always did, even when the frame's text holds a NUL (then the text
// ends at its first NUL) or none at all.
//
// Each block is decrypted once and each frame's digest computed once, also
// when a frame is split or coalesced with others. Pure code over bytes: no
// socket, clock or lock. The caller decides what a silent peer or the end of
// the stream means while a frame is incomplete (holdsPartialFrame()).
#pragma once

#include "frame_codec.h"
#include "md5.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace dravolin::crypto {

class FrameReassembler {
  public:
    enum class Status {
        NeedMore, // every byte fed so far is used; feed the next receive
        Text,     // one frame's text is ready: text()
        Rejected, // the stream is broken for good: error()
    };

    // `maxFrameSize`: the largest frame accepted (a multiple of 16, at least 32); the
    // client's receive room by default.
    explicit FrameReassembler(const ChannelCipher& cipher,
                              std::size_t maxFrameSize = kMaxFrameSize);
    ~FrameReassembler();
    FrameReassembler(const FrameReassembler&) = delete;
    FrameReassembler& operator=(const FrameReassembler&) = delete;

    // Hands over the bytes of one receive. Call only after next() returned NeedMore (or
    // before the first next()). The bytes are read during the next() calls that follow, so
    // they must stay in place until next() returns NeedMore or Rejected.
    void feed(const void* data, std::size_t size);

    // Takes the next complete text, if the bytes fed so far hold one. A rejection is
    // sticky: every later call returns Rejected until reset().
    Status next();

    // The text of the last Text result (without its NUL), valid until the next call of
    // feed(), next() or reset().
    std::string_view text() const { return text_; }

    // Why the stream was rejected (None while it is not): DigestMismatch, NoFrameEnd (more
    // than the largest frame's bytes without a frame end) or TextTooLong (a frame without any NUL
    // whose text would not fit the receiver's room).
    FrameError error() const { return error_; }

    // True while bytes of an unfinished frame are held (the peer owes the rest of it).
    bool holdsPartialFrame() const { return have_ != 0 || partialSize_ != 0; }

    // Drops everything held, the rejection included: the next byte fed starts a frame. The
    // decrypted text held so far is wiped.
    void reset();

  private:
    // Wipes the decrypted blocks written since the last wipe, and the partial block.
    void wipeHeld();
    Status reject(FrameError error);
    Status textOf(std::size_t endBlock, bool untilFirstNul);
    bool scan(std::size_t& endBlock);
    bool wholeReceiveHolds(std::size_t endBlock, Md5& whole);
    void decryptMore();

    const ChannelCipher& cipher_;
    const std::size_t maxFrameBlocks_;
    // Room for one frame of the largest size plus what followed it in the same receive.
    const std::size_t bufferBlocks_;
    std::unique_ptr<std::uint8_t[]> buffer_; // decrypted blocks, bufferBlocks_ of them
    std::size_t dirtyBlocks_ = 0;            // blocks of buffer_ written since the last wipe
    std::size_t base_ = 0;                   // block where the current frame starts
    std::size_t have_ = 0;    // decrypted blocks from base_ on (this frame and what follows)
    std::size_t scanned_ = 0; // blocks of this frame looked at, digest block included
    Md5 digest_;              // over the scanned blocks after the digest block
    std::uint8_t partial_[16] = {};
    std::size_t partialSize_ = 0; // bytes of a block not yet complete

    const std::uint8_t* input_ = nullptr; // the bytes of the last feed() not yet used
    std::size_t inputSize_ = 0;
    // The last feed() started with nothing held and may be exactly one frame.
    bool wholeCandidate_ = false;
    std::size_t fedBlocks_ = 0; // its size in blocks, when it may
    std::size_t maxTextLength() const { return (maxFrameBlocks_ - 1) * 16 - 1; }

    std::string_view text_;
    FrameError error_ = FrameError::None;
};

} // namespace dravolin::crypto
