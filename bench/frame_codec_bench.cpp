// Frame codec throughput next to OpenSSL's MD5 + AES-128-ECB over the same
// bytes, measured in the same run, interleaved, several rounds.
//
// The AES-NI comparison runs in this process. The portable comparison runs in
// a child process (this program again, with --portable-part) started with
// OPENSSL_ia32cap masking AES-NI, so that OpenSSL falls back as well; it
// prints its figures on one line, which the parent reads.
//
//   dravolin_frame_codec_bench [--rounds N] [--smoke]
//
// --smoke runs a few iterations only and checks that the codec's primitives
// agree with OpenSSL byte for byte; it asserts nothing about speed.
#include "aes128.h"
#include "crypto_provider.h"
#include "frame_codec.h"
#include "frame_reassembler.h"
#include "md5.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace dravolin::crypto;
using Clock = std::chrono::steady_clock;

// The largest text one frame can deliver: 32 KiB of padded body.
constexpr std::size_t kTextSize = kMaxFrameText;
constexpr std::size_t kBodySize = 16 * (kTextSize / 16 + 1);
constexpr std::size_t kFrameSize = kBodySize + 16;

// Masks the AES-NI bit (and carry-less multiply, which goes with it) of
// OpenSSL's capability vector.
constexpr const char* kMaskAesNi = "~0x200000200000000";

struct Options {
    int rounds = 7;
    double secondsPerSample = 0.15;
    bool smoke = false;
    bool portablePart = false;
};

// ---- OpenSSL side: the primitive calls one encode plus one decode makes ----

