// Processors without AES instructions we could use: the portable engine only.
#include "aes128_impl.h"

#include <cstdlib>

namespace dravolin::crypto::detail {

bool aesniSupported() {
    return false;
}

void aesniEncryptBlocks(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t,
                        const std::uint8_t*) {
    std::abort(); // unreachable: never selected when aesniSupported() is false
}

void aesniDecryptBlocks(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t,
                        const std::uint8_t*) {
    std::abort();
}

} // namespace dravolin::crypto::detail
