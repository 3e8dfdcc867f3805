#include <windows.h>

#include <string>
#include <vector>

#include "registry_key.h"

namespace ipseccfg {

namespace {

HKEY ToHkey(RootKey root) {
    // Predefined keys are sign-extended 32-bit constants.
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root)));
}

HKEY Handle(std::uintptr_t h) {
    return reinterpret_cast<HKEY>(h);
}

} // namespace

bool CRegistryKey::Open(RootKey root, std::string_view path, unsigned flags,
                        std::uint32_t access) noexcept {
    Close();
    try {
        path_.assign(path);
    } catch (...) {
        return false;
    }
    access_ = access;
    root_ = root;
    if (flags & OpenExisting) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(ToHkey(root_), path_.c_str(), 0, access_, &key) == ERROR_SUCCESS) {
            handle_ = reinterpret_cast<std::uintptr_t>(key);
            return true;
        }
    }
    if (!(flags & CreateNew))
        return false;
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(ToHkey(root_), path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access_,
                        nullptr, &key, &disposition) != ERROR_SUCCESS)
        return false;
    if ((flags & OpenExisting) || disposition == REG_CREATED_NEW_KEY) {
        handle_ = reinterpret_cast<std::uintptr_t>(key);
        return true;
    }
    RegCloseKey(key);
    return false;
}

bool CRegistryKey::Close() noexcept {
    if (handle_ != 0) {
        RegCloseKey(Handle(handle_));
        handle_ = 0;
    }
    return true;
}

bool CRegistryKey::QueryRaw(std::string_view name, std::uint32_t& type, Bytes& bytes) noexcept {
    if (handle_ == 0)
        return false;
    try {
        const std::string valueName(name);
        DWORD t = 0;
        DWORD size = 0;
        if (RegQueryValueExA(Handle(handle_), valueName.c_str(), nullptr, &t, nullptr, &size) !=
            ERROR_SUCCESS)
            return false;
        if (size > kMaxValueSize)
            return false;
        Bytes data(size);
        DWORD got = size;
        if (RegQueryValueExA(Handle(handle_), valueName.c_str(), nullptr, &t,
                             size ? data.data() : nullptr, &got) != ERROR_SUCCESS)
            return false;
        // For text the first answer may over-estimate the size.
        if (got < data.size())
            data.resize(got);
        type = t;
        bytes.swap(data);
        return true;
    } catch (...) {
        return false;
    }
}

bool CRegistryKey::HasValue(std::string_view name) noexcept {
    if (handle_ == 0)
        return false;
    try {
        const std::string valueName(name);
        DWORD type = 0;
        DWORD size = 0;
        return RegQueryValueExA(Handle(handle_), valueName.c_str(), nullptr, &type, nullptr,
                                &size) == ERROR_SUCCESS;
    } catch (...) {
        return false;
    }
}

bool CRegistryKey::SetRaw(std::string_view name, std::uint32_t type, const std::uint8_t* data,
                          std::size_t size) noexcept {
    if (handle_ == 0)
        return false;
    try {
        const std::string valueName(name);
        static const BYTE kEmpty = 0;
        if ((type == REG_SZ || type == REG_EXPAND_SZ) && size != 0 && data[size - 1] != 0) {
            // The ANSI function counts a NUL that directly follows the data
            // as part of the text. Text is stored with exactly the given
            // byte count, so the byte after it must not be a NUL.
            std::vector<BYTE> copy(data, data + size);
            copy.push_back(1);
            return RegSetValueExA(Handle(handle_), valueName.c_str(), 0, type, copy.data(),
                                  static_cast<DWORD>(size)) == ERROR_SUCCESS;
        }
        return RegSetValueExA(Handle(handle_), valueName.c_str(), 0, type, size ? data : &kEmpty,
                              static_cast<DWORD>(size)) == ERROR_SUCCESS;
    } catch (...) {
        return false;
    }
}

bool CRegistryKey::DeleteValue(std::string_view name) noexcept {
    if (handle_ == 0)
        return false;
    try {
        const std::string valueName(name);
        return RegDeleteValueA(Handle(handle_), valueName.c_str()) == ERROR_SUCCESS;
    } catch (...) {
        return false;
    }
}

bool CRegistryKey::DeleteKey(RootKey root, std::string_view path) noexcept {
    try {
        const std::string p(path);
        return RegDeleteKeyA(ToHkey(root), p.c_str()) == ERROR_SUCCESS;
    } catch (...) {
        return false;
    }
}

} // namespace ipseccfg
