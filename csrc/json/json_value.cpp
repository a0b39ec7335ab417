// JsonValue ownership, subscripts, typed reads and the serializer.
#include "json_value.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

namespace lumo::json {

JsonValue::JsonValue(bool value) noexcept : kind_(JsonKind::Boolean) {
  payload_.word = 0;
  payload_.boolean = value;
}

JsonValue::JsonValue(std::int32_t value) noexcept : kind_(JsonKind::Integral) {
  payload_.word = 0;
  payload_.integral = value;
}

JsonValue::JsonValue(double value) noexcept : kind_(JsonKind::Floating) {
  payload_.floating = value;
}

JsonValue::JsonValue(std::string value) : kind_(JsonKind::String) {
  payload_.string = new std::string(std::move(value));
}

JsonValue JsonValue::make(JsonKind kind) {
  JsonValue value;
  value.reset_payload(kind);
  return value;
}

JsonValue::JsonValue(const JsonValue& other) : kind_(JsonKind::Null) {
  payload_.word = 0;
  switch (other.kind_) {
    case JsonKind::Object:
      payload_.object = new ObjectMap(*other.payload_.object);
      break;
    case JsonKind::Array:
      payload_.array = new ArrayItems(*other.payload_.array);
      break;
    case JsonKind::String:
      payload_.string = new std::string(*other.payload_.string);
      break;
    default:
      payload_ = other.payload_;
      break;
  }
  kind_ = other.kind_;
}

JsonValue::JsonValue(JsonValue&& other) noexcept : payload_(other.payload_), kind_(other.kind_) {
  other.payload_.word = 0;
  other.kind_ = JsonKind::Null;
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) {
    JsonValue copy(other);  // a throwing copy leaves the destination as it was
    *this = std::move(copy);
  }
  return *this;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    // Take the source first: it may live inside the payload that release() frees.
    Payload taken = other.payload_;
    JsonKind taken_kind = other.kind_;
    other.payload_.word = 0;
    other.kind_ = JsonKind::Null;
    release();
    payload_ = taken;
    kind_ = taken_kind;
  }
  return *this;
}

JsonValue::~JsonValue() { release(); }

JsonValue& JsonValue::operator=(std::int32_t value) noexcept {
  if (kind_ != JsonKind::Integral) {
    release();
    kind_ = JsonKind::Integral;
    payload_.word = 0;
  }
  payload_.integral = value;
  return *this;
}

JsonValue& JsonValue::operator=(double value) noexcept {
  if (kind_ != JsonKind::Floating) {
    release();
    kind_ = JsonKind::Floating;
  }
  payload_.floating = value;
  return *this;
}

void JsonValue::release() noexcept {
  switch (kind_) {
    case JsonKind::Object:
      delete payload_.object;
      break;
    case JsonKind::Array:
      delete payload_.array;
      break;
    case JsonKind::String:
      delete payload_.string;
      break;
    default:
      break;
  }
  payload_.word = 0;
  kind_ = JsonKind::Null;
}

void JsonValue::reset_payload(JsonKind kind) {
  Payload fresh;
  fresh.word = 0;
  switch (kind) {  // allocate first, so a failed allocation leaves the value untouched
    case JsonKind::Object:
      fresh.object = new ObjectMap();
      break;
    case JsonKind::Array:
      fresh.array = new ArrayItems();
      break;
    case JsonKind::String:
      fresh.string = new std::string();
      break;
    case JsonKind::Floating:
      fresh.floating = 0.0;
      break;
    default:
      break;
  }
  release();
  payload_ = fresh;
  kind_ = kind;
}

void JsonValue::set_kind(JsonKind kind) {
  if (kind != kind_) {
    reset_payload(kind);
  }
}

JsonValue& JsonValue::operator[](std::string_view key) {
  set_kind(JsonKind::Object);
  ObjectMap& object = *payload_.object;
  auto found = object.lower_bound(key);
  if (found != object.end() && found->first == key) {
    return found->second;
  }
  return object.emplace_hint(found, std::string(key), JsonValue())->second;
}

JsonValue& JsonValue::operator[](std::uint32_t index) {
  set_kind(JsonKind::Array);
  ArrayItems& array = *payload_.array;
  if (index >= array.size()) {
    array.resize(static_cast<std::size_t>(index) + 1);
  }
  return array[index];
}

