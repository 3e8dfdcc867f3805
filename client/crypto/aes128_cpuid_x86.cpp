// Run-time check for AES-NI. Compiled for the baseline processor, unlike
// aes128_aesni.cpp, since it runs before anyone knows what the CPU has.
#include "aes128_impl.h"

#include <cpuid.h>

namespace dravolin::crypto::detail {

bool aesniSupported() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    // The kernels need SSE2 for their loads and XORs besides AES itself.
    return (edx & bit_SSE2) != 0 && (ecx & bit_AES) != 0;
}

} // namespace dravolin::crypto::detail
