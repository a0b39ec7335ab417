// The lenient JSON reader. One position walks the text; past the last byte it reads NUL (the end
// marker), so no step ever reads beyond the text.
#include "json_parser.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <locale.h>
#include <stdexcept>
#include <string>

namespace lumo::json {
namespace {

bool is_whitespace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Characters that may follow a number inside an array or object.
bool ends_number(char c) { return is_whitespace(c) || c == ',' || c == ']' || c == '}'; }

locale_t c_locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

class Parser {
 public:
  Parser(std::string_view text, std::ostream& diagnostics)
      : text_(text), diagnostics_(diagnostics) {}

  // A value that is not kept is read in full, with every diagnostic, but a container of that kind
  // keeps none of what it holds and is Null.
  JsonValue parse_value(int depth, bool keep = true) {
    skip_whitespace();
    const char c = peek();
    switch (c) {
      case '"': return parse_string();
      case '[': return parse_array(depth, keep);
      case 't':
      case 'f': return parse_boolean();
      case 'n': return parse_null();
      case '{': return parse_object(depth, keep);
      default:
        if (c == '-' || is_digit(c)) return parse_number();
        report("ERROR: Parse: Unknown starting character '", std::string_view(&c, 1));
        return JsonValue();
    }
  }

 private:
  char peek() const { return position_ < text_.size() ? text_[position_] : '\0'; }
  bool at_end() const { return position_ >= text_.size(); }
  // Steps past the current character; the end marker is stepped past at most once.
  char take() {
    const char c = peek();
    if (position_ <= text_.size()) ++position_;
    return c;
  }

  void skip_whitespace() {
    while (!at_end() && is_whitespace(text_[position_])) ++position_;
  }

  void report(std::string_view prefix, std::string_view found) {
    diagnostics_.write(prefix.data(), static_cast<std::streamsize>(prefix.size()));
    diagnostics_.write(found.data(), static_cast<std::streamsize>(found.size()));
    diagnostics_.write("'\n", 2);
  }

  void report_char(std::string_view prefix, char found) { report(prefix, std::string_view(&found, 1)); }

  bool too_deep(int depth) {
    if (depth < kMaxNestingDepth) return false;
    report_char("ERROR: Parse: Nesting too deep, found '", peek());
    return true;
  }

  // A later entry with the same key replaces the earlier one. Documents we write list their keys
  // in order, so appending at the end is the common, constant-time case.
  static void store_entry(JsonValue& object, std::string&& key, JsonValue&& value) {
    JsonValue::ObjectMap& entries = object.object_entries();
    if (entries.empty() || entries.rbegin()->first < key) {
      entries.emplace_hint(entries.end(), std::move(key), std::move(value));
    } else {
      entries.insert_or_assign(std::move(key), std::move(value));
    }
  }

  JsonValue parse_object(int depth, bool keep) {
    if (too_deep(depth)) return JsonValue();
    if (!keep) {
      parse_members(depth, [&](std::string&&) { parse_value(depth + 1, false); });
      return JsonValue();
    }
    JsonValue object = JsonValue::make(JsonKind::Object);
    parse_members(depth, [&](std::string&& key) {
      JsonValue value = parse_value(depth + 1);
      store_entry(object, std::move(key), std::move(value));
    });
    return object;
  }

  // Reads the members of an object from its "{", calling read_member(key) with the position at
  // each member's value, which it reads. A key is the escaped text of a string, and empty for any
  // other value.
  template <class ReadMember>
  void parse_members(int depth, ReadMember read_member) {
    ++position_;  // the "{"
    skip_whitespace();
    if (peek() == '}') {
      ++position_;
      return;
    }
    for (;;) {
      JsonValue key = parse_value(depth + 1, false);
      skip_whitespace();
      if (peek() != ':') {
        report_char("Error: Object: Expected colon, found '", peek());
        return;
      }
      ++position_;
      skip_whitespace();
      read_member(key.as_text().first);
      skip_whitespace();
      const char c = peek();
      if (c == ',') {
        ++position_;
        continue;
      }
      if (c == '}') {
        ++position_;
        return;
      }
      report_char("ERROR: Object: Expected comma, found '", c);
      return;
    }
  }

  JsonValue parse_array(int depth, bool keep) {
    if (too_deep(depth)) return JsonValue();
    JsonValue array = keep ? JsonValue::make(JsonKind::Array) : JsonValue();
    ++position_;  // the "["
    skip_whitespace();
    if (peek() == ']') {
      ++position_;
      return array;
    }
    std::uint32_t index = 0;
    for (;;) {
      JsonValue element = parse_value(depth + 1, keep);
      if (keep) array[index++] = std::move(element);
      skip_whitespace();
      const char c = peek();
      if (c == ',') {
        ++position_;
        continue;
      }
      if (c == ']') {
        ++position_;
        return array;
      }
      report_char("ERROR: Array: Expected ',' or ']', found '", c);
      // Unlike objects, arrays drop what they read.
      return keep ? JsonValue::make(JsonKind::Array) : JsonValue();
    }
  }

