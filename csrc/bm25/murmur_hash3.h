// MurmurHash3 x86_32: the column hash of sparse rows.
#pragma once

#include <cstdint>
#include <string_view>

namespace lumo::typing::text {

// Austin Appleby's MurmurHash3, x86 variant, 32 bits, of the bytes of `data` (read as little-endian
// blocks on every platform, so a column never depends on the machine). Equals mmh3.hash(data, seed,
// signed=False) for any length.
std::uint32_t murmur_hash3_x86_32(std::string_view data, std::uint32_t seed) noexcept;

}  // namespace lumo::typing::text
