// The per-process secret of TokenHash.
#include "token_hash.h"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace lumo::typing::text {

HashSecret::HashSecret() : bytes{} {
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (errno != EINTR) {
      break;
    }
  }
  if (filled < sizeof bytes) {
    // Without getrandom (a very old kernel), the standard library's source of randomness.
    std::random_device device;
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(device());
  }
}

const HashSecret kHashSecret;

}  // namespace lumo::typing::text
