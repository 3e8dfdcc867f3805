#include "guarded_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

namespace dravolin::crypto::test {

GuardedBuffer::GuardedBuffer(std::size_t size) : size_(size) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t usable = (size + page - 1) / page * page;
    mappingSize_ = usable + page;
    void* p =
        mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return;
    mapping_ = p;
    auto base = static_cast<std::uint8_t*>(p);
    if (mprotect(base + usable, page, PROT_NONE) != 0)
        return;
    data_ = base + usable - size;
}

GuardedBuffer::~GuardedBuffer() {
    if (mapping_)
        munmap(mapping_, mappingSize_);
}

} // namespace dravolin::crypto::test
