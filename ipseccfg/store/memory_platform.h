// The in-memory registry and service control manager that stand in for the
// platform's in non-Windows builds, with hooks for tests. Process-wide state,
// like the real ones. Only available where the _posix stand-ins
// (registry_key_posix.cpp, service_control_posix.cpp) are built.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "registry_key.h"

namespace ipseccfg::standin {

// Registry operations that can be made to fail.
// SetValue covers every change of a value, its deletion included.
enum class RegOp { OpenKey, CreateKey, QueryValue, SetValue, DeleteKey };

// Empties the registry (the predefined roots stay), clears failure rules and
// the write journal.
void ResetRegistry();

// Makes the next `times` operations of kind `op` fail (times < 0: all), after
// letting `skip` matching ones pass. `match` is searched (case-insensitively)
// in "path" for key operations and in "path\value name" for value
// operations; empty matches everything.
// Opening with OpenExisting | CreateNew falls back to creation when OpenKey
// fails, as on the platform: fail CreateKey to make such an open fail.
void FailRegistry(RegOp op, std::string_view match = {}, int times = 1, int skip = 0);
void ClearRegistryFailures();

// Every successful value write as "path\value name", in order.
std::vector<std::string> RegistryWriteJournal();

bool KeyExists(RootKey root, std::string_view path);
// Names of the direct sub-keys, sorted case-insensitively.
std::vector<std::string> SubKeys(RootKey root, std::string_view path);
// Value names of a key in the order they were first written.
std::vector<std::string> ValueNames(RootKey root, std::string_view path);

// Service stand-in.
enum class ServiceOp { OpenManager, OpenService, Query, Start, Control };

struct ServiceScript {
    std::uint32_t state = 1; // stopped
    // After an accepted start: state reported until `queriesUntilRunning`
    // queries have been made, then running (4). Negative: never runs.
    std::uint32_t pendingState = 2;
    int queriesUntilRunning = 0;
    bool refuseStart = false;
    bool refuseControls = false;
};

struct ServiceRecord {
    std::uint32_t state = 0;
    int starts = 0;
    int queries = 0;
    std::vector<std::uint32_t> controls;
    std::uint32_t lastOpenAccess = 0;
};

void ResetServices();
void InstallService(std::string_view name, const ServiceScript& script);
// What the service saw so far; a default record for unknown services.
ServiceRecord ServiceHistory(std::string_view name);
void FailService(ServiceOp op, int times = 1);
// Number of manager and service handles currently open.
int OpenServiceHandles();
// Number of registry handles currently open.
int OpenRegistryHandles();

} // namespace ipseccfg::standin
