// One service, reached through the service control manager of the local
// machine. Every operation reports success as a bool and never throws. Backed
// by the real service control manager on Windows and by a scriptable
// stand-in elsewhere (see memory_platform.h).
#pragma once

#include <cstdint>
#include <string_view>

namespace ipseccfg {

// Service states as the service control manager reports them.
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;

inline constexpr std::uint32_t kScManagerAllAccess = 0xF003Fu;
inline constexpr std::uint32_t kServiceQueryStatus = 0x0004u;
inline constexpr std::uint32_t kServiceStart = 0x0010u;
inline constexpr std::uint32_t kServiceUserDefinedControl = 0x0100u;

class CServiceControl {
  public:
    CServiceControl() noexcept = default;
    ~CServiceControl();
    CServiceControl(CServiceControl&& other) noexcept;
    CServiceControl& operator=(CServiceControl&& other) noexcept;
    CServiceControl(const CServiceControl&) = delete;
    CServiceControl& operator=(const CServiceControl&) = delete;

    // Connects to the manager with full access, then opens the service with
    // `access`. Succeeds only when both handles were obtained.
    bool Open(std::string_view serviceName, std::uint32_t access) noexcept;
    bool QueryState(std::uint32_t& state) noexcept;
    // Starts the service without arguments.
    bool Start() noexcept;
    // Sends a control code; succeeds when it was delivered.
    bool Control(std::uint32_t code) noexcept;
    // Closes the service handle, then the manager handle. Always succeeds.
    bool Close() noexcept;
    bool IsOpen() const noexcept { return service_ != 0; }

  private:
    std::uintptr_t manager_ = 0;
    std::uintptr_t service_ = 0;
};

} // namespace ipseccfg
