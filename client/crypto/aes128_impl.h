// Engines behind Aes128. Internal to the crypto library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dravolin::crypto::detail {

// AES-NI kernels (aes128_aesni.cpp, built with the AES instructions enabled;
// only called after aesniSupported() said yes). `keys` is a schedule of 11
// round keys in order of use; `mask` may be null.
bool aesniSupported();
void aesniEncryptBlocks(const std::uint8_t* keys, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blocks, const std::uint8_t* mask);
void aesniDecryptBlocks(const std::uint8_t* keys, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blocks, const std::uint8_t* mask);

} // namespace dravolin::crypto::detail
