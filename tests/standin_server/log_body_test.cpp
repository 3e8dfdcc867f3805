// Log bodies: exact sizes, and lines a client can never mistake for the end
// of the reply.
#include "log_body.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace ts = dravolin::testserver;

namespace {

std::string drain(ts::LogBody& body, std::size_t piece) {
    std::string out;
    std::string buf(piece, '\0');
    while (std::size_t n = body.read(buf.data(), buf.size()))
        out.append(buf.data(), n);
    return out;
}

// Every line ends in CR LF, has no CR, LF or NUL inside, and is not empty.
void expectSafeLines(const std::string& body) {
    std::size_t pos = 0;
    while (pos < body.size()) {
        std::size_t end = body.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "unterminated line at " << pos;
        std::string line = body.substr(pos, end - pos);
        EXPECT_FALSE(line.empty()) << "empty line at " << pos;
        EXPECT_EQ(line.find_first_of(std::string("\r\n\0", 3)), std::string::npos)
            << "control byte in line at " << pos;
        pos = end + 2;
    }
}

std::string normalize(const std::string& in, std::size_t piece) {
    ts::LineNormalizer n;
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += piece)
        n.feed(in.data() + i, std::min(piece, in.size() - i), out);
    n.finish(out);
    return out;
}

} // namespace

TEST(GeneratedLog, ExactSizeAndSafeLinesForEveryRemainder) {
    for (std::uint64_t size : {0ull, 3ull, 4ull, 63ull, 64ull, 65ull, 66ull, 67ull, 128ull, 129ull,
                               130ull, 1000ull, 65536ull + 1}) {
        ts::GeneratedLog log(size);
        EXPECT_EQ(log.size(), size);
        std::string body = drain(log, 7);
        EXPECT_EQ(body.size(), size) << size;
        expectSafeLines(body);
    }
    // One and two bytes cannot form a line; they grow to three.
    for (std::uint64_t size : {1ull, 2ull}) {
        ts::GeneratedLog log(size);
        EXPECT_EQ(log.size(), 3u);
        EXPECT_EQ(drain(log, 1), "0\r\n");
    }
}

TEST(GeneratedLog, ContentIsTheDocumentedPatternWhateverThePieceSize) {
    ts::GeneratedLog a(300), b(300);
    std::string one = drain(a, 1), big = drain(b, 4096);
    EXPECT_EQ(one, big);
    EXPECT_EQ(one.substr(0, 64),
              "0000000001 mnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijk\r\n");
    EXPECT_EQ(one.substr(64, 11), "0000000002 ");
    EXPECT_EQ(one.substr(256), "0000000005 qrstuvwxyzabcdefghijklmnopqrstu\r\n");
}

TEST(GeneratedLog, LargeBodiesStreamWithoutBeingHeld) {
    // 256 MiB through a 64 KiB buffer: only the count is kept.
    ts::GeneratedLog log(256ull << 20);
    std::vector<char> buf(1 << 16);
    std::uint64_t total = 0;
    char last2[2] = {};
    while (std::size_t n = log.read(buf.data(), buf.size())) {
        total += n;
        if (n >= 2) {
            last2[0] = buf[n - 2];
            last2[1] = buf[n - 1];
        }
    }
    EXPECT_EQ(total, 256ull << 20);
    EXPECT_EQ(std::string(last2, 2), "\r\n");
}

TEST(LineNormalizer, FileBytesBecomeSafeLines) {
    EXPECT_EQ(normalize("a\nb\r\nc", 1), "a\r\nb\r\nc\r\n");
    EXPECT_EQ(normalize("\n\n", 1), " \r\n \r\n");
    EXPECT_EQ(normalize("x\r\r\n", 1), "x \r\n");
    EXPECT_EQ(normalize("\r\r\n", 2), " \r\n"); // would otherwise read as an end line
    EXPECT_EQ(normalize(std::string("n\0l\n", 4), 3), "n l\r\n");
    EXPECT_EQ(normalize("tail\r", 5), "tail \r\n");
    EXPECT_EQ(normalize("", 1), "");
    std::string mixed = "one\r\n\r\n\rtwo\n\0\n\r", a = normalize(mixed, 1),
                b = normalize(mixed, 100);
    EXPECT_EQ(a, b);
    expectSafeLines(a);
}

TEST(FileLog, ServesTheNormalizedFileWithItsMeasuredSize) {
    std::string path = ::testing::TempDir() + "testserver_filelog.txt";
    {
        std::ofstream f(path, std::ios::binary);
        f << "first\n\nthird\r\nlast";
    }
    auto log = ts::FileLog::open(path);
    ASSERT_TRUE(log);
    std::string expected = "first\r\n \r\nthird\r\nlast\r\n";
    EXPECT_EQ(log->size(), expected.size());
    EXPECT_EQ(drain(*log, 3), expected);
    EXPECT_FALSE(ts::FileLog::open(path + ".missing"));

    std::string copy = path + ".copy";
    auto again = ts::FileLog::open(path);
    ASSERT_TRUE(ts::writeBody(*again, copy));
    std::ifstream in(copy, std::ios::binary);
    std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, expected);
    in.close();
    std::remove(path.c_str());
    std::remove(copy.c_str());
}
