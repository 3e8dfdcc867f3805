// Helpers for tests of the exported interface.
#pragma once

#include "DravolinClient.h"
#include "loopback_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace dravolin::protocol {
inline void PrintTo(const Record& r, std::ostream* os) {
    *os << '{' << r.name << '=' << r.value << '}';
}
} // namespace dravolin::protocol

namespace apitest {

using testpeer::Record;

// Waits (bounded, as a hang guard only) until pred holds.
inline bool waitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct Completion {
    uint32_t id;
    int failed;
    Response* response;
};

// Every callback lands here: the interface passes no user pointer.
class Completions {
  public:
    static Completions& instance() {
        static Completions c;
        return c;
    }
    static void DRAVOLIN_CALL callback(uint32_t id, int failed, Response* response) {
        instance().add({id, failed, response});
    }
    void add(Completion c) {
        std::function<void(const Completion&)> hook;
        {
            std::lock_guard guard(lock_);
            all_.push_back(c);
            hook = hook_;
        }
        cv_.notify_all();
        if (hook) {
            hook(c);
        }
    }
    void reset() {
        std::lock_guard guard(lock_);
        all_.clear();
        hook_ = nullptr;
    }
    // Runs inside every callback, on the worker thread.
    void setHook(std::function<void(const Completion&)> hook) {
        std::lock_guard guard(lock_);
        hook_ = std::move(hook);
    }
    bool waitFor(std::size_t count) {
        std::unique_lock guard(lock_);
        return cv_.wait_for(guard, std::chrono::seconds(20), [&] { return all_.size() >= count; });
    }
    std::vector<Completion> all() {
        std::lock_guard guard(lock_);
        return all_;
    }
    std::size_t countFor(uint32_t id) {
        std::lock_guard guard(lock_);
        std::size_t n = 0;
        for (const auto& c : all_) {
            n += c.id == id;
        }
        return n;
    }

  private:
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<Completion> all_;
    std::function<void(const Completion&)> hook_;
};

inline std::vector<Record> recordsOf(Response* response) {
    std::vector<Record> records;
    std::vector<char> name(DRAVOLIN_MAX_LINE + 1);
    std::vector<char> value(DRAVOLIN_MAX_LINE + 1);
    DravolinClient_ResponseReset(response);
    while (DravolinClient_ResponseGetNext(response, name.data(), value.data())) {
        records.push_back({name.data(), value.data()});
    }
    return records;
}

// The initialised library for one test; Free at the end.
class ApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Completions::instance().reset();
        ASSERT_EQ(DravolinClient_Init(), DRAVOLIN_OK);
    }
    void TearDown() override {
        DravolinClient_Free();
        Completions::instance().reset();
    }
    uint32_t connect(const testpeer::LoopbackPeer& peer) {
        uint32_t handle = 0;
        EXPECT_EQ(
            DravolinClient_Connect("127.0.0.1", peer.servicePort(), &handle, nullptr, nullptr),
            DRAVOLIN_OK);
        return handle;
    }
};

} // namespace apitest