class OpenSslBaseline {
  public:
    OpenSslBaseline(const std::uint8_t key[16]) {
        md_ = EVP_MD_fetch(nullptr, "MD5", nullptr);
        cipher_ = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
        mdCtx_ = EVP_MD_CTX_new();
        enc_ = EVP_CIPHER_CTX_new();
        dec_ = EVP_CIPHER_CTX_new();
        ok_ = md_ && cipher_ && mdCtx_ && enc_ && dec_ &&
              EVP_EncryptInit_ex2(enc_, cipher_, key, nullptr, nullptr) == 1 &&
              EVP_DecryptInit_ex2(dec_, cipher_, key, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(enc_, 0) == 1 && EVP_CIPHER_CTX_set_padding(dec_, 0) == 1;
    }
    ~OpenSslBaseline() {
        EVP_CIPHER_CTX_free(dec_);
        EVP_CIPHER_CTX_free(enc_);
        EVP_MD_CTX_free(mdCtx_);
        EVP_CIPHER_free(cipher_);
        EVP_MD_free(md_);
    }
    OpenSslBaseline(const OpenSslBaseline&) = delete;
    OpenSslBaseline& operator=(const OpenSslBaseline&) = delete;

    bool ok() const { return ok_; }

    bool md5(const std::uint8_t* data, std::size_t size, std::uint8_t out[16]) {
        unsigned len = 0;
        return EVP_DigestInit_ex2(mdCtx_, md_, nullptr) == 1 &&
               EVP_DigestUpdate(mdCtx_, data, size) == 1 &&
               EVP_DigestFinal_ex(mdCtx_, out, &len) == 1 && len == 16;
    }
    bool ecb(bool encrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
        int len = 0;
        EVP_CIPHER_CTX* ctx = encrypt ? enc_ : dec_;
        return (encrypt ? EVP_EncryptUpdate(ctx, out, &len, in, static_cast<int>(size))
                        : EVP_DecryptUpdate(ctx, out, &len, in, static_cast<int>(size))) == 1 &&
               static_cast<std::size_t>(len) == size;
    }

    // MD5 of the body, ECB over the frame, ECB back, MD5 of the body.
    bool frameWork(std::uint8_t* frame, std::uint8_t* scratch) {
        std::uint8_t d[16];
        return md5(frame + 16, kBodySize, d) && ecb(true, frame, scratch, kFrameSize) &&
               ecb(false, scratch, frame, kFrameSize) && md5(frame + 16, kBodySize, d);
    }

  private:
    EVP_MD* md_ = nullptr;
    EVP_CIPHER* cipher_ = nullptr;
    EVP_MD_CTX* mdCtx_ = nullptr;
    EVP_CIPHER_CTX* enc_ = nullptr;
    EVP_CIPHER_CTX* dec_ = nullptr;
    bool ok_ = false;
};

// ---- measurement ----

// Runs `work` repeatedly for about `seconds` and returns text bytes per
// second (MB/s, 10^6).
template <class Work> double measure(Work&& work, double seconds, std::size_t minIterations) {
    std::size_t iterations = 0;
    const auto start = Clock::now();
    auto now = start;
    do {
        for (int i = 0; i < 4; ++i)
            work();
        iterations += 4;
        now = Clock::now();
    } while (iterations < minIterations ||
             std::chrono::duration<double>(now - start).count() < seconds);
    const double elapsed = std::chrono::duration<double>(now - start).count();
    return static_cast<double>(iterations) * kTextSize / elapsed / 1e6;
}

struct Stats {
    double median = 0, low = 0, high = 0;
};

Stats stats(std::vector<double> v) {
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    s.low = v.front();
    s.high = v.back();
    return s;
}

struct Comparison {
    std::vector<double> ours, openssl, ratio;
    std::vector<double> oursMd5, sslMd5, oursAes, sslAes;
};

bool fail(const char* what) {
    std::fprintf(stderr, "frame codec bench: %s\n", what);
    return false;
}

// Checks that our primitives give OpenSSL's bytes on the benchmark data, and
// that a frame round-trips.
bool crossCheck(const ChannelCipher& cipher, const std::uint8_t key[16], OpenSslBaseline& ssl,
                const std::string& text) {
    std::vector<std::uint8_t> body(kFrameSize);
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<std::uint8_t>(i * 131 + 7);
    std::uint8_t a[16], b[16];
    dravolin::crypto::md5(body.data(), body.size(), a);
    if (!ssl.md5(body.data(), body.size(), b) || std::memcmp(a, b, 16) != 0)
        return fail("MD5 differs from OpenSSL");
    std::vector<std::uint8_t> x(kFrameSize), y(kFrameSize);
    Aes128 aes(key, cipher.aes().engine());
    aes.encryptBlocks(body.data(), x.data(), kFrameSize / 16);
    if (!ssl.ecb(true, body.data(), y.data(), kFrameSize) || x != y)
        return fail("AES-128-ECB encryption differs from OpenSSL");
    aes.decryptBlocks(x.data(), x.data(), kFrameSize / 16);
    if (!ssl.ecb(false, y.data(), y.data(), kFrameSize) || x != y || x != body)
        return fail("AES-128-ECB decryption differs from OpenSSL");

    std::vector<std::uint8_t> frame(kFrameSize);
    std::vector<char> out(kFrameTextCapacity);
    CryptoProvider random;
    if (encodeFrame(cipher, text.data(), text.size(), frame.data(), frame.size(), random) !=
        kFrameSize)
        return fail("frame encoding failed");
    auto r = decodeFrame(cipher, frame.data(), frame.size(), out.data(), out.size());
    if (!r.ok() || r.textLength != text.size() || std::memcmp(out.data(), text.data(), text.size()))
        return fail("frame round trip failed");
    return true;
}

// Interleaved rounds of our codec and the OpenSSL work, alternating which
// goes first.
bool compare(AesEngine engine, const Options& opt, Comparison& cmp) {
    std::uint8_t key[16];
    for (int i = 0; i < 16; ++i)
        key[i] = static_cast<std::uint8_t>(0xa0 + i);
    const ChannelCipher cipher(key, engine);
    if (engine == AesEngine::Hardware && cipher.aes().engine() != AesEngine::Hardware)
        return fail("AES-NI requested but not available");
    OpenSslBaseline ssl(key);
    if (!ssl.ok())
        return fail("OpenSSL MD5 or AES-128-ECB unavailable");

    std::string text(kTextSize, '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>(' ' + i % 90);
    if (!crossCheck(cipher, key, ssl, text))
        return false;

    std::vector<std::uint8_t> frame(kFrameSize), scratch(kFrameSize);
    bool ok = true;
    // The receive side as the client runs it: the reassembler, fed a receive that holds the
    // whole frame (one AES and one MD5 pass).
    FrameReassembler frames(cipher);
    auto ours = [&] {
        CryptoProvider random; // a new one per frame, as the channel does
        const std::size_t n =
            encodeFrame(cipher, text.data(), text.size(), frame.data(), frame.size(), random);
        frames.feed(frame.data(), n);
        ok &=
            frames.next() == FrameReassembler::Status::Text && frames.text().size() == text.size();
        ok &= frames.next() == FrameReassembler::Status::NeedMore;
    };
    auto theirs = [&] { ok &= ssl.frameWork(frame.data(), scratch.data()); };
    std::uint8_t digest[16];
    auto oursMd5 = [&] {
        dravolin::crypto::md5(frame.data() + 16, kBodySize, digest);
        dravolin::crypto::md5(frame.data() + 16, kBodySize, digest);
    };
    auto sslMd5 = [&] {
        ok &= ssl.md5(frame.data() + 16, kBodySize, digest);
        ok &= ssl.md5(frame.data() + 16, kBodySize, digest);
    };
    auto oursAes = [&] {
        cipher.aes().encryptBlocks(frame.data(), scratch.data(), kFrameSize / 16);
        cipher.aes().decryptBlocks(scratch.data(), frame.data(), kFrameSize / 16);
    };
    auto sslAes = [&] {
        ok &= ssl.ecb(true, frame.data(), scratch.data(), kFrameSize);
        ok &= ssl.ecb(false, scratch.data(), frame.data(), kFrameSize);
    };

    const double t = opt.secondsPerSample;
    const std::size_t minIt = opt.smoke ? 4 : 16;
    for (int round = 0; round < opt.rounds; ++round) {
        double a, b;
        if (round % 2 == 0) {
            a = measure(ours, t, minIt);
            b = measure(theirs, t, minIt);
        } else {
            b = measure(theirs, t, minIt);
            a = measure(ours, t, minIt);
        }
        cmp.ours.push_back(a);
        cmp.openssl.push_back(b);
        cmp.ratio.push_back(a / b);
        cmp.oursMd5.push_back(measure(oursMd5, t / 3, minIt));
        cmp.sslMd5.push_back(measure(sslMd5, t / 3, minIt));
        cmp.oursAes.push_back(measure(oursAes, t / 3, minIt));
        cmp.sslAes.push_back(measure(sslAes, t / 3, minIt));
    }
    if (!ok)
        return fail("a measured operation failed");
    return true;
}

// Latency of one short frame (a typical command line), each way: what the
// encrypted channel adds to a round trip. Reported, no target.
void shortFrames(const Options& opt) {
    std::uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const ChannelCipher cipher(key);
    const char text[] = "get CtlLogLevel\n";
    const std::size_t length = sizeof text - 1;
    std::uint8_t frame[64];
    char out[64];
    bool ok = true;
    std::vector<double> encodeNs, decodeNs;
    const std::size_t iterations = opt.smoke ? 10 : 100000;
    for (int round = 0; round < opt.rounds; ++round) {
        auto t0 = Clock::now();
        for (std::size_t i = 0; i < iterations; ++i) {
            CryptoProvider random;
            ok &= encodeFrame(cipher, text, length, frame, sizeof frame, random) == 48;
        }
        auto t1 = Clock::now();
        std::uint8_t copy[64];
        for (std::size_t i = 0; i < iterations; ++i) {
            std::memcpy(copy, frame, 48);
            ok &= decodeFrame(cipher, copy, 48, out, sizeof out).ok();
        }
        auto t2 = Clock::now();
        encodeNs.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() /
                           static_cast<double>(iterations));
        decodeNs.push_back(std::chrono::duration<double, std::nano>(t2 - t1).count() /
                           static_cast<double>(iterations));
    }
    const Stats e = stats(encodeNs), d = stats(decodeNs);
    std::printf("\nShort frame (%zu-byte text, 48-byte frame, %s): encode %.0f ns [%.0f..%.0f], "
                "decode %.0f ns [%.0f..%.0f]%s\n",
                length, cipher.aes().engine() == AesEngine::Hardware ? "AES-NI" : "portable",
                e.median, e.low, e.high, d.median, d.low, d.high, ok ? "" : "  (FAILED)");
}

std::string joined(const std::vector<double>& v) {
    std::string s;
    for (double x : v) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s%.6g", s.empty() ? "" : ",", x);
        s += buf;
    }
    return s;
}

