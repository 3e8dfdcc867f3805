#include <windows.h>

#include <string>

#include "store_test_support.h"

namespace storetest {

void ResetPlatform() {}

int StoredTextLength(const std::string& keyPath, const std::string& valueName) {
    const std::wstring path(keyPath.begin(), keyPath.end());
    const std::wstring name(valueName.begin(), valueName.end());
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return -1;
    DWORD type = 0;
    DWORD size = 0;
    const LONG rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_SZ ? static_cast<int>(size / 2) : -1;
}

// Present in every Windows and every Wine prefix.
const char* ExistingService() {
    return "RpcSs";
}

} // namespace storetest
