// "ipsecData" decoder of the FilterList kind.
#include "blob_harness.h"

int FuzzBlobFilterList(const std::uint8_t* data, std::size_t size) {
    return dravolin::fuzz::blob::Run<ipseccfg::FilterList>(data, size);
}
