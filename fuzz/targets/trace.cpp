// The wire trace's text: what a line shows and how received text is cut into lines.
//  - a secret planted in a login line or a CHAP response, sent or received, never shows;
//  - no shown line keeps a line end;
//  - the lines cut from received pieces, with the held rest, are exactly the text received,
//    each ending at its one line feed.
#include "harness.h"

#include "trace_text.h"

#include <string>
#include <vector>

int FuzzTrace(const std::uint8_t* data, std::size_t size) {
    using dravolin::protocol::RequestKind;
    dravolin::fuzz::InputReader in(data, size);
    const std::uint8_t steer = in.byte();
    const std::size_t cuts = in.byte() % 8;
    const std::string text(in.rest());

    // Any line of any kind: no line end is left on what is shown.
    const RequestKind kinds[] = {RequestKind::Login, RequestKind::AuthCheck,
                                 RequestKind::Parameter, RequestKind::Control};
    const std::string shown = dravolin::traceOfSent(kinds[steer % 4], text);
    FUZZ_REQUIRE(shown.empty() || (shown.back() != '\n' && shown.back() != '\r'));
    const std::string received = dravolin::traceOfReceived(text);
    FUZZ_REQUIRE(received.empty() || (received.back() != '\n' && received.back() != '\r'));

    // A secret with a mark no other part has: never shown.
    std::string secret = "\x01";
    for (char c : text) {
        if (c != '"' && c != '\n' && c != '\r' && c != ' ' && c != '\x01') {
            secret.push_back(c);
        }
    }
    const std::string user = (steer & 0x80) ? "admin" : "";
    const std::string login =
        dravolin::traceOfSent(RequestKind::Login, "login " + user + (user.empty() ? "" : " ") +
                                                      secret + "\n");
    FUZZ_REQUIRE(login.find('\x01') == std::string::npos);
    const std::string check = dravolin::traceOfSent(
        RequestKind::AuthCheck, "auth check -CHAP_N:\"a\"  -CHAP_R:\"" + secret + "\" -crypt:yes\n");
    FUZZ_REQUIRE(check.find('\x01') == std::string::npos);
    const std::string proof = dravolin::traceOfReceived("CHAP_R=\"" + secret + "\"\r\n");
    FUZZ_REQUIRE(proof.find('\x01') == std::string::npos);

    // Cutting: pieces at steered points, joined back exactly.
    std::string partial;
    std::string joined;
    const auto emit = [&](std::string_view line) {
        FUZZ_REQUIRE(!line.empty() && line.back() == '\n');
        FUZZ_REQUIRE(line.find('\n') == line.size() - 1);
        joined.append(line);
    };
    std::size_t at = 0;
    for (std::size_t i = 0; i < cuts && at < text.size(); ++i) {
        const std::size_t n = 1 + (static_cast<std::size_t>(steer) * (i + 1)) % (text.size() - at);
        dravolin::splitTraceLines(partial, std::string_view(text).substr(at, n), emit);
        at += n;
    }
    dravolin::splitTraceLines(partial, std::string_view(text).substr(at), emit);
    FUZZ_REQUIRE(partial.find('\n') == std::string::npos);
    FUZZ_REQUIRE(joined + partial == text);
    return 0;
}
