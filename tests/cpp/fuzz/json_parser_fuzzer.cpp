// Fuzzes the lenient parser: any bytes must parse without faults, and a parsed container
// serialized and parsed again must give the same text (a fixpoint up to the six decimals).
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string_view>

#include "json_parser.h"

namespace {

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static NullBuffer buffer;
  static std::ostream quiet(&buffer);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  lumo::json::JsonValue value;
  try {
    value = lumo::json::parse(text, quiet);
  } catch (const std::invalid_argument&) {
    return 0;
  } catch (const std::out_of_range&) {
    return 0;
  }
  if (value.kind() != lumo::json::JsonKind::Object && value.kind() != lumo::json::JsonKind::Array) return 0;
  const std::string written = value.serialize(1, "  ");
  const std::string again = lumo::json::parse(written, quiet).serialize(1, "  ");
  if (again != written) __builtin_trap();
  return 0;
}
