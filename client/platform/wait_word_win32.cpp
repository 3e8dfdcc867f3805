#include "wait_word.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace dravolin::os {

namespace {

// Parked threads wait on a lock and condition of a small table, picked by the word's address;
// the word is read under that lock, so a change and its wake are never missed. Threads of
// other words that share an entry are woken too and look again.
struct ParkingSlot {
    std::mutex lock;
    std::condition_variable changed;
};

ParkingSlot& slotFor(const void* word) {
    static ParkingSlot slots[32];
    return slots[(reinterpret_cast<std::uintptr_t>(word) / sizeof(std::int32_t)) % 32];
}

} // namespace

void waitWord(std::atomic<std::int32_t>& word, std::int32_t expected) {
    ParkingSlot& slot = slotFor(&word);
    std::unique_lock guard(slot.lock);
    slot.changed.wait(guard, [&] { return word.load() != expected; });
}

void wakeWord(std::atomic<std::int32_t>& word) {
    ParkingSlot& slot = slotFor(&word);
    {
        std::lock_guard guard(slot.lock); // a waiter is now either parked or sees the change
    }
    slot.changed.notify_all();
}

} // namespace dravolin::os
