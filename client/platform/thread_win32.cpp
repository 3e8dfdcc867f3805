#include "thread.h"

#include <windows.h>

#include <process.h>

#include <memory>

namespace dravolin::os {

namespace {

// The deepest path measured 35 KiB under Wine (a mutual CHAP login switching to the encrypted
// channel, "getlog", the failure paths), 32 KiB of it the receive buffer. The rest is room
// for the caller's callbacks, which run on this stack, a synchronous call from one included.
// Reserved, not committed: the system commits pages as the stack grows into them, so 2 GiB
// of address space hold thousands of workers where the program's default (1 or 2 MiB) held
// a few hundred. (Wine gives every thread at least 1 MiB whatever is asked for.)
constexpr std::size_t kWorkerStack = 256 * 1024;

unsigned __stdcall runBody(void* argument) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    try {
        (*body)();
    } catch (...) {
        // A worker ends quietly; what it served has been failed by its own code.
    }
    return 0;
}

} // namespace

std::size_t Thread::workerStackSize() {
    return kWorkerStack;
}

Thread::~Thread() {
    detach();
}

Thread::Thread(Thread&& other) noexcept : id_(other.id_), handle_(other.handle_) {
    other.id_ = 0;
    other.handle_ = nullptr;
}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        detach();
        id_ = other.id_;
        handle_ = other.handle_;
        other.id_ = 0;
        other.handle_ = nullptr;
    }
    return *this;
}

std::uint32_t Thread::startOwned(std::function<void()>* owned, std::size_t stackSize) {
    if (!owned) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (const std::uint32_t failure =
            joinable() ? ERROR_INVALID_PARAMETER : failStartsWith.load()) {
        delete owned;
        return failure;
    }
    // _beginthreadex rather than CreateThread: the C runtime's per-thread data is set up and
    // released with the thread.
    unsigned id = 0;
    const std::uintptr_t handle =
        ::_beginthreadex(nullptr, static_cast<unsigned>(stackSize), runBody, owned,
                         STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    if (handle == 0) {
        const DWORD error = ::GetLastError();
        delete owned;
        return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    id_ = id;
    handle_ = reinterpret_cast<void*>(handle);
    return 0;
}

void Thread::join() {
    if (joinable()) {
        ::WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
        detach();
    }
}

void Thread::detach() {
    if (joinable()) {
        ::CloseHandle(static_cast<HANDLE>(handle_));
        id_ = 0;
        handle_ = nullptr;
    }
}

Thread::Id Thread::currentId() {
    return ::GetCurrentThreadId();
}

} // namespace dravolin::os