std::vector<double> parseList(const std::string& s) {
    std::vector<double> v;
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t end = s.find(',', pos);
        if (end == std::string::npos)
            end = s.size();
        v.push_back(std::strtod(s.substr(pos, end - pos).c_str(), nullptr));
        pos = end + 1;
    }
    return v;
}

// Child: one line per series, "name=v1,v2,...".
int runPortablePart(const Options& opt) {
    Comparison cmp;
    if (!compare(AesEngine::Portable, opt, cmp))
        return 1;
    std::printf("ours=%s\nopenssl=%s\nratio=%s\noursMd5=%s\nsslMd5=%s\noursAes=%s\nsslAes=%s\n",
                joined(cmp.ours).c_str(), joined(cmp.openssl).c_str(), joined(cmp.ratio).c_str(),
                joined(cmp.oursMd5).c_str(), joined(cmp.sslMd5).c_str(),
                joined(cmp.oursAes).c_str(), joined(cmp.sslAes).c_str());
    return 0;
}

bool runChild(const Options& opt, Comparison& cmp) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return fail("cannot find own executable");
    self[n] = '\0';
    std::string cmd = std::string("OPENSSL_ia32cap='") + kMaskAesNi + "' '" + self +
                      "' --portable-part --rounds " + std::to_string(opt.rounds);
    if (opt.smoke)
        cmd += " --smoke";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe)
        return fail("cannot start the portable part");
    char line[65536];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string l(line);
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
            l.pop_back();
        const auto eq = l.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string name = l.substr(0, eq);
        auto values = parseList(l.substr(eq + 1));
        if (name == "ours")
            cmp.ours = values;
        else if (name == "openssl")
            cmp.openssl = values;
        else if (name == "ratio")
            cmp.ratio = values;
        else if (name == "oursMd5")
            cmp.oursMd5 = values;
        else if (name == "sslMd5")
            cmp.sslMd5 = values;
        else if (name == "oursAes")
            cmp.oursAes = values;
        else if (name == "sslAes")
            cmp.sslAes = values;
    }
    const int status = pclose(pipe);
    if (status != 0 || cmp.ratio.empty())
        return fail("the portable part failed");
    return true;
}

