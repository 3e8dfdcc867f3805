// REG_MULTI_SZ byte form: each string followed by a NUL, then one more NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ipseccfg {

std::vector<std::uint8_t> JoinMultiString(const std::vector<std::string>& list);

// Accepts exactly the form JoinMultiString produces: strings up to the first
// empty one, whose NUL must be the last byte. Anything else (no data, a
// string without its NUL, a missing final NUL, bytes after it) fails and
// leaves `list` empty. Pure; reads only data[0..size).
bool SplitMultiString(const std::uint8_t* data, std::size_t size,
                      std::vector<std::string>& list) noexcept;

} // namespace ipseccfg
