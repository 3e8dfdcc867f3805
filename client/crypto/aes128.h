// AES with 128-bit keys (FIPS-197), single blocks and ECB runs of blocks.
//
// One Aes128 holds both the encryption key schedule (section 5.2) and the
// decryption schedule of the equivalent inverse cipher (section 5.3.5), so the
// same object encrypts and decrypts. The AES-NI instructions are used when the
// processor has them (checked at run time, never assumed at compile time);
// otherwise a portable table-driven implementation runs. Both give identical
// results; AesEngine::Portable forces the portable one, for tests and
// benchmarks. The schedules are wiped when the object is destroyed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dravolin::crypto {

inline constexpr std::size_t kAesBlockSize = 16;
inline constexpr std::size_t kAes128KeySize = 16;
inline constexpr std::size_t kAes128Rounds = 10;

enum class AesEngine {
    Automatic, // AES-NI when available, else portable
    Portable,  // always the portable code
    Hardware,  // AES-NI; setKey() falls back to Portable when unavailable
};

// True when this processor (and operating system) supports AES-NI.
bool aesHardwareAvailable();

class Aes128 {
  public:
    Aes128() = default;
    explicit Aes128(const std::uint8_t key[kAes128KeySize],
                    AesEngine engine = AesEngine::Automatic) {
        setKey(key, engine);
    }
    ~Aes128();
    Aes128(const Aes128&) = default;
    Aes128& operator=(const Aes128&) = default;

    // Expands the key into both schedules and picks the engine.
    void setKey(const std::uint8_t key[kAes128KeySize], AesEngine engine = AesEngine::Automatic);
    // Wipes both schedules; the object is then keyless.
    void clear();

    // The engine actually in use after setKey(): Portable or Hardware.
    AesEngine engine() const { return engine_; }

    // One block; in and out may be the same buffer.
    void encryptBlock(const std::uint8_t in[kAesBlockSize], std::uint8_t out[kAesBlockSize]) const;
    void decryptBlock(const std::uint8_t in[kAesBlockSize], std::uint8_t out[kAesBlockSize]) const;

    // `blocks` independent blocks (ECB); in and out may be the same buffer.
    void encryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) const;
    void decryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) const;

    // ECB with a 16-byte mask, fused for the channel frames:
    //   encryptBlocksMasked: out[i] = E(in[i] XOR mask)
    //   decryptBlocksMasked: out[i] = D(in[i]) XOR mask
    // in and out may be the same buffer; mask must not overlap out.
    void encryptBlocksMasked(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                             const std::uint8_t mask[kAesBlockSize]) const;
    void decryptBlocksMasked(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                             const std::uint8_t mask[kAesBlockSize]) const;

    // Round key r (0..10) of the encryption schedule: words w[4r..4r+3] of
    // FIPS-197 section 5.2, each word as its four bytes in order.
    const std::uint8_t* encryptionRoundKey(std::size_t round) const {
        return encKeys_ + round * kAesBlockSize;
    }

  private:
    alignas(16) std::uint8_t encKeys_[(kAes128Rounds + 1) * kAesBlockSize] = {};
    // Equivalent inverse cipher: round keys in order of use, middle ones
    // passed through InvMixColumns.
    alignas(16) std::uint8_t decKeys_[(kAes128Rounds + 1) * kAesBlockSize] = {};
    AesEngine engine_ = AesEngine::Portable;
};

} // namespace dravolin::crypto
