// JsonValue: ownership, subscripts, typed reads and the exact serializer layout.
#include "json_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

#include "test_support.h"

namespace lumo::json {
namespace {

using testing::describe;

TEST(JsonValue, SerializesWorkedExampleExactly) {
  JsonValue root = JsonValue::make(JsonKind::Object);
  root["count"] = std::int32_t{-12};
  root["inner"]["x"] = std::int32_t{1};
  root["inner"]["empty"] = JsonValue::make(JsonKind::Object);
  root["list"] = JsonValue::make(JsonKind::Array);
  root["name"] = JsonValue("say \"hi\"");
  root["ratio"] = 0.5;
  JsonValue& tags = root["tags"];
  tags[0u] = JsonValue("a");
  tags[1u] = JsonValue(true);
  tags[3u] = 2.25;  // index 2 is filled with Null
  const std::string expected =
      "{\n"
      "  \"count\" : -12,\n"
      "  \"inner\" : {\n"
      "    \"empty\" : {\n"
      "\n"
      "    },\n"
      "    \"x\" : 1\n"
      "  },\n"
      "  \"list\" : [],\n"
      "  \"name\" : \"say \\\"hi\\\"\",\n"
      "  \"ratio\" : 0.500000,\n"
      "  \"tags\" : [\"a\", true, null, 2.250000]\n"
      "}";
  EXPECT_EQ(root.serialize(1, "  "), expected);
}

struct FloatCase {
  double value;
  const char* text;
};

class JsonValueFloating : public ::testing::TestWithParam<FloatCase> {};

TEST_P(JsonValueFloating, WritesSixDecimals) {
  EXPECT_EQ(JsonValue(GetParam().value).serialize(1, "  "), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, JsonValueFloating,
    ::testing::Values(FloatCase{0.75, "0.750000"}, FloatCase{1.2, "1.200000"}, FloatCase{2.5, "2.500000"},
                      FloatCase{7.0 / 3.0, "2.333333"}, FloatCase{0.0000001, "0.000000"},
                      FloatCase{-0.0, "-0.000000"}, FloatCase{1e20, "100000000000000000000.000000"},
                      FloatCase{0.0000004, "0.000000"}, FloatCase{-0.0000006, "-0.000001"},
                      FloatCase{std::numeric_limits<double>::infinity(), "1e999"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "-1e999"},
                      FloatCase{std::nan(""), "0e999"}));

TEST(JsonValue, FormatsDoublesLikePrintf) {
  std::mt19937_64 random(42);
  for (int round = 0; round < 20000; ++round) {
    const int scale = static_cast<int>(random() % 40) - 20;
    const double value = std::ldexp(static_cast<double>(random() >> 11), scale - 53) * (round % 2 ? -1 : 1);
    char expected[400];
    std::snprintf(expected, sizeof expected, "%f", value);
    std::string text;
    append_fixed6(text, value);
    ASSERT_EQ(text, expected);
  }
}

TEST(JsonValue, WritesIntegralsAndScalars) {
  EXPECT_EQ(JsonValue(std::numeric_limits<std::int32_t>::min()).serialize(1, "  "), "-2147483648");
  EXPECT_EQ(JsonValue(std::int32_t{0}).serialize(1, "  "), "0");
  EXPECT_EQ(JsonValue(false).serialize(1, "  "), "false");
  EXPECT_EQ(JsonValue().serialize(1, "  "), "null");
}

TEST(JsonValue, EscapesSevenBytesOnly) {
  EXPECT_EQ(JsonValue::escape_text(std::string("\b\t\n\f\r\"\\/\x01\x7f\xc3\xa9", 12)),
            std::string("\\b\\t\\n\\f\\r\\\"\\\\/\x01\x7f\xc3\xa9", 19));
}

TEST(JsonValue, OrdersKeysByUnsignedBytes) {
  JsonValue object;
  for (const char* key : {"b", "B", "a", "ab", "\xc3\xa9", ""}) object[key] = std::int32_t{1};
  std::string order;
  for (const auto& entry : object.entries()) order += "[" + entry.first + "]";
  EXPECT_EQ(order, "[][B][a][ab][b][\xc3\xa9]");
}

TEST(JsonValue, WritesKeysAsHeld) {
  JsonValue object;
  object["a\"b"] = std::int32_t{1};
  EXPECT_EQ(object.serialize(1, "  "), "{\n  \"a\"b\" : 1\n}");
}

TEST(JsonValue, NestsEmptyObjectsAndArraysOfObjects) {
  EXPECT_EQ(JsonValue::make(JsonKind::Object).serialize(2, "  "), "{\n\n  }");
  EXPECT_EQ(JsonValue::make(JsonKind::Object).serialize(1, "  "), "{\n\n}");
  JsonValue root;
  root["list"][0u]["k"] = std::int32_t{1};
  EXPECT_EQ(root.serialize(1, "  "), "{\n  \"list\" : [{\n      \"k\" : 1\n    }]\n}");
  // The closing brace drops two characters of pad whatever the indent.
  JsonValue wide;
  wide["k"] = std::int32_t{1};
  EXPECT_EQ(wide.serialize(1, "\t\t\t"), "{\n\t\t\t\"k\" : 1\n\t}");
}

TEST(JsonValue, KeySubscriptTurnsValueIntoObject) {
  JsonValue value(std::int32_t{7});
  JsonValue& entry = value["k"];
  EXPECT_EQ(describe(value), "{k:null}");
  EXPECT_EQ(&value["k"], &entry);
  EXPECT_EQ(value.entries().size(), 1u);
}

TEST(JsonValue, IndexSubscriptPadsWithNull) {
  JsonValue value = JsonValue::make(JsonKind::Array);
  value[3u] = std::int32_t{4};
  EXPECT_EQ(describe(value), "[null, null, null, I(4)]");
  JsonValue text("x");
  text[0u] = JsonValue(true);
  EXPECT_EQ(describe(text), "[true]");
}

TEST(JsonValue, SetKindKeepsContentOnlyForSameKind) {
  JsonValue object;
  object["a"] = std::int32_t{1};
  object.set_kind(JsonKind::Object);
  EXPECT_EQ(describe(object), "{a:I(1)}");
  object.set_kind(JsonKind::Array);
  EXPECT_EQ(describe(object), "[]");
  object.set_kind(JsonKind::Floating);
  EXPECT_EQ(describe(object), "F(0)");
}

TEST(JsonValue, TypedReadsNeverConvert) {
  EXPECT_EQ(JsonValue(std::int32_t{3}).as_floating(), std::make_pair(0.0, false));
  EXPECT_EQ(JsonValue(3.0).as_integral(), std::make_pair(std::int32_t{0}, false));
  EXPECT_EQ(JsonValue(3.0).as_floating(), std::make_pair(3.0, true));
  EXPECT_EQ(JsonValue("a\"").as_text(), std::make_pair(std::string("a\\\""), true));
  EXPECT_EQ(JsonValue(true).as_text(), std::make_pair(std::string(), false));
}

TEST(JsonValue, ScalarAssignmentReplacesKind) {
  JsonValue value;
  value["a"] = std::int32_t{1};
  value = 2.5;
  EXPECT_EQ(describe(value), "F(2.5)");
  value = std::int32_t{-3};
  EXPECT_EQ(describe(value), "I(-3)");
}

TEST(JsonValue, CopiesDeepAndMovesOut) {
  JsonValue source;
  source["list"][0u] = JsonValue("x");
  JsonValue copy = source;
  copy["list"][1u] = JsonValue(true);
  copy["other"] = std::int32_t{1};
  EXPECT_EQ(describe(source), "{list:[S(x)]}");
  EXPECT_EQ(describe(copy), "{list:[S(x), true], other:I(1)}");
  JsonValue moved = std::move(copy);
  EXPECT_EQ(copy.kind(), JsonKind::Null);  // NOLINT(bugprone-use-after-move): moved-from is Null
  EXPECT_EQ(describe(moved), "{list:[S(x), true], other:I(1)}");
}

TEST(JsonValue, SelfAssignmentKeepsValue) {
  JsonValue value;
  value["a"][0u] = JsonValue("x");
  JsonValue& alias = value;
  value = alias;
  EXPECT_EQ(describe(value), "{a:[S(x)]}");
  value = std::move(alias);
  EXPECT_EQ(describe(value), "{a:[S(x)]}");
}

TEST(JsonValue, AssignsFromOwnDescendant) {
  JsonValue value;
  value["a"]["b"] = std::int32_t{1};
  value = value["a"];
  EXPECT_EQ(describe(value), "{b:I(1)}");
  value = std::move(value["b"]);
  EXPECT_EQ(describe(value), "I(1)");
}

}  // namespace
}  // namespace lumo::json
