// The lenient JSON reader: one value from the start of a text, diagnostics instead of failures.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string_view>

#include "json_value.h"

namespace lumo::json {

// Objects and arrays nested deeper than this are read as Null with a diagnostic, so that hostile
// input cannot exhaust the stack; a model document needs two levels.
inline constexpr int kMaxNestingDepth = 512;

// Reads the first value of `text`; what follows it is ignored. Syntax errors never stop the parse:
// each writes one line to `diagnostics` and yields a fallback value. Throws std::invalid_argument
// ("invalid stol argument", "invalid stod argument") or std::out_of_range ("stol argument out of
// range", "stod argument out of range") when a number's text does not convert.
JsonValue parse(std::string_view text, std::ostream& diagnostics);
// The same, with diagnostics on the standard error stream.
JsonValue parse(std::string_view text);

// Conversions of collected number text: the longest leading number in base 10, the rest ignored,
// independent of the process locale. Throw as parse does.
std::int32_t convert_to_int32(const std::string& text);
double convert_to_double(const std::string& text);

}  // namespace lumo::json
