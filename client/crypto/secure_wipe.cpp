#include "byte_order.h"

namespace dravolin::crypto::detail {

void secureWipe(void* p, std::size_t size) {
    if (size == 0)
        return;
    std::memset(p, 0, size);
    // Tell the optimiser the cleared memory is observed, so the memset of
    // an object about to die is not removed as a dead store.
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

} // namespace dravolin::crypto::detail
