// async_session: asynchronous requests with a completion callback, in C++.
//
//     async_session HOST PORT [USER PASSWORD]
//
// Submits a device listing, a permission listing and the statistics at once, waits until
// every callback has run and prints the records of each. Without arguments it prints the
// library version and this usage.
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <DravolinClient.h>

namespace {

// Callbacks run on the connection's worker thread and carry no context pointer: they record
// the outcome here and wake the main thread. They must not wait on the same connection.
struct Completions {
    std::mutex mutex;
    std::condition_variable done;
    std::map<std::uint32_t, int> failed; // request identifier -> failed flag
} completions;

void DRAVOLIN_CALL onComplete(std::uint32_t requestId, int failed, Response*) {
    {
        std::lock_guard<std::mutex> lock(completions.mutex);
        completions.failed[requestId] = failed;
    }
    completions.done.notify_all();
}

struct Request {
    const char* title;
    unsigned code;
    const char* argument;
    Response* response = nullptr;
    std::uint32_t id = 0;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5) {
        std::cout << "DravolinClient version " << DravolinClient_GetVersion() << "\n"
                  << "usage: " << argv[0] << " HOST PORT [USER PASSWORD]\n";
        return argc == 1 ? 0 : 64;
    }
    if (DravolinClient_Init() != DRAVOLIN_OK)
        return 2;
    std::uint32_t conn = 0;
    if (DravolinClient_Connect(argv[1], std::atoi(argv[2]), &conn, nullptr, nullptr) !=
        DRAVOLIN_OK) {
        std::cerr << "cannot connect to " << argv[1] << ", service port " << argv[2] << "\n";
        DravolinClient_Free();
        return 2;
    }
    if (argc == 5) {
        LoginParameters login = {DRAVOLIN_LOGIN_PLAIN, argv[3], argv[4], nullptr, nullptr, 0};
        if (DravolinClient_Login(conn, &login, nullptr, nullptr) != DRAVOLIN_OK) {
            std::cerr << "login as " << argv[3] << " refused\n";
            DravolinClient_Free();
            return 2;
        }
    }

    std::vector<Request> requests = {
        {"devices", DRAVOLIN_REQUEST_LIST_DEVICES, nullptr},
        {"permissions", DRAVOLIN_REQUEST_LIST_PERMISSIONS, nullptr},
        {"statistics", DRAVOLIN_REQUEST_STATISTICS, ""},
    };
    for (auto& r : requests)
        DravolinClient_SendRequest(conn, r.code, r.argument, &r.response, &r.id, onComplete);

    int exitCode = 0;
    std::vector<char> name(DRAVOLIN_MAX_LINE + 1), value(DRAVOLIN_MAX_LINE + 1);
    for (auto& r : requests) {
        int failed = 1;
        if (r.id != 0) {
            std::unique_lock<std::mutex> lock(completions.mutex);
            completions.done.wait(lock, [&] { return completions.failed.count(r.id) != 0; });
            failed = completions.failed[r.id];
        }
        std::cout << "# " << r.title << (failed ? " (failed)" : "") << "\n";
        DravolinClient_ResponseReset(r.response);
        while (DravolinClient_ResponseGetNext(r.response, name.data(), value.data()))
            std::cout << name.data() << "=" << value.data() << "\n";
        DravolinClient_ResponseFree(r.response);
        if (failed)
            exitCode = 1;
    }

    DravolinClient_Disconnect(conn, nullptr, nullptr);
    DravolinClient_Free();
    return exitCode;
}
