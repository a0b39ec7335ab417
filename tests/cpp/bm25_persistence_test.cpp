// The model document: exact bytes as written, and what load accepts, refuses and leaves behind.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

#include "bm25.h"
#include "bm25_test_support.h"
#include "json_parser.h"

namespace lumo::typing::text {
namespace {

using Tokens = std::vector<std::string>;

using testing::encode_document;
using testing::encode_query;
using testing::IdSparseVector;
using testing::SparseVector;
using testing::table_of;

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string temp_path(const std::string& name) {
  return (::testing::TempDir().empty() ? std::string("/tmp/") : ::testing::TempDir()) + name;
}

TEST(BM25Dump, WritesTrainedModelDocument) {
  BM25 model(0.75, 1.2);
  model.train(Tokens{"a", "a", "b"});
  model.train(Tokens{"b", "c"});
  const std::string path = temp_path("bm25_trained.json");
  model.dump(path);
  EXPECT_EQ(read_all(path),
            "{\n  \"_b\" : 0.750000,\n  \"_doc_count\" : 2,\n  \"_doc_length_average\" : 2.500000,\n"
            "  \"_doc_token_frequency\" : {\n    \"a\" : 2,\n    \"b\" : 2,\n    \"c\" : 1\n  },\n"
            "  \"_k1\" : 1.200000\n}");
}

TEST(BM25Dump, WritesUntrainedModelDocument) {
  EXPECT_EQ(BM25(0.75, 1.2).dump_text(),
            "{\n  \"_b\" : 0.750000,\n  \"_doc_count\" : 0,\n  \"_doc_length_average\" : 0.000000,\n"
            "  \"_doc_token_frequency\" : {\n\n  },\n  \"_k1\" : 1.200000\n}");
}

TEST(BM25Dump, SortsIdKeysAsText) {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::int64_t>{9, 10, -1});
  const std::string text = model.dump_text();
  EXPECT_LT(text.find("\"-1\""), text.find("\"10\""));
  EXPECT_LT(text.find("\"10\""), text.find("\"9\""));
}

TEST(BM25Dump, ReplacesExistingFile) {
  const std::string path = temp_path("bm25_replace.json");
  { std::ofstream(path) << std::string(5000, 'x'); }
  BM25(0.75, 1.2).dump(path);
  EXPECT_EQ(read_all(path), BM25(0.75, 1.2).dump_text());
}

struct DumpFailure {
  const char* name;
  std::string path;
  const char* message;
};

class BM25DumpFails : public ::testing::TestWithParam<DumpFailure> {};

TEST_P(BM25DumpFails, ReportsAndCreatesNothing) {
  try {
    BM25(0.75, 1.2).dump(GetParam().path);
    FAIL() << "dump reported success";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, BM25DumpFails,
    ::testing::Values(DumpFailure{"MissingDirectory", "/nonexistent-dir/m.json", "Failed to dump: Unable to open file"},
                      DumpFailure{"EmptyPath", "", "Failed to dump: Unable to open file"},
                      DumpFailure{"NulByte", std::string("/tmp/a\0b", 8), "Failed to dump: Unable to open file"},
                      DumpFailure{"FullDisk", "/dev/full", "Failed to dump: Unable to write file"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(BM25Load, RoundTripsEveryByteOfTokens) {
  BM25 model(0.3, 2.0);
  Tokens tokens = {"plain", "\xe4\xb8\xad\xe6\x96\x87", "quote\"", "back\\slash", "tab\t", "nl\n", "cr\r",
                   "ff\f", "bs\b", "\\u0041", std::string("nul\0byte", 8), "\x01\x7f\xff", ""};
  model.train(tokens);
  model.train(Tokens{"quote\"", "quote\""});
  BM25 restored(0.75, 1.2);
  restored.load(model.dump_text());
  EXPECT_EQ(table_of(restored), table_of(model));
  EXPECT_EQ(restored.doc_count(), 2);
  EXPECT_EQ(restored.b(), 0.3);
  EXPECT_EQ(restored.k1(), 2.0);
  EXPECT_DOUBLE_EQ(restored.doc_length_average(), 7.5);
  EXPECT_EQ(encode_query(restored, tokens), encode_query(model, tokens));
}

TEST(BM25Load, PlainTokensKeepExactLayout) {
  BM25 model(0.75, 1.2);
  model.train(Tokens{"a/b", "\xc3\xa9", "x y"});
  const std::string text = model.dump_text();
  EXPECT_NE(text.find("    \"a/b\" : 1,\n    \"x y\" : 1,\n    \"\xc3\xa9\" : 1\n"), std::string::npos);
}

TEST(BM25Load, RestoresNonFiniteParameters) {
  BM25 model(std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity());
  model.train(Tokens{"a"});
  BM25 restored(0.75, 1.2);
  restored.load(model.dump_text());
  EXPECT_EQ(restored.b(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(restored.k1(), -std::numeric_limits<double>::infinity());
  BM25 not_a_number(std::nan(""), 1.0);
  restored.load(not_a_number.dump_text());
  EXPECT_TRUE(std::isnan(restored.b()));
}

TEST(BM25Load, RoundsToSixDecimals) {
  BM25 model(0.75, 1.2);
  model.train(Tokens{"a", "b", "c"});
  model.train(Tokens{"a", "b", "c"});
  model.train(Tokens{"a"});  // average 7/3
  BM25 restored(0.1, 0.1);
  restored.load(model.dump_text());
  EXPECT_EQ(restored.doc_length_average(), 2.333333);
  EXPECT_EQ(restored.b(), 0.75);
  EXPECT_EQ(restored.k1(), 1.2);
  EXPECT_EQ(restored.doc_length_total(), 7);  // 2.333333 x 3, to the nearest integer
}

TEST(BM25Load, MergesIntoExistingTable) {
  BM25 model(0.75, 1.2);
  model.train(Tokens{"kept", "shared"});
  model.load("{\"_doc_count\": 4, \"_doc_length_average\": 2.0, \"_b\": 0.5, \"_k1\": 1.5, "
             "\"_doc_token_frequency\": {\"shared\": 9, \"new\": 3}, \"extra\": [1]} trailing");
  EXPECT_EQ(table_of(model), (std::map<std::string, std::int32_t>{{"kept", 1}, {"new", 3}, {"shared", 9}}));
  EXPECT_EQ(model.doc_count(), 4);
  EXPECT_EQ(model.doc_length_total(), 8);
}

TEST(BM25Load, SkipsTokenTableOfOtherKinds) {
  for (const char* table : {"[1, 2]", "7", "null"}) {
    BM25 model(0.75, 1.2);
    model.train(Tokens{"kept"});
    model.load(std::string("{\"_doc_count\": 4, \"_doc_length_average\": 2.0, \"_b\": 0.5, \"_k1\": 1.5, "
                           "\"_doc_token_frequency\": ") +
               table + "}");
    EXPECT_EQ(table_of(model), (std::map<std::string, std::int32_t>{{"kept", 1}}));
    EXPECT_EQ(model.doc_count(), 4);
  }
}

struct LoadFailure {
  const char* name;
  std::string text;
  const char* message;
  // The state afterwards, for a model trained with {"old"} and built with b 0.9, k1 0.8.
  std::map<std::string, std::int32_t> table;
  std::int32_t doc_count;
  double average;
  double b;
  double k1;
};

class BM25LoadFails : public ::testing::TestWithParam<LoadFailure> {};

TEST_P(BM25LoadFails, LeavesFieldsBeforeFailureSet) {
  const LoadFailure& c = GetParam();
  BM25 model(0.9, 0.8);
  model.train(Tokens{"old"});
  std::ostringstream ignored;
  auto* previous = std::cerr.rdbuf(ignored.rdbuf());  // the reader's diagnostics
  try {
    model.load(c.text);
    std::cerr.rdbuf(previous);
    FAIL() << "load succeeded";
  } catch (const std::runtime_error& error) {
    std::cerr.rdbuf(previous);
    EXPECT_STREQ(error.what(), c.message);
  }
  EXPECT_EQ(table_of(model), c.table);
  EXPECT_EQ(model.doc_count(), c.doc_count);
  EXPECT_EQ(model.doc_length_average(), c.average);
  EXPECT_EQ(model.b(), c.b);
  EXPECT_EQ(model.k1(), c.k1);
  EXPECT_EQ(model.doc_length_total(), 1);  // only a load that succeeds restores the total
}

const std::map<std::string, std::int32_t> kOld = {{"old", 1}};

INSTANTIATE_TEST_SUITE_P(
    Documents, BM25LoadFails,
    ::testing::Values(
        LoadFailure{"Empty", "", "json data should not be empty", kOld, 1, 1.0, 0.9, 0.8},
        LoadFailure{"TokenNotIntegral",
                    "{\"_doc_token_frequency\": {\"a\": 1, \"b\": 3.0, \"c\": 2}, \"_doc_count\": 5}",
                    "load doc_token_frequency failed", {{"a", 1}, {"b", 0}, {"old", 1}}, 1, 1.0, 0.9, 0.8},
        LoadFailure{"DocCountFloating", "{\"_doc_token_frequency\": {\"a\": 1}, \"_doc_count\": 2.0}",
                    "load doc_count failed", {{"a", 1}, {"old", 1}}, 0, 1.0, 0.9, 0.8},
        LoadFailure{"WhitespaceOnly", "   ", "load doc_count failed", kOld, 0, 1.0, 0.9, 0.8},
        LoadFailure{"FilePath", "/tmp/model.json", "load doc_count failed", kOld, 0, 1.0, 0.9, 0.8},
        LoadFailure{"TopLevelArray", "[1, 2]", "load doc_count failed", kOld, 0, 1.0, 0.9, 0.8},
        LoadFailure{"TopLevelTrue", "true", "load doc_count failed", kOld, 0, 1.0, 0.9, 0.8},
        LoadFailure{"AverageMissing", "{\"_doc_count\": 3}", "load doc_length_average failed", kOld, 3, 0.0, 0.9, 0.8},
        LoadFailure{"BIntegral", "{\"_doc_count\": 3, \"_doc_length_average\": 2.5, \"_b\": 1, \"_k1\": 1.0}",
                    "load b failed", kOld, 3, 2.5, 0.0, 0.8},
        LoadFailure{"K1Missing", "{\"_doc_count\": 3, \"_doc_length_average\": 2.5, \"_b\": 1.0}", "load k1 failed",
                    kOld, 3, 2.5, 1.0, 0.0}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(BM25Load, RangeErrorLeavesModelUnchanged) {
  BM25 model(0.9, 0.8);
  model.train(Tokens{"old"});
  EXPECT_THROW(model.load("{\"_doc_token_frequency\": {\"a\": 2147483648}, \"_doc_count\": 1}"), std::out_of_range);
  EXPECT_THROW(model.load("{\"_doc_count\": 2147483648}"), std::out_of_range);
  EXPECT_EQ(table_of(model), kOld);
  EXPECT_EQ(model.doc_count(), 1);
}

TEST(BM25Load, ToleratesStrayLetterBeforeClosingBrace) {
  BM25 model(0.75, 1.2);
  model.train(Tokens{"a", "b"});
  std::string text = model.dump_text();
  text.insert(text.size() - 1, "x\n");
  BM25 restored(0.1, 0.1);
  std::ostringstream diagnostics;
  auto* previous = std::cerr.rdbuf(diagnostics.rdbuf());
  restored.load(text);
  std::cerr.rdbuf(previous);
  EXPECT_EQ(diagnostics.str(), "ERROR: Object: Expected comma, found 'x'\n");
  EXPECT_EQ(table_of(restored), table_of(model));
  EXPECT_EQ(restored.k1(), 1.2);
}

TEST(BM25Load, UnescapesHeldKeys) {
  EXPECT_EQ(unescape_key("a\\\"b\\\\c\\t\\n\\r\\f\\b"), "a\"b\\c\t\n\r\f\b");
  EXPECT_EQ(unescape_key("\\u0041\\q\\"), "\\u0041\\q\\");
}

}  // namespace
}  // namespace lumo::typing::text

namespace lumo::typing::text {
namespace {

// The rules of load over the whole parsed document, as a reader holding the tree applies them.
void load_from_tree(std::map<std::string, std::int32_t>& table, const std::string& text) {
  std::ostringstream ignored;
  json::JsonValue root;
  try {
    root = json::parse(text, ignored);
  } catch (const std::exception&) {
    return;  // a number that does not convert: nothing changes
  }
  const json::JsonValue& members = root["_doc_token_frequency"];
  if (members.kind() != json::JsonKind::Object) return;
  for (const auto& [key, value] : members.entries()) {
    const auto [count, ok] = value.as_integral();
    table[unescape_key(key)] = count;
    if (!ok) return;
  }
}

// Documents built from pieces that exercise the table's rules: duplicates, values that are not
// integers, escaped keys, nested values, tables given twice, cut texts and stray bytes.
std::string random_document(std::mt19937& random) {
  static const char* const keys[] = {"a", "b", "old", "kept", "q\\\"", "t\\n", "z", "\xe4\xb8\xad"};
  static const char* const values[] = {"1", "7", "0", "2147483647", "1.5", "\"s\"", "[1, [2]]", "{\"x\": 1}",
                                       "null", "true", "-3", "2147483648"};
  auto table = [&] {
    std::string text = "{";
    for (std::size_t n = random() % 6; n > 0; --n) {
      text += std::string("\"") + keys[random() % 8] + "\": " + values[random() % 12];
      if (n > 1) text += random() % 15 == 0 ? " " : ", ";
    }
    return text + "}";
  };
  std::string text = "{\"_doc_token_frequency\": " + table();
  if (random() % 3 == 0) text += ", \"_doc_token_frequency\": " + (random() % 2 == 0 ? table() : std::string("5"));
  if (random() % 3 == 0) text += ", \"other\": " + table();
  text += ", \"_doc_count\": 3, \"_doc_length_average\": 2.0, \"_b\": 0.5, \"_k1\": 1.0}";
  if (random() % 4 == 0) text.resize(random() % text.size());
  return text.empty() ? "{}" : text;
}

TEST(BM25Load, AppliesTableEntriesAsTheWholeDocumentWould) {
  std::mt19937 random(5);
  std::ostringstream diagnostics;
  auto* previous = std::cerr.rdbuf(diagnostics.rdbuf());
  for (int round = 0; round < 3000; ++round) {
    const std::string text = random_document(random);
    BM25 model(0.75, 1.2);
    model.train(std::vector<std::string>{"old", "kept", "kept"});
    std::map<std::string, std::int32_t> expected = testing::table_of(model);
    load_from_tree(expected, text);
    try {
      model.load(text);
    } catch (const std::exception&) {
    }
    ASSERT_EQ(testing::table_of(model), expected) << text;
    for (const auto& [token, count] : expected) ASSERT_EQ(*model.doc_token_frequency().count_of(token), count);
  }
  std::cerr.rdbuf(previous);
}

}  // namespace
}  // namespace lumo::typing::text

namespace lumo::typing::text {
namespace {

// The binary state: byte offsets of its header fields, as written by write_state.
constexpr std::size_t kB = 4, kK1 = 12, kAverage = 20, kDocCount = 28, kTotal = 32, kTokens = 40, kHeader = 48;

std::string state_of(const BM25& model) {
  std::string state(model.state_size(), '\0');
  model.write_state(state.data());
  return state;
}

template <class Value>
std::string with(std::string state, std::size_t offset, Value value) {
  std::memcpy(state.data() + offset, &value, sizeof value);
  return state;
}

// Tokens "a" (count 2) and "b" (count 1): counts at 48 and 52, lengths at 56 and 60, bytes "ab".
std::string two_tokens() {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::string>{"a", "a", "b"});
  return state_of(model);
}

struct StateCase {
  const char* name;
  std::string state;
};

class BM25StateRefused : public ::testing::TestWithParam<StateCase> {};

TEST_P(BM25StateRefused, AsNotAState) {
  try {
    BM25::from_state(GetParam().state);
    FAIL() << "state accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "not a BM25 state");
  }
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Hostile, BM25StateRefused,
    ::testing::Values(StateCase{"Truncated", two_tokens().substr(0, kHeader - 1)},
                      StateCase{"OneByteShort", two_tokens().substr(0, two_tokens().size() - 1)},
                      StateCase{"TrailingByte", two_tokens() + "x"},
                      // The second token's length runs one byte past the end.
                      StateCase{"LengthPastEnd", with<std::uint32_t>(two_tokens(), kHeader + 12, 2)},
                      StateCase{"HugeLength", with<std::uint32_t>(two_tokens(), kHeader + 8, 0xffffffffu)},
                      StateCase{"HugeTokenCount", with<std::uint64_t>(two_tokens(), kTokens, std::uint64_t{1} << 61)},
                      StateCase{"DuplicateTokens", two_tokens().substr(0, two_tokens().size() - 1) + "a"},
                      StateCase{"TokensOutOfOrder", two_tokens().substr(0, two_tokens().size() - 2) + "ba"},
                      StateCase{"NegativeTotal", with<std::int64_t>(two_tokens(), kTotal, -1)}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Values the setters and load accept round-trip unchanged, so any model a caller holds pickles.
class BM25StateKept : public ::testing::TestWithParam<StateCase> {};

TEST_P(BM25StateKept, ByteForByte) { EXPECT_EQ(state_of(BM25::from_state(GetParam().state)), GetParam().state); }

INSTANTIATE_TEST_SUITE_P(
    Producible, BM25StateKept,
    ::testing::Values(StateCase{"NegativeDocCount", with<std::int32_t>(two_tokens(), kDocCount, -1)},
                      StateCase{"NegativeTokenCount", with<std::int32_t>(two_tokens(), kHeader, -2)},
                      StateCase{"NaNB", with(two_tokens(), kB, kNaN)},
                      StateCase{"InfiniteB", with(two_tokens(), kB, -kInf)},
                      StateCase{"NegativeK1", with(two_tokens(), kK1, -0.5)},
                      StateCase{"NaNAverage", with(two_tokens(), kAverage, kNaN)},
                      StateCase{"NegativeAverage", with(two_tokens(), kAverage, -3.0)}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(BM25State, RoundTripsUntrainedAndTrainedModels) {
  const BM25 untrained(0.5, 2.0);
  const std::string header = state_of(untrained);
  EXPECT_EQ(header.size(), kHeader);
  EXPECT_EQ(state_of(BM25::from_state(header)), header);
  const std::string trained = two_tokens();
  const BM25 model = BM25::from_state(trained);
  EXPECT_EQ(state_of(model), trained);
  EXPECT_EQ(*model.doc_token_frequency().count_of("a"), 2);
  EXPECT_EQ(model.doc_length_total(), 3);
}

}  // namespace
}  // namespace lumo::typing::text
