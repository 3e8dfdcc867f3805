// The connection's transport over a stand-in stream: whole sends over a stream that takes a
// few bytes per call, frames cut over receives, and what each way of ending is reported as.
#include "connect_race.h"
#include "crypto_provider.h"
#include "frame_codec.h"
#include "frame_reassembler.h"
#include "trace_text.h"
#include "transport.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

using namespace dravolin;
using Kind = TransportResult::Kind;

namespace {

char room[1024]; // the caller's room for plain text

// Takes at most `perCall` bytes per send; hands out scripted receives, then the end.
class TrickleStream : public net::Stream {
  public:
    explicit TrickleStream(std::size_t perCall) : perCall_(perCall) {}

    long send(const char* data, std::size_t length, int&) override {
        const std::size_t n = std::min(length, perCall_);
        sent.append(data, n);
        ++sendCalls;
        return static_cast<long>(n);
    }
    long receive(char* buffer, std::size_t capacity, int& error, int) override {
        if (incoming.empty()) {
            if (failWith != 0) {
                error = failWith;
                return -1;
            }
            return 0;
        }
        std::string piece = std::move(incoming.front());
        incoming.pop_front();
        EXPECT_LE(piece.size(), capacity);
        std::copy(piece.begin(), piece.end(), buffer);
        return static_cast<long>(piece.size());
    }

    std::string sent;
    int sendCalls = 0;
    std::deque<std::string> incoming;
    int failWith = 0;

  private:
    std::size_t perCall_;
};

const std::vector<std::uint8_t> kChallenge{1, 2, 3, 4, 5, 6, 7, 8};
const std::string kSecret = "chap-secret-16ch";

crypto::ChannelCipher channelCipher() {
    return crypto::ChannelCipher(kChallenge.data(), kChallenge.size(), kSecret.data(),
                                 kSecret.size());
}

std::string frameOf(const std::string& text) {
    crypto::CryptoProvider random;
    const auto frame = crypto::encodeFrame(channelCipher(), text.data(), text.size(), random);
    return std::string(frame.begin(), frame.end());
}

// The texts of the frames in `bytes`.
std::vector<std::string> framesIn(const std::string& bytes) {
    const crypto::ChannelCipher cipher = channelCipher();
    crypto::FrameReassembler frames(cipher);
    frames.feed(bytes.data(), bytes.size());
    std::vector<std::string> texts;
    while (frames.next() == crypto::FrameReassembler::Status::Text) {
        texts.emplace_back(frames.text());
    }
    return texts;
}

} // namespace

TEST(Transport, APlainLineGoesOutWholeOverAStreamThatTakesAFewBytesPerCall) {
    TrickleStream stream(3);
    Transport transport(stream);
    const std::string line = "set " + std::string(100, 'p') + "\n";
    EXPECT_EQ(transport.send(line).kind, Kind::Done);
    EXPECT_EQ(stream.sent, line);
}

TEST(Transport, AnEncryptedFrameGoesOutWholeAfterAShortSend) {
    TrickleStream stream(5);
    Transport transport(stream);
    transport.encrypt(kChallenge, kSecret);
    const std::string line = "list devices 1\n";
    ASSERT_EQ(transport.send(line).kind, Kind::Done);
    EXPECT_GT(stream.sendCalls, 1);
    EXPECT_EQ(stream.sent.size() % 16, 0u);
    EXPECT_EQ(framesIn(stream.sent), std::vector<std::string>{line});
    // The next frame follows the whole first one, not its remains.
    ASSERT_EQ(transport.send("logoff\n").kind, Kind::Done);
    EXPECT_EQ(framesIn(stream.sent), (std::vector<std::string>{line, "logoff\n"}));
}

TEST(Transport, FramesCutOverReceivesComeOutAsTheirTexts) {
    TrickleStream stream(1000);
    const std::string bytes = frameOf("200 reply\r\n") + frameOf("\r\n\r\n");
    for (std::size_t i = 0; i < bytes.size(); i += 7) {
        stream.incoming.push_back(bytes.substr(i, 7));
    }
    Transport transport(stream);
    transport.encrypt(kChallenge, kSecret);
    TransportResult first = transport.receive(net::kNoTimeout, room, sizeof room);
    ASSERT_EQ(first.kind, Kind::Text);
    EXPECT_EQ(first.text, "200 reply\r\n");
    TransportResult second = transport.receive(net::kNoTimeout, room, sizeof room);
    ASSERT_EQ(second.kind, Kind::Text);
    EXPECT_EQ(second.text, "\r\n\r\n");
    EXPECT_EQ(transport.receive(net::kNoTimeout, room, sizeof room).kind, Kind::PeerClosed);
}

