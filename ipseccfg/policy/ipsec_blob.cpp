#include "ipsec_blob.h"

#include <cstring>

namespace ipseccfg {

namespace {

using Blob = std::vector<std::uint8_t>;

// Type GUIDs of the four kinds, as stored.
constexpr std::uint8_t kPolicyType[16] = {0x63, 0x21, 0x20, 0x22, 0x4C, 0x4F, 0xD1, 0x11,
                                          0x86, 0x3B, 0x00, 0xA0, 0x24, 0x8D, 0x30, 0x21};
constexpr std::uint8_t kIsakmpType[16] = {0xB8, 0x20, 0xDC, 0x80, 0xC8, 0x2E, 0xD1, 0x11,
                                          0xA8, 0x9E, 0x00, 0xA0, 0x24, 0x8D, 0x30, 0x21};
constexpr std::uint8_t kRuleType[16] = {0x00, 0xAC, 0xBB, 0x11, 0x8D, 0x49, 0xD1, 0x11,
                                        0x86, 0x39, 0x00, 0xA0, 0x24, 0x8D, 0x30, 0x21};
constexpr std::uint8_t kFilterType[16] = {0xB5, 0x20, 0xDC, 0x80, 0xC8, 0x2E, 0xD1, 0x11,
                                          0xA8, 0x9E, 0x00, 0xA0, 0x24, 0x8D, 0x30, 0x21};

constexpr std::size_t kFrameHeader = 20;
constexpr std::size_t kWideStringMin = 6; // empty string: length word + terminator
constexpr std::size_t kAuthMethodMin = 4 + kWideStringMin;
constexpr std::size_t kFilterSpecMin = 3 * kWideStringMin + 16 + 4 * 6 + 2 + 2 + 4;
constexpr std::size_t kOfferSize = 64;

class BlobWriter {
  public:
    explicit BlobWriter(const std::uint8_t (&type)[16]) {
        bytes_.assign(type, type + 16);
        U32(0); // body length, patched by Finish
    }
    void U16(std::uint16_t v) {
        bytes_.push_back(static_cast<std::uint8_t>(v));
        bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void U32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void Raw(const std::uint8_t* p, std::size_t n) { bytes_.insert(bytes_.end(), p, p + n); }
    void Wide(const std::u16string& s) {
        U32(static_cast<std::uint32_t>(2 * s.size() + 2));
        for (char16_t c : s)
            U16(static_cast<std::uint16_t>(c));
        U16(0);
    }
    void GuidBytes(const Guid& g) {
        U32(g.data1);
        U16(g.data2);
        U16(g.data3);
        Raw(g.data4.data(), 8);
    }
    Blob Finish() {
        const auto n = static_cast<std::uint32_t>(bytes_.size() - kFrameHeader);
        for (int i = 0; i < 4; ++i)
            bytes_[16 + i] = static_cast<std::uint8_t>(n >> (8 * i));
        bytes_.push_back(0);
        return std::move(bytes_);
    }

  private:
    Blob bytes_;
};

// Takes bytes off the front of a blob. Every read checks what remains and
// fails, consuming nothing further, when the blob is too short.
class BlobReader {
  public:
    BlobReader(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}

    std::size_t Left() const { return left_; }
    bool Skip(std::size_t n) {
        if (n > left_)
            return false;
        data_ += n;
        left_ -= n;
        return true;
    }
    bool Raw(std::uint8_t* out, std::size_t n) {
        if (n > left_)
            return false;
        if (n)
            std::memcpy(out, data_, n);
        return Skip(n);
    }
    bool U16(std::uint16_t& v) {
        std::uint8_t b[2];
        if (!Raw(b, 2))
            return false;
        v = static_cast<std::uint16_t>(b[0] | b[1] << 8);
        return true;
    }
    bool U32(std::uint32_t& v) {
        std::uint8_t b[4];
        if (!Raw(b, 4))
            return false;
        v = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
            static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
        return true;
    }
    bool I32(std::int32_t& v) {
        std::uint32_t u = 0;
        if (!U32(u))
            return false;
        v = static_cast<std::int32_t>(u);
        return true;
    }
    template <std::size_t N> bool Array(std::array<std::uint8_t, N>& a) { return Raw(a.data(), N); }
    bool GuidBytes(Guid& g) {
        return U32(g.data1) && U16(g.data2) && U16(g.data3) && Array(g.data4);
    }
    // Length word L (even, at least 2, within the blob), L - 2 bytes of
    // UTF-16LE text ending at its first zero unit, then the terminator.
    bool Wide(std::u16string& s) {
        std::uint32_t len = 0;
        if (!U32(len))
            return false;
        if (len < 2 || len % 2 != 0 || len > left_)
            return false;
        const std::size_t units = (len - 2) / 2;
        std::u16string text;
        text.reserve(units);
        for (std::size_t i = 0; i < units; ++i) {
            const auto c = static_cast<char16_t>(data_[2 * i] | data_[2 * i + 1] << 8);
            if (c == 0)
                break;
            text.push_back(c);
        }
        s.swap(text);
        return Skip(len);
    }
    // A list count that the remaining bytes can hold at `minSize` each.
    bool Count(std::size_t minSize, std::size_t& count) {
        std::uint32_t n = 0;
        if (!U32(n))
            return false;
        if (n > left_ / minSize)
            return false;
        count = n;
        return true;
    }
    // The zero byte after the body.
    bool End() { return Skip(1); }

