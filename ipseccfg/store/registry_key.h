// One registry key and its values, as the configurator sees the registry.
//
// All names and texts are narrow (ANSI code page) text; values travel as byte
// strings. Every operation reports success as a bool and never throws. The
// same interface is backed by the real registry on Windows and by an
// in-memory registry elsewhere (see memory_platform.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ipseccfg {

// Predefined root keys, by their platform values.
using RootKey = std::uint32_t;
inline constexpr RootKey kHkeyCurrentUser = 0x80000001u;
inline constexpr RootKey kHkeyLocalMachine = 0x80000002u;

// Access mask the configurator uses for every key.
inline constexpr std::uint32_t kKeyAllAccess = 0xF003Fu;

// Open flags, combinable.
inline constexpr unsigned OpenExisting = 1;
inline constexpr unsigned CreateNew = 2;

// Registry value types.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

// Reads refuse values larger than this; exactly this size is accepted.
inline constexpr std::size_t kMaxValueSize = 0x10000;

using Bytes = std::vector<std::uint8_t>;

class CRegistryKey {
  public:
    CRegistryKey() noexcept = default;
    ~CRegistryKey();
    CRegistryKey(CRegistryKey&& other) noexcept;
    CRegistryKey& operator=(CRegistryKey&& other) noexcept;
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // Closes a handle still open, then opens `path` below `root`.
    // OpenExisting: open an existing key. CreateNew: create it when missing.
    // With CreateNew alone the call succeeds only when the key was new.
    bool Open(RootKey root, std::string_view path, unsigned flags, std::uint32_t access) noexcept;
    // Always succeeds.
    bool Close() noexcept;
    bool IsOpen() const noexcept { return handle_ != 0; }
    const std::string& Path() const noexcept { return path_; }

    // REG_SZ only; one trailing NUL, if stored, is dropped.
    bool ReadString(std::string_view name, std::string& text) noexcept;
    // Any type; for REG_SZ one trailing NUL is dropped.
    bool ReadBytes(std::string_view name, Bytes& bytes) noexcept;
    // REG_MULTI_SZ in exactly the form WriteMultiString stores. On malformed
    // data the list is emptied and the read fails.
    bool ReadMultiString(std::string_view name, std::vector<std::string>& list) noexcept;
    // The raw stored type and bytes (nothing dropped). Same size limit.
    bool ReadValue(std::string_view name, std::uint32_t& type, Bytes& bytes) noexcept;
    // Whether the value exists, whatever its type and size.
    bool HasValue(std::string_view name) noexcept;

    // REG_SZ with the text's bytes and no terminating NUL.
    bool WriteString(std::string_view name, std::string_view text) noexcept;
    bool WriteDword(std::string_view name, std::uint32_t value) noexcept;
    bool WriteBytes(std::string_view name, const Bytes& bytes) noexcept;
    // Each string followed by a NUL, then one more NUL (an empty list is one NUL).
    bool WriteMultiString(std::string_view name, const std::vector<std::string>& list) noexcept;
    // Any type with exactly the given bytes.
    bool WriteValue(std::string_view name, std::uint32_t type, const Bytes& bytes) noexcept;

    // Deletes a value of the open key. A missing value is a failure.
    bool DeleteValue(std::string_view name) noexcept;

    // Deletes a key that has no sub-keys. A missing key is a failure.
    static bool DeleteKey(RootKey root, std::string_view path) noexcept;

  private:
    bool QueryRaw(std::string_view name, std::uint32_t& type, Bytes& bytes) noexcept;
    bool SetRaw(std::string_view name, std::uint32_t type, const std::uint8_t* data,
                std::size_t size) noexcept;

    RootKey root_ = 0;
    std::string path_;
    std::uint32_t access_ = 0;
    std::uintptr_t handle_ = 0;
};

} // namespace ipseccfg
