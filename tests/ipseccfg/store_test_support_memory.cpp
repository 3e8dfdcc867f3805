#include "store/memory_platform.h"
#include "store_test_support.h"

namespace storetest {

void ResetPlatform() {
    ipseccfg::standin::ResetRegistry();
    ipseccfg::standin::ResetServices();
    ipseccfg::standin::ServiceScript running;
    running.state = 4;
    ipseccfg::standin::InstallService(ExistingService(), running);
}

const char* ExistingService() {
    return "RpcSs";
}

} // namespace storetest
