#include "thread_registry.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace dravolin::threads {

namespace {

struct Registry {
    std::mutex lock;
    std::condition_variable changed;
    int running = 0;
    std::vector<os::Thread> adopted;    // workers that could not be joined where they stopped
    std::vector<os::Thread::Id> exited; // those of them that have left their body
};

Registry& registry() {
    static Registry* instance = new Registry; // outlives every worker
    return *instance;
}

thread_local bool isWorkerThread = false;

// Joins adopted workers that have already left their body, so that a program which never
// ends the library does not collect one finished thread per connection that ended on its
// worker.
void reapExited() {
    Registry& r = registry();
    std::vector<os::Thread> done;
    {
        std::lock_guard guard(r.lock);
        for (auto it = r.adopted.begin(); it != r.adopted.end();) {
            const auto exited = std::find(r.exited.begin(), r.exited.end(), it->id());
            if (exited != r.exited.end() && it->id() != os::Thread::currentId()) {
                r.exited.erase(exited);
                done.push_back(std::move(*it));
                it = r.adopted.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (os::Thread& thread : done) {
        thread.join(); // only its return is left to run
    }
}

void leave() {
    Registry& r = registry();
    {
        std::lock_guard guard(r.lock);
        --r.running;
        // An adopted worker is adopted before it gets here (on this thread, or by a stop that
        // gave up on it), so its id is found whenever it is there to be joined.
        const auto self = os::Thread::currentId();
        if (std::any_of(r.adopted.begin(), r.adopted.end(),
                        [&](const os::Thread& t) { return t.id() == self; })) {
            r.exited.push_back(self);
        }
    }
    r.changed.notify_all();
}

void run(const std::function<void()>& body) {
    isWorkerThread = true;
    try {
        body();
    } catch (...) {
    }
    leave();
}

// The one place where a worker's thread is made, with the stack a worker needs.
std::uint32_t spawn(os::Thread& thread, std::function<void()> body) {
    return thread.start([body = std::move(body)] { run(body); });
}

} // namespace

std::uint32_t start(os::Thread& thread, std::function<void()> body) {
    reapExited();
    Registry& r = registry();
    {
        std::lock_guard guard(r.lock);
        ++r.running;
    }
    const std::uint32_t error = spawn(thread, std::move(body));
    if (error != 0) {
        std::lock_guard guard(r.lock);
        --r.running;
    }
    return error;
}

bool onWorkerThread() {
    return isWorkerThread;
}

void adopt(os::Thread thread) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.adopted.push_back(std::move(thread));
}

void joinEnded(std::chrono::milliseconds limit) {
    Registry& r = registry();
    std::vector<os::Thread> adopted;
    bool allEnded = false;
    {
        std::unique_lock guard(r.lock);
        const int self = isWorkerThread ? 1 : 0;
        allEnded = r.changed.wait_for(guard, limit, [&] { return r.running <= self; });
        adopted.swap(r.adopted);
        r.exited.clear();
    }
    for (os::Thread& thread : adopted) {
        if (thread.id() == os::Thread::currentId() || !allEnded) {
            thread.detach(); // ourselves (a callback), or stuck past the limit
        } else {
            thread.join();
        }
    }
}

} // namespace dravolin::threads