  private:
    const std::uint8_t* data_;
    std::size_t left_;
};

void WriteAddress(BlobWriter& w, const Ipv4Bytes& a) {
    w.Raw(a.data(), a.size());
}

// Decodes into a copy and commits it only when the whole blob was sound.
template <typename T, typename F>
bool DecodeInto(const std::uint8_t* data, std::size_t size, T& object, F body) {
    try {
        if (data == nullptr && size != 0)
            return false;
        BlobReader r(data, size);
        if (!r.Skip(kFrameHeader))
            return false;
        T copy = object;
        if (!body(r, copy) || !r.End())
            return false;
        object = std::move(copy);
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

std::uint32_t IsakmpOffer::Word(std::size_t offset) const noexcept {
    if (offset > bytes.size() - 4)
        return 0;
    return static_cast<std::uint32_t>(bytes[offset]) |
           static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

void IsakmpOffer::SetWord(std::size_t offset, std::uint32_t value) noexcept {
    if (offset > bytes.size() - 4)
        return;
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

Blob EncodeBlob(const PolicyObject& policy) {
    BlobWriter w(kPolicyType);
    w.U32(policy.pollingInterval);
    return w.Finish();
}

Blob EncodeBlob(const IsakmpPolicy& isakmp) {
    BlobWriter w(kIsakmpType);
    w.Raw(isakmp.isakmpHeader.data(), isakmp.isakmpHeader.size());
    w.U32(static_cast<std::uint32_t>(isakmp.offers.size()));
    for (const IsakmpOffer& offer : isakmp.offers)
        w.Raw(offer.bytes.data(), offer.bytes.size());
    return w.Finish();
}

Blob EncodeBlob(const RuleObject& rule) {
    BlobWriter w(kRuleType);
    w.U32(static_cast<std::uint32_t>(rule.authMethods.size()));
    for (const AuthMethod& m : rule.authMethods) {
        w.U32(m.method);
        w.Wide(m.text);
    }
    w.U32(static_cast<std::uint32_t>(rule.interfaceType));
    w.Wide(rule.interfaceName);
    w.U32(rule.tunnelAddress);
    w.U32(rule.tunnelFlags);
    w.U32(rule.activeFlag);
    w.Wide(rule.endpointName);
    w.Raw(rule.ruleTrailer.data(), rule.ruleTrailer.size());
    return w.Finish();
}

Blob EncodeBlob(const FilterList& list) {
    BlobWriter w(kFilterType);
    w.U32(static_cast<std::uint32_t>(list.specs.size()));
    for (const FilterSpec& s : list.specs) {
        w.Wide(s.firstText);
        w.Wide(s.secondText);
        w.Wide(s.thirdText);
        w.GuidBytes(s.specId);
        w.U32(s.mirrored);
        WriteAddress(w, s.sourceAddress);
        WriteAddress(w, s.sourceMask);
        WriteAddress(w, s.destinationAddress);
        WriteAddress(w, s.destinationMask);
        WriteAddress(w, s.specTunnelAddress);
        w.U32(s.protocol);
        w.U16(s.sourcePort);
        w.U16(s.destinationPort);
        w.U32(s.specTrailer);
    }
    return w.Finish();
}

bool DecodeBlob(const std::uint8_t* data, std::size_t size, PolicyObject& policy) {
    return DecodeInto(data, size, policy,
                      [](BlobReader& r, PolicyObject& p) { return r.U32(p.pollingInterval); });
}

bool DecodeBlob(const std::uint8_t* data, std::size_t size, IsakmpPolicy& isakmp) {
    return DecodeInto(data, size, isakmp, [](BlobReader& r, IsakmpPolicy& p) {
        std::size_t count = 0;
        if (!r.Array(p.isakmpHeader) || !r.Count(kOfferSize, count))
            return false;
        p.offers.resize(count);
        for (IsakmpOffer& offer : p.offers)
            if (!r.Array(offer.bytes))
                return false;
        return true;
    });
}

bool DecodeBlob(const std::uint8_t* data, std::size_t size, RuleObject& rule) {
    return DecodeInto(data, size, rule, [](BlobReader& r, RuleObject& p) {
        std::size_t count = 0;
        if (!r.Count(kAuthMethodMin, count))
            return false;
        p.authMethods.assign(count, AuthMethod{});
        for (AuthMethod& m : p.authMethods)
            if (!r.U32(m.method) || !r.Wide(m.text))
                return false;
        return r.I32(p.interfaceType) && r.Wide(p.interfaceName) && r.U32(p.tunnelAddress) &&
               r.U32(p.tunnelFlags) && r.U32(p.activeFlag) && r.Wide(p.endpointName) &&
               r.Array(p.ruleTrailer);
    });
}

bool DecodeBlob(const std::uint8_t* data, std::size_t size, FilterList& list) {
    return DecodeInto(data, size, list, [](BlobReader& r, FilterList& p) {
        std::size_t count = 0;
        if (!r.Count(kFilterSpecMin, count))
            return false;
        p.specs.assign(count, FilterSpec{});
        for (FilterSpec& s : p.specs) {
            if (!r.Wide(s.firstText) || !r.Wide(s.secondText) || !r.Wide(s.thirdText) ||
                !r.GuidBytes(s.specId) || !r.U32(s.mirrored) || !r.Array(s.sourceAddress) ||
                !r.Array(s.sourceMask) || !r.Array(s.destinationAddress) ||
                !r.Array(s.destinationMask) || !r.Array(s.specTunnelAddress) ||
                !r.U32(s.protocol) || !r.U16(s.sourcePort) || !r.U16(s.destinationPort) ||
                !r.U32(s.specTrailer))
                return false;
        }
        return true;
    });
}

} // namespace ipseccfg
