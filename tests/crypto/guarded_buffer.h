// Memory whose end is followed by an inaccessible page: reading or writing
// one byte past the end crashes the test at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dravolin::crypto::test {

class GuardedBuffer {
  public:
    // `size` usable bytes, ending exactly at the guard page.
    explicit GuardedBuffer(std::size_t size);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool valid() const { return data_ != nullptr; }

  private:
    void* mapping_ = nullptr;
    std::size_t mappingSize_ = 0;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace dravolin::crypto::test
