// Helpers shared by the C++ tests: a compact, kind-revealing text of a JsonValue.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>

#include "json_value.h"

namespace lumo::json::testing {

// null, true, I(5), F(4.5), S(a\x01b), [I(1), null], {a:I(1), b:S()}; doubles with 17 digits.
inline std::string describe(const JsonValue& value) {
  std::string out;
  switch (value.kind()) {
    case JsonKind::Null: return "null";
    case JsonKind::Boolean: return value.as_boolean().first ? "true" : "false";
    case JsonKind::Integral: return "I(" + std::to_string(value.as_integral().first) + ")";
    case JsonKind::Floating: {
      if (std::isnan(value.as_floating().first)) return "F(nan)";
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "F(%.17g)", value.as_floating().first);
      return buffer;
    }
    case JsonKind::String: {
      out = "S(";
      for (const char byte : *value.string_payload()) {
        const auto c = static_cast<unsigned char>(byte);
        if (c < 32 || c >= 127) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
      }
      return out + ")";
    }
    case JsonKind::Array: {
      out = "[";
      bool first = true;
      for (const JsonValue& item : value.items()) {
        if (!first) out += ", ";
        first = false;
        out += describe(item);
      }
      return out + "]";
    }
    case JsonKind::Object: {
      out = "{";
      bool first = true;
      for (const auto& [key, item] : value.entries()) {
        if (!first) out += ", ";
        first = false;
        out += key + ":" + describe(item);
      }
      return out + "}";
    }
  }
  return out;
}

}  // namespace lumo::json::testing