TEST(Transport, EachEndIsReportedForWhatItIs) {
    {
        TrickleStream stream(10);
        stream.incoming.push_back("200 ok\r\n");
        Transport transport(stream);
        const TransportResult text = transport.receive(net::kNoTimeout, room, sizeof room);
        ASSERT_EQ(text.kind, Kind::Text);
        EXPECT_EQ(text.text, "200 ok\r\n");
        EXPECT_EQ(transport.receive(net::kNoTimeout, room, sizeof room).kind, Kind::PeerClosed);
    }
    {
        TrickleStream stream(10);
        stream.failWith = net::timedOutError();
        Transport transport(stream);
        EXPECT_EQ(transport.receive(100, room, sizeof room).kind, Kind::TimedOut);
        // Without a limit of the caller's, it is the system's own time-out.
        const TransportResult system = transport.receive(net::kNoTimeout, room, sizeof room);
        EXPECT_EQ(system.kind, Kind::SystemTimedOut);
        EXPECT_EQ(system.error, net::timedOutError());
    }
    {
        // The peer ends the stream inside a frame: the frame is rejected.
        TrickleStream stream(10);
        stream.incoming.push_back(frameOf("200 reply\r\n").substr(0, 20));
        Transport transport(stream);
        transport.encrypt(kChallenge, kSecret);
        const TransportResult cut = transport.receive(net::kNoTimeout, room, sizeof room);
        EXPECT_EQ(cut.kind, Kind::FrameRejected);
        EXPECT_EQ(cut.frameError, crypto::FrameError::NoFrameEnd);
    }
    {
        TrickleStream stream(10);
        std::string forged = frameOf("200 reply\r\n");
        forged[0] = static_cast<char>(forged[0] ^ 1);
        stream.incoming.push_back(forged + frameOf("x"));
        Transport transport(stream);
        transport.encrypt(kChallenge, kSecret);
        EXPECT_EQ(transport.receive(net::kNoTimeout, room, sizeof room).kind, Kind::FrameRejected);
    }
}

TEST(Transport, AHostNameThatDoesNotResolveIsReportedByTheConnectAtOnce) {
    net::startup();
    {
        // Told by the connect itself; nothing is kept for later calls, which find no socket.
        Transport transport;
        EXPECT_EQ(transport.connect("nosuch.invalid", 3261, 2000).kind, Kind::HostNotFound);
        EXPECT_FALSE(transport.connectReport().empty());
        EXPECT_EQ(transport.receive(net::kNoTimeout, room, sizeof room).kind, Kind::SystemError);
        EXPECT_EQ(transport.send("logoff\n").kind, Kind::SystemError);
    }
    net::cleanup();
}

// The decisions of a connect over several addresses, step by step, without a socket or clock.
TEST(ConnectRace, EachAddressInOrderTheNextOnFailureOrAfterTheStagger) {
    using Step = net::ConnectRace::Step::Kind;
    net::ConnectRace race({"[::1]:3261", "127.0.0.1:3261", "10.0.0.9:3261"}, 250);
    ASSERT_EQ(race.next(0, 5000).kind, Step::Start);
    EXPECT_EQ(race.next(0, 5000).index, 0u);
    race.started(0, 0);
    // Still pending: wait until the stagger has passed, then start the next.
    const auto wait = race.next(100, 5000);
    EXPECT_EQ(wait.kind, Step::Wait);
    EXPECT_EQ(wait.waitMs, 150);
    const auto second = race.next(250, 5000);
    ASSERT_EQ(second.kind, Step::Start);
    EXPECT_EQ(second.index, 1u);
    race.started(1, 250);
    // The second fails at once: the third starts without waiting for the stagger.
    race.failed(1, "Connection refused");
    EXPECT_EQ(race.next(260, 5000).kind, Step::Start);
    race.started(2, 260);
    EXPECT_EQ(race.inFlight(), 2u);
    // All started: wait for the limit at most.
    const auto rest = race.next(300, 5000);
    EXPECT_EQ(rest.kind, Step::Wait);
    EXPECT_EQ(rest.waitMs, 4700);
    // The third connects first: it wins.
    race.won(2);
    const auto won = race.next(310, 5000);
    ASSERT_EQ(won.kind, Step::Won);
    EXPECT_EQ(won.index, 2u);
    EXPECT_EQ(race.report(),
              "[::1]:3261: pending; 127.0.0.1:3261: Connection refused; 10.0.0.9:3261: connected");
}

