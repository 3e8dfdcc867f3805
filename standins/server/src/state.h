// What all connections of one server share: the device table, permissions,
// parameters and counters. Thread-safe; every method takes the lock itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace dravolin::testserver {

struct Device {
    std::string name;
    std::string type;
    std::uint64_t size = 0;
    std::string status = "online";
};

struct Permission {
    std::string user;
    std::string device;
    std::string access; // "r", "w", "rw" or "none"
};

struct Parameter {
    std::string name;
    std::string value;
    bool readOnly = false;
};

class ServerState {
  public:
    explicit ServerState(const std::string& authMode);

    std::vector<Device> devices() const;
    std::optional<Device> device(const std::string& name) const;
    bool addDevice(const Device& device); // false when the name exists
    bool removeDevice(const std::string& name);

    std::vector<Permission> permissions() const;
    // Replaces a permission of the same user and device; false when the
    // device does not exist.
    bool allow(const Permission& permission);

    std::optional<Parameter> parameter(const std::string& name) const;
    enum class SetResult { Ok, Unknown, ReadOnly };
    SetResult setParameter(const std::string& name, const std::string& value);

    std::atomic<std::uint64_t> connectionsTotal{0};
    std::atomic<std::uint64_t> connectionsActive{0};
    std::atomic<std::uint64_t> commands{0};
    std::atomic<std::uint64_t> bytesSent{0};
    std::atomic<std::uint64_t> bytesReceived{0};
    std::atomic<std::uint64_t> faultsInjected{0};

  private:
    mutable std::mutex lock_;
    std::vector<Device> devices_;
    std::vector<Permission> permissions_;
    std::vector<Parameter> parameters_;
};

} // namespace dravolin::testserver
