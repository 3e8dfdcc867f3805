#include "guarded_buffer.h"

#include <windows.h>

namespace dravolin::crypto::test {

GuardedBuffer::GuardedBuffer(std::size_t size) : size_(size) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const std::size_t page = info.dwPageSize;
    const std::size_t usable = (size + page - 1) / page * page;
    mappingSize_ = usable + page;
    void* p = VirtualAlloc(nullptr, mappingSize_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!p)
        return;
    mapping_ = p;
    auto base = static_cast<std::uint8_t*>(p);
    DWORD old = 0;
    if (!VirtualProtect(base + usable, page, PAGE_NOACCESS, &old))
        return;
    data_ = base + usable - size;
}

GuardedBuffer::~GuardedBuffer() {
    if (mapping_)
        VirtualFree(mapping_, 0, MEM_RELEASE);
}

} // namespace dravolin::crypto::test
