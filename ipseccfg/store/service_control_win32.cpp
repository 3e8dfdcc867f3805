#include <windows.h>

#include <string>

#include "service_control.h"

namespace ipseccfg {

namespace {
SC_HANDLE Handle(std::uintptr_t h) {
    return reinterpret_cast<SC_HANDLE>(h);
}
} // namespace

bool CServiceControl::Open(std::string_view serviceName, std::uint32_t access) noexcept {
    Close();
    try {
        const std::string name(serviceName);
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (manager == nullptr)
            return false;
        SC_HANDLE service = OpenServiceA(manager, name.c_str(), access);
        if (service == nullptr) {
            CloseServiceHandle(manager);
            return false;
        }
        manager_ = reinterpret_cast<std::uintptr_t>(manager);
        service_ = reinterpret_cast<std::uintptr_t>(service);
        return true;
    } catch (...) {
        Close();
        return false;
    }
}

bool CServiceControl::QueryState(std::uint32_t& state) noexcept {
    if (service_ == 0)
        return false;
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(Handle(service_), &status))
        return false;
    state = status.dwCurrentState;
    return true;
}

bool CServiceControl::Start() noexcept {
    if (service_ == 0)
        return false;
    return StartServiceA(Handle(service_), 0, nullptr) != FALSE;
}

bool CServiceControl::Control(std::uint32_t code) noexcept {
    if (service_ == 0)
        return false;
    SERVICE_STATUS status{};
    return ControlService(Handle(service_), code, &status) != FALSE;
}

bool CServiceControl::Close() noexcept {
    if (service_ != 0) {
        CloseServiceHandle(Handle(service_));
        service_ = 0;
    }
    if (manager_ != 0) {
        CloseServiceHandle(Handle(manager_));
        manager_ = 0;
    }
    return true;
}

} // namespace ipseccfg
