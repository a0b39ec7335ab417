// The lenient parser: results, diagnostics byte for byte, conversions, the end of the text.
#include "json_parser.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "test_support.h"

namespace lumo::json {
namespace {

using testing::describe;

struct ParseCase {
  std::string name;
  std::string text;
  std::string value;        // describe() of the result
  std::string diagnostics;  // everything written to the diagnostic stream
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class JsonParserTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(JsonParserTable, YieldsValueAndDiagnostics) {
  std::ostringstream diagnostics;
  const JsonValue value = parse(GetParam().text, diagnostics);
  EXPECT_EQ(describe(value), GetParam().value);
  EXPECT_EQ(diagnostics.str(), GetParam().diagnostics);
}

const std::string kNul(1, '\0');

std::vector<ParseCase> values_and_recoveries() {
  return {
      {"ObjectWithTail", "  {\"a\" : 1} tail", "{a:I(1)}", ""},
      {"EmptyContainers", "[{}, [], { }, [ ]]", "[{}, [], {}, []]", ""},
      {"EmptyText", "", "null", "ERROR: Parse: Unknown starting character '" + kNul + "'\n"},
      {"WhitespaceOnly", " \t\v\f\r\n", "null", "ERROR: Parse: Unknown starting character '" + kNul + "'\n"},
      {"BareNumberMeetsEnd", "42", "null", "ERROR: Number: unexpected character '" + kNul + "'\n"},
      {"BareNumberWithSpace", "42 ", "I(42)", ""},
      {"TrailingCommaInArray", "[1,2,]", "[I(1), I(2), null]", "ERROR: Parse: Unknown starting character ']'\n"},
      {"MissingCommaInArray", "[1 2]", "[]", "ERROR: Array: Expected ',' or ']', found '2'\n"},
      {"TrailingCommaInObject", "{\"a\":1,}", "{a:I(1)}",
       "ERROR: Parse: Unknown starting character '}'\nError: Object: Expected colon, found '}'\n"},
      {"MissingCommaInObject", "{\"a\":1 \"b\":2}", "{a:I(1)}", "ERROR: Object: Expected comma, found '\"'\n"},
      {"RepeatedKeyKeepsLast", "{\"k\":5,\"k\":6}", "{k:I(6)}", ""},
      {"NonStringKeyIsEmpty", "{true:2}", "{:I(2)}", ""},
      // A number key meets ":" as a character that cannot follow a number.
      {"NumberKeyIsRefused", "{1:2}", "{}",
       "ERROR: Number: unexpected character ':'\nError: Object: Expected colon, found '2'\n"},
      {"KeysHeldEscaped", "{\"a\\\"b\":\"a\\\"b\"}", "{a\\\"b:S(a\"b)}", ""},
      {"UnicodeEscapeStaysText", "\"a\\u00e9b\"", "S(a\\u00e9b)", ""},
      {"UnknownEscapeKeepsBackslash", "\"a\\qb\"", "S(a\\b)", ""},
      {"NamedEscapes", "\"\\b\\f\\n\\r\\t\\/\\\\\"", "S(\\x08\\x0c\\x0a\\x0d\\x09/\\)", ""},
      {"RawBytesPassThrough", "\"\x01\xc3\xa9\"", "S(\\x01\\xc3\\xa9)", ""},
      {"BadHexDigit", "\"\\u12G4\"", "S()", "ERROR: String: Expected hex character in unicode escape, found 'G'\n"},
      {"Fraction", "[4.5]", "[F(4.5)]", ""},
      {"NegativeZeroIsIntegral", "[-0]", "[I(0)]", ""},
      {"Exponent", "[1e2, 1E2, 2.5E-1]", "[F(100), F(100), F(0.25)]", ""},
      {"ExponentRoundsTwice", "[1.1e2]", "[F(110.00000000000001)]", ""},
      {"PlusInExponent", "[1e+2]", "[]",
       "ERROR: Number: Expected a number for exponent, found '+'\nERROR: Array: Expected ',' or ']', found '2'\n"},
      {"Int32Maximum", "[2147483647]", "[I(2147483647)]", ""},
      {"LargeFraction", "[2147483648.0]", "[F(2147483648)]", ""},
      {"NumberConsumesBadCharacter", "[1x, 2]", "[null, I(2)]", "ERROR: Number: unexpected character 'x'\n"},
      {"BooleanDoesNot", "[tx, 2]", "[]",
       "ERROR: Bool: Expected 'true' or 'false', found 'tx, 2'\nERROR: Array: Expected ',' or ']', found 't'\n"},
      {"LeadingPoint", "[.5]", "[]",
       "ERROR: Parse: Unknown starting character '.'\nERROR: Array: Expected ',' or ']', found '.'\n"},
      {"ShortTrue", "tru", "null", "ERROR: Bool: Expected 'true' or 'false', found 'tru'\n"},
      {"ShortNull", "nul", "null", "ERROR: Null: Expected 'null', found 'nul'\n"},
      {"TrueWithTail", "[truex]", "[]", "ERROR: Array: Expected ',' or ']', found 'x'\n"},
      {"LenientConversions", "[1-2, 1.2.3, -.5, 0012]", "[I(1), F(1.2), F(-0.5), I(12)]", ""},
      {"HugeExponentIsInfinite", "[1e999, -1e999]", "[F(inf), F(-inf)]", ""},
      {"ZeroTimesHugeExponent", "[0e999]", "[F(nan)]", ""},
      // The end of the text inside a value: diagnostics, fallbacks, and no read past the end.
      {"UnterminatedString", "\"abc", "S()", "ERROR: String: Expected closing quotation mark, found '" + kNul + "'\n"},
      {"BackslashAtEnd", "[\"a\\", "[]",
       "ERROR: String: Expected closing quotation mark, found '" + kNul + "'\nERROR: Array: Expected ',' or ']', found '" +
           kNul + "'\n"},
      {"ShortUnicodeEscape", "\"\\u12", "S()",
       "ERROR: String: Expected hex character in unicode escape, found '" + kNul + "'\n"},
      {"NumberRunsIntoEnd", "[12", "[]",
       "ERROR: Number: unexpected character '" + kNul + "'\nERROR: Array: Expected ',' or ']', found '" + kNul + "'\n"},
      {"ExponentRunsIntoEnd", "{\"a\":1e5", "{a:null}", "ERROR: Number: Expected a number for exponent, found '" +
                                                            kNul + "'\nERROR: Object: Expected comma, found '" + kNul +
                                                            "'\n"},
      {"ObjectRunsIntoEnd", "{\"a\"", "{}", "Error: Object: Expected colon, found '" + kNul + "'\n"},
      {"NulByteInsideString", std::string("\"a\0b\"", 5), "S(a\\x00b)", ""},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, JsonParserTable, ::testing::ValuesIn(values_and_recoveries()),
                         [](const auto& param_info) { return param_info.param.name; });

struct ThrowCase {
  std::string text;
  bool invalid;  // std::invalid_argument, else std::out_of_range
  std::string message;
};

class JsonParserThrows : public ::testing::TestWithParam<ThrowCase> {};

TEST_P(JsonParserThrows, ConversionAbandonsParse) {
  std::ostringstream diagnostics;
  try {
    parse(GetParam().text, diagnostics);
    FAIL() << "no exception for " << GetParam().text;
  } catch (const std::invalid_argument& error) {
    EXPECT_TRUE(GetParam().invalid);
    EXPECT_STREQ(error.what(), GetParam().message.c_str());
  } catch (const std::out_of_range& error) {
    EXPECT_FALSE(GetParam().invalid);
    EXPECT_STREQ(error.what(), GetParam().message.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, JsonParserThrows,
    ::testing::Values(ThrowCase{"[1e]", true, "invalid stol argument"},
                      ThrowCase{"[1e-]", true, "invalid stol argument"},
                      ThrowCase{"[-]", true, "invalid stol argument"},
                      ThrowCase{"[--1]", true, "invalid stol argument"},
                      ThrowCase{"[-.]", true, "invalid stod argument"},
                      ThrowCase{"{\"a\":[2147483648]}", false, "stol argument out of range"},
                      ThrowCase{"[-2147483649]", false, "stol argument out of range"},
                      ThrowCase{"[1e2147483648]", false, "stol argument out of range"},
                      ThrowCase{"[" + std::string(400, '9') + ".0]", false, "stod argument out of range"}));

TEST(JsonParser, BoundsNestingDepth) {
  std::ostringstream diagnostics;
  const std::string deep(1000000, '[');
  const JsonValue value = parse(deep, diagnostics);
  EXPECT_EQ(value.kind(), JsonKind::Array);
  EXPECT_NE(diagnostics.str().find("ERROR: Parse: Nesting too deep, found '['\n"), std::string::npos);

  std::string nested;
  for (int level = 0; level < kMaxNestingDepth; ++level) nested += '[';
  nested += std::string(static_cast<std::size_t>(kMaxNestingDepth), ']');
  std::ostringstream quiet;
  parse(nested, quiet);
  EXPECT_EQ(quiet.str(), "");
  // One level more is refused.
  std::ostringstream refused;
  parse("[" + nested + "]", refused);
  EXPECT_EQ(refused.str().substr(0, 42), "ERROR: Parse: Nesting too deep, found '['\n");
}

TEST(JsonParser, IgnoresLocaleDecimalComma) {
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "no de_DE locale";
  std::ostringstream diagnostics;
  EXPECT_EQ(describe(parse("[2.5]", diagnostics)), "[F(2.5)]");
  std::setlocale(LC_NUMERIC, "C");
}

// Random values without non-finite numbers come back from serialize then parse, doubles rounded.
JsonValue random_value(std::mt19937& random, int depth) {
  std::uniform_int_distribution<int> kind(0, depth > 3 ? 4 : 6);
  switch (kind(random)) {
    case 0: return JsonValue();
    case 1: return JsonValue(random() % 2 == 0);
    case 2: return JsonValue(static_cast<std::int32_t>(random()));
    case 3: return JsonValue(std::uniform_real_distribution<double>(-1e6, 1e6)(random));
    case 4: {
      std::string bytes;
      for (std::size_t length = random() % 8; length > 0; --length) bytes += static_cast<char>(random() % 256);
      return JsonValue(bytes);
    }
    case 5: {
      JsonValue array = JsonValue::make(JsonKind::Array);
      for (std::uint32_t i = 0, n = static_cast<std::uint32_t>(random() % 4); i < n; ++i) array[i] = random_value(random, depth + 1);
      return array;
    }
    default: {
      JsonValue object = JsonValue::make(JsonKind::Object);
      for (std::uint32_t i = 0, n = static_cast<std::uint32_t>(random() % 4); i < n; ++i) {
        // Keys as the parser holds them: escaped text.
        object[JsonValue::escape_text(std::string(1, static_cast<char>('a' + random() % 26)) +
                                      static_cast<char>(random() % 256))] = random_value(random, depth + 1);
      }
      return object;
    }
  }
}

// The value with every double rounded as "%f" writes it.
JsonValue rounded(const JsonValue& value) {
  switch (value.kind()) {
    case JsonKind::Floating: {
      std::string text;
      append_fixed6(text, value.as_floating().first);
      return JsonValue(convert_to_double(text));
    }
    case JsonKind::Array: {
      JsonValue copy = JsonValue::make(JsonKind::Array);
      std::uint32_t index = 0;
      for (const JsonValue& item : value.items()) copy[index++] = rounded(item);
      return copy;
    }
    case JsonKind::Object: {
      JsonValue copy = JsonValue::make(JsonKind::Object);
      for (const auto& [key, item] : value.entries()) copy[key] = rounded(item);
      return copy;
    }
    default: return value;
  }
}

TEST(JsonParser, RoundTripsSerializedContainers) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 2000; ++round) {
    JsonValue value = random_value(random, 0);
    if (value.kind() != JsonKind::Object && value.kind() != JsonKind::Array) continue;
    std::ostringstream diagnostics;
    const JsonValue back = parse(value.serialize(1, "  "), diagnostics);
    ASSERT_EQ(diagnostics.str(), "") << value.serialize(1, "  ");
    ASSERT_EQ(back, rounded(value)) << value.serialize(1, "  ");
  }
}

}  // namespace
}  // namespace lumo::json
