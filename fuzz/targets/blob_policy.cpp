// "ipsecData" decoder of the PolicyObject kind.
#include "blob_harness.h"

int FuzzBlobPolicy(const std::uint8_t* data, std::size_t size) {
    return dravolin::fuzz::blob::Run<ipseccfg::PolicyObject>(data, size);
}
