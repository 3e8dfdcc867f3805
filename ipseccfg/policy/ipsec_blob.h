// The "ipsecData" layouts of the four object kinds. Pure code over bytes.
//
// Encoders produce the complete blob: 16-byte type GUID, u32 body length N,
// the body, one zero byte. Decoders fill only the kind-specific fields and
// never read outside the given bytes; a malformed blob (truncated field,
// string length below 2, odd or beyond the data, count beyond the data)
// makes them return false and leave the object unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "policy_types.h"

namespace ipseccfg {

std::vector<std::uint8_t> EncodeBlob(const PolicyObject& policy);
std::vector<std::uint8_t> EncodeBlob(const IsakmpPolicy& isakmp);
std::vector<std::uint8_t> EncodeBlob(const RuleObject& rule);
std::vector<std::uint8_t> EncodeBlob(const FilterList& list);

bool DecodeBlob(const std::uint8_t* data, std::size_t size, PolicyObject& policy);
bool DecodeBlob(const std::uint8_t* data, std::size_t size, IsakmpPolicy& isakmp);
bool DecodeBlob(const std::uint8_t* data, std::size_t size, RuleObject& rule);
bool DecodeBlob(const std::uint8_t* data, std::size_t size, FilterList& list);

} // namespace ipseccfg
