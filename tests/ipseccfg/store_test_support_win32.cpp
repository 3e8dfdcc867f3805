#include "store_test_support.h"

namespace storetest {

void ResetPlatform() {}

// Present in every Windows and every Wine prefix.
const char* ExistingService() {
    return "RpcSs";
}

} // namespace storetest
