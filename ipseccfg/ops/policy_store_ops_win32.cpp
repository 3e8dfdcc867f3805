#include "policy_store_ops.h"

#include <windows.h>

namespace ipseccfg {

void PlatformSleep(unsigned milliseconds) {
    Sleep(milliseconds);
}

} // namespace ipseccfg
