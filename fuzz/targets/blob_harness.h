// Properties shared by the four "ipsecData" decoders:
//  - arbitrary bytes: the decoder stays inside the blob (the sanitizers
//    check), a rejected blob leaves the object exactly as it was, and an
//    accepted one encodes and decodes again to the same bytes;
//  - objects built from the input: encode then decode gives the object back,
//    the frame (type GUID, body length, final zero) is right, and every
//    truncation of the blob is rejected without touching the object.
#pragma once

#include "harness.h"

#include "policy/ipsec_blob.h"
#include "policy/policy_types.h"

#include <cstring>
#include <vector>

namespace dravolin::fuzz::blob {

inline std::u16string WideText(InputReader& in, std::size_t maxUnits) {
    std::u16string s(in.byte() % (maxUnits + 1), u'\0');
    for (auto& c : s) {
        c = in.u16();
        if (c == 0) // a zero unit ends the text when read back
            c = u'?';
    }
    return s;
}

inline void Fill(ipseccfg::PolicyObject& p, InputReader& in) {
    p.pollingInterval = static_cast<std::uint32_t>(in.u16()) << 8 | in.byte();
}

inline void Fill(ipseccfg::IsakmpPolicy& p, InputReader& in) {
    for (auto& b : p.isakmpHeader)
        b = in.byte();
    p.offers.resize(in.byte() % 4);
    for (auto& offer : p.offers)
        for (auto& b : offer.bytes)
            b = in.byte();
}

inline void Fill(ipseccfg::RuleObject& r, InputReader& in) {
    r.authMethods.resize(in.byte() % 4);
    for (auto& m : r.authMethods) {
        m.method = in.byte();
        m.text = WideText(in, 40);
    }
    r.interfaceType = static_cast<std::int32_t>(static_cast<std::int16_t>(in.u16()));
    r.interfaceName = WideText(in, 8);
    r.tunnelAddress = static_cast<std::uint32_t>(in.u16()) << 16 | in.u16();
    r.tunnelFlags = in.byte();
    r.activeFlag = in.byte();
    r.endpointName = WideText(in, 8);
    for (auto& b : r.ruleTrailer)
        b = in.byte();
}

inline void Fill(ipseccfg::FilterList& f, InputReader& in) {
    f.specs.resize(in.byte() % 4);
    for (auto& s : f.specs) {
        s.firstText = WideText(in, 6);
        s.secondText = WideText(in, 6);
        s.thirdText = WideText(in, 6);
        s.specId.data1 = static_cast<std::uint32_t>(in.u16()) << 16 | in.u16();
        s.specId.data2 = in.u16();
        s.specId.data3 = in.u16();
        for (auto& b : s.specId.data4)
            b = in.byte();
        s.mirrored = in.byte();
        for (auto* a : {&s.sourceAddress, &s.sourceMask, &s.destinationAddress, &s.destinationMask,
                        &s.specTunnelAddress})
            for (auto& b : *a)
                b = in.byte();
        s.protocol = in.byte();
        s.sourcePort = in.u16();
        s.destinationPort = in.u16();
        s.specTrailer = in.u16();
    }
}

// Fields outside the blob must never be touched by a decoder.
inline void SetBookkeeping(ipseccfg::StoreObject& o) {
    o.description = "description";
    o.ipsecId = "{07F7805E-A746-486C-B1FF-5A6A33DE185D}";
    o.ipsecName = "DravService";
    o.ownersReference = {"owner-a", "owner-b"};
    o.name = "kind{07F7805E-A746-486C-B1FF-5A6A33DE185D}";
}

inline bool SameBookkeeping(const ipseccfg::StoreObject& a, const ipseccfg::StoreObject& b) {
    return a.description == b.description && a.ipsecId == b.ipsecId && a.ipsecName == b.ipsecName &&
           a.ownersReference == b.ownersReference && a.name == b.name;
}

template <class T> bool Same(const T& a, const T& b) {
    return SameBookkeeping(a, b) && ipseccfg::EncodeBlob(a) == ipseccfg::EncodeBlob(b);
}

inline std::uint32_t ReadLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

template <class T> int Run(const std::uint8_t* data, std::size_t size) {
    InputReader in(data, size);
    const std::uint8_t mode = in.byte();

    // The type GUID of the kind, taken from the encoding of a default object.
    const std::vector<std::uint8_t> emptyBlob = ipseccfg::EncodeBlob(T{});
    FUZZ_REQUIRE(emptyBlob.size() >= 21);

    if (mode & 1) {
        T original;
        SetBookkeeping(original);
        Fill(original, in);
        const std::vector<std::uint8_t> blob = ipseccfg::EncodeBlob(original);
        FUZZ_REQUIRE(blob.size() >= 21);
        FUZZ_REQUIRE(std::memcmp(blob.data(), emptyBlob.data(), 16) == 0);
        FUZZ_REQUIRE(ReadLe32(blob.data() + 16) == blob.size() - 21);
        FUZZ_REQUIRE(blob.back() == 0);

        T back;
        SetBookkeeping(back);
        FUZZ_REQUIRE(ipseccfg::DecodeBlob(blob.data(), blob.size(), back));
        FUZZ_REQUIRE(Same(back, original));

        // A blob cut short inside a field is malformed. Only the final byte
        // carries nothing the decoder needs.
        const std::size_t cut = in.u16() % blob.size();
        T target;
        SetBookkeeping(target);
        Fill(target, in);
        const T before = target;
        std::vector<std::uint8_t> shortBlob(blob.begin(), blob.begin() + cut);
        const bool accepted = ipseccfg::DecodeBlob(shortBlob.data(), shortBlob.size(), target);
        if (accepted) {
            FUZZ_REQUIRE(cut + 1 >= blob.size());
        } else {
            FUZZ_REQUIRE(Same(target, before));
        }
        return 0;
    }

    // Arbitrary bytes, decoded into an object that already holds data. An
    // exactly sized copy lets the sanitizers see any read past the end.
    static const std::uint8_t kPrefill[] = {3,  7,  1, 2, 3,  4, 5, 6, 7, 8, 9, 10, 11, 12,
                                            13, 14, 2, 0, 65, 0, 1, 2, 3, 4, 5, 6,  7,  8,
                                            2,  66, 0, 1, 9,  9, 9, 9, 9, 9, 9, 9,  9,  9};
    InputReader prefill(kPrefill, sizeof kPrefill);
    T target;
    SetBookkeeping(target);
    Fill(target, prefill);
    const T before = target;
    const std::string_view rest = in.rest();
    std::vector<std::uint8_t> blob(rest.begin(), rest.end());
    if (!ipseccfg::DecodeBlob(blob.data(), blob.size(), target)) {
        FUZZ_REQUIRE(Same(target, before));
        return 0;
    }
    FUZZ_REQUIRE(SameBookkeeping(target, before));
    const std::vector<std::uint8_t> again = ipseccfg::EncodeBlob(target);
    T second;
    FUZZ_REQUIRE(ipseccfg::DecodeBlob(again.data(), again.size(), second));
    FUZZ_REQUIRE(ipseccfg::EncodeBlob(second) == again);
    return 0;
}

} // namespace dravolin::fuzz::blob
