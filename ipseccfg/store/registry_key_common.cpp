// The parts of CRegistryKey that do not depend on the platform.
#include "multi_string.h"
#include "registry_key.h"

namespace ipseccfg {

CRegistryKey::~CRegistryKey() {
    Close();
}

CRegistryKey::CRegistryKey(CRegistryKey&& other) noexcept
    : root_(other.root_), path_(std::move(other.path_)), access_(other.access_),
      handle_(other.handle_) {
    other.handle_ = 0;
}

CRegistryKey& CRegistryKey::operator=(CRegistryKey&& other) noexcept {
    if (this != &other) {
        Close();
        root_ = other.root_;
        path_ = std::move(other.path_);
        access_ = other.access_;
        handle_ = other.handle_;
        other.handle_ = 0;
    }
    return *this;
}

bool CRegistryKey::ReadValue(std::string_view name, std::uint32_t& type, Bytes& bytes) noexcept {
    return QueryRaw(name, type, bytes);
}

bool CRegistryKey::ReadString(std::string_view name, std::string& text) noexcept {
    std::uint32_t type = 0;
    Bytes bytes;
    if (!QueryRaw(name, type, bytes) || type != kRegSz)
        return false;
    if (!bytes.empty() && bytes.back() == 0)
        bytes.pop_back();
    try {
        text.assign(bytes.begin(), bytes.end());
    } catch (...) {
        return false;
    }
    return true;
}

bool CRegistryKey::ReadBytes(std::string_view name, Bytes& out) noexcept {
    std::uint32_t type = 0;
    Bytes bytes;
    if (!QueryRaw(name, type, bytes))
        return false;
    if (type == kRegSz && !bytes.empty() && bytes.back() == 0)
        bytes.pop_back();
    out.swap(bytes);
    return true;
}

bool CRegistryKey::ReadMultiString(std::string_view name, std::vector<std::string>& list) noexcept {
    std::uint32_t type = 0;
    Bytes bytes;
    if (!QueryRaw(name, type, bytes) || type != kRegMultiSz)
        return false;
    return SplitMultiString(bytes.data(), bytes.size(), list);
}

bool CRegistryKey::WriteString(std::string_view name, std::string_view text) noexcept {
    return SetRaw(name, kRegSz, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool CRegistryKey::WriteDword(std::string_view name, std::uint32_t value) noexcept {
    const std::uint8_t le[4] = {
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return SetRaw(name, kRegDword, le, sizeof le);
}

bool CRegistryKey::WriteBytes(std::string_view name, const Bytes& bytes) noexcept {
    return SetRaw(name, kRegBinary, bytes.data(), bytes.size());
}

bool CRegistryKey::WriteMultiString(std::string_view name,
                                    const std::vector<std::string>& list) noexcept {
    try {
        const Bytes bytes = JoinMultiString(list);
        return SetRaw(name, kRegMultiSz, bytes.data(), bytes.size());
    } catch (...) {
        return false;
    }
}

bool CRegistryKey::WriteValue(std::string_view name, std::uint32_t type,
                              const Bytes& bytes) noexcept {
    return SetRaw(name, type, bytes.data(), bytes.size());
}

} // namespace ipseccfg
