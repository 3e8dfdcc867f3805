#include "thread.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

namespace dravolin::os {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DRAVOLIN_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DRAVOLIN_SANITIZED_BUILD 1
#endif
#endif

// The deepest path measured 49 KiB (a mutual CHAP login switching to the encrypted channel,
// "getlog", the failure paths; a host name's lookup 45 KiB), 32 KiB of it the receive
// buffer. The rest is room for the caller's callbacks, which run on this stack, a synchronous
// call from one included. Address and thread sanitizers pad every frame and run their own
// code on it, hence four times as much there.
#ifdef DRAVOLIN_SANITIZED_BUILD
constexpr std::size_t kWorkerStack = 1024 * 1024;
#else
constexpr std::size_t kWorkerStack = 256 * 1024;
#endif

void* runBody(void* argument) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    try {
        (*body)();
    } catch (...) {
        // A worker ends quietly; what it served has been failed by its own code.
    }
    return nullptr;
}

std::size_t pageRounded(std::size_t size) {
    const long page = ::sysconf(_SC_PAGESIZE);
    const auto unit = static_cast<std::size_t>(page > 0 ? page : 4096);
    const auto minimum = static_cast<std::size_t>(PTHREAD_STACK_MIN);
    size = size < minimum ? minimum : size;
    return (size + unit - 1) / unit * unit;
}

} // namespace

std::size_t Thread::workerStackSize() {
    return kWorkerStack;
}

Thread::~Thread() {
    detach();
}

Thread::Thread(Thread&& other) noexcept : id_(other.id_) {
    other.id_ = 0;
}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        detach();
        id_ = other.id_;
        other.id_ = 0;
    }
    return *this;
}

std::uint32_t Thread::startOwned(std::function<void()>* owned, std::size_t stackSize) {
    if (!owned) {
        return ENOMEM;
    }
    if (const std::uint32_t failure = joinable() ? EINVAL : failStartsWith.load()) {
        delete owned;
        return failure;
    }
    pthread_attr_t attributes;
    int error = ::pthread_attr_init(&attributes);
    if (error != 0) {
        delete owned;
        return static_cast<std::uint32_t>(error);
    }
    error = ::pthread_attr_setstacksize(&attributes, pageRounded(stackSize));
    pthread_t thread{};
    if (error == 0) {
        error = ::pthread_create(&thread, &attributes, runBody, owned);
    }
    ::pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete owned;
        return static_cast<std::uint32_t>(error);
    }
    id_ = static_cast<Id>(thread);
    return 0;
}

void Thread::join() {
    if (joinable()) {
        ::pthread_join(static_cast<pthread_t>(id_), nullptr);
        id_ = 0;
    }
}

void Thread::detach() {
    if (joinable()) {
        ::pthread_detach(static_cast<pthread_t>(id_));
        id_ = 0;
    }
}

Thread::Id Thread::currentId() {
    return static_cast<Id>(::pthread_self());
}

} // namespace dravolin::os
