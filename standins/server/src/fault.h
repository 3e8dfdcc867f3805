// Faults the server injects on request, and how a reply is cut into sends
// under each of them. Pure logic; the connection loop carries the plan out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dravolin::testserver {

enum class FaultMode {
    Close,        // send part of the reply, then close (FIN)
    Reset,        // send part of the reply, then reset (RST)
    Drip,         // send the reply one byte per send, with a pause between
    LongLine,     // put a record line longer than the client's line limit first
    Double,       // a second, unsolicited reply in the same write
    Hang,         // send all but the reply's end line, then nothing more
    Mute,         // send nothing at all for this command, ever
    Status,       // refuse the command with a chosen status
    BadProof,     // mutual CHAP: a wrong "CHAP_R"
    BadName,      // mutual CHAP: a wrong "CHAP_N"
    NoCrypt,      // "auth start" offers "crypt" "no"
    CorruptFrame, // encrypted: one bit of the reply's first frame flipped
    Frame16,      // encrypted: 16 random bytes instead of the reply
    Frame40,      // encrypted: 40 random bytes instead of the reply
    Split,        // every send cut into pieces of `size` bytes, `gap` ms apart
    Coalesce,     // all sends (frames) of the reply joined into one
};

struct FaultSpec {
    FaultMode mode = FaultMode::Close;
    std::string on = "*";            // command word it applies to; "*" any, "greeting"
    unsigned times = 1;              // replies it applies to; 0 = every one
    int status = 103;                // Status
    std::optional<std::uint64_t> at; // Close/Reset: bytes sent first (default half)
    std::size_t size = 40000;        // LongLine: length of the long line; Split: piece size
    bool sizeGiven = false;          // Split: 1448 bytes (one Ethernet segment) unless given
    unsigned gapMs = 1;              // Drip: pause between bytes; Split: between pieces
};

std::optional<FaultMode> faultModeFromName(std::string_view name);
std::string_view faultModeName(FaultMode mode);

// "mode[,on=word][,times=N][,status=N][,at=N][,size=N][,gap=ms]".
// Null with a message in `error` when it cannot be read.
std::optional<FaultSpec> parseFaultSpec(std::string_view text, std::string& error);

// True when a fault applies to the reply of a command. The key is the command
// word, or for "auth" the word and its step ("auth check"); "on=auth" covers
// every step. The login faults default to the step they act on.
bool faultApplies(const FaultSpec& spec, std::string_view key);

// Faults armed on one connection, consumed reply by reply.
class FaultQueue {
  public:
    void arm(const FaultSpec& spec) { armed_.push_back(spec); }
    void clear() { armed_.clear(); }
    bool empty() const { return armed_.empty(); }
    // The first armed fault for this command word, used up by one.
    std::optional<FaultSpec> take(std::string_view key);

  private:
    std::vector<FaultSpec> armed_;
};

// How the bytes of one reply go out.
enum class AfterReply { Continue, Close, Reset, Hang };

struct SendPlan {
    std::uint64_t sendBytes = 0; // bytes of the reply that are sent at all
    std::uint64_t dripBytes = 0; // of those, how many go one per send
    unsigned dripGapMs = 0;
    std::size_t chunk = 0;         // largest piece per send (or frame text) after that
    bool appendExtraReply = false; // an unsolicited reply joins the last send
    bool corruptFirstFrame = false;
    std::size_t junkFrame = 0;  // non-zero: send that many random bytes instead
    std::size_t splitPiece = 0; // non-zero: every send goes out in pieces of this size
    unsigned splitGapMs = 0;    // with this pause before every piece but the first
    bool coalesce = false;      // the reply's sends are held and go out as one
    AfterReply after = AfterReply::Continue;
};

// Longest reply sent in one piece; longer ones (logs) are streamed.
inline constexpr std::size_t kPlainChunk = 256 * 1024;
// Most bytes one coalesced send holds; a longer reply goes out in sends of this size.
inline constexpr std::size_t kCoalesceLimit = 16 * 1024 * 1024;
// Piece size of Split unless given: one TCP segment over Ethernet.
inline constexpr std::size_t kDefaultSplitPiece = 1448;
// At most this many bytes are dripped; the rest follows in normal sends.
inline constexpr std::uint64_t kMaxDripBytes = 4096;

// The plan for a reply of `total` bytes. `frameText` is the largest text of
// one encrypted frame, 0 on a plain connection.
SendPlan planSend(std::uint64_t total, const std::optional<FaultSpec>& fault,
                  std::size_t frameText);

// The extra reply of FaultMode::Double.
std::string extraReplyText();

} // namespace dravolin::testserver
