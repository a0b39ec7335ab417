// MurmurHash3 x86_32, after Austin Appleby's public-domain reference (SMHasher's MurmurHash3.cpp).
// Our own copy because no registry carries one that builds without Python: mmh3's sdist has the
// function only inside headers that include Python.h, and the C++ tests link no Python. The tests
// check it against the published vectors and against mmh3 itself.
#include "murmur_hash3.h"

namespace lumo::typing::text {
namespace {

constexpr std::uint32_t kC1 = 0xcc9e2d51u;
constexpr std::uint32_t kC2 = 0x1b873593u;

std::uint32_t rotate_left(std::uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

std::uint32_t byte_at(std::string_view data, std::size_t index) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(data[index]));
}

// The block's bytes as a little-endian word; compilers turn this into one load on little-endian machines.
std::uint32_t block_at(std::string_view data, std::size_t index) {
  return byte_at(data, index) | (byte_at(data, index + 1) << 8) | (byte_at(data, index + 2) << 16) |
         (byte_at(data, index + 3) << 24);
}

std::uint32_t scramble(std::uint32_t block) { return rotate_left(block * kC1, 15) * kC2; }

}  // namespace

std::uint32_t murmur_hash3_x86_32(std::string_view data, std::uint32_t seed) noexcept {
  std::uint32_t hash = seed;
  const std::size_t tail = data.size() & ~std::size_t{3};
  for (std::size_t index = 0; index < tail; index += 4) {
    hash ^= scramble(block_at(data, index));
    hash = rotate_left(hash, 13) * 5 + 0xe6546b64u;
  }
  std::uint32_t last = 0;
  switch (data.size() & 3) {
    case 3: last ^= byte_at(data, tail + 2) << 16; [[fallthrough]];
    case 2: last ^= byte_at(data, tail + 1) << 8; [[fallthrough]];
    case 1: last ^= byte_at(data, tail); hash ^= scramble(last); break;
    default: break;
  }
  // The length enters modulo 2^32, as in the reference's 32-bit int.
  hash ^= static_cast<std::uint32_t>(data.size());
  hash ^= hash >> 16;
  hash *= 0x85ebca6bu;
  hash ^= hash >> 13;
  hash *= 0xc2b2ae35u;
  hash ^= hash >> 16;
  return hash;
}

}  // namespace lumo::typing::text
