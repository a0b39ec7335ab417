// The lenient JSON reader: one value from the start of a text, diagnostics instead of failures.
//
// This library reads and writes the BM25 model document in exactly the form that models already
// stored were written in, and reproduces its reader's behaviour rule for rule: a syntax error
// never stops the parse but writes one fixed line ("ERROR: Object: Expected comma, found 'x'",
// "Error: Object: Expected colon, ...", with their exact capitals) and yields a fallback value;
// keys keep their escapes; \u escapes stay text; numbers convert as std::stol / std::stod would,
// with their exception messages. Stored files and callers that read the diagnostics depend on
// each of these, so the lenient rules are the contract, not oversights: the parser's table tests
// pin every one. What was added is only what keeps hostile input harmless: reads never pass the
// end of the text, nesting is bounded, and parse_shaped keeps no more than its reader needs.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string_view>
#include <vector>

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

// A document of one known shape, read without holding what the reader does not need: a root
// object whose members named in `kept` are kept (scalars; a string stays, a container becomes
// Null), and whose member `streamed`, when it is an object, is handed over entry by entry (key
// as held, value as a kept member's) instead of being kept. Everything else is read in full,
// with the same diagnostics and errors as parse, and dropped.
struct DocumentShape {
  std::vector<std::string_view> kept;
  std::string_view streamed;
  std::function<void()> on_member;  // at each occurrence of the streamed key, before its entries
  std::function<void(const std::string& key, const JsonValue& value)> on_entry;
};

// Reads a document of that shape: the result is the root object with its kept members only (or
// Null when the root is not an object). Throws as parse does.
JsonValue parse_shaped(std::string_view text, const DocumentShape& shape, std::ostream& diagnostics);

// Conversions of collected number text: the longest leading number in base 10, the rest ignored,
// independent of the process locale. Throw as parse does.
std::int32_t convert_to_int32(const std::string& text);
double convert_to_double(const std::string& text);

}  // namespace lumo::json
