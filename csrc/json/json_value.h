// JsonValue: an owning, tagged JSON value with ordered objects, and its text serializer.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace lumo::json {

// The seven bytes that JSON text escapes, each with the letter that follows its backslash. The
// serializer, the parser and the model's key unescaping all read this one table.
inline constexpr std::pair<char, char> kEscapes[] = {{'\b', 'b'}, {'\t', 't'}, {'\n', 'n'}, {'\f', 'f'},
                                                    {'\r', 'r'},  {'"', '"'},  {'\\', '\\'}};

namespace detail {
// Byte -> letter and letter -> byte, as 256-entry tables: escaping runs over every byte of a dump.
template <bool ByLetter>
constexpr std::array<char, 256> escape_lookup() {
  std::array<char, 256> table{};
  for (const auto& [byte, letter] : kEscapes) {
    table[static_cast<unsigned char>(ByLetter ? letter : byte)] = ByLetter ? byte : letter;
  }
  return table;
}
inline constexpr std::array<char, 256> kEscapeLetter = escape_lookup<false>();
inline constexpr std::array<char, 256> kEscapedByte = escape_lookup<true>();
}  // namespace detail

// The letter that escapes `byte`, or 0 when the byte is written as it is.
constexpr char escape_letter(char byte) noexcept { return detail::kEscapeLetter[static_cast<unsigned char>(byte)]; }
// The byte that `letter` stands for after a backslash, or 0 when it is none of the seven.
constexpr char escaped_byte(char letter) noexcept { return detail::kEscapedByte[static_cast<unsigned char>(letter)]; }

enum class JsonKind : std::int32_t {
  Null = 0,
  Object = 1,
  Array = 2,
  String = 3,
  Floating = 4,
  Integral = 5,
  Boolean = 6,
};

class JsonValue {
 public:
  // std::less<> keeps the byte-wise order of std::string (char_traits compares bytes as unsigned)
  // and lets lookups take a std::string_view without building a key.
  using ObjectMap = std::map<std::string, JsonValue, std::less<>>;
  using ArrayItems = std::deque<JsonValue>;

  JsonValue() noexcept : kind_(JsonKind::Null) { payload_.word = 0; }
  explicit JsonValue(bool value) noexcept;
  explicit JsonValue(std::int32_t value) noexcept;
  explicit JsonValue(double value) noexcept;
  explicit JsonValue(std::string value);
  explicit JsonValue(const char* value) : JsonValue(std::string(value)) {}

  // A value of `kind` holding the empty or zero payload of that kind.
  static JsonValue make(JsonKind kind);

  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue();

  // Makes the value Integral (or Floating) and stores the number.
  JsonValue& operator=(std::int32_t value) noexcept;
  JsonValue& operator=(double value) noexcept;
  // A bool would silently become Integral; build JsonValue(bool) instead.
  JsonValue& operator=(bool value) = delete;

  JsonKind kind() const noexcept { return kind_; }
  // Keeps the content when the kind is unchanged; otherwise resets to the new kind's empty payload.
  void set_kind(JsonKind kind);

  // Turns a non-Object into an empty Object, inserts Null under a missing key, returns the entry.
  JsonValue& operator[](std::string_view key);
  // Turns a non-Array into an empty Array, appends Null up to `index`, returns the element.
  JsonValue& operator[](std::uint32_t index);

  // The entries of an Object in ascending key order; empty for every other kind.
  const ObjectMap& entries() const noexcept;
  // The map of the value, after turning a non-Object into an empty Object as the key subscript
  // does; lets bulk builders insert already sorted keys with a hint.
  ObjectMap& object_entries();
  // The elements of an Array; empty for every other kind.
  const ArrayItems& items() const noexcept;

  // Typed reads: succeed only on their own kind, else yield the zero value and false.
  std::pair<std::int32_t, bool> as_integral() const noexcept;
  std::pair<double, bool> as_floating() const noexcept;
  std::pair<bool, bool> as_boolean() const noexcept;
  // The escaped form of a String (escape_text); the empty text and false for other kinds.
  std::pair<std::string, bool> as_text() const;
  // The raw bytes of a String, without escaping; null for other kinds.
  const std::string* string_payload() const noexcept;

  // Replaces the seven bytes JSON must escape (\b \t \n \f \r \" \\) by their two-character forms.
  static std::string escape_text(std::string_view text);
  static void append_escaped(std::string& out, std::string_view text);

  // JSON text of the value: objects one entry a line, `indent` repeated `depth` times before each
  // entry, keys as held; doubles as "%f" (non-finite ones as exponent forms the parser reads back).
  std::string serialize(int depth, std::string_view indent) const;
  void serialize_into(std::string& out, int depth, std::string_view indent) const;

  // Deep, kind-aware equality (Floating compares exactly; use for tests and round trips).
  friend bool operator==(const JsonValue& left, const JsonValue& right);
  friend bool operator!=(const JsonValue& left, const JsonValue& right) { return !(left == right); }

 private:
  void release() noexcept;
  void reset_payload(JsonKind kind);

  union Payload {
    ObjectMap* object;
    ArrayItems* array;
    std::string* string;
    double floating;
    std::int32_t integral;
    bool boolean;
    std::uint64_t word;
  };
  Payload payload_;
  JsonKind kind_;
};

// Appends `value` as "%f" does in the C locale ("-0.000000", "1.200000"); non-finite values as
// "1e999", "-1e999" and "0e999", which parse back to +inf, -inf and NaN.
void append_fixed6(std::string& out, double value);

}  // namespace lumo::json