const JsonValue::ObjectMap& JsonValue::entries() const noexcept {
  static const ObjectMap empty;
  return kind_ == JsonKind::Object ? *payload_.object : empty;
}

JsonValue::ObjectMap& JsonValue::object_entries() {
  set_kind(JsonKind::Object);
  return *payload_.object;
}

const JsonValue::ArrayItems& JsonValue::items() const noexcept {
  static const ArrayItems empty;
  return kind_ == JsonKind::Array ? *payload_.array : empty;
}

std::pair<std::int32_t, bool> JsonValue::as_integral() const noexcept {
  if (kind_ != JsonKind::Integral) return {0, false};
  return {payload_.integral, true};
}

std::pair<double, bool> JsonValue::as_floating() const noexcept {
  if (kind_ != JsonKind::Floating) return {0.0, false};
  return {payload_.floating, true};
}

std::pair<bool, bool> JsonValue::as_boolean() const noexcept {
  if (kind_ != JsonKind::Boolean) return {false, false};
  return {payload_.boolean, true};
}

std::pair<std::string, bool> JsonValue::as_text() const {
  if (kind_ != JsonKind::String) return {std::string(), false};
  return {escape_text(*payload_.string), true};
}

const std::string* JsonValue::string_payload() const noexcept {
  return kind_ == JsonKind::String ? payload_.string : nullptr;
}

void JsonValue::append_escaped(std::string& out, std::string_view text) {
  for (char byte : text) {
    const char letter = escape_letter(byte);
    if (letter == 0) {
      out += byte;
    } else {
      out += '\\';
      out += letter;
    }
  }
}

std::string JsonValue::escape_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

void append_fixed6(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "0e999";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-1e999" : "1e999";
    return;
  }
  // Room for the largest finite double: 309 integer digits, sign, point and six decimals.
  char buffer[330];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
  if (error != std::errc()) {
    end = buffer;  // unreachable with this buffer size
  }
  out.append(buffer, end);
}

std::string JsonValue::serialize(int depth, std::string_view indent) const {
  std::string out;
  serialize_into(out, depth, indent);
  return out;
}

void JsonValue::serialize_into(std::string& out, int depth, std::string_view indent) const {
  switch (kind_) {
    case JsonKind::Null:
      out += "null";
      break;
    case JsonKind::Boolean:
      out += payload_.boolean ? "true" : "false";
      break;
    case JsonKind::Integral: {
      char buffer[16];
      auto result = std::to_chars(buffer, buffer + sizeof buffer, payload_.integral);
      out.append(buffer, result.ptr);
      break;
    }
    case JsonKind::Floating:
      append_fixed6(out, payload_.floating);
      break;
    case JsonKind::String:
      out += '"';
      append_escaped(out, *payload_.string);
      out += '"';
      break;
    case JsonKind::Array: {
      out += '[';
      bool first = true;
      for (const JsonValue& element : *payload_.array) {
        if (!first) out += ", ";
        first = false;
        element.serialize_into(out, depth + 1, indent);
      }
      out += ']';
      break;
    }
    case JsonKind::Object: {
      std::string pad;
      for (int level = 0; level < depth; ++level) pad += indent;
      out += "{\n";
      bool first = true;
      for (const auto& [key, value] : *payload_.object) {
        if (!first) out += ",\n";
        first = false;
        out += pad;
        out += '"';
        out += key;  // keys are written as held: parsed keys are already escaped
        out += "\" : ";
        value.serialize_into(out, depth + 1, indent);
      }
      // The closing brace drops two characters of pad whatever the indent's width.
      pad.erase(0, std::min<std::size_t>(2, pad.size()));
      out += '\n';
      out += pad;
      out += '}';
      break;
    }
  }
}

bool operator==(const JsonValue& left, const JsonValue& right) {
  if (left.kind_ != right.kind_) return false;
  switch (left.kind_) {
    case JsonKind::Null: return true;
    case JsonKind::Boolean: return left.payload_.boolean == right.payload_.boolean;
    case JsonKind::Integral: return left.payload_.integral == right.payload_.integral;
    case JsonKind::Floating: return left.payload_.floating == right.payload_.floating;
    case JsonKind::String: return *left.payload_.string == *right.payload_.string;
    case JsonKind::Array: return *left.payload_.array == *right.payload_.array;
    case JsonKind::Object: return *left.payload_.object == *right.payload_.object;
  }
  return false;
}

}  // namespace lumo::json
