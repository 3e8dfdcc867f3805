#include "client_harness.h"

#include <string>
#include <thread>
#include <vector>

namespace dravolin::robust {

Records ReadRecords(Response* response) {
    Records records;
    if (!response)
        return records;
    // A record never exceeds one reply line.
    std::vector<char> name(DRAVOLIN_MAX_LINE + 1), value(DRAVOLIN_MAX_LINE + 1);
    DravolinClient_ResponseReset(response);
    while (DravolinClient_ResponseGetNext(response, name.data(), value.data()))
        records.emplace_back(name.data(), value.data());
    return records;
}

bool HasRecord(const Records& records, const std::string& name) {
    for (const auto& r : records)
        if (r.first == name)
            return true;
    return false;
}

testserver::ServerConfig LoopbackServer::DefaultConfig() {
    testserver::ServerConfig c;
    c.bindAddress = "127.0.0.1";
    c.ephemeral = true;
    c.users.push_back({"admin", "secret"});
    c.chapUsers.push_back({"chap", "chapsecret", "", ""});
    c.peerName = "testserver";
    c.peerSecret = "peersecret";
    c.logSize = 3000;
    return c;
}

LoopbackServer::LoopbackServer(testserver::ServerConfig config)
    : server_(std::make_unique<testserver::Server>(std::move(config))) {
    std::string error;
    started_ = server_->start(error);
}

LoopbackServer::~LoopbackServer() {
    stop();
}

void LoopbackServer::stop() {
    server_->stop();
}

bool LoopbackServer::waitForFaults(std::uint64_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kHangBound;
    while (faultsInjected() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

LoginParameters PlainLogin() {
    return LoginParameters{DRAVOLIN_LOGIN_PLAIN, "admin", "secret", nullptr, nullptr, 0};
}

LoginParameters ChapLogin(bool encrypt) {
    return LoginParameters{DRAVOLIN_LOGIN_CHAP, "chap",       "chapsecret",
                           "testserver",        "peersecret", static_cast<unsigned char>(encrypt)};
}

namespace {
void DRAVOLIN_CALL IgnoreCompletion(std::uint32_t, int, Response*) {}
} // namespace

void WarmUp() {
    LoopbackServer server;
    if (!server.started() || DravolinClient_Init() != DRAVOLIN_OK)
        return;
    for (bool encrypted : {false, true}) {
        std::uint32_t conn = 0;
        if (DravolinClient_Connect("127.0.0.1", server.servicePort(), &conn, nullptr, nullptr) !=
            DRAVOLIN_OK)
            continue;
        const LoginParameters login = encrypted ? ChapLogin(true) : PlainLogin();
        DravolinClient_Login(conn, &login, nullptr, nullptr);
        Response* r = nullptr;
        DravolinClient_SendRequest(conn, DRAVOLIN_REQUEST_LIST_DEVICES, nullptr, &r, nullptr,
                                   nullptr);
        DravolinClient_ResponseFree(r);
        std::uint32_t id = 0;
        DravolinClient_SendRequest(conn, DRAVOLIN_REQUEST_STATISTICS, "all", nullptr, &id,
                                   &IgnoreCompletion);
        DravolinClient_Disconnect(conn, nullptr, nullptr);
    }
    FinishesWithin([] { DravolinClient_Free(); }, kHangBound);
}

CompletionLog& CompletionLog::instance() {
    static CompletionLog log;
    return log;
}

void DRAVOLIN_CALL CompletionLog::Callback(std::uint32_t requestId, int failed,
                                           Response* response) {
    CompletionLog& log = instance();
    Records records = ReadRecords(response);
    void (*hook)(std::uint32_t, int) = nullptr;
    {
        std::lock_guard g(log.lock_);
        Entry& e = log.entries_[requestId];
        ++e.count;
        e.failed = failed;
        e.records = std::move(records);
        hook = log.hook_;
        log.changed_.notify_all();
    }
    if (hook)
        hook(requestId, failed);
}

void CompletionLog::reset() {
    std::lock_guard g(lock_);
    entries_.clear();
    hook_ = nullptr;
}

void CompletionLog::setHook(void (*hook)(std::uint32_t, int)) {
    std::lock_guard g(lock_);
    hook_ = hook;
}

bool CompletionLog::waitFor(const std::set<std::uint32_t>& ids, std::chrono::milliseconds bound) {
    std::unique_lock g(lock_);
    return changed_.wait_for(g, bound, [&] {
        for (auto id : ids)
            if (entries_.find(id) == entries_.end())
                return false;
        return true;
    });
}

CompletionLog::Entry CompletionLog::get(std::uint32_t id) {
    std::lock_guard g(lock_);
    auto it = entries_.find(id);
    return it == entries_.end() ? Entry{} : it->second;
}

std::map<std::uint32_t, CompletionLog::Entry> CompletionLog::all() {
    std::lock_guard g(lock_);
    return entries_;
}

std::size_t CompletionLog::total() {
    std::lock_guard g(lock_);
    std::size_t n = 0;
    for (const auto& [id, e] : entries_)
        n += static_cast<std::size_t>(e.count);
    return n;
}

} // namespace dravolin::robust
