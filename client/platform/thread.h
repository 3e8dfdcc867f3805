// A thread whose stack size is chosen here rather than by the host program's linker settings:
// a connection's worker needs little stack, and a process with thousands of connections runs
// out of address space long before memory when each worker reserves the program's default.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

namespace dravolin::os {

class Thread {
  public:
    // The system's identifier of a thread; 0 stands for none.
    using Id = std::uintptr_t;

    Thread() = default;
    // Detaches a thread that was neither joined nor detached: it runs on, never blocks us.
    ~Thread();
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&& other) noexcept;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Runs `body` on a new thread with a stack of `stackSize` bytes. 0 when it started;
    // otherwise the system's error code, and nothing runs. Never throws.
    template <class Body>
    std::uint32_t start(Body&& body, std::size_t stackSize = workerStackSize()) {
        std::function<void()>* owned = nullptr;
        try {
            owned = new std::function<void()>(std::forward<Body>(body));
        } catch (...) {
        }
        return startOwned(owned, stackSize);
    }

    bool joinable() const { return id_ != 0; }
    void join();
    void detach();
    Id id() const { return id_; }
    static Id currentId();

    // What a connection's worker gets: its deepest path (a CHAP login switching to the
    // encrypted channel, then "getlog") with room to spare for the caller's callbacks.
    static std::size_t workerStackSize();

    // Tests: while not 0, start() fails with this code without starting anything.
    static inline std::atomic<std::uint32_t> failStartsWith{0};

  private:
    // Takes `body`; null stands for the allocation that failed (an out-of-memory code).
    std::uint32_t startOwned(std::function<void()>* body, std::size_t stackSize);

    Id id_ = 0;
    [[maybe_unused]] void* handle_ =
        nullptr; // the thread's handle where the system has one apart from its id
};

} // namespace dravolin::os
