// BM25 training statistics, the checks before any change, and the encoding formulas.
#include "bm25.h"
#include "bm25_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "parallel_for.h"

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

// How a case reaches the counters: train, or train_batch of one document, or of that document
// after a one-token document.
enum class Via { Train, Batch, SecondOfBatch };

struct OverflowCase {
  const char* name;
  std::int32_t doc_count;
  std::int32_t count_of_a;
  const char* average;
  Tokens tokens;
  const char* message;
  Via via = Via::Train;
};

class BM25TrainOverflow : public ::testing::TestWithParam<OverflowCase> {};

TEST_P(BM25TrainOverflow, RefusesAndLeavesModelUnchanged) {
  const OverflowCase& c = GetParam();
  BM25 model = model_with(c.doc_count, c.count_of_a, c.average);
  const auto before = table_of(model);
  const std::int64_t total_before = model.doc_length_total();
  const Tokens first{"z"};
  std::string expected = c.message;
  try {
    if (c.via == Via::Train) {
      model.train(c.tokens);
    } else if (c.via == Via::Batch) {
      expected = "document 0: " + expected;
      model.train_batch({TokenViews(c.tokens.begin(), c.tokens.end())});
    } else {
      expected = "document 1: " + expected;
      model.train_batch({TokenViews(first.begin(), first.end()), TokenViews(c.tokens.begin(), c.tokens.end())});
    }
    FAIL() << "no overflow reported";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(error.what(), expected);
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
        OverflowCase{"LengthTotal", 5, 1, "1e300", {"b"}, "train would overflow the total document length"},
        OverflowCase{"BatchDocCount", 2147483645, 1, "2.0", {"b"}, "train would overflow the document count",
                     Via::SecondOfBatch},
        OverflowCase{"BatchTokenCount", 5, 2147483646, "2.0", {"a", "new", "a"},
                     "train would overflow the occurrence count of a token", Via::Batch},
        OverflowCase{"BatchLengthTotal", 5, 1, "1e300", {"b"}, "train would overflow the total document length",
                     Via::Batch}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

std::string state_of(const BM25& model) {
  std::string state(model.state_size(), '\0');
  model.write_state(state.data());
  return state;
}

// train_batch against train one document after the other, from the same model.
struct BatchCase {
  const char* name;
  std::vector<Tokens> before;  // trained first, one train call each
  std::vector<Tokens> batch;
};

class BM25TrainBatch : public ::testing::TestWithParam<BatchCase> {};

TEST_P(BM25TrainBatch, EqualsTrainingEachDocument) {
  const BatchCase& c = GetParam();
  BM25 serial(0.75, 1.2);
  BM25 batched(0.75, 1.2);
  for (const Tokens& doc : c.before) {
    serial.train(doc);
    batched.train(doc);
  }
  std::vector<Document> docs;
  for (const Tokens& doc : c.batch) {
    serial.train(doc);
    docs.emplace_back(TokenViews(doc.begin(), doc.end()));
  }
  batched.train_batch(docs);
  EXPECT_EQ(state_of(batched), state_of(serial));
  EXPECT_EQ(batched.doc_length_average(), serial.doc_length_average());
}

INSTANTIATE_TEST_SUITE_P(
    Corpora, BM25TrainBatch,
    ::testing::Values(BatchCase{"IntoHeldTokens", {{"a", "b"}}, {{"a", "c"}, {"c", "a", "a"}}},
                      BatchCase{"EmptyIntoUntrained", {}, {}}, BatchCase{"EmptyIntoTrained", {{"a"}}, {}},
                      BatchCase{"RepeatsWithinBatch", {}, {{"x", "x"}, {"x"}, {"y", "x"}}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// merge at the edges of its counters: `left` merges `right`, both made by loading a document.
struct MergeCase {
  const char* name;
  std::int32_t left_count;
  const char* left_average;
  std::int32_t left_a;
  std::int32_t right_count;
  const char* right_average;
  std::int32_t right_a;
  const char* message;  // empty: the merge goes through
};

class BM25Merge : public ::testing::TestWithParam<MergeCase> {};

TEST_P(BM25Merge, SumsCountersOrRefusesUnchanged) {
  const MergeCase& c = GetParam();
  BM25 left = model_with(c.left_count, c.left_a, c.left_average);
  const BM25 right = model_with(c.right_count, c.right_a, c.right_average);
  const std::string before = state_of(left);
  if (*c.message != '\0') {
    try {
      left.merge(right);
      FAIL() << "no overflow reported";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
    EXPECT_EQ(state_of(left), before);
    return;
  }
  const std::int64_t total = model_with(c.left_count, c.left_a, c.left_average).doc_length_total() + right.doc_length_total();
  left.merge(right);
  EXPECT_EQ(left.doc_count(), c.left_count + c.right_count);
  EXPECT_EQ(left.doc_length_total(), total);
  EXPECT_EQ(*left.doc_token_frequency().count_of("a"), c.left_a + c.right_a);
  if (left.doc_count() > 0) {
    EXPECT_EQ(left.doc_length_average(), static_cast<double>(total) / left.doc_count());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, BM25Merge,
    ::testing::Values(
        // doc_count + 1 must stay a 32-bit count: 2147483646 documents take no more.
        MergeCase{"DocCountFull", 2147483646, "1.0", 1, 1, "1.0", 1, "merge would overflow the document count"},
        MergeCase{"DocCountAtLimit", 2147483645, "1.0", 1, 1, "1.0", 1, ""},
        // An average of 1e300 restores the largest total.
        MergeCase{"TotalOneOver", 1, "1e300", 1, 1, "1.0", 1, "merge would overflow the total document length"},
        MergeCase{"TotalAtLimit", 1, "1e300", 1, 0, "0.0", 1, ""},
        MergeCase{"NegativeCounts", 3, "2.0", -5, 2, "1.0", 3, ""},
        MergeCase{"NegativeCountOverflows", 3, "2.0", -2147483647 - 1, 2, "1.0", -1,
                  "merge would overflow the occurrence count of a token"},
        MergeCase{"TokenCountOverflows", 3, "2.0", 2147483647, 2, "1.0", 1,
                  "merge would overflow the occurrence count of a token"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(BM25Merge, UntrainedModelsMergeIntoAnUntrainedModel) {
  BM25 model(0.75, 1.2);
  model.merge(BM25(0.5, 2.0));
  EXPECT_EQ(state_of(model), state_of(BM25(0.75, 1.2)));
  model.merge(model);
  EXPECT_EQ(state_of(model), state_of(BM25(0.75, 1.2)));
}

// Sparse rows: one document per case, through both encoders.
struct ColumnsCase {
  const char* name;
  Document doc;
  std::vector<std::int64_t> columns;  // the row's columns, ascending
  const char* error;                  // empty: no error
};

class BM25Columns : public ::testing::TestWithParam<ColumnsCase> {};

// Two distinct tokens in one column (MurmurHash3 modulo 2^32 - 1).
const Tokens kColliding = {"w30181", "w38066"};
const Tokens kCollidingDoc = {"w30181", "w38066", "w30181", "b"};

TEST_P(BM25Columns, GivesEachTokenItsColumn) {
  const ColumnsCase& c = GetParam();
  const BM25 model = example_model();
  for (const auto encode : {&BM25::encode_documents_csr, &BM25::encode_queries_csr}) {
    if (*c.error != '\0') {
      try {
        (model.*encode)({c.doc}, 2);
        FAIL() << "no error";
      } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), c.error);
      }
      continue;
    }
    const CsrRows rows = (model.*encode)({c.doc, c.doc}, 2);
    ASSERT_EQ(rows.indptr, (std::vector<std::int64_t>{0, static_cast<std::int64_t>(c.columns.size()),
                                                      static_cast<std::int64_t>(2 * c.columns.size())}));
    EXPECT_EQ(std::vector<std::int64_t>(rows.indices.begin(), rows.indices.begin() + rows.indptr[1]), c.columns);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Columns, BM25Columns,
    ::testing::Values(
        ColumnsCase{"LastColumn", Ids{4294967294, 0}, {0, 4294967294}, ""},
        ColumnsCase{"PastLastColumn", Ids{1, 4294967295}, {},
                    "id 4294967295 is not a column: columns are 0 to 4294967294"},
        ColumnsCase{"NegativeId", Ids{-1}, {}, "id -1 is not a column: columns are 0 to 4294967294"},
        ColumnsCase{"SharedColumn", TokenViews(kCollidingDoc.begin(), kCollidingDoc.end()),
                    {BM25::token_index("w30181"), BM25::token_index("b")}, ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(BM25Columns, SharedColumnSumsWeightsInTokenOrder) {
  ASSERT_EQ(BM25::token_index(kColliding[0]), BM25::token_index(kColliding[1]));
  const BM25 model = example_model();
  const TokenViews doc(kCollidingDoc.begin(), kCollidingDoc.end());
  const std::int64_t shared = BM25::token_index(kColliding[0]);
  const SparseVector document = encode_document(model, kCollidingDoc);
  const SparseVector query = encode_query(model, kCollidingDoc);
  for (const auto& [rows, weights] : {std::pair{model.encode_documents_csr({doc}, 1), document},
                                      std::pair{model.encode_queries_csr({doc}, 1), query}}) {
    for (std::size_t i = 0; i < rows.indices.size(); ++i) {
      const double expected = rows.indices[i] == shared ? weights.at(kColliding[0]) + weights.at(kColliding[1])
                                                        : weights.at("b");
      EXPECT_EQ(rows.data[i], static_cast<float>(expected));
    }
  }
}

TEST(BM25Columns, UntrainedModelRefusesAsTheSingleCallsDo) {
  const BM25 model(0.75, 1.2);
  const Tokens doc{"a"};
  for (const auto encode : {&BM25::encode_documents_csr, &BM25::encode_queries_csr}) {
    EXPECT_EQ((model.*encode)({TokenViews{}, Ids{}}, 1).indptr, (std::vector<std::int64_t>{0, 0, 0}));
    try {
      (model.*encode)({TokenViews{}, TokenViews(doc.begin(), doc.end())}, 1);
      FAIL() << "untrained model encoded";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "BM25 has not been initialized");
    }
  }
}

TEST(BM25Columns, TokenIndexTakesTheHashModuloTheColumnCount) {
  // These bytes hash to 2^32 - 1, which is one past the last column.
  EXPECT_EQ(BM25::token_index("\xb4\xf3\xc7w"), 0u);
  EXPECT_EQ(BM25::token_index(""), 0u);
  EXPECT_EQ(BM25::token_index("foo"), 4138058784u);
}

// The encoders' and batches' threads: a huge request starts no more threads than can run.
TEST(ParallelFor, StartsNoMoreThreadsThanProcessorsOrItems) {
  for (const auto& [items, threads] : {std::pair{std::size_t{64}, 1u << 30}, std::pair{std::size_t{3}, 0u}}) {
    std::mutex lock;
    std::set<std::thread::id> seen;
    parallel::parallel_for(items, threads, [&](std::size_t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // long enough for every thread to take one
      const std::lock_guard<std::mutex> guard(lock);
      seen.insert(std::this_thread::get_id());
    });
    EXPECT_LE(seen.size(), std::min<std::size_t>(items, parallel::usable_processors()));
  }
}

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
TYPED_TEST_SUITE(TokenTableTest, TableHashes, );  // the empty name generator: clang -Wpedantic

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
