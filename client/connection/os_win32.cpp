#include "os.h"

#include <windows.h>

#include <condition_variable>
#include <mutex>

namespace dravolin::os {

char pathSeparator() {
    return '\\';
}

std::string executablePath() {
    char path[MAX_PATH + 1] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return {};
    }
    return std::string(path, n);
}

std::optional<std::string> systemMessage(std::uint32_t code) {
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                         FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                     nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                     reinterpret_cast<char*>(&text), 0, nullptr);
    if (n == 0 || !text) {
        return std::nullopt;
    }
    std::string result(text, n);
    ::LocalFree(text);
    return result;
}

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

OutputFile::~OutputFile() {
    close();
}

bool OutputFile::open(const std::string& path) {
    close();
    error_ = 0;
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error_ = ::GetLastError();
        return false;
    }
    handle_ = file;
    failed_ = false;
    buffer_.reserve(kBufferSize);
    return true;
}

bool OutputFile::flush() {
    std::size_t done = 0;
    while (!failed_ && done < buffer_.size()) {
        DWORD written = 0;
        const BOOL wrote =
            ::WriteFile(static_cast<HANDLE>(handle_), buffer_.data() + done,
                        static_cast<DWORD>(buffer_.size() - done), &written, nullptr);
        if (!wrote || written == 0) {
            if (error_ == 0) {
                error_ = wrote ? ERROR_DISK_FULL : ::GetLastError();
            }
            failed_ = true;
            break;
        }
        done += written;
    }
    buffer_.clear();
    return !failed_;
}

bool OutputFile::closeHandle() {
    if (::CloseHandle(static_cast<HANDLE>(handle_)) != FALSE) {
        return true;
    }
    if (error_ == 0) {
        error_ = ::GetLastError();
    }
    return false;
}

} // namespace dravolin::os
