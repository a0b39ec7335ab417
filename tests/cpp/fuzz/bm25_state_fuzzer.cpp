// Fuzzes the BM25 state reader (the bytes pickle hands to __setstate__): any bytes are read
// without faults, refused only with std::invalid_argument, and a state it accepts is written back
// byte for byte.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bm25.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view state(reinterpret_cast<const char*>(data), size);
  try {
    const lumo::typing::text::BM25 model = lumo::typing::text::BM25::from_state(state);
    std::string written(model.state_size(), '\0');
    model.write_state(written.data());
    if (written != state) __builtin_trap();
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
