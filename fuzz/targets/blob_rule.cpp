// "ipsecData" decoder of the RuleObject kind.
#include "blob_harness.h"

int FuzzBlobRule(const std::uint8_t* data, std::size_t size) {
    return dravolin::fuzz::blob::Run<ipseccfg::RuleObject>(data, size);
}
