// Scriptable stand-in for the service control manager behind CServiceControl.
#include <cctype>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "memory_platform.h"
#include "service_control.h"

namespace ipseccfg {

namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

struct Service {
    standin::ServiceScript script;
    standin::ServiceRecord record;
    int queriesLeft = 0; // until running, after an accepted start
    bool starting = false;
};

struct OpenService {
    std::string name;
    std::uint32_t access;
};

struct Manager {
    std::mutex mutex;
    std::map<std::string, Service> services; // by lower-case name
    std::set<std::uintptr_t> managers;
    std::map<std::uintptr_t, OpenService> handles;
    std::uintptr_t nextHandle = 0x2000;
    std::map<standin::ServiceOp, int> failures;

    bool ShouldFail(standin::ServiceOp op) {
        auto it = failures.find(op);
        if (it == failures.end() || it->second == 0)
            return false;
        if (it->second > 0)
            --it->second;
        return true;
    }

    Service* Lookup(std::uintptr_t handle, std::uint32_t needed) {
        auto h = handles.find(handle);
        if (h == handles.end() || (h->second.access & needed) != needed)
            return nullptr;
        auto s = services.find(h->second.name);
        return s == services.end() ? nullptr : &s->second;
    }
};

Manager& Scm() {
    static Manager manager;
    return manager;
}

} // namespace

bool CServiceControl::Open(std::string_view serviceName, std::uint32_t access) noexcept {
    Close();
    try {
        Manager& m = Scm();
        std::lock_guard lock(m.mutex);
        if (m.ShouldFail(standin::ServiceOp::OpenManager))
            return false;
        const std::uintptr_t manager = m.nextHandle++;
        m.managers.insert(manager);
        const std::string key = Lower(serviceName);
        auto it = m.services.find(key);
        if (m.ShouldFail(standin::ServiceOp::OpenService) || it == m.services.end()) {
            m.managers.erase(manager);
            return false;
        }
        it->second.record.lastOpenAccess = access;
        const std::uintptr_t service = m.nextHandle++;
        m.handles.emplace(service, OpenService{key, access});
        manager_ = manager;
        service_ = service;
        return true;
    } catch (...) {
        return false;
    }
}

bool CServiceControl::QueryState(std::uint32_t& state) noexcept {
    if (service_ == 0)
        return false;
    Manager& m = Scm();
    std::lock_guard lock(m.mutex);
    Service* s = m.Lookup(service_, kServiceQueryStatus);
    if (s == nullptr || m.ShouldFail(standin::ServiceOp::Query))
        return false;
    ++s->record.queries;
    if (s->starting && s->queriesLeft > 0 && --s->queriesLeft == 0) {
        s->record.state = kServiceRunning;
        s->starting = false;
    }
    state = s->record.state;
    return true;
}

bool CServiceControl::Start() noexcept {
    if (service_ == 0)
        return false;
    Manager& m = Scm();
    std::lock_guard lock(m.mutex);
    Service* s = m.Lookup(service_, kServiceStart);
    if (s == nullptr || m.ShouldFail(standin::ServiceOp::Start))
        return false;
    // Like the real manager: only a stopped service can be started.
    if (s->script.refuseStart || s->record.state != kServiceStopped)
        return false;
    ++s->record.starts;
    if (s->script.queriesUntilRunning == 0) {
        s->record.state = kServiceRunning;
    } else {
        s->record.state = s->script.pendingState;
        s->starting = s->script.queriesUntilRunning > 0;
        s->queriesLeft = s->script.queriesUntilRunning;
    }
    return true;
}

bool CServiceControl::Control(std::uint32_t code) noexcept {
    if (service_ == 0)
        return false;
    Manager& m = Scm();
    std::lock_guard lock(m.mutex);
    // User-defined codes (128..255) need their own access right.
    const std::uint32_t needed = code >= 128 && code <= 255 ? kServiceUserDefinedControl : 0;
    Service* s = m.Lookup(service_, needed);
    if (s == nullptr || m.ShouldFail(standin::ServiceOp::Control))
        return false;
    if (s->script.refuseControls || s->record.state != kServiceRunning)
        return false;
    try {
        s->record.controls.push_back(code);
    } catch (...) {
        return false;
    }
    return true;
}

bool CServiceControl::Close() noexcept {
    Manager& m = Scm();
    std::lock_guard lock(m.mutex);
    if (service_ != 0) {
        m.handles.erase(service_);
        service_ = 0;
    }
    if (manager_ != 0) {
        m.managers.erase(manager_);
        manager_ = 0;
    }
    return true;
}

namespace standin {

void ResetServices() {
    Manager& m = Scm();
    std::lock_guard lock(m.mutex);
    m.services.clear();
    m.failures.clear();
}

void InstallService(std::string_view name, const ServiceScript& script) {
    Manager& m = Scm();
    std::lock_guard lock(m.mutex);
    Service s;
    s.script = script;
    s.record.state = script.state;
    m.services[Lower(name)] = s;
}

ServiceRecord ServiceHistory(std::string_view name) {
    Manager& m = Scm();
    std::lock_guard lock(m.mutex);
    auto it = m.services.find(Lower(name));
    return it == m.services.end() ? ServiceRecord{} : it->second.record;
}

void FailService(ServiceOp op, int times) {
    Manager& m = Scm();
    std::lock_guard lock(m.mutex);
    m.failures[op] = times;
}

int OpenServiceHandles() {
    Manager& m = Scm();
    std::lock_guard lock(m.mutex);
    return static_cast<int>(m.managers.size() + m.handles.size());
}

} // namespace standin

} // namespace ipseccfg
