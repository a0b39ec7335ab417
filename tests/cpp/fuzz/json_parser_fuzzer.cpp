// Fuzzes the lenient parser: any bytes must parse without faults; a parsed container serialized
// and parsed again must give the same text (a fixpoint up to the six decimals); and the shaped
// reader that load uses must write the same diagnostics, throw alike, and hand over exactly the
// table entries that the whole parse keeps.
#include <cstddef>
#include <cstdint>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "json_parser.h"

namespace {

using lumo::json::JsonKind;
using lumo::json::JsonValue;
using Entries = std::map<std::string, std::pair<std::int32_t, bool>>;

// Parses with `read`; false when a number did not convert.
template <class Read>
bool parsed(Read read) {
  try {
    read();
    return true;
  } catch (const std::invalid_argument&) {
    return false;
  } catch (const std::out_of_range&) {
    return false;
  }
}

void check_shaped_reader(std::string_view text) {
  std::ostringstream whole_diagnostics;
  std::ostringstream shaped_diagnostics;
  JsonValue whole;
  const bool whole_ok = parsed([&] { whole = lumo::json::parse(text, whole_diagnostics); });
  Entries streamed;
  const lumo::json::DocumentShape shape{{"_doc_count", "_b"},
                                        "_doc_token_frequency",
                                        [&] { streamed.clear(); },
                                        [&](const std::string& key, const JsonValue& value) {
                                          streamed[key] = value.as_integral();
                                        }};
  JsonValue root;
  const bool shaped_ok = parsed([&] { root = lumo::json::parse_shaped(text, shape, shaped_diagnostics); });
  if (whole_ok != shaped_ok || whole_diagnostics.str() != shaped_diagnostics.str()) __builtin_trap();
  if (!whole_ok) return;
  Entries kept;
  const JsonValue table = whole["_doc_token_frequency"];
  for (const auto& [key, value] : table.entries()) kept[key] = value.as_integral();
  if (kept != streamed) __builtin_trap();
  for (const char* member : {"_doc_count", "_b"}) {
    if (whole[member].as_integral() != root[member].as_integral()) __builtin_trap();
    const auto [whole_number, whole_floating] = whole[member].as_floating();
    const auto [root_number, root_floating] = root[member].as_floating();
    const bool same = whole_number == root_number || (whole_number != whole_number && root_number != root_number);
    if (whole_floating != root_floating || !same) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_shaped_reader(text);
  std::ostringstream quiet;
  JsonValue value;
  if (!parsed([&] { value = lumo::json::parse(text, quiet); })) return 0;
  if (value.kind() != JsonKind::Object && value.kind() != JsonKind::Array) return 0;
  const std::string written = value.serialize(1, "  ");
  const std::string again = lumo::json::parse(written, quiet).serialize(1, "  ");
  if (again != written) __builtin_trap();
  return 0;
}
