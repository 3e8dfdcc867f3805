// The receive path of a plain connection: the byte stream is cut into lines
// and each line goes to the reply parser, one parser per reply.
//  - how the stream is split into receives (whole, a byte at a time, or the
//    pieces the input asks for) changes nothing: same lines, same skipped
//    over-long lines, same statuses and records;
//  - every line handed on ends in its first CR LF and fits the line limit;
//  - a status is always 100..105 or 200 and follows the three-character
//    rule; records are trimmed, unquoted once, and kept in arrival order;
//  - after the end of a reply the parser refuses further lines.
#include "harness.h"

#include "protocol/line_assembler.h"
#include "protocol/reply_parser.h"

#include <string>
#include <vector>

namespace {

using namespace dravolin::protocol;

struct Reply {
    int status = 0;
    std::vector<Record> records;
    bool complete = false;
    std::size_t bodyLines = 0;
};

struct Trace {
    std::vector<std::string> lines; // "" stands for a skipped over-long line
    std::vector<Reply> replies;
    bool operator==(const Trace& o) const {
        if (lines != o.lines || replies.size() != o.replies.size())
            return false;
        for (std::size_t i = 0; i < replies.size(); ++i)
            if (replies[i].status != o.replies[i].status ||
                replies[i].records != o.replies[i].records ||
                replies[i].complete != o.replies[i].complete ||
                replies[i].bodyLines != o.replies[i].bodyLines)
                return false;
        return true;
    }
};

bool IsTrimChar(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The status rule written out independently: the first three characters,
// optional leading white space and one sign, digits up to the first other
// character; out-of-set codes become 105.
int ModelStatus(std::string_view line) {
    if (line.size() <= 3)
        return 105;
    const std::string_view head = line.substr(0, 3);
    std::size_t i = 0;
    while (i < head.size() && (head[i] == ' ' || (head[i] >= '\t' && head[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < head.size() && (head[i] == '+' || head[i] == '-'))
        negative = head[i++] == '-';
    int value = 0;
    while (i < head.size() && head[i] >= '0' && head[i] <= '9')
        value = value * 10 + (head[i++] - '0');
    if (negative)
        value = -value;
    if (value < 100 || (value > 105 && value != 200))
        return 105;
    return value;
}

void CheckLine(const std::string& line, ReplyParser& parser, Reply& reply) {
    const std::size_t recordsBefore = parser.records.size();
    const ParseState stateBefore = parser.state();
    const ReplyParser::Event e = parser.consumeLine(line);
    switch (stateBefore) {
    case ParseState::StatusLine:
        FUZZ_REQUIRE(e == ReplyParser::Event::Status);
        FUZZ_REQUIRE(parser.status == ModelStatus(line));
        FUZZ_REQUIRE(parser.state() == ParseState::Headers);
        break;
    case ParseState::Headers:
        if (line == "\r\n") {
            FUZZ_REQUIRE(e == ReplyParser::Event::HeadersEnd);
            FUZZ_REQUIRE(parser.state() == ParseState::Body);
        } else {
            FUZZ_REQUIRE(e == ReplyParser::Event::Header);
            const std::size_t eq = line.find('=');
            FUZZ_REQUIRE(parser.records.size() == recordsBefore + (eq != std::string::npos));
            if (eq != std::string::npos) {
                const Record& r = parser.records.back();
                if (!r.name.empty())
                    FUZZ_REQUIRE(!IsTrimChar(r.name.front()) && !IsTrimChar(r.name.back()));
                FUZZ_REQUIRE(r.name.find('=') == std::string::npos);
                FUZZ_REQUIRE(line.find(r.value, eq + 1) != std::string::npos);
            }
        }
        break;
    case ParseState::Body:
        if (line == "\r\n" || line == "\r\r\n") {
            FUZZ_REQUIRE(e == ReplyParser::Event::End);
            FUZZ_REQUIRE(parser.state() == ParseState::Complete);
        } else {
            FUZZ_REQUIRE(e == ReplyParser::Event::Body);
            ++reply.bodyLines;
        }
        break;
    case ParseState::Complete:
        FUZZ_REQUIRE(e == ReplyParser::Event::Invalid);
        break;
    }
    FUZZ_REQUIRE(parser.status == 200 || (parser.status >= 100 && parser.status <= 105));
    if (stateBefore != ParseState::Headers)
        FUZZ_REQUIRE(parser.records.size() == recordsBefore);
}

// Feeds `stream` in pieces whose sizes come from `cuts` (cycled; 0 stands
// for "the rest").
Trace Run(std::string_view stream, const std::vector<std::size_t>& cuts) {
    Trace trace;
    LineAssembler assembler;
    ReplyParser parser;
    Reply reply;
    std::size_t pos = 0, cut = 0;
    auto finishReply = [&] {
        reply.status = parser.status;
        reply.records = parser.records;
        reply.complete = parser.state() == ParseState::Complete;
        trace.replies.push_back(reply);
        parser = ReplyParser();
        reply = Reply();
    };
    while (pos < stream.size()) {
        std::size_t piece = cuts.empty() ? 0 : cuts[cut++ % cuts.size()];
        if (piece == 0 || piece > stream.size() - pos)
            piece = stream.size() - pos;
        std::string_view chunk = stream.substr(pos, piece);
        pos += piece;
        while (!chunk.empty()) {
            std::size_t consumed = 0;
            const auto r = assembler.feed(chunk.data(), chunk.size(), consumed);
            FUZZ_REQUIRE(consumed > 0 && consumed <= chunk.size());
            chunk.remove_prefix(consumed);
            if (r == LineAssembler::Result::Partial) {
                FUZZ_REQUIRE(chunk.empty());
                continue;
            }
            if (r == LineAssembler::Result::Skipped) {
                trace.lines.emplace_back();
                continue;
            }
            const std::string line(assembler.line());
            FUZZ_REQUIRE(line.size() >= 2 && line.size() <= kMaxLineLength);
            FUZZ_REQUIRE(line.find("\r\n") == line.size() - 2);
            trace.lines.push_back(line);
            CheckLine(line, parser, reply);
            if (parser.state() == ParseState::Complete) {
                FUZZ_REQUIRE(parser.consumeLine("\r\n") == ReplyParser::Event::Invalid);
                finishReply();
            }
        }
    }
    if (parser.state() != ParseState::StatusLine)
        finishReply();
    return trace;
}

} // namespace

int FuzzReplyParser(const std::uint8_t* data, std::size_t size) {
    dravolin::fuzz::InputReader in(data, size);
    std::vector<std::size_t> cuts(in.byte() % 8);
    for (auto& c : cuts)
        c = in.u16() % 4096;
    const std::uint8_t mode = in.byte();
    std::string stream(in.rest());
    // Stretch a line past the limit now and then, so the over-long path is
    // reached without huge inputs.
    if ((mode & 3) == 3 && !stream.empty()) {
        const std::size_t at = (static_cast<std::size_t>(mode) * 131) % stream.size();
        stream.insert(at, kMaxLineLength - 8 + (mode >> 2), stream[at] == '\n' ? 'x' : stream[at]);
    }

    const Trace whole = Run(stream, {});
    FUZZ_REQUIRE(Run(stream, cuts) == whole);
    if (stream.size() <= 4096)
        FUZZ_REQUIRE(Run(stream, {1}) == whole);

    // Without skipped lines, the lines are exactly the stream up to its last
    // line end.
    bool skipped = false;
    std::string joined;
    for (const auto& l : whole.lines) {
        skipped |= l.empty();
        joined += l;
    }
    if (!skipped)
        FUZZ_REQUIRE(stream.compare(0, joined.size(), joined) == 0);
    return 0;
}
