// Writes the seed corpora under fuzz/corpus/<harness>/ from real encodings:
// the configurator's own policy tree and its blobs, frames made by the
// channel codec, and replies in the server's format. Run it after a change
// of a format and commit what it writes:
//   cmake --build <build> --target fuzz_make_seeds && <build>/bin/fuzz_make_seeds fuzz/corpus
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#if DRAVOLIN_SEEDS_CRYPTO
#include "crypto/base64.h"
#include "crypto/crypto_provider.h"
#include "crypto/frame_codec.h"
#endif
#if DRAVOLIN_SEEDS_IPSEC
#include "policy/ipsec_blob.h"
#include "policy/policy_model.h"
#include "store/guid.h"
#include "store/multi_string.h"
#endif

namespace {

namespace fs = std::filesystem;

fs::path gRoot;
int gWritten = 0;

void Write(const std::string& harness, const std::string& name, const std::string& bytes) {
    const fs::path dir = gRoot / harness;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ++gWritten;
}

std::string Bytes(const std::vector<std::uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

std::string Le16(std::uint16_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

void ReplySeeds() {
    // Harness header: no receive cuts, mode 0; or a few cuts.
    const std::string plain("\0\0", 2);
    const std::string cut =
        std::string("\3", 1) + Le16(1) + Le16(7) + Le16(0) + std::string("\0", 1);
    const char* replies[][2] = {
        {"greeting", "200 DravolinService management ready\r\n\r\n\r\n"},
        {"list_devices",
         "200 OK\r\nDeviceCount=2\r\nDevice0=\"disk0\"\r\nDevice0Size=1073741824\r\n"
         "Device1=\"tape 1\"\r\nDevice1Size=0\r\n\r\n\r\n"},
        {"permissions", "200 OK\r\nPermission= \"iqn.2005-01.com.example:host\" \r\n\r\n\r\n"},
        {"refused", "103 Access denied\r\n\r\n\r\n"},
        {"auth_mode", "200 OK\r\nName=CtlAuthMode\r\nValue=chap\r\n\r\n\r\n"},
        {"auth_start", "200 OK\r\nCHAP_C=0bq83vEjRWeJq83vEjRWeJqw==\r\ncrypt=yes\r\n\r\n\r\n"},
        {"auth_check_mutual",
         "200 OK\r\nCHAP_N=server\r\nCHAP_R=0bAAECAwQFBgcICQoLDA0ODw==\r\n\r\n\r\n"},
        {"getlog", "200 OK\r\nLogFilename=service.log\r\nLogSize=38\r\n\r\nfirst line\r\n"
                   "second line\r\n  indented\r\n\r\n"},
        {"getlog_crcrlf", "200 OK\r\nLogFilename=a.log\r\n\r\nx\r\r\n\r\r\n"},
        {"statistics", "200 OK\r\nReadBytes=123456789\r\nWriteBytes=0\r\n=novalue\r\nnoequals\r\n"
                       "a=b=c\r\nq=\"\"\r\nq1=\"\r\nq2=\"x\r\n\t name \t=\t value \t\r\n\r\n\r\n"},
        {"status_forms",
         "2000 x\r\n\r\n\r\n99 \r\n\r\n\r\nabc\r\n\r\n\r\n106\r\n\r\n\r\n\r\n\r\n\r\n"
         " +104\r\n\r\n\r\n-10\r\n\r\n\r\n"},
        {"two_replies", "200 OK\r\nA=1\r\n\r\n\r\n200 OK\r\nB=2\r\n\r\n\r\n"},
        {"lone_lf", "200 OK\nstill status\r\nA=1\nB=2\r\n\r\n\r\n"},
        {"unfinished", "200 OK\r\nA=1\r\n"},
        {"shutdown", "200 Shutting down\r\n\r\n\r\n"},
    };
    for (const auto& r : replies) {
        Write("reply_parser", r[0], plain + r[1]);
        Write("reply_parser", std::string(r[0]) + "_cut", cut + r[1]);
    }
    // A line past the limit between two ordinary ones.
    std::string longLine = "200 OK\r\nA=1\r\nB=" + std::string(33000, 'v') + "\r\nC=3\r\n\r\n\r\n";
    Write("reply_parser", "over_long_line", plain + longLine);
}

void CommandLineSeeds() {
    const char* lines[] = {
        "-a10.0.0.1 -p3260 -ksecretkey",
        "/a192.168.0.5 /p3261 /k",
        "-u",
        "-a10.0.0.1 -u",
        "-p65535",
        "-p0",
        "-p65536",
        "-p-1",
        "-p12a",
        "-p 3260",
        "-x1",
        "a10.0.0.1",
        "-a10.0.0.1  -p3260",
        "-k",
        "-ka b",
        "-p3260 ",
        "-",
        "/",
        "-kfirst -ksecond -p1 -p2",
        "-axhost",
        "-a",
        "-p+00003260",
        "-p99999999999999999999",
    };
    int i = 0;
    for (const char* l : lines)
        Write("command_line", "line" + std::to_string(i++), std::string("\0", 1) + l);
    // Wide form.
    std::string wide("\1", 1);
    for (const char* p = "-a10.0.0.1 -k\xc4key"; *p; ++p)
        wide += Le16(static_cast<unsigned char>(*p));
    wide += Le16(0x20AC) + Le16(0xD800);
    Write("command_line", "wide", wide);
}

#if DRAVOLIN_SEEDS_CRYPTO
class FixedRandom : public dravolin::crypto::CryptoProvider {
  public:
    bool fill(void* buffer, std::size_t count) override {
        auto* p = static_cast<std::uint8_t*>(buffer);
        for (std::size_t i = 0; i < count; ++i)
            p[i] = static_cast<std::uint8_t>(i * 37 + 11);
        return true;
    }
};

void CryptoSeeds() {
    using namespace dravolin::crypto;
    const std::uint8_t digest[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const std::string values[] = {
        encodeBinaryValue(digest, 16),
        encodeBinaryValue(digest, 15),
        encodeBinaryValue(digest, 14),
        "0bAAAA",
        "0b====",
        "0b",
        "0bA",
        "0bAB",
        "0b!!!!@@@@",
        "0bAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
        base64Encode("foobar", 6),
        base64Encode("fo", 2),
        "Zg==",
        "Zm8=",
        "Zg=",
        "Z===",
        "Zh==",
    };
    int i = 0;
    for (const auto& v : values)
        for (std::uint8_t room : {32, 16, 3, 0})
            Write("base64", "value" + std::to_string(i) + "_" + std::to_string(room),
                  std::string(1, static_cast<char>(room)) + v),
                ++i;

    // Frames of real commands under a real channel key.
    const std::uint8_t challenge[16] = {0xab, 0xcd, 0xef, 0x12, 0x34, 0x56, 0x78, 0x9a,
                                        0xbc, 0xde, 0xf1, 0x23, 0x45, 0x67, 0x89, 0xab};
    std::uint8_t key[16];
    deriveChannelKey(challenge, sizeof challenge, "secret", 6, key);
    const ChannelCipher cipher(key);
    const std::string keyText(reinterpret_cast<const char*>(key), 16);
    const std::string texts[] = {
        "",
        "list -what:\"devices\" 1\n",
        "get CtlAuthMode\n",
        "0123456789abcde",
        "0123456789abcdef",
        "200 OK\r\nLogFilename=service.log\r\nLogSize=5\r\n\r\nabc\r\n\r\n",
        std::string(1000, 'z'),
    };
    FixedRandom random;
    i = 0;
    for (const auto& t : texts) {
        const auto frame = encodeFrame(cipher, t.data(), t.size(), random);
        // Decoding seeds: mode 4 (full room), the key, the frame.
        Write("frame", "decode" + std::to_string(i), std::string("\4", 1) + keyText + Bytes(frame));
        // Round-trip seeds: mode 5, the key, flip and position, the text.
        Write("frame", "roundtrip" + std::to_string(i),
              std::string("\5", 1) + keyText + std::string(1, static_cast<char>(i)) + Le16(17 * i) +
                  t);
        ++i;
    }
    const auto frame = encodeFrame(cipher, "x", 1, random);
    Write("frame", "short16", std::string("\4", 1) + keyText + Bytes(frame).substr(0, 16));
    Write("frame", "short40", std::string("\4", 1) + keyText + Bytes(frame) + std::string(8, 'p'));
    // Stream seeds: mode 12, the key, seed, damage position, largest piece, texts by line.
    const std::string reply = "200 OK\r\nLogFilename=service.log\r\n\r\n" + std::string(3000, 'L');
    i = 0;
    for (std::uint16_t piece : {1, 7, 1448, 4096}) {
        Write("frame", "stream" + std::to_string(i),
              std::string("\14", 1) + keyText + std::string(1, static_cast<char>(i * 37)) +
                  Le16(static_cast<std::uint16_t>(100 + 531 * i)) + Le16(piece - 1) + reply +
                  "\nget CtlAuthMode\n\n" + std::string(40000, 'B'));
        ++i;
    }
}
#endif

#if DRAVOLIN_SEEDS_IPSEC
void IpsecSeeds() {
    using namespace ipseccfg;
    std::uint32_t counter = 0;
    GuidSource source = [&counter](Guid& g) {
        g = Guid{0x11111111u + counter++, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
        return true;
    };
    auto model = PolicyModel::CreateDefault(ConfiguratorPolicyGuid, source);
    if (!model || !model->AddServiceRule(kServiceRuleName, false, 0xC0A8010Au, 3260, u"secretky") ||
        !model->AddServiceRule(kServiceRuleName, false, 0xC0A8010Au, 3261, u"secretky")) {
        std::fprintf(stderr, "cannot build the configurator's policy\n");
        std::exit(1);
    }
    const std::string arbitrary("\0", 1);
    Write("blob_policy", "configurator_policy", arbitrary + Bytes(EncodeBlob(model->policy)));
    Write("blob_isakmp", "configurator_isakmp", arbitrary + Bytes(EncodeBlob(model->isakmp)));
    int i = 0;
    for (const auto& rule : model->rules)
        Write("blob_rule", "rule" + std::to_string(i++), arbitrary + Bytes(EncodeBlob(rule)));
    i = 0;
    for (const auto& list : model->filterLists)
        Write("blob_filter", "filter" + std::to_string(i++), arbitrary + Bytes(EncodeBlob(list)));
    // A rule with a zero code unit in its key, a filter list with two specs.
    RuleObject rule = model->rules.back();
    rule.authMethods.push_back({3, u"alt\0text"});
    Write("blob_rule", "two_methods", arbitrary + Bytes(EncodeBlob(rule)));
    if (!model->filterLists.empty()) {
        FilterList list = model->filterLists.front();
        list.specs.push_back(list.specs.front());
        list.specs.back().firstText = u"text";
        Write("blob_filter", "two_filters", arbitrary + Bytes(EncodeBlob(list)));
    }
    // Structured seeds: mode 1, bytes that the harness turns into objects.
    std::string structured("\1", 1);
    for (int b = 0; b < 200; ++b)
        structured += static_cast<char>(b * 7 + 3);
    for (const char* kind : {"blob_policy", "blob_isakmp", "blob_rule", "blob_filter"})
        Write(kind, "structured", structured);

    // Multi-strings: owner lists as stored, and malformed forms.
    const std::string nul("\0", 1);
    Write("multi_string", "owners",
          nul + Bytes(JoinMultiString(
                    {std::string(kStoreBasePath) + "ipsecNFA" + FormatGuid(model->policyGuid),
                     "second owner"})));
    Write("multi_string", "empty_list", nul + Bytes(JoinMultiString({})));
    Write("multi_string", "missing_final", nul + std::string("a\0b\0", 4));
    Write("multi_string", "trailing_bytes", nul + std::string("a\0\0b", 4));
    Write("multi_string", "build", std::string("\1", 1) + std::string("one\0two\0\0three", 15));

    // GUID texts: references as stored, and near misses.
    const std::string ref =
        std::string(kStoreBasePath) + "ipsecPolicy" + FormatGuid(ConfiguratorPolicyGuid);
    Write("guid", "reference", ref);
    Write("guid", "braced", FormatGuid(ConfiguratorPolicyGuid));
    Write("guid", "lower", "{07f7805e-a746-486c-b1ff-5a6a33de185d}");
    Write("guid", "short", "{07F7805E-A746-486C-B1FF-5A6A33DE185}");
    Write("guid", "unbraced", "07F7805E-A746-486C-B1FF-5A6A33DE185D00");
    Write("guid", "signs", "{+7F7805E-A746-486C-B1FF-5A6A33DE185D}");
}
#endif

} // namespace

// The wire trace: a steering byte, a cut count, then lines with secrets and line ends.
void TraceSeeds() {
    Write("trace", "lines",
          std::string("\x05\x03") + "login admin secret\nauth check -CHAP_R:\"0bAA\"\r\n" +
              "CHAP_R=\"0bBB\"\r\n200 ok\r\n\r\n");
    Write("trace", "line_ends", std::string("\x80\x07") + "\r\n\n\nCHAP_R=0bX");
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    gRoot = argv[1];
    ReplySeeds();
    CommandLineSeeds();
    TraceSeeds();
#if DRAVOLIN_SEEDS_CRYPTO
    CryptoSeeds();
#endif
#if DRAVOLIN_SEEDS_IPSEC
    IpsecSeeds();
#endif
    std::printf("%d seed files written under %s\n", gWritten, gRoot.string().c_str());
    return 0;
}
