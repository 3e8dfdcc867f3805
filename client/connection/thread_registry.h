// Worker threads of the connections: how one is started, and the registry that lets ending
// the library wait for all of them, also those whose connection went away on the worker
// itself.
#pragma once

#include "thread.h"

#include <chrono>
#include <cstdint>
#include <functional>

namespace dravolin::threads {

// Starts a worker thread running `body` into `thread`: 0 when it started, else the system's
// error code (nothing runs then). The thread is counted as running until its body has
// returned.
std::uint32_t start(os::Thread& thread, std::function<void()> body);

// True on any worker thread (inside a callback).
bool onWorkerThread();

// Hands a worker over to be joined later: one that is ending its own connection, or one
// that did not end in time.
void adopt(os::Thread thread);

// Waits (at most `limit`) until no worker runs but the calling one, and joins the adopted
// ones: after it, no library thread is left running code except the caller.
void joinEnded(std::chrono::milliseconds limit);

} // namespace dravolin::threads
