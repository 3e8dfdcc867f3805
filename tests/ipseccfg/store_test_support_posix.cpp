#include "store/memory_platform.h"
#include "store/registry_key.h"
#include "store_test_support.h"

namespace storetest {

void ResetPlatform() {
    ipseccfg::standin::ResetRegistry();
    ipseccfg::standin::ResetServices();
    ipseccfg::standin::ServiceScript running;
    running.state = 4;
    ipseccfg::standin::InstallService(ExistingService(), running);
}

int StoredTextLength(const std::string& keyPath, const std::string& valueName) {
    ipseccfg::CRegistryKey key;
    std::uint32_t type = 0;
    ipseccfg::Bytes bytes;
    if (!key.Open(ipseccfg::kHkeyLocalMachine, keyPath, ipseccfg::OpenExisting,
                  ipseccfg::kKeyAllAccess) ||
        !key.ReadValue(valueName, type, bytes))
        return -1;
    return static_cast<int>(bytes.size());
}

const char* ExistingService() {
    return "RpcSs";
}

} // namespace storetest
