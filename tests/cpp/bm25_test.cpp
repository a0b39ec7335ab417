// BM25 training statistics, the checks before any change, and the encoding formulas.
#include "bm25.h"
#include "bm25_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>

namespace lumo::typing::text {
namespace {

using Tokens = std::vector<std::string>;
using Ids = std::vector<std::int64_t>;

using testing::encode_document;
using testing::encode_query;
using testing::IdSparseVector;
using testing::SparseVector;
using testing::table_of;

BM25 example_model() {
  BM25 model(0.75, 1.2);
  model.train(Tokens{"a", "a", "b"});
  model.train(Tokens{"b", "c"});
  return model;
}

TEST(BM25Train, AccumulatesOccurrencesAndAverage) {
  BM25 model(0.75, 1.2);
  model.train(Tokens{"a", "a", "b"});
  EXPECT_EQ(model.doc_count(), 1);
  EXPECT_EQ(model.doc_length_total(), 3);
  EXPECT_DOUBLE_EQ(model.doc_length_average(), 3.0);
  EXPECT_EQ(table_of(model), (std::map<std::string, std::int32_t>{{"a", 2}, {"b", 1}}));
  model.train(Tokens{"b", "c"});
  EXPECT_EQ(model.doc_count(), 2);
  EXPECT_EQ(model.doc_length_total(), 5);
  EXPECT_DOUBLE_EQ(model.doc_length_average(), 2.5);
  EXPECT_EQ(table_of(model), (std::map<std::string, std::int32_t>{{"a", 2}, {"b", 2}, {"c", 1}}));
}

TEST(BM25Train, KeysIdsByDecimalText) {
  BM25 model(0.75, 1.2);
  model.train(Ids{7, -7, 7, 0, std::numeric_limits<std::int64_t>::min()});
  model.train(Tokens{"7", "A", "a", ""});
  EXPECT_EQ(table_of(model), (std::map<std::string, std::int32_t>{{"", 1},
                                                                  {"-7", 1},
                                                                  {"-9223372036854775808", 1},
                                                                  {"0", 1},
                                                                  {"7", 3},
                                                                  {"A", 1},
                                                                  {"a", 1}}));
  EXPECT_EQ(model.doc_count(), 2);
  EXPECT_EQ(model.doc_length_total(), 9);
}

TEST(BM25Train, RejectsEmptyListUnchanged) {
  BM25 model = example_model();
  EXPECT_THROW(
      {
        try {
          model.train(Tokens{});
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "trainning tokens_vec should not be empty");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_THROW(model.train(Ids{}), std::runtime_error);
  EXPECT_EQ(model.doc_count(), 2);
  EXPECT_EQ(model.doc_length_total(), 5);
  EXPECT_EQ(table_of(model).size(), 3u);
}

TEST(BM25Train, GrowsTableAcrossManyTokens) {
  BM25 model(0.75, 1.2);
  std::mt19937 random(7);
  std::map<std::string, std::int32_t> expected;
  for (int doc = 0; doc < 300; ++doc) {
    Tokens tokens;
    for (int i = 0; i < 50; ++i) {
      tokens.push_back("t" + std::to_string(random() % 5000));
      ++expected[tokens.back()];
    }
    model.train(tokens);
  }
  EXPECT_EQ(table_of(model), expected);
  for (const auto& [token, count] : expected) {
    ASSERT_NE(model.doc_token_frequency().count_of(token), nullptr);
    EXPECT_EQ(*model.doc_token_frequency().count_of(token), count);
  }
  EXPECT_EQ(model.doc_token_frequency().count_of("absent"), nullptr);
}

// Loading sets counters near their limits without training two billion documents.
BM25 model_with(std::int32_t doc_count, std::int32_t count_of_a, const char* average = "2.0") {
  BM25 model(0.75, 1.2);
  model.load("{\"_doc_count\": " + std::to_string(doc_count) + ", \"_doc_length_average\": " + average + ", \"_b\": 0.75, " +
             "\"_k1\": 1.2, \"_doc_token_frequency\": {\"a\": " + std::to_string(count_of_a) + "}}");
  return model;
}

struct OverflowCase {
  const char* name;
  std::int32_t doc_count;
  std::int32_t count_of_a;
  const char* average;
  Tokens tokens;
  const char* message;
};

class BM25TrainOverflow : public ::testing::TestWithParam<OverflowCase> {};

TEST_P(BM25TrainOverflow, RefusesAndLeavesModelUnchanged) {
  const OverflowCase& c = GetParam();
  BM25 model = model_with(c.doc_count, c.count_of_a, c.average);
  const auto before = table_of(model);
  const std::int64_t total_before = model.doc_length_total();
  try {
    model.train(c.tokens);
    FAIL() << "no overflow reported";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), c.message);
  }
  EXPECT_EQ(table_of(model), before);
  EXPECT_EQ(model.doc_count(), c.doc_count);
  EXPECT_EQ(model.doc_length_total(), total_before);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, BM25TrainOverflow,
    ::testing::Values(
        OverflowCase{"DocCount", 2147483646, 1, "2.0", {"b"}, "train would overflow the document count"},
        OverflowCase{"TokenCount", 5, 2147483646, "2.0", {"new", "a", "a"},
                     "train would overflow the occurrence count of a token"},
        // A restored total past the 64-bit range is clamped to its maximum.
        OverflowCase{"LengthTotal", 5, 1, "1e300", {"b"}, "train would overflow the total document length"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(BM25Train, ReachesLimitsExactly) {
  BM25 model = model_with(2147483645, 2147483646);
  model.train(Tokens{"a"});
  EXPECT_EQ(model.doc_count(), 2147483646);
  EXPECT_EQ(*model.doc_token_frequency().count_of("a"), 2147483647);
  // The query side forms doc_count + 1 without overflow.
  EXPECT_NEAR(model.idf("zzz"), std::log(2147483647.0 / 1.5), 1e-12);
}

TEST(BM25Train, AfterLoadAveragesOverWholeCorpus) {
  BM25 model = model_with(10, 1, "4.0");
  model.train(Tokens{"a", "b", "c", "d", "e", "f"});
  EXPECT_EQ(model.doc_count(), 11);
  EXPECT_EQ(model.doc_length_total(), 46);
  EXPECT_EQ(model.doc_length_average(), 46.0 / 11.0);
  // Near the count's limit one more document keeps a sound average.
  BM25 large = model_with(2147483640, 1, "3.0");
  large.train(Tokens{"a"});
  EXPECT_NEAR(large.doc_length_average(), 3.0, 1e-9);
  EXPECT_NO_THROW(encode_query(large, Tokens{"a"}));
}

TEST(BM25Encode, DocumentWeightsSaturateAndNormaliseLength) {
  const BM25 model = example_model();
  const SparseVector weights = encode_document(model, Tokens{"a", "b", "a"});
  ASSERT_EQ(weights.size(), 2u);
  const double factor = ((3.0 / 2.5) * 0.75 + (1.0 - 0.75)) * 1.2;
  EXPECT_EQ(weights.at("a"), 2.0 / (2.0 + factor));
  EXPECT_EQ(weights.at("b"), 1.0 / (1.0 + factor));
  EXPECT_NEAR(encode_document(model, Tokens{"x"}).at("x"), 1.0 / 1.66, 1e-15);
}

TEST(BM25Encode, QueryWeightsAreNormalisedIdf) {
  const BM25 model = example_model();
  const SparseVector weights = encode_query(model, Tokens{"a", "c", "d", "c"});
  const double a = std::log(3.0 / 2.5);
  const double c = std::log(3.0 / 1.5);
  const double sum = a + c + c;
  EXPECT_EQ(weights, (SparseVector{{"a", a / sum}, {"c", c / sum}, {"d", c / sum}}));
  EXPECT_NEAR(weights.at("a"), 0.116231, 1e-6);
  EXPECT_NEAR(weights.at("c"), 0.441885, 1e-6);
}

TEST(BM25Encode, NegativeIdfNormalisesThroughNegativeSum) {
  BM25 model(0.75, 1.2);
  model.train(Tokens{"a", "a", "b"});
  const SparseVector weights = encode_query(model, Tokens{"a", "b", "c"});
  EXPECT_NEAR(weights.at("a"), -0.633534, 1e-6);
  EXPECT_NEAR(weights.at("b"), 0.816767, 1e-6);
  EXPECT_NEAR(weights.at("c"), 0.816767, 1e-6);
  EXPECT_EQ(encode_query(model, Tokens{"a", "a"}), (SparseVector{{"a", 1.0}}));
  EXPECT_EQ(encode_query(model, Ids{5, 5}), (IdSparseVector{{5, 1.0}}));
}

TEST(BM25Encode, IdsAndStringsShareTableEntries) {
  BM25 model(0.75, 1.2);
  model.train(Ids{42, 42, 7});
  model.train(Tokens{"x"});
  EXPECT_EQ(model.idf("42"), std::log(3.0 / 2.5));
  const IdSparseVector by_id = encode_query(model, Ids{42, 9});
  const SparseVector by_text = encode_query(model, Tokens{"42", "9"});
  EXPECT_EQ(by_id.at(42), by_text.at("42"));
  EXPECT_EQ(by_id.at(9), by_text.at("9"));
}

TEST(BM25Encode, OrdersKeysAscending) {
  const BM25 model = example_model();
  const Tokens tokens = {"b", "a", "B", "\xc3\xa9", "ab", "a"};
  std::string order;
  for (const TokenWeight& entry : model.encode_document(TokenViews(tokens.begin(), tokens.end()))) {
    order += tokens[entry.position] + ",";
  }
  EXPECT_EQ(order, "B,a,ab,b,\xc3\xa9,");
  const Ids ids = {3, -1, 2, 3};
  std::vector<std::int64_t> sorted;
  for (const TokenWeight& entry : model.encode_document(ids)) sorted.push_back(ids[entry.position]);
  EXPECT_EQ(sorted, (Ids{-1, 2, 3}));
}

TEST(BM25Encode, EntryTestGuardsUntrainedModels) {
  BM25 model(0.75, 1.2);
  EXPECT_TRUE(encode_document(model, Tokens{}).empty());
  EXPECT_TRUE(encode_query(model, Ids{}).empty());
  for (auto encode : {+[](const BM25& m) { encode_document(m, Tokens{"a"}); },
                      +[](const BM25& m) { encode_query(m, Ids{1}); }}) {
    try {
      encode(model);
      FAIL() << "untrained model encoded";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "BM25 has not been initialized");
    }
  }
  // No documents with a non-zero average, a tiny average, and a NaN average (which passes).
  model.load("{\"_doc_count\": 0, \"_doc_length_average\": 3.0, \"_b\": 0.5, \"_k1\": 1.0}");
  EXPECT_THROW(encode_document(model, Tokens{"a"}), std::runtime_error);
  model.load("{\"_doc_count\": 1, \"_doc_length_average\": 0.0000000001, \"_b\": 0.5, \"_k1\": 1.0}");
  EXPECT_THROW(encode_query(model, Tokens{"a"}), std::runtime_error);
  model.load("{\"_doc_count\": 1, \"_doc_length_average\": 0e999, \"_b\": 0.5, \"_k1\": 1.0}");
  EXPECT_TRUE(std::isnan(encode_document(model, Tokens{"a"}).at("a")));
}

TEST(BM25Encode, ParametersAffectDocumentsOnly) {
  BM25 model = example_model();
  const SparseVector query = encode_query(model, Tokens{"a", "b"});
  const SparseVector document = encode_document(model, Tokens{"a", "b"});
  model.k1(-1.0);
  model.b(2.0);
  EXPECT_EQ(model.k1(), -1.0);
  EXPECT_EQ(encode_query(model, Tokens{"a", "b"}), query);
  EXPECT_NE(encode_document(model, Tokens{"a", "b"}), document);
}

}  // namespace
}  // namespace lumo::typing::text

namespace lumo::typing::text {
namespace {

// Every key in one probe run: only the slot's bytes and the stored keys tell entries apart.
struct CollidingHash {
  std::size_t operator()(std::string_view) const noexcept { return 0x5a5a5a5a00000000u; }
  std::size_t operator()(std::int64_t) const noexcept { return 0x5a5a5a5a00000000u; }
};

template <class Table>
class TokenTableTest : public ::testing::Test {};
using TableHashes = ::testing::Types<TokenTable, BasicTokenTable<CollidingHash>>;
TYPED_TEST_SUITE(TokenTableTest, TableHashes);

TYPED_TEST(TokenTableTest, DistinguishesTokensSharingSlotBytes) {
  TypeParam table;
  const std::vector<std::string> tokens = {"",          std::string("\0", 1), std::string("a\0", 2), "a",
                                           "abcdefgh",  "abcdefgh1",          "abcdefgh2",           "abcdefghi",
                                           "00000001",  "0000000a",           std::string(300, 'x'),
                                           std::string(301, 'x'), "\xe4\xb8\xad\xe6\x96\x87"};
  for (std::size_t i = 0; i < tokens.size(); ++i) table.assign(tokens[i], static_cast<std::int32_t>(i + 1));
  ASSERT_EQ(table.size(), tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    ASSERT_NE(table.count_of(tokens[i]), nullptr) << i;
    EXPECT_EQ(*table.count_of(tokens[i]), static_cast<std::int32_t>(i + 1)) << i;
  }
  EXPECT_EQ(table.count_of("abcdefgh3"), nullptr);
  EXPECT_EQ(table.count_of("00000002"), nullptr);
  EXPECT_EQ(table.count_of(std::string(299, 'x')), nullptr);
  table.assign("a", 99);
  EXPECT_EQ(table.size(), tokens.size());
  EXPECT_EQ(*table.count_of("a"), 99);
  // Removing later entries keeps the earlier ones findable at their indices.
  table.erase_from(4, [](std::size_t index) { return index % 2 == 0; });
  EXPECT_EQ(table.find("a"), 3u);
  EXPECT_EQ(table.find("abcdefgh"), 4u);
  EXPECT_EQ(table.find("abcdefgh1"), TypeParam::npos);
  EXPECT_EQ(table.find("abcdefgh2"), 5u);
}

TEST(TokenHash, SeparatesConsecutiveIds) {
  // Eight-digit decimal ids, as a corpus of numbered documents or words gives them.
  std::vector<std::size_t> hashes;
  for (std::int64_t id = 10000000; id < 11000000; ++id) hashes.push_back(TokenHash{}(IdText(id).view()));
  std::sort(hashes.begin(), hashes.end());
  EXPECT_EQ(std::unique(hashes.begin(), hashes.end()) - hashes.begin(), 1000000);
}

TEST(TokenCounts, CountsWhenEveryTokenCollides) {
  const std::vector<std::string_view> tokens = {"b", "a", "b", "00000001", "0000000a", "a", "b"};
  BasicTokenCounts<std::string_view, CollidingHash> counts;
  counts.count(tokens);
  std::vector<std::tuple<std::string_view, std::int32_t, std::uint32_t>> seen;
  for (const auto& item : counts.items()) seen.emplace_back(item.token, item.count, item.first);
  EXPECT_EQ(seen, (std::vector<std::tuple<std::string_view, std::int32_t, std::uint32_t>>{
                      {"b", 3, 0}, {"a", 2, 1}, {"00000001", 1, 3}, {"0000000a", 1, 4}}));
  BasicTokenCounts<std::int64_t, CollidingHash> ids;
  ids.count({7, -7, 7});
  ASSERT_EQ(ids.items().size(), 2u);
  EXPECT_EQ(ids.items()[0].count, 2);
}

TEST(TokenTable, PrefixOrderAgreesWithByteOrder) {
  std::mt19937 random(11);
  for (int round = 0; round < 20000; ++round) {
    std::string left, right;
    for (std::size_t n = random() % 12; n > 0; --n) left += static_cast<char>(random() % 4 == 0 ? 0 : random() % 256);
    right = random() % 3 == 0 ? left.substr(0, random() % (left.size() + 1)) : std::string();
    for (std::size_t n = random() % 12; n > 0; --n) right += static_cast<char>(random() % 256);
    ASSERT_EQ(token_less(left, right), std::string_view(left) < std::string_view(right));
    ASSERT_EQ(token_less(right, left), std::string_view(right) < std::string_view(left));
  }
}

TEST(BM25Train, IdsFindEntriesMadeFromText) {
  BM25 model(0.75, 1.2);
  model.train(Tokens{"5", "5", "x"});
  // Queries by id find entries made from text before any id was trained.
  const double before = encode_query(model, Ids{5, 6}).at(5);
  EXPECT_EQ(before, encode_query(model, Tokens{"5", "6"}).at("5"));
  model.train(Ids{5, 6});
  model.train(Ids{5});
  EXPECT_EQ(*model.doc_token_frequency().count_of("5"), 4);
  EXPECT_EQ(*model.doc_token_frequency().count_of("6"), 1);
  EXPECT_NE(encode_query(model, Ids{5, 6}).at(5), before);
  EXPECT_EQ(encode_query(model, Ids{5, 6}), (IdSparseVector{{5, encode_query(model, Tokens{"5", "6"}).at("5")},
                                                          {6, encode_query(model, Tokens{"5", "6"}).at("6")}}));
  const std::string document = "{\"_doc_count\": 3, \"_doc_length_average\": 2.0, \"_b\": 0.75, \"_k1\": 1.2, "
                               "\"_doc_token_frequency\": {\"5\": 1, \"6\": 7}}";
  BM25 loaded(0.75, 1.2);
  for (BM25* target : {&model, &loaded}) {
    target->load(document);
    EXPECT_EQ(target->idf("5"), std::log(4.0 / 1.5));
    EXPECT_EQ(encode_query(*target, Ids{6, 5}), encode_query(*target, Ids{5, 6}));
    EXPECT_EQ(encode_query(*target, Ids{5, 6}).at(6),
              std::log(4.0 / 7.5) / (std::log(4.0 / 1.5) + std::log(4.0 / 7.5)));
  }
}

}  // namespace
}  // namespace lumo::typing::text
