// TokenHash: the keyed hash of the model's tables, over token bytes and over integer ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Inlined: the hash runs once per token of every call, and most tokens are a few bytes long.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace lumo::typing::text {

// XXH3 under a secret drawn at random once per process: the tables probe linearly, so a hash
// anyone could invert would let crafted tokens (or a crafted model document) make every lookup
// walk one long run. Hashes are never stored or shown, so they need not agree across processes.
// XXH3 rather than SipHash: at a few nanoseconds per short token it keeps train within a few
// percent of an unkeyed hash, where SipHash would cost a third more.
struct HashSecret {
  HashSecret();  // draws the bytes from the system's random source
  alignas(64) unsigned char bytes[192];
};
extern const HashSecret kHashSecret;

struct TokenHash {
  std::size_t operator()(std::string_view token) const noexcept {
    return static_cast<std::size_t>(XXH3_64bits_withSecret(token.data(), token.size(), kHashSecret.bytes, sizeof kHashSecret.bytes));
  }
  std::size_t operator()(std::int64_t id) const noexcept {
    return static_cast<std::size_t>(XXH3_64bits_withSecret(&id, sizeof id, kHashSecret.bytes, sizeof kHashSecret.bytes));
  }
};

}  // namespace lumo::typing::text
