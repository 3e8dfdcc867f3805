#include "policy_store_ops.h"

#include <cerrno>
#include <ctime>

namespace ipseccfg {

void PlatformSleep(unsigned milliseconds) {
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

} // namespace ipseccfg