TEST(ConnectRace, EveryFailureNamedAndTheLimitEndsTheRest) {
    using Step = net::ConnectRace::Step::Kind;
    {
        net::ConnectRace race({"[::1]:1", "127.0.0.1:1"}, 250);
        race.started(0, 0);
        race.failed(0, "Connection refused");
        race.failed(1, "Network is unreachable"); // could not even start
        EXPECT_EQ(race.next(5, 1000).kind, Step::Failed);
        EXPECT_EQ(race.report(),
                  "[::1]:1: Connection refused; 127.0.0.1:1: Network is unreachable");
    }
    {
        // The first is black-holed; the limit runs out before the third could start.
        net::ConnectRace race({"a:1", "b:1", "c:1"}, 250);
        race.started(0, 0);
        race.started(1, 250);
        EXPECT_EQ(race.next(300, 400).waitMs, 100); // the limit is nearer than the stagger
        EXPECT_EQ(race.next(400, 400).kind, Step::TimedOut);
        race.timedOut();
        EXPECT_EQ(race.report(), "a:1: no answer within the time-out; b:1: no answer within the "
                                 "time-out; c:1: not tried before the time-out");
    }
    {
        // Without a limit, the stagger still starts the next; after that the wait is unbounded.
        net::ConnectRace race({"a:1", "b:1"}, 250);
        race.started(0, 0);
        EXPECT_EQ(race.next(0, -1).waitMs, 250);
        race.started(1, 250);
        EXPECT_EQ(race.next(10000, -1).kind, Step::Wait);
        EXPECT_EQ(race.next(10000, -1).waitMs, -1);
    }
}

TEST(ConnectRace, HostAndEndpointTexts) {
    EXPECT_EQ(net::hostForResolver("[::1]"), "::1");
    EXPECT_EQ(net::hostForResolver("::1"), "::1");
    EXPECT_EQ(net::hostForResolver("server.example"), "server.example");
    EXPECT_EQ(net::hostForResolver("[x"), "[x");
    EXPECT_EQ(net::endpointText("::1", 3261), "[::1]:3261");
    EXPECT_EQ(net::endpointText("192.0.2.1", 3261), "192.0.2.1:3261");
}

// What the wire trace shows of a line: no line end, and no secret.
TEST(WireTrace, SecretsAreRedactedAndEverythingElseShown) {
    using protocol::RequestKind;
    struct Row {
        RequestKind kind;
        const char* line;
        const char* shown;
    };
    for (const Row row : {
             Row{RequestKind::Login, "login admin secret\n", "login admin <redacted>"},
             Row{RequestKind::Login, "login admin two words\n", "login admin <redacted>"},
             Row{RequestKind::Login, "login secret\n", "login <redacted>"}, // user or password?
             Row{RequestKind::Login, "login\n", "login"},
             Row{RequestKind::AuthCheck,
                 "auth check -CHAP_N:\"alice\"  -CHAP_R:\"0bAAAA\" -crypt:yes -CHAP_C:\"0bCC\"\n",
                 "auth check -CHAP_N:\"alice\"  -CHAP_R:\"<redacted>\" -crypt:yes "
                 "-CHAP_C:\"0bCC\""},
             Row{RequestKind::AuthCheck, "auth check -CHAP_R:\"0bAAAA", // no closing quote
                 "auth check -CHAP_R:\"<redacted>"},
             Row{RequestKind::Parameter, "get LogLevel\n", "get LogLevel"},
             Row{RequestKind::Control, "control -CHAP_R:\"x\"\n", "control -CHAP_R:\"x\""},
         }) {
        EXPECT_EQ(traceOfSent(row.kind, row.line), row.shown) << row.line;
    }
    EXPECT_EQ(traceOfReceived("CHAP_R=\"0bSERVERPROOF\"\r\n"), "CHAP_R=\"<redacted>\"");
    EXPECT_EQ(traceOfReceived("CHAP_R=0bSERVERPROOF\r\n"), "CHAP_R=<redacted>");
    EXPECT_EQ(traceOfReceived("CHAP_C=\"0bCHALLENGE\"\r\n"), "CHAP_C=\"0bCHALLENGE\"");
    EXPECT_EQ(traceOfReceived("200 ok\r\n"), "200 ok");
    EXPECT_EQ(traceOfReceived("\r\n"), "");
}

TEST(WireTrace, ReceivedTextIsCutIntoWholeLinesAcrossPieces) {
    std::string partial;
    std::vector<std::string> lines;
    const auto emit = [&](std::string_view line) { lines.emplace_back(line); };
    for (const char* piece : {"200 o", "k\r\nName=\"v\"\r", "\n\r\n", "\r\n200 next"}) {
        splitTraceLines(partial, piece, emit);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"200 ok\r\n", "Name=\"v\"\r\n", "\r\n", "\r\n"}));
    EXPECT_EQ(partial, "200 next");
}