void printRow(const char* name, const Comparison& c) {
    const Stats ours = stats(c.ours), ssl = stats(c.openssl), r = stats(c.ratio);
    std::printf("%-28s %9.0f %9.0f   %5.2f  [%4.2f..%4.2f]  %s\n", name, ours.median, ssl.median,
                r.median, r.low, r.high, r.median >= 0.8 ? "met" : "MISSED");
    const Stats om = stats(c.oursMd5), sm = stats(c.sslMd5), oa = stats(c.oursAes),
                sa = stats(c.sslAes);
    std::printf("  %-26s %9.0f %9.0f   %5.2f\n", "MD5 x2 only", om.median, sm.median,
                om.median / sm.median);
    std::printf("  %-26s %9.0f %9.0f   %5.2f\n", "AES-ECB enc+dec only", oa.median, sa.median,
                oa.median / sa.median);
}

} // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--smoke") {
            opt.smoke = true;
        } else if (a == "--portable-part") {
            opt.portablePart = true;
        } else if (a == "--rounds" && i + 1 < argc) {
            opt.rounds = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--smoke]\n", argv[0]);
            return 2;
        }
    }
    if (opt.smoke) {
        opt.rounds = 1;
        opt.secondsPerSample = 0.0;
    }
    if (opt.portablePart)
        return runPortablePart(opt);

    std::printf("Frame encode + decode, %zu-byte texts (%zu-byte frames); MB/s of text, "
                "median of %d interleaved rounds\n",
                kTextSize, kFrameSize, opt.rounds);
    std::printf("OpenSSL baseline: MD5 + AES-128-ECB encryption + decryption + MD5 over the same "
                "bytes\n\n");
    std::printf("%-28s %9s %9s   %5s  %-12s  %s\n", "", "ours", "OpenSSL", "ratio", "[spread]",
                ">=0.80");

    bool ok = true;
    if (aesHardwareAvailable()) {
        Comparison hw;
        if (compare(AesEngine::Hardware, opt, hw))
            printRow("AES-NI, both sides", hw);
        else
            ok = false;
    } else {
        std::printf("%-28s (no AES-NI on this processor)\n", "AES-NI, both sides");
    }
    Comparison sw;
    if (runChild(opt, sw))
        printRow("portable vs OpenSSL no AES-NI", sw);
    else
        ok = false;
    shortFrames(opt);
    return ok ? 0 : 1;
}
