// Parking a thread on a 32-bit word, for the library's waits.
#pragma once

#include <atomic>
#include <cstdint>

namespace dravolin::os {

// waitWord blocks while `word` holds `expected` and returns once woken or the word changed (it
// may also return early); wakeWord wakes the threads parked on `word`, and must follow the
// change of the word that they wait for. Linux: a futex on the word itself.
void waitWord(std::atomic<std::int32_t>& word, std::int32_t expected);
void wakeWord(std::atomic<std::int32_t>& word);

} // namespace dravolin::os
