// "ipsecData" decoder of the IsakmpPolicy kind.
#include "blob_harness.h"

int FuzzBlobIsakmp(const std::uint8_t* data, std::size_t size) {
    return dravolin::fuzz::blob::Run<ipseccfg::IsakmpPolicy>(data, size);
}