 public:
  // The root of a document of a known shape (see parse_shaped).
  JsonValue parse_shaped_root(const DocumentShape& shape) {
    skip_whitespace();
    if (peek() != '{') return parse_value(0, false);
    JsonValue root = JsonValue::make(JsonKind::Object);
    parse_members(0, [&](std::string&& key) {
      if (key == shape.streamed) {
        shape.on_member();
        skip_whitespace();
        if (peek() == '{') {
          parse_members(1, [&](std::string&& entry_key) { shape.on_entry(entry_key, parse_value(2, false)); });
        } else {
          parse_value(1, false);
        }
      } else if (std::find(shape.kept.begin(), shape.kept.end(), key) != shape.kept.end()) {
        JsonValue value = parse_value(1, false);
        store_entry(root, std::move(key), std::move(value));
      } else {
        parse_value(1, false);
      }
    });
    return root;
  }

 private:
  JsonValue parse_string() {
    ++position_;  // the opening quotation mark
    std::string bytes;
    for (;;) {
      if (at_end()) {
        report_char("ERROR: String: Expected closing quotation mark, found '", '\0');
        return JsonValue::make(JsonKind::String);
      }
      const char c = text_[position_];
      if (c == '"') break;
      if (c == '\\') {
        ++position_;
        if (at_end()) continue;  // reported as an unterminated string above
        const char escaped = text_[position_];
        switch (escaped) {
          case '/': bytes += escaped; break;
          case 'u': {
            // The escape stays as six characters of text; it is never decoded.
            bytes += "\\u";
            for (std::size_t offset = 1; offset <= 4; ++offset) {
              const std::size_t at = position_ + offset;
              const char digit = at < text_.size() ? text_[at] : '\0';
              if (!is_hex_digit(digit)) {
                report_char("ERROR: String: Expected hex character in unicode escape, found '", digit);
                return JsonValue::make(JsonKind::String);
              }
              bytes += digit;
            }
            position_ += 4;
            break;
          }
          default: {
            const char byte = escaped_byte(escaped);
            bytes += byte != 0 ? byte : '\\';  // after a lone backslash the unknown character is dropped
            break;
          }
        }
      } else {
        bytes += c;
      }
      ++position_;
    }
    ++position_;  // the closing quotation mark
    return JsonValue(std::move(bytes));
  }

  JsonValue parse_number() {
    std::string mantissa;
    bool fractional = false;
    char c;
    for (;;) {
      c = take();
      if (c == '-' || is_digit(c)) {
        mantissa += c;
      } else if (c == '.') {
        mantissa += c;
        fractional = true;
      } else {
        break;
      }
    }
    std::int32_t exponent = 0;
    if (c == 'e' || c == 'E') {
      std::string exponent_text;
      if (peek() == '-') {
        take();
        exponent_text += '-';
      }
      for (;;) {
        c = take();
        if (!is_digit(c)) break;
        exponent_text += c;
      }
      if (!ends_number(c)) {
        report_char("ERROR: Number: Expected a number for exponent, found '", c);
        return JsonValue();
      }
      exponent = convert_to_int32(exponent_text);
      --position_;
      const double scale = std::pow(10.0, static_cast<double>(exponent));
      if (fractional) return JsonValue(convert_to_double(mantissa) * scale);
      return JsonValue(static_cast<double>(convert_to_int32(mantissa)) * scale);
    }
    if (!ends_number(c)) {
      report_char("ERROR: Number: unexpected character '", c);
      return JsonValue();
    }
    --position_;
    if (fractional) return JsonValue(convert_to_double(mantissa));
    return JsonValue(convert_to_int32(mantissa));
  }

  JsonValue parse_boolean() {
    const std::string_view rest = text_.substr(position_);
    if (rest.substr(0, 4) == "true") {
      position_ += 4;
      return JsonValue(true);
    }
    if (rest.substr(0, 5) == "false") {
      position_ += 5;
      return JsonValue(false);
    }
    report("ERROR: Bool: Expected 'true' or 'false', found '", rest.substr(0, 5));
    return JsonValue();
  }

  JsonValue parse_null() {
    const std::string_view rest = text_.substr(position_);
    if (rest.substr(0, 4) == "null") {
      position_ += 4;
      return JsonValue();
    }
    report("ERROR: Null: Expected 'null', found '", rest.substr(0, 4));
    return JsonValue();
  }

  std::string_view text_;
  std::ostream& diagnostics_;
  std::size_t position_ = 0;
};

}  // namespace

std::int32_t convert_to_int32(const std::string& text) {
  // strtol reads only ASCII digits in base 10 whatever the locale; its leading white space and
  // plus sign never occur in collected number text.
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(begin, &end, 10);
  if (end == begin) throw std::invalid_argument("invalid stol argument");
  if (errno == ERANGE || value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    throw std::out_of_range("stol argument out of range");
  }
  return static_cast<std::int32_t>(value);
}

double convert_to_double(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  // The C locale keeps "." the decimal point whatever the host program set.
  const double value = strtod_l(begin, &end, c_locale());
  if (end == begin) throw std::invalid_argument("invalid stod argument");
  if (errno == ERANGE) throw std::out_of_range("stod argument out of range");
  return value;
}

JsonValue parse(std::string_view text, std::ostream& diagnostics) {
  Parser parser(text, diagnostics);
  return parser.parse_value(0);
}

JsonValue parse(std::string_view text) { return parse(text, std::cerr); }

JsonValue parse_shaped(std::string_view text, const DocumentShape& shape, std::ostream& diagnostics) {
  Parser parser(text, diagnostics);
  return parser.parse_shaped_root(shape);
}

}  // namespace lumo::json
