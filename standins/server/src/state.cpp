#include "state.h"

#include <algorithm>

namespace dravolin::testserver {

ServerState::ServerState(const std::string& authMode) {
    devices_ = {
        {"disk0", "file", 1073741824ull, "online"},
        {"disk1", "file", 536870912ull, "online"},
        {"cdrom0", "image", 734003200ull, "offline"},
    };
    permissions_ = {
        {"everyone", "disk0", "r"},
        {"admin", "disk0", "rw"},
        {"admin", "disk1", "rw"},
    };
    parameters_ = {
        {"CtlAuthMode", authMode, true},  {"ServiceVersion", "1.0", true},
        {"LogLevel", "2", false},         {"MaxSessions", "64", false},
        {"CacheSize", "16777216", false}, {"Alias", "test service", false},
    };
}

std::vector<Device> ServerState::devices() const {
    std::lock_guard g(lock_);
    return devices_;
}

std::optional<Device> ServerState::device(const std::string& name) const {
    std::lock_guard g(lock_);
    for (const auto& d : devices_)
        if (d.name == name)
            return d;
    return std::nullopt;
}

bool ServerState::addDevice(const Device& device) {
    std::lock_guard g(lock_);
    for (const auto& d : devices_)
        if (d.name == device.name)
            return false;
    devices_.push_back(device);
    return true;
}

bool ServerState::removeDevice(const std::string& name) {
    std::lock_guard g(lock_);
    auto it = std::find_if(devices_.begin(), devices_.end(),
                           [&](const Device& d) { return d.name == name; });
    if (it == devices_.end())
        return false;
    devices_.erase(it);
    std::erase_if(permissions_, [&](const Permission& p) { return p.device == name; });
    return true;
}

std::vector<Permission> ServerState::permissions() const {
    std::lock_guard g(lock_);
    return permissions_;
}

bool ServerState::allow(const Permission& permission) {
    std::lock_guard g(lock_);
    bool known = std::any_of(devices_.begin(), devices_.end(),
                             [&](const Device& d) { return d.name == permission.device; });
    if (!known)
        return false;
    for (auto& p : permissions_) {
        if (p.user == permission.user && p.device == permission.device) {
            p.access = permission.access;
            return true;
        }
    }
    permissions_.push_back(permission);
    return true;
}

std::optional<Parameter> ServerState::parameter(const std::string& name) const {
    std::lock_guard g(lock_);
    for (const auto& p : parameters_)
        if (p.name == name)
            return p;
    return std::nullopt;
}

ServerState::SetResult ServerState::setParameter(const std::string& name,
                                                 const std::string& value) {
    std::lock_guard g(lock_);
    for (auto& p : parameters_) {
        if (p.name != name)
            continue;
        if (p.readOnly)
            return SetResult::ReadOnly;
        p.value = value;
        return SetResult::Ok;
    }
    return SetResult::Unknown;
}

} // namespace dravolin::testserver
