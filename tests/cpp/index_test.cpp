// BM25Index: scores against the model's own encodings, forget as the inverse of training, and the
// file's bytes, including every way a file may lie.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bm25_index.h"
#include "bm25_test_support.h"

namespace lumo::typing::text {
namespace {

using Docs = std::vector<std::vector<std::string>>;

std::vector<Document> as_documents(const Docs& docs) {
  std::vector<Document> out;
  for (const auto& doc : docs) out.emplace_back(TokenViews(doc.begin(), doc.end()));
  return out;
}

BM25 trained(const Docs& docs, double b = 0.75, double k1 = 1.2) {
  BM25 model(b, k1);
  model.train_batch(as_documents(docs));
  return model;
}

// The documents whose `live` is set, in id order.
Docs live_only(const Docs& docs, const std::vector<std::uint8_t>& live) {
  Docs kept;
  for (std::size_t id = 0; id < docs.size(); ++id) {
    if (live[id] != 0) kept.push_back(docs[id]);
  }
  return kept;
}

// Each document's weights under `model`, as the oracle sums them.
std::vector<std::map<std::string, double>> encoded_all(const BM25& model, const Docs& docs) {
  std::vector<std::map<std::string, double>> encoded;
  for (const auto& doc : docs) encoded.push_back(testing::encode_document(model, doc));
  return encoded;
}

// Two shards of `docs`: shard s holds the ids g with g % 2 == s, under g / 2, those not live deleted.
std::vector<BM25Index> two_shards(const Docs& docs, const std::vector<std::uint8_t>& live, double b, double k1) {
  std::vector<BM25Index> shards;
  for (std::size_t shard = 0; shard < 2; ++shard) {
    Docs part;
    std::vector<std::int64_t> dead;
    for (std::size_t id = shard; id < docs.size(); id += 2) {
      if (live[id] == 0) dead.push_back(static_cast<std::int64_t>(part.size()));
      part.push_back(docs[id]);
    }
    shards.emplace_back(b, k1);
    shards.back().add(as_documents(part));
    shards.back().remove(dead);
  }
  return shards;
}

// The shards' statistics for `queries`, summed as a coordinator sums them.
CorpusStatistics summed_statistics(const std::vector<BM25Index>& shards, const std::vector<Document>& queries) {
  CorpusStatistics summed;
  for (const BM25Index& shard : shards) {
    const CorpusStatistics part = shard.corpus_statistics(queries);
    summed.doc_count += part.doc_count;
    summed.doc_length_total += part.doc_length_total;
    // Every shard counts the same queries' tokens, in the same places.
    EXPECT_TRUE(summed.token_counts.empty() || part.token_counts.size() == summed.token_counts.size());
    summed.token_counts.resize(part.token_counts.size(), 0);
    for (std::size_t at = 0; at < part.token_counts.size(); ++at) summed.token_counts[at] += part.token_counts[at];
  }
  return summed;
}

// A corpus with a token that occurs more often than there are documents (a negative query
// weight) and one frequency past a byte.
Docs corpus() {
  Docs docs = {{"a", "b", "a", "the", "the", "the"}, {"b", "c", "the"}, {"c", "the", "the"},
               {"d"},                                {"the", "the"},     {"e", "a", "the", "the"}};
  docs[3].insert(docs[3].end(), 300, "x");
  return docs;
}

// score(q, d) as the sum over q's tokens in ascending order of q[t] * d[t].
double oracle(const BM25& model, const std::vector<std::string>& query, const std::vector<std::string>& doc) {
  const auto weights = testing::encode_query(model, query);
  const auto doc_weights = testing::encode_document(model, doc);
  double score = 0.0;
  for (const auto& [token, weight] : weights) {
    const auto found = doc_weights.find(token);
    if (found != doc_weights.end()) score += weight * found->second;
  }
  return score;
}

TEST(BM25Forget, InvertsTrainingExactly) {
  const Docs docs = corpus();
  BM25 model = trained(docs);
  // Forget documents 1 and 3: their counts summed, as the index gives them.
  std::map<std::string, std::int32_t> counts;
  for (const std::size_t doc : {std::size_t{1}, std::size_t{3}}) {
    for (const auto& token : docs[doc]) ++counts[token];
  }
  std::vector<std::pair<std::string_view, std::int32_t>> taken(counts.begin(), counts.end());
  const std::int64_t length = static_cast<std::int64_t>(docs[1].size() + docs[3].size());
  std::vector<std::pair<std::string_view, std::int32_t>> too_much = taken;
  too_much[0].second += 100;
  const std::string before = model.dump_text();
  EXPECT_THROW(model.forget(too_much, 2, length), std::invalid_argument);
  EXPECT_EQ(model.dump_text(), before);
  model.forget(taken, 2, length);
  const BM25 rest = trained({docs[0], docs[2], docs[4], docs[5]});
  std::string left(model.state_size(), '\0');
  std::string right(rest.state_size(), '\0');
  model.write_state(left.data());
  rest.write_state(right.data());
  EXPECT_EQ(left, right);
  EXPECT_EQ(model.dump_text(), rest.dump_text());
  EXPECT_EQ(model.encode_query(TokenViews{"x", "d", "a"}).size(), 3u);  // lookups after the erase
}

std::string state_of(const BM25& model) {
  std::string bytes(model.state_size(), '\0');
  model.write_state(bytes.data());
  return bytes;
}

// add counts a text batch once and trains the model from its totals: the model's bytes (token
// order included, which fixes the CSR columns) must be train_batch's after every batch, and a
// batch that train_batch refuses is refused with its message and document, nothing changed.
// Up to max_docs documents of up to max_length tokens drawn from t0 .. t(vocabulary - 1): a
// growing vocabulary gives each batch new and known tokens.
Docs random_docs(std::mt19937& random, unsigned max_docs, unsigned max_length, unsigned vocabulary) {
  Docs docs(1 + random() % max_docs);
  for (auto& doc : docs) {
    doc.resize(1 + random() % max_length);
    for (auto& token : doc) token = "t" + std::to_string(random() % vocabulary);
  }
  return docs;
}

// A batch whose second document is empty is refused with train_batch's message, naming that
// document, and leaves `state` as it was.
template <typename Add, typename State>
void expect_empty_document_refused(const Add& add, const State& state) {
  const std::string before = state();
  try {
    add();
    ADD_FAILURE() << "an empty document was added";
  } catch (const DocumentError& error) {
    EXPECT_EQ(error.index(), 1u);
    EXPECT_NE(std::string(error.what()).find("trainning tokens_vec should not be empty"), std::string::npos);
  }
  EXPECT_EQ(state(), before);
}

TEST(BM25Index, AddTrainsTheModelAsTrainBatchDoes) {
  std::mt19937 random(17);
  BM25Index index(0.75, 1.2);
  BM25 model(0.75, 1.2);
  for (unsigned batch = 0; batch < 30; ++batch) {
    const Docs docs = random_docs(random, 12, 9, 5 + 4 * batch);  // the documents view its strings
    std::vector<Document> batch_docs = as_documents(docs);
    if (batch % 7 == 6) batch_docs.emplace_back(IdList{3, 1, 3});  // ids: train_batch's own path
    if (batch % 5 == 4) {
      batch_docs.insert(batch_docs.begin() + 1, Document(TokenViews{}));
      expect_empty_document_refused([&] { index.add(batch_docs); }, [&] { return state_of(index.model()); });
      batch_docs.erase(batch_docs.begin() + 1);
    }
    index.add(batch_docs);
    model.train_batch(batch_docs);
    ASSERT_EQ(state_of(index.model()), state_of(model)) << "batch " << batch;
  }
}

// The documents as add_texts' cutting threads count them: distinct tokens with their
// frequencies, here in an order of their own (the bytes must not depend on it).
std::vector<CountedDocument> counted(const Docs& docs, std::mt19937& random) {
  std::vector<CountedDocument> out;
  for (const auto& doc : docs) {
    std::map<std::string_view, std::uint32_t> counts;
    for (const auto& token : doc) ++counts[token];
    CountedDocument counted_doc;
    for (const auto& [token, count] : counts) counted_doc.tokens.push_back(CountedToken{token, TokenHash{}(token), count});
    std::shuffle(counted_doc.tokens.begin(), counted_doc.tokens.end(), random);
    counted_doc.length = static_cast<std::uint32_t>(doc.size());
    out.push_back(std::move(counted_doc));
  }
  return out;
}

// Counted documents give add's index to the byte after every batch (new and known tokens, large
// frequencies), and add's refusal of a batch with an empty document, nothing changed.
TEST(BM25Index, CountedDocumentsGiveAddsBytes) {
  std::mt19937 random(23);
  BM25Index lists(0.75, 1.2);
  BM25Index counts(0.75, 1.2);
  for (unsigned batch = 0; batch < 20; ++batch) {
    Docs docs = random_docs(random, 40, 12, 5 + 30 * batch);
    if (batch % 4 == 1) docs[0].insert(docs[0].end(), 200 + random() % 200, "many");
    if (batch % 5 == 3) {
      Docs with_empty = docs;
      with_empty.insert(with_empty.begin() + 1, std::vector<std::string>{});
      expect_empty_document_refused([&] { counts.add(counted(with_empty, random)); },
                                    [&] { return counts.serialize(); });
    }
    EXPECT_EQ(lists.add(as_documents(docs)), counts.add(counted(docs, random)));
    ASSERT_EQ(counts.serialize(), lists.serialize()) << "batch " << batch;
    ASSERT_EQ(state_of(counts.model()), state_of(lists.model())) << "batch " << batch;
  }
}

TEST(BM25Index, ScoresAreTheModelsWeightsMultipliedOut) {
  const Docs docs = corpus();
  BM25Index index(0.75, 1.2);
  index.add(as_documents(docs));
  index.remove({4});
  const Docs live = {docs[0], docs[1], docs[2], docs[3], docs[5]};
  const BM25 model = trained(live);
  const std::vector<std::int64_t> live_ids = {0, 1, 2, 3, 5};
  for (const std::vector<std::string>& query : std::vector<std::vector<std::string>>{
           {"a"}, {"the"}, {"the", "c"}, {"x", "a", "zz"}, {"b", "the", "the"}}) {
    const SearchResults results =
        index.retrieve({TokenViews(query.begin(), query.end())}, 100, 1, nullptr);
    ASSERT_EQ(results.columns, live.size());
    std::map<std::int64_t, double> got;
    for (std::size_t column = 0; column < results.columns; ++column) got[results.ids[column]] = results.scores[column];
    for (std::size_t doc = 0; doc < live.size(); ++doc) {
      // The same sums in the same order: equal to the bit.
      EXPECT_EQ(got.at(live_ids[doc]), oracle(model, query, live[doc])) << query[0] << " doc " << live_ids[doc];
    }
  }
}

TEST(BM25Index, NonMatchingDocumentsOutrankNegativeScoresByLowerId) {
  BM25Index index(0.75, 1.2);
  index.add(as_documents({{"the", "the"}, {"q"}, {"the", "the", "the"}, {"r"}}));
  // "the" occurs 5 times in 4 documents: its weight is negative beside "q"'s positive one.
  const SearchResults results = index.retrieve({TokenViews{"the", "q"}}, 3, 1, nullptr);
  EXPECT_EQ(results.ids, (std::vector<std::int64_t>{1, 3, 0}));
  EXPECT_EQ(results.scores[1], 0.0);
  EXPECT_LT(results.scores[2], 0.0);
}

// Best first, ties to the lower id; a score that is not a number after every number.
void best_first(std::vector<std::pair<double, std::int64_t>>& all) {
  std::sort(all.begin(), all.end(), [](const auto& left, const auto& right) {
    if (std::isnan(left.first) != std::isnan(right.first)) return std::isnan(right.first);
    if (!std::isnan(left.first) && left.first != right.first) return left.first > right.first;
    return left.second < right.second;
  });
}

// Every document scored the slow way, ranked best first with ties to the lower id.
std::vector<std::pair<double, std::int64_t>> ranked(const BM25& model, const std::vector<std::string>& query,
                                                    const Docs& docs, const std::vector<std::uint8_t>& live) {
  std::vector<std::pair<double, std::int64_t>> all;
  for (std::size_t id = 0; id < docs.size(); ++id) {
    if (live[id] != 0) all.emplace_back(oracle(model, query, docs[id]), static_cast<std::int64_t>(id));
  }
  best_first(all);
  return all;
}

// The same from each document's weights computed once, as the oracle sums them.
std::vector<std::pair<double, std::int64_t>> ranked(const testing::SparseVector& query_weights,
                                                    const std::vector<std::map<std::string, double>>& encoded,
                                                    const std::vector<std::uint8_t>& candidate) {
  std::vector<std::pair<double, std::int64_t>> all;
  for (std::size_t id = 0; id < encoded.size(); ++id) {
    if (candidate[id] == 0) continue;
    double score = 0.0;
    for (const auto& [term, weight] : query_weights) {
      const auto found = encoded[id].find(term);
      if (found != encoded[id].end()) score += weight * found->second;
    }
    all.emplace_back(score, static_cast<std::int64_t>(id));
  }
  best_first(all);
  return all;
}

// Pruning skips documents: the k best must still be exactly those of scoring everything, on a
// corpus with Zipf-like frequencies (some query weights negative) and after deletions.
TEST(BM25Index, PrunedTopKEqualsScoringEveryDocument) {
  std::mt19937 random(7);
  std::vector<double> weights;
  for (int rank = 1; rank <= 300; ++rank) weights.push_back(1.0 / rank);
  std::discrete_distribution<int> token(weights.begin(), weights.end());
  std::uniform_int_distribution<int> length(1, 30);
  Docs docs(3000);
  for (auto& doc : docs) {
    for (int i = length(random); i > 0; --i) doc.push_back("t" + std::to_string(token(random)));
  }
  BM25Index index(0.75, 1.2);
  index.add(as_documents(docs));
  std::vector<std::uint8_t> live(docs.size(), 1);
  std::vector<std::int64_t> doomed;
  for (std::int64_t id = 0; id < 3000; id += 7) doomed.push_back(id);
  index.remove(doomed);
  // One at a time (each list searched for the document, only its lists rewritten) gives the same
  // index, byte for byte: postings, bounds and model.
  BM25Index one_by_one(0.75, 1.2);
  one_by_one.add(as_documents(docs));
  for (const std::int64_t id : doomed) one_by_one.remove({id});
  EXPECT_EQ(one_by_one.serialize(), index.serialize());
  for (const std::int64_t id : doomed) live[static_cast<std::size_t>(id)] = 0;
  const BM25 model = trained(live_only(docs, live));
  for (int round = 0; round < 60; ++round) {
    std::vector<std::string> query;
    for (int i = 1 + round % 5; i > 0; --i) query.push_back("t" + std::to_string(token(random) + (round % 3) * 40));
    const auto expected = ranked(model, query, docs, live);
    for (const std::uint64_t k : {1u, 10u, 100u}) {
      const SearchResults results = index.retrieve({TokenViews(query.begin(), query.end())}, k, 1, nullptr);
      ASSERT_EQ(results.columns, std::min<std::size_t>(k, expected.size()));
      // Pruned with the looser bounds that deleting one at a time leaves: the same answer.
      const SearchResults loose = one_by_one.retrieve({TokenViews(query.begin(), query.end())}, k, 1, nullptr);
      EXPECT_EQ(loose.ids, results.ids);
      EXPECT_EQ(loose.scores, results.scores);
      for (std::size_t column = 0; column < results.columns; ++column) {
        EXPECT_EQ(results.ids[column], expected[column].second) << "round " << round << " k " << k;
        EXPECT_EQ(results.scores[column], expected[column].first);
      }
    }
  }
}

// Pruning a window of ids at a time: over many windows, for queries of rare tokens alone and
// beside common ones, of all live documents or of an allow list, the k best are those of scoring
// everything, to the bit.
TEST(BM25Index, PrunedTopKOverManyWindowsEqualsScoringEveryDocument) {
  std::mt19937 random(11);
  std::vector<double> weights;
  for (int rank = 1; rank <= 3000; ++rank) weights.push_back(1.0 / rank);
  std::discrete_distribution<int> token(weights.begin(), weights.end());
  std::uniform_int_distribution<int> length(1, 40);
  Docs docs(12000);
  for (auto& doc : docs) {
    for (int i = length(random); i > 0; --i) doc.push_back("t" + std::to_string(token(random)));
  }
  BM25Index index(0.75, 1.2);
  index.add(as_documents(docs));
  std::vector<std::int64_t> doomed;
  for (std::int64_t id = 5; id < 12000; id += 11) doomed.push_back(id);
  index.remove(doomed);
  std::vector<std::uint8_t> live(docs.size(), 1);
  for (const std::int64_t id : doomed) live[static_cast<std::size_t>(id)] = 0;
  // The allow list: a third of the ids, some deleted, and ids the index never gave.
  std::vector<std::int64_t> allow{-1, 12000, 99999};
  std::vector<std::uint8_t> allowed(docs.size(), 0);
  for (std::int64_t id = 0; id < 12000; id += 3) {
    allow.push_back(id);
    allowed[static_cast<std::size_t>(id)] = live[static_cast<std::size_t>(id)];
  }
  const BM25 model = trained(live_only(docs, live));
  const auto encoded = encoded_all(model, docs);
  std::uniform_int_distribution<int> common(1, 20);
  std::uniform_int_distribution<int> rare(300, 3000);
  for (int round = 0; round < 40; ++round) {
    std::vector<std::string> query;
    for (int i = 1 + round % 3; i > 0; --i) query.push_back("t" + std::to_string(rare(random)));
    for (int i = round % 4; i > 0; --i) query.push_back("t" + std::to_string(common(random)));
    const auto query_weights = testing::encode_query(model, query);
    for (const bool restricted : {false, true}) {
      const auto expected = ranked(query_weights, encoded, restricted ? allowed : live);
      for (const std::uint64_t k : {1u, 10u, 50u}) {
        const SearchResults results =
            index.retrieve({TokenViews(query.begin(), query.end())}, k, 1, restricted ? &allow : nullptr);
        ASSERT_EQ(results.columns, std::min<std::size_t>(k, expected.size()));
        for (std::size_t column = 0; column < results.columns; ++column) {
          EXPECT_EQ(results.ids[column], expected[column].second) << "round " << round << " k " << k;
          EXPECT_EQ(results.scores[column], expected[column].first) << "round " << round << " k " << k;
        }
      }
    }
  }
}

// A corpus whose lists span many blocks: Zipf tokens over documents of 1 to 80 tokens, and one
// frequency past a byte.
Docs block_corpus(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<double> weights;
  for (int rank = 1; rank <= 100; ++rank) weights.push_back(1.0 / rank);
  std::discrete_distribution<int> token(weights.begin(), weights.end());
  std::uniform_int_distribution<int> length(1, 80);
  Docs docs(count);
  for (auto& doc : docs) {
    for (int i = length(random); i > 0; --i) doc.push_back("t" + std::to_string(token(random)));
  }
  docs[count / 2].insert(docs[count / 2].end(), 300, "t7");
  return docs;
}

// The postings whose weight, computed as the model computes a document's weight, exceeds what
// `bound` makes of its block's bound, or what `slot` makes of its tf slot's bound (with a table of
// K to the longest length, and one cut short, whose last K stands for the longer lengths): checked
// to the bit, with no room for rounding, at the index's average length and at others (an index
// answering for a larger corpus uses another).
template <class Bound, class Slot>
std::size_t uncovered(const BM25Index& index, const Docs& docs, const std::vector<std::uint8_t>& live,
                      const Bound& bound, const Slot& slot) {
  std::map<std::string, std::vector<std::pair<std::uint32_t, std::uint32_t>>> lists;  // id, tf
  std::uint32_t longest = 0;
  for (std::size_t id = 0; id < docs.size(); ++id) {
    if (live[id] == 0) continue;
    longest = std::max(longest, static_cast<std::uint32_t>(docs[id].size()));
    std::map<std::string, std::uint32_t> counts;
    for (const auto& token : docs[id]) ++counts[token];
    for (const auto& [token, tf] : counts) lists[token].emplace_back(static_cast<std::uint32_t>(id), tf);
  }
  const double b = index.model().b();
  const double k1 = index.model().k1();
  const double weight = 1.7;
  std::size_t misses = 0;
  // A dense list's bits: whether it holds each id (and some past the last), and where it stands.
  for (const auto& [token, list] : lists) {
    const BM25Index::Blocks blocks = index.token_blocks(token);
    if (blocks.present.empty()) {
      misses += BM25Index::dense_list(list.size(), docs.size());
      continue;
    }
    std::size_t before = 0;
    for (std::uint32_t id = 0; id < docs.size() + 200; ++id) {
      const bool held = before < list.size() && list[before].first == id;
      std::size_t at = 0;
      misses += BM25Index::locate(blocks, id, at) != held || at != before;
      before += held;
    }
  }
  for (const double average : {index.model().doc_length_average(), 3.0, 41.5, 400.0}) {
    const std::vector<double> table = BM25Index::length_table(average, b, k1, longest);
    const std::vector<double> short_table = BM25Index::length_table(average, b, k1, 10);
    for (const auto& [token, list] : lists) {
      const BM25Index::Blocks blocks = index.token_blocks(token);
      const std::size_t count = (list.size() + BM25Index::kBoundBlock - 1) / BM25Index::kBoundBlock;
      if (blocks.last.size() != count || blocks.bounds.size() != count || blocks.shortest.size() != count) {
        misses += list.size();
        continue;
      }
      for (std::size_t at = 0; at < list.size(); ++at) {
        const auto [id, tf] = list[at];
        const std::size_t block = at / BM25Index::kBoundBlock;
        const double len = static_cast<double>(docs[id].size());
        const double factor = ((len / average) * b + (1.0 - b)) * k1;
        const double exact = weight * (0.0 + static_cast<double>(tf) / (static_cast<double>(tf) + factor));
        const std::uint32_t tf_slot = std::min(tf, BM25Index::kTfSlots) - 1;
        misses += blocks.last[block] < id || bound(weight, blocks.bounds[block], average, b, k1) < exact ||
                  slot(weight, blocks, block, tf_slot, table) < exact ||
                  slot(weight, blocks, block, tf_slot, short_table) < exact;
      }
    }
  }
  return misses;
}

// Block bounds cover their postings to the bit, and dense lists' bits place them, through every
// change and every way of loading, whether a query built them between changes or not; a bound
// planted one ulp too low is caught.
TEST(BM25Index, BlockBoundsCoverEveryPostingToTheBit) {
  const auto exact = [](double weight, const BM25Index::TermBound& bound, double average, double b, double k1) {
    return BM25Index::weight_bound(weight, bound, average, b, k1);
  };
  const auto exact_slot = [](double weight, const BM25Index::Blocks& blocks, std::size_t block, std::uint32_t slot,
                             const std::vector<double>& table) {
    return BM25Index::slot_bound(weight, blocks, block, slot, table);
  };
  const Docs docs = block_corpus(3000, 5);
  Docs more = block_corpus(700, 6);
  more[100].insert(more[100].end(), 70000, "t3");  // a length past the 16 bits of a slot's shortest
  for (const bool built_between : {false, true}) {
    BM25Index index(0.75, 1.2);
    std::vector<std::uint8_t> live(docs.size(), 1);
    // Builds every token's blocks as a query does, and checks them.
    const auto check_between = [&](std::size_t ids) {
      if (!built_between) return;
      const auto end = static_cast<std::ptrdiff_t>(ids);
      const Docs seen(docs.begin(), docs.begin() + end);
      EXPECT_EQ(uncovered(index, seen, std::vector<std::uint8_t>(live.begin(), live.begin() + end), exact, exact_slot), 0u);
    };
    // Three batches: the lists grow at their ends, across a block's end and within one.
    for (const auto& [from, to] : {std::pair<std::ptrdiff_t, std::ptrdiff_t>{0, 1000}, {1000, 1001}, {1001, 3000}}) {
      const Docs batch(docs.begin() + from, docs.begin() + to);
      index.add(as_documents(batch));
      check_between(static_cast<std::size_t>(to));
    }
    for (const std::int64_t id : {3, 64, 65, 1500, 2999}) {  // one at a time: lists searched
      index.remove({id});
      live[static_cast<std::size_t>(id)] = 0;
      check_between(docs.size());
    }
    std::vector<std::int64_t> doomed;
    for (std::int64_t id = 10; id < 3000; id += 9) {
      if (live[static_cast<std::size_t>(id)] != 0) doomed.push_back(id);
    }
    index.remove(doomed);  // every list rewritten
    for (const std::int64_t id : doomed) live[static_cast<std::size_t>(id)] = 0;
    check_between(docs.size());
    BM25Index other(0.75, 1.2);
    other.add(as_documents(more));
    if (built_between) other.token_blocks("t0");
    index.merge(other);
    Docs all = docs;
    all.insert(all.end(), more.begin(), more.end());
    live.resize(all.size(), 1);

    const auto planted = [](double weight, const BM25Index::TermBound& bound, double average, double b, double k1) {
      return std::nextafter(BM25Index::weight_bound(weight, bound, average, b, k1), 0.0);
    };
    const auto planted_slot = [](double weight, const BM25Index::Blocks& blocks, std::size_t block, std::uint32_t slot,
                                 const std::vector<double>& table) {
      return std::nextafter(BM25Index::slot_bound(weight, blocks, block, slot, table), 0.0);
    };
    const std::string path = ::testing::TempDir() + "block_bounds.idx";
    index.save(path);
    const BM25Index copied = BM25Index::from_bytes(index.serialize());
    const BM25Index mapped = BM25Index::load(path, true);
    for (const BM25Index* loaded : {static_cast<const BM25Index*>(&index), &copied, &mapped}) {
      EXPECT_EQ(uncovered(*loaded, all, live, exact, exact_slot), 0u);
      EXPECT_GT(uncovered(*loaded, all, live, planted, exact_slot), 0u);
      EXPECT_GT(uncovered(*loaded, all, live, exact, planted_slot), 0u);
    }
    std::remove(path.c_str());
  }
}

// The queries people type: single frequent words (some of negative weight), runs of consecutive
// tokens, only negative tokens, every token at once; k from 1 to past the corpus; a corpus of one
// document repeated (every score tied). The k best are those of scoring everything, to the bit,
// whole and mapped.
TEST(BM25Index, QueryMixesEqualScoringEveryDocument) {
  for (const bool identical : {false, true}) {
    Docs docs = block_corpus(2500, 9);
    if (identical) {
      const std::vector<std::string> one = docs[1];
      docs.assign(300, one);
    }
    BM25Index index(0.75, 1.2);
    index.add(as_documents(docs));
    std::vector<std::uint8_t> live(docs.size(), 1);
    std::vector<std::int64_t> doomed;
    for (std::int64_t id = 1; id < static_cast<std::int64_t>(docs.size()); id += 13) doomed.push_back(id);
    index.remove(doomed);
    for (const std::int64_t id : doomed) live[static_cast<std::size_t>(id)] = 0;
    const BM25 model = trained(live_only(docs, live));
    const std::string path = ::testing::TempDir() + "query_mixes.idx";
    index.save(path);
    const BM25Index mapped = BM25Index::load(path, true);
    std::vector<std::vector<std::string>> queries;
    for (int rank = 0; rank < 100; rank += 3) queries.push_back({"t" + std::to_string(rank)});
    queries.push_back({"t0", "t1"});
    queries.push_back({"t1", "t0", "t1", "t2"});
    std::mt19937 random(3);
    for (int round = 0; round < 30; ++round) {
      const auto& doc = docs[random() % docs.size()];
      const std::size_t length = std::min<std::size_t>(doc.size(), 2 + random() % 5);
      const std::size_t start = random() % (doc.size() - length + 1);
      queries.emplace_back(doc.begin() + static_cast<std::ptrdiff_t>(start), doc.begin() + static_cast<std::ptrdiff_t>(start + length));
    }
    queries.emplace_back();
    for (int rank = 0; rank < 100; ++rank) queries.back().push_back("t" + std::to_string(rank));
    for (const auto& query : queries) {
      const auto expected = ranked(model, query, docs, live);
      for (const std::uint64_t k : {1u, 10u, 400u, 1000000000u}) {
        for (const BM25Index* searched : {static_cast<const BM25Index*>(&index), &mapped}) {
          const SearchResults results = searched->retrieve({TokenViews(query.begin(), query.end())}, k, 1, nullptr);
          ASSERT_EQ(results.columns, std::min<std::size_t>(k, expected.size()));
          for (std::size_t column = 0; column < results.columns; ++column) {
            ASSERT_EQ(results.ids[column], expected[column].second) << query[0] << " k " << k << " column " << column;
            ASSERT_EQ(results.scores[column], expected[column].first) << query[0] << " k " << k;
          }
        }
      }
    }
    std::remove(path.c_str());
  }
}

// A token asked alone ranks its blocks once, and a token asked with others finds its list's most
// once, for the queries after, until a change moves the average length (documents that hold none
// of them, added, removed, merged in, or a copy changed): each time, on both sides of each change,
// the k best are those of scoring everything, to the bit. (The frequent tokens' lists are long
// enough for their rankings to be kept.)
TEST(BM25Index, QueriesAcrossChangesEqualScoringEveryDocument) {
  Docs docs = block_corpus(6000, 21);
  BM25Index index(0.75, 1.2);
  index.add(as_documents(docs));
  std::vector<std::uint8_t> live(docs.size(), 1);
  const std::vector<std::vector<std::string>> queries{{"t0"}, {"t1"}, {"t4"}, {"t7"}, {"t30"},
                                                      {"t0", "t1"}, {"t1", "t4", "t30"}, {"t7", "t30"}};
  const auto expect_exact = [&](const BM25Index& searched, const char* after) {
    const BM25 model = trained(live_only(docs, live));
    for (const std::vector<std::string>& query : queries) {
      const auto expected = ranked(model, query, docs, live);
      for (const std::uint64_t k : {1u, 10u, 200u}) {
        const SearchResults results = searched.retrieve({TokenViews(query.begin(), query.end())}, k, 1, nullptr);
        ASSERT_EQ(results.columns, std::min<std::size_t>(k, expected.size())) << after;
        for (std::size_t column = 0; column < results.columns; ++column) {
          ASSERT_EQ(results.ids[column], expected[column].second) << after << " " << query[0] << " k " << k;
          ASSERT_EQ(results.scores[column], expected[column].first) << after << " " << query[0] << " k " << k;
        }
      }
    }
  };
  expect_exact(index, "first");
  // Long documents of other tokens raise the average: every K falls, every block's most rises.
  const Docs longer(400, std::vector<std::string>(300, "other"));
  index.add(as_documents(longer));
  docs.insert(docs.end(), longer.begin(), longer.end());
  live.resize(docs.size(), 1);
  expect_exact(index, "added");
  std::vector<std::int64_t> doomed;
  for (std::int64_t id = 6000; id < 6400; id += 2) doomed.push_back(id);
  index.remove(doomed);
  for (const std::int64_t id : doomed) live[static_cast<std::size_t>(id)] = 0;
  expect_exact(index, "removed");
  BM25Index copy = index;
  BM25Index shorter(0.75, 1.2);
  const Docs short_docs(2000, std::vector<std::string>{"brief"});
  shorter.add(as_documents(short_docs));
  copy.merge(shorter);
  std::vector<std::uint8_t> copy_live = live;
  Docs copy_docs = docs;
  copy_docs.insert(copy_docs.end(), short_docs.begin(), short_docs.end());
  copy_live.resize(copy_docs.size(), 1);
  std::swap(docs, copy_docs);
  std::swap(live, copy_live);
  expect_exact(copy, "merged into a copy");
  std::swap(docs, copy_docs);
  std::swap(live, copy_live);
  expect_exact(index, "the copy's original");
}

// A token's most per posting is kept between changes for queries of several tokens. A frequent
// token's is raised by a short document added that holds it many times: with the most found
// before, that document would fall among those the rare token's long documents let MaxScore pass
// over, and the next query has to find it first.
TEST(BM25Index, ListMostRisesWithAnAddedDocument) {
  Docs docs;
  using Kind = std::tuple<std::vector<std::string>, int, std::size_t>;  // tokens held, copies, length
  for (const auto& [held, copies, length] : {Kind{{"rare", "a"}, 10, 400}, Kind{{"a"}, 1500, 50}, Kind{{}, 4500, 50}}) {
    for (int copy = 0; copy < copies; ++copy) {
      docs.push_back(held);
      docs.back().resize(length, "f");
    }
  }
  BM25Index index(0.75, 1.2);
  index.add(as_documents(docs));
  const std::vector<std::string> query{"a", "rare"};
  for (const bool added : {false, true}) {
    if (added) {
      docs.emplace_back(8, "a");
      index.add(as_documents({docs.back()}));
    }
    const std::vector<std::uint8_t> live(docs.size(), 1);
    const auto expected = ranked(trained(docs), query, docs, live);
    EXPECT_EQ(expected[0].second == static_cast<std::int64_t>(docs.size() - 1), added);
    for (const std::uint64_t k : {1u, 3u}) {
      const SearchResults results = index.retrieve({TokenViews(query.begin(), query.end())}, k, 1, nullptr);
      for (std::size_t column = 0; column < results.columns; ++column) {
        EXPECT_EQ(results.ids[column], expected[column].second) << "added " << added << " k " << k;
        EXPECT_EQ(results.scores[column], expected[column].first) << "added " << added << " k " << k;
      }
    }
  }
}

// Queries that change nothing keep no more than the index warrants: every token of a large
// vocabulary asked alone holds about what the same tokens asked two at a time hold (both build
// the same blocks).
TEST(BM25Index, SingleTokenQueriesKeepMemoryOfTheIndexsOrder) {
  Docs docs(20000);
  for (std::size_t id = 0; id < docs.size(); ++id) {
    for (int i = 0; i < 3; ++i) docs[id].push_back("w" + std::to_string(id * 3 + static_cast<std::size_t>(i)));
    docs[id].push_back("common");
  }
  BM25Index alone(0.75, 1.2);
  alone.add(as_documents(docs));
  BM25Index paired = alone;
  std::vector<std::string> tokens;
  for (std::size_t at = 0; at < docs.size() * 3; ++at) tokens.push_back("w" + std::to_string(at));
  tokens.push_back("common");
  for (const auto& token : tokens) alone.retrieve({TokenViews{token}}, 10, 1, nullptr);
  for (std::size_t at = 0; at + 1 < tokens.size(); at += 2) {
    paired.retrieve({TokenViews{tokens[at], tokens[at + 1]}}, 10, 1, nullptr);
  }
  EXPECT_LE(alone.memory_bytes(), paired.memory_bytes() + paired.memory_bytes() / 4) << "paired " << paired.memory_bytes();
}

// Queries of several words first score the documents of the best blocks of their best-bounding
// term, and prune from the k-th best of those. Corpora of a few documents repeated (every score
// tied many times, at ids below and above those documents), with deletions, allow lists that take
// the best of them away, k around how many there are, and models at the edges of pruning: whole,
// mapped, merged, on two threads and as two shards with summed statistics, the k best are those
// of scoring everything, to the bit.
struct PruningModel {
  const char* name;
  double b;
  double k1;
};

class SeededThreshold : public ::testing::TestWithParam<PruningModel> {};

TEST_P(SeededThreshold, KeepsTheTopKOfScoringEveryDocument) {
  const PruningModel& param = GetParam();
  // "r" bounds highest; "n" occurs more often than there are documents (a negative weight), and
  // lowers the document that holds the most "r" below those that hold fewer.
  const Docs shapes = {{"r", "r", "c"},
                       {"r", "c", "n", "n", "n"},
                       {"r", "x"},
                       {"r", "r", "r", "n", "n", "n", "n"},
                       {"r", "r", "r", "r", "r", "r", "r", "r", "n", "n", "n"},
                       {"r", "c", "c", "x", "x", "x"},
                       {"n", "n", "n", "x"},
                       {"c", "x"},
                       {"c", "n", "n", "n"},
                       {"x"}};
  const std::vector<double> frequency = {2, 2, 2, 1, 1, 2, 20, 20, 20, 20};
  std::mt19937 random(21);
  std::discrete_distribution<std::size_t> shape(frequency.begin(), frequency.end());
  std::uniform_int_distribution<int> filler(0, 40);
  Docs docs(4000);
  for (std::size_t id = 0; id < docs.size(); ++id) {
    docs[id] = shapes[shape(random)];
    // Half of them exactly a shape, the rest lengthened by other tokens.
    if (id % 2 == 1) {
      for (int i = filler(random) % 6; i > 0; --i) docs[id].push_back("f" + std::to_string(filler(random)));
    }
  }
  std::vector<std::uint8_t> live(docs.size(), 1);
  std::vector<std::int64_t> doomed;
  for (std::int64_t id = 4; id < 4000; id += 9) doomed.push_back(id);
  for (const std::int64_t id : doomed) live[static_cast<std::size_t>(id)] = 0;
  const auto build = [&](std::size_t first, std::size_t end) {
    BM25Index index(param.b, param.k1);
    index.add(as_documents(Docs(docs.begin() + static_cast<std::ptrdiff_t>(first),
                                docs.begin() + static_cast<std::ptrdiff_t>(end))));
    return index;
  };
  BM25Index whole = build(0, docs.size());
  whole.remove({doomed[0]});  // one alone: the lists searched, looser bounds left
  whole.remove(std::vector<std::int64_t>(doomed.begin() + 1, doomed.end()));
  BM25Index merged = build(0, 1700);
  merged.merge(build(1700, docs.size()));
  merged.remove(doomed);
  const std::string path = ::testing::TempDir() + "seeded_threshold.idx";
  whole.save(path);
  const BM25Index mapped = BM25Index::load(path, true);
  const std::vector<BM25Index> shards = two_shards(docs, live, param.b, param.k1);

  const BM25 model = trained(live_only(docs, live), param.b, param.k1);
  const auto encoded = encoded_all(model, docs);
  std::size_t holding_r = 0;
  for (std::size_t id = 0; id < docs.size(); ++id) holding_r += live[id] * encoded[id].count("r");

  // Allow lists: none; the even ids; every id but those of the shapes that score highest on "r"
  // (the documents of its best blocks); three ids.
  std::vector<std::vector<std::int64_t>> allows(4);
  for (std::size_t id = 0; id < docs.size(); ++id) {
    const auto signed_id = static_cast<std::int64_t>(id);
    if (id % 2 == 0) allows[1].push_back(signed_id);
    if (docs[id] != shapes[0] && docs[id] != shapes[3] && docs[id] != shapes[4]) allows[2].push_back(signed_id);
  }
  allows[3] = {3, 1000, 3999};
  const std::vector<std::vector<std::string>> queries = {
      {"r", "c"}, {"c", "r", "r"}, {"r", "c", "n"}, {"x", "r", "c", "n"}, {"r", "x"}, {"r", "f3", "n"}};
  std::vector<Document> batch;
  for (const auto& query : queries) batch.emplace_back(TokenViews(query.begin(), query.end()));
  const CorpusStatistics summed = summed_statistics(shards, batch);

  for (std::size_t allowed = 0; allowed < allows.size(); ++allowed) {
    const std::vector<std::int64_t>* allow = allowed == 0 ? nullptr : &allows[allowed];
    std::vector<std::uint8_t> candidate = live;
    if (allow != nullptr) {
      std::vector<std::uint8_t> listed(docs.size(), 0);
      for (const std::int64_t id : *allow) listed[static_cast<std::size_t>(id)] = 1;
      for (std::size_t id = 0; id < docs.size(); ++id) candidate[id] &= listed[id];
    }
    std::vector<std::vector<std::int64_t>> shard_allows(2);
    if (allow != nullptr) {
      for (const std::int64_t id : *allow) shard_allows[static_cast<std::size_t>(id) % 2].push_back(id / 2);
    }
    for (const std::uint64_t k : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{63}, std::uint64_t{64},
                                  std::uint64_t{65}, std::uint64_t{129}, std::uint64_t{holding_r - 1},
                                  std::uint64_t{holding_r}, std::uint64_t{holding_r + 1}, std::uint64_t{1000000000}}) {
      const SearchResults threaded = whole.retrieve(batch, k, 2, allow);
      std::vector<SearchResults> parts;
      for (std::size_t shard = 0; shard < 2; ++shard) {
        parts.push_back(shards[shard].retrieve(batch, k, 1, allow == nullptr ? nullptr : &shard_allows[shard], summed));
      }
      for (std::size_t row = 0; row < queries.size(); ++row) {
        const auto query_weights = testing::encode_query(model, queries[row]);
        const auto expected = ranked(query_weights, encoded, candidate);
        const std::size_t columns = std::min<std::size_t>(k, expected.size());
        std::vector<std::pair<double, std::int64_t>> sharded;
        for (std::size_t shard = 0; shard < 2; ++shard) {
          const SearchResults& part = parts[shard];
          for (std::size_t column = 0; column < part.columns; ++column) {
            const std::size_t at = row * part.columns + column;
            sharded.emplace_back(part.scores[at], part.ids[at] * 2 + static_cast<std::int64_t>(shard));
          }
        }
        best_first(sharded);
        const std::vector<Document> one = {batch[row]};
        const SearchResults answers[] = {whole.retrieve(one, k, 1, allow), mapped.retrieve(one, k, 1, allow),
                                         merged.retrieve(one, k, 1, allow)};
        const std::string where = queries[row][0] + "+" + std::to_string(queries[row].size() - 1) +
                                  " allow " + std::to_string(allowed) + " k " + std::to_string(k);
        for (const SearchResults& answer : answers) ASSERT_EQ(answer.columns, columns) << where;
        ASSERT_EQ(threaded.columns, columns) << where;
        ASSERT_GE(sharded.size(), columns) << where;
        for (std::size_t column = 0; column < columns; ++column) {
          for (std::size_t which = 0; which < 3; ++which) {
            ASSERT_EQ(answers[which].ids[column], expected[column].second)
                << where << " index " << which << " column " << column;
            ASSERT_EQ(answers[which].scores[column], expected[column].first) << where << " index " << which;
          }
          ASSERT_EQ(threaded.ids[row * columns + column], expected[column].second) << where << " two threads";
          ASSERT_EQ(threaded.scores[row * columns + column], expected[column].first) << where << " two threads";
          ASSERT_EQ(sharded[column].second, expected[column].second) << where << " shards, column " << column;
          ASSERT_EQ(sharded[column].first, expected[column].first) << where << " shards";
        }
      }
    }
  }
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Models, SeededThreshold,
    ::testing::Values(PruningModel{"Usual", 0.75, 1.2},
                      // Every K the same: length ties too.
                      PruningModel{"NoLength", 0.0, 1.2},
                      // K near 0: a weight per posting of about the term's whole weight.
                      PruningModel{"TinyK1", 1.0, 1e-300},
                      // K past the largest double for every document: every score 0.
                      PruningModel{"HugeK1", 1.0, 1e308},
                      // Document weights of about tf x 1e-308, most of them subnormal.
                      PruningModel{"SubnormalWeights", 0.0, 1e308}),
    [](const ::testing::TestParamInfo<PruningModel>& model) { return std::string(model.param.name); });

// Scoring every document a window of ids at a time, as queries whose lists hold most documents
// start, MaxScore hands over to, and models that cannot prune take: scores that are infinite or
// not a number, ties at the k-th score on either side of a window's edge (the same document at
// ids 2047 to 2049 and 4095 to 4097), k from 1 to past the candidates, allow lists from none to
// every id and past the end, queries of negative weights alone, of 40 tokens (a wider window) and
// of 100,000. Whole, mapped, one query after another on one scratch, on two threads, and as two
// shards with summed statistics: the k best are those of scoring everything, to the bit.
struct DenseModel {
  const char* name;
  double b;
  double k1;
};

class WholeScoring : public ::testing::TestWithParam<DenseModel> {};

// The same score bytes; any two scores that are not numbers match.
bool same_score(double left, double right) {
  return std::isnan(left) ? std::isnan(right) : std::memcmp(&left, &right, sizeof left) == 0;
}

// One query's result against the oracle's ranking: its first k, the same ids and score bytes.
::testing::AssertionResult ranks_alike(const SearchResults& results, std::uint64_t k,
                                       const std::vector<std::pair<double, std::int64_t>>& expected) {
  if (results.columns != std::min<std::uint64_t>(k, expected.size())) {
    return ::testing::AssertionFailure() << results.columns << " columns";
  }
  for (std::size_t column = 0; column < results.columns; ++column) {
    if (results.ids[column] != expected[column].second || !same_score(results.scores[column], expected[column].first)) {
      return ::testing::AssertionFailure() << "column " << column << ": id " << results.ids[column] << " score "
                                           << results.scores[column] << ", expected id " << expected[column].second
                                           << " score " << expected[column].first;
    }
  }
  return ::testing::AssertionSuccess();
}

TEST_P(WholeScoring, KeepsTheTopKOfScoringEveryDocument) {
  const DenseModel& param = GetParam();
  std::mt19937 random(31);
  std::bernoulli_distribution often(0.8);
  std::bernoulli_distribution sometimes(0.3);
  std::uniform_int_distribution<int> filler(0, 199);
  std::uniform_int_distribution<int> rare(0, 1999);
  // "c0" and "c1" in most documents once (weights above 0, 1.6 postings per id together), "m0" to
  // "m2" in a third, "n" in half of them three times (a weight below 0).
  Docs docs(5000);
  for (auto& doc : docs) {
    for (const char* token : {"c0", "c1"}) {
      if (often(random)) doc.push_back(token);
    }
    for (const char* token : {"m0", "m1", "m2"}) {
      if (sometimes(random)) doc.insert(doc.end(), static_cast<std::size_t>(1 + filler(random) % 2), token);
    }
    if (random() % 2 == 0) doc.insert(doc.end(), 3, "n");
    for (int i = filler(random) % 8; i > 0; --i) doc.push_back("f" + std::to_string(filler(random) % 40));
    doc.push_back("r" + std::to_string(rare(random)));
  }
  const std::vector<std::string> tied = {"c0", "c1", "m0", "m0", "m1", "m2", "r7"};
  for (const std::size_t id : {2046u, 2047u, 2048u, 2049u, 4095u, 4096u, 4097u}) docs[id] = tied;
  docs[100] = {"n", "n", "n"};
  std::vector<std::uint8_t> live(docs.size(), 1);
  std::vector<std::int64_t> doomed;
  for (std::int64_t id = 5; id < 5000; id += 13) doomed.push_back(id);  // 2046 among them
  for (const std::int64_t id : doomed) live[static_cast<std::size_t>(id)] = 0;
  BM25Index whole(param.b, param.k1);
  whole.add(as_documents(docs));
  whole.remove(doomed);
  const std::string path = ::testing::TempDir() + "whole_scoring.idx";
  whole.save(path);
  const BM25Index mapped = BM25Index::load(path, true);
  const std::vector<BM25Index> shards = two_shards(docs, live, param.b, param.k1);
  const BM25 model = trained(live_only(docs, live), param.b, param.k1);
  const auto encoded = encoded_all(model, docs);

  std::vector<std::vector<std::string>> queries = {
      {"c0", "c1"}, {"c1", "c0", "m0"}, {"m0", "m1", "m2"}, {"c0", "c1", "n", "r7"}, {"n"}, {"n", "f0", "f1"},
      {"r7"},       {"unknown"}};
  queries.emplace_back();  // 40 tokens: windows of 64 ids per token
  for (int i = 0; i < 40; ++i) queries.back().push_back("f" + std::to_string(i));
  std::vector<Document> batch;
  for (const auto& query : queries) batch.emplace_back(TokenViews(query.begin(), query.end()));
  const CorpusStatistics summed = summed_statistics(shards, batch);

  std::vector<std::vector<std::int64_t>> allows = {{}, {2048}, {-1, 5000, 1000000000000}, {}};
  for (std::int64_t id = 0; id < 5000; ++id) allows[2].push_back(id);
  for (std::int64_t id = 1; id < 5000; id += 2) allows[3].push_back(id);
  for (std::size_t allowed = 0; allowed <= allows.size(); ++allowed) {
    const std::vector<std::int64_t>* allow = allowed == allows.size() ? nullptr : &allows[allowed];
    std::vector<std::uint8_t> candidate = live;
    std::vector<std::vector<std::int64_t>> shard_allows(2);
    if (allow != nullptr) {
      std::vector<std::uint8_t> listed(docs.size(), 0);
      for (const std::int64_t id : *allow) {
        if (id < 0 || id >= 5000) continue;
        listed[static_cast<std::size_t>(id)] = 1;
        shard_allows[static_cast<std::size_t>(id) % 2].push_back(id / 2);
      }
      for (std::size_t id = 0; id < docs.size(); ++id) candidate[id] &= listed[id];
    }
    const std::size_t candidates = static_cast<std::size_t>(std::count(candidate.begin(), candidate.end(), 1));
    std::vector<std::vector<std::pair<double, std::int64_t>>> expected;
    for (const auto& query : queries) {
      expected.push_back(ranked(testing::encode_query(model, query), encoded, candidate));
    }
    for (const std::uint64_t k : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{4}, std::uint64_t{candidates},
                                  std::uint64_t{1000000000}}) {
      if (k == 0) continue;
      const SearchResults one_scratch = whole.retrieve(batch, k, 1, allow);
      const SearchResults threaded = mapped.retrieve(batch, k, 2, allow);
      std::vector<SearchResults> parts;
      for (std::size_t shard = 0; shard < 2; ++shard) {
        parts.push_back(shards[shard].retrieve(batch, k, 2, allow == nullptr ? nullptr : &shard_allows[shard], summed));
      }
      const std::size_t columns = std::min<std::size_t>(k, candidates);
      ASSERT_EQ(one_scratch.columns, columns);
      ASSERT_EQ(threaded.columns, columns);
      for (std::size_t row = 0; row < queries.size(); ++row) {
        std::vector<std::pair<double, std::int64_t>> sharded;
        for (std::size_t shard = 0; shard < 2; ++shard) {
          for (std::size_t column = 0; column < parts[shard].columns; ++column) {
            const std::size_t at = row * parts[shard].columns + column;
            sharded.emplace_back(parts[shard].scores[at], parts[shard].ids[at] * 2 + static_cast<std::int64_t>(shard));
          }
        }
        best_first(sharded);
        ASSERT_GE(sharded.size(), columns);
        const std::string where = queries[row][0] + "+" + std::to_string(queries[row].size() - 1) + " allow " +
                                  std::to_string(allowed) + " k " + std::to_string(k);
        for (std::size_t column = 0; column < columns; ++column) {
          const std::size_t at = row * columns + column;
          const auto& [score, id] = expected[row][column];
          ASSERT_EQ(one_scratch.ids[at], id) << where << " column " << column;
          ASSERT_TRUE(same_score(one_scratch.scores[at], score)) << where << " column " << column;
          ASSERT_EQ(threaded.ids[at], id) << where << " mapped, two threads, column " << column;
          ASSERT_TRUE(same_score(threaded.scores[at], score)) << where << " mapped, two threads";
          ASSERT_EQ(sharded[column].second, id) << where << " shards, column " << column;
          ASSERT_TRUE(same_score(sharded[column].first, score)) << where << " shards";
        }
      }
    }
  }
  // 100,000 tokens, each of them many times: 2,040 terms, one window for every id.
  std::vector<std::string> longest;
  for (int i = 0; i < 100000; ++i) {
    longest.push_back(i % 3 == 0 ? "r" + std::to_string(i % 2000) : "f" + std::to_string(i % 40));
  }
  const auto expected = ranked(testing::encode_query(model, longest), encoded, live);
  for (const std::uint64_t k : {std::uint64_t{1}, std::uint64_t{1000000000}}) {
    for (const BM25Index* searched : {static_cast<const BM25Index*>(&whole), &mapped}) {
      const SearchResults results = searched->retrieve({TokenViews(longest.begin(), longest.end())}, k, 1, nullptr);
      ASSERT_TRUE(ranks_alike(results, k, expected)) << "k " << k;
    }
  }
  std::remove(path.c_str());
}

// Without deletions or an allow list, a window's postings of a term are added as a run, four at a
// time where the processor has AVX2 (the rest one at a time), and a window where the term holds an
// escaped tf (255 or more) posting by posting: the same bits as scoring every document, in memory
// and mapped, and as the same index asked with every id allowed, which adds them one at a time
// with their tests.
TEST_P(WholeScoring, AddsAWindowsPostingsAsARunAlike) {
  const DenseModel& param = GetParam();
  std::mt19937 random(47);
  std::bernoulli_distribution near_half(0.45);
  std::bernoulli_distribution most(0.85);
  std::uniform_int_distribution<int> tf(1, 6);
  // "p0" to "p3" in 45% of the documents (weights above 0, 1.8 postings per id), "n" in 85%.
  Docs docs(4500);
  for (std::size_t id = 0; id < docs.size(); ++id) {
    auto& doc = docs[id];
    for (const char* token : {"p0", "p1", "p2", "p3"}) {
      if (near_half(random)) doc.insert(doc.end(), static_cast<std::size_t>(tf(random)), token);
    }
    if (most(random)) doc.insert(doc.end(), static_cast<std::size_t>(tf(random)), "n");
    if (id % 997 == 3) doc.insert(doc.end(), 300, "p1");  // an escaped tf in a few windows
    doc.push_back("f" + std::to_string(random() % 50));
  }
  BM25Index whole(param.b, param.k1);
  whole.add(as_documents(docs));
  const std::string path = ::testing::TempDir() + "whole_runs.idx";
  whole.save(path);
  const BM25Index mapped = BM25Index::load(path, true);
  const std::vector<std::uint8_t> live(docs.size(), 1);
  const BM25 model = trained(docs, param.b, param.k1);
  const auto encoded = encoded_all(model, docs);
  std::vector<std::int64_t> all_ids(docs.size());
  std::iota(all_ids.begin(), all_ids.end(), 0);
  const std::vector<std::int64_t>* const every = &all_ids;
  const std::vector<std::vector<std::string>> queries = {
      {"p0", "p1", "p2", "p3"}, {"p3", "n", "p1", "p0", "p2"}, {"n"}, {"n", "f7"}, {"p1"}};
  for (const auto& query : queries) {
    const auto expected = ranked(testing::encode_query(model, query), encoded, live);
    for (const std::uint64_t k : {std::uint64_t{1}, std::uint64_t{10}, std::uint64_t{1000000000}}) {
      for (const BM25Index* searched : {static_cast<const BM25Index*>(&whole), &mapped}) {
        for (const std::vector<std::int64_t>* allow : {static_cast<const std::vector<std::int64_t>*>(nullptr), every}) {
          const SearchResults results = searched->retrieve({TokenViews(query.begin(), query.end())}, k, 1, allow);
          const std::string where = query[0] + "+" + std::to_string(query.size() - 1) + " k " + std::to_string(k) +
                                    (searched == &mapped ? " mapped" : "") + (allow != nullptr ? " allow" : "");
          ASSERT_TRUE(ranks_alike(results, k, expected)) << where;
        }
      }
    }
  }
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Models, WholeScoring,
    ::testing::Values(DenseModel{"Usual", 0.75, 1.2},
                      // b past 1 or below 0: K shrinks with the length, nothing is pruned.
                      DenseModel{"BPastOne", 1.5, 1.2}, DenseModel{"NegativeB", -0.5, 1.2},
                      // K = -1: a tf of 1 weighs an infinity, and one of each sign sum to not a number.
                      DenseModel{"Infinities", 0.0, -1.0},
                      DenseModel{"InfiniteK1", 0.75, std::numeric_limits<double>::infinity()},
                      DenseModel{"NotANumberB", std::numeric_limits<double>::quiet_NaN(), 1.2}),
    [](const ::testing::TestParamInfo<DenseModel>& model) { return std::string(model.param.name); });

// `index` saved and its file rewritten while `rounds` queries of "w" run: the id at `slot` of the
// ids `pattern` (found once in the file) flips between `ids`. `fresh`: each query on a new mapping,
// so that each first query checks the token's bounds and builds its blocks.
void QueryWhileRewriting(const BM25Index& index, const std::vector<std::uint32_t>& pattern, std::size_t slot,
                         const std::array<std::uint32_t, 2>& ids, bool fresh, int rounds) {
  const std::string path = ::testing::TempDir() + "changing.idx";
  index.save(path);
  const std::string bytes = index.serialize();
  const std::size_t found = bytes.find(
      std::string(reinterpret_cast<const char*>(pattern.data()), pattern.size() * sizeof pattern[0]));
  ASSERT_NE(found, std::string::npos);
  const auto at = static_cast<off_t>(found + slot * sizeof pattern[0]);
  const BM25Index mapped = BM25Index::load(path, true);
  const int file = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(file, 0);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (unsigned i = 0; !stop; ++i) {
      if (::pwrite(file, &ids[i & 1], sizeof ids[0], at) != 4) break;
    }
  });
  const std::vector<std::string> query = {"w"};
  for (int round = 0; round < rounds; ++round) {
    try {
      if (fresh) {
        BM25Index::load(path, true).retrieve({TokenViews(query.begin(), query.end())}, 10, 1, nullptr);
      } else {
        mapped.retrieve({TokenViews(query.begin(), query.end())}, 10, 1, nullptr);
      }
    } catch (const std::invalid_argument&) {
      // refused as damaged: as good as any answer
    }
  }
  stop = true;
  writer.join();
  ::close(file);
  std::remove(path.c_str());
}

// A mapped file rewritten while it is queried: whatever a posting's id reads as, each read stays in
// bounds (the sanitizer build catches a read or write outside the window's sums). An id that moves
// below its window between two windows once wrote before them.
TEST(BM25Index, MappedFileChangingUnderQueriesStaysInBounds) {
  Docs docs(5000);
  for (std::size_t id = 0; id < docs.size(); ++id) {
    docs[id] = {"z", (id <= 2039 || id == 2053 || id >= 2100) ? "w" : "y"};
  }
  BM25Index index(1.5, 1.2);  // not prunable: every query is scored whole, a window at a time
  index.add(as_documents(docs));
  // 2053: its own window, then 2043, the one before it.
  QueryWhileRewriting(index, {2039, 2053, 2100}, 1, {2053, 2043}, false, 1000);
}

// The same while each fresh mapping's first query checks a token's bounds and builds its blocks:
// an id read twice there (checked, then used) once read and wrote outside the lengths and the
// blocks' bits.
TEST(BM25Index, MappedFileChangingUnderItsFirstQueriesStaysInBounds) {
  Docs docs(3000);
  for (std::size_t id = 0; id < docs.size(); ++id) {
    docs[id] = {"z"};
    if (id % 3 != 0) docs[id].insert(docs[id].end(), 1 + id % 4, "w");
  }
  BM25Index index(0.75, 1.2);
  index.add(as_documents(docs));
  // 4: its own id, then one past every document.
  QueryWhileRewriting(index, {1, 2, 4, 5, 7, 8}, 2, {4, 0xFFFFFFF0u}, true, 3000);
}

// Shards of one corpus, each retrieving with the summed statistics, merged by score then global
// id: the same ids and scores, to the bit, as one index of every document, with deletions,
// an allow list, a shard whose documents are all deleted, and queries of ids as of text.
struct ShardCase {
  std::size_t shards;
  bool empty_shard;  // every document of the last shard deleted
};

class ShardedIndex : public ::testing::TestWithParam<ShardCase> {};

TEST_P(ShardedIndex, SummedStatisticsGiveOneIndexsResults) {
  const ShardCase param = GetParam();
  std::mt19937 random(static_cast<unsigned>(13 + param.shards));
  std::vector<double> weights;
  for (int rank = 1; rank <= 400; ++rank) weights.push_back(1.0 / rank);
  std::discrete_distribution<int> token(weights.begin(), weights.end());
  std::uniform_int_distribution<int> length(1, 30);
  Docs docs(6000);
  for (auto& doc : docs) {
    for (int i = length(random); i > 0; --i) doc.push_back(std::to_string(token(random)));
  }
  docs[10].insert(docs[10].end(), 300, "7");  // a term frequency past a byte
  // Global id g lives in shard g % shards under local id g / shards: ascending in both.
  const std::size_t count = param.shards;
  BM25Index whole(0.75, 1.2);
  whole.add(as_documents(docs));
  std::vector<BM25Index> shards(count, BM25Index(0.75, 1.2));
  for (std::size_t shard = 0; shard < count; ++shard) {
    Docs part;
    for (std::size_t id = shard; id < docs.size(); id += count) part.push_back(docs[id]);
    shards[shard].add(as_documents(part));
  }
  std::vector<std::int64_t> doomed;
  for (std::int64_t id = 3; id < 6000; id += 5) doomed.push_back(id);
  if (param.empty_shard) {
    for (std::size_t id = count - 1; id < docs.size(); id += count) doomed.push_back(static_cast<std::int64_t>(id));
  }
  std::sort(doomed.begin(), doomed.end());
  doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());
  whole.remove(doomed);
  std::vector<std::vector<std::int64_t>> local_doomed(count);
  for (const std::int64_t id : doomed) {
    local_doomed[static_cast<std::size_t>(id) % count].push_back(id / static_cast<std::int64_t>(count));
  }
  for (std::size_t shard = 0; shard < count; ++shard) shards[shard].remove(local_doomed[shard]);
  std::vector<std::int64_t> allow{-1, 6000};
  for (std::int64_t id = 0; id < 6000; id += 4) allow.push_back(id);
  std::vector<std::vector<std::int64_t>> local_allow(count);
  for (const std::int64_t id : allow) {
    if (id >= 0 && id < 6000) local_allow[static_cast<std::size_t>(id) % count].push_back(id / static_cast<std::int64_t>(count));
  }

  std::vector<std::vector<std::string>> texts;
  std::vector<Document> queries;
  std::uniform_int_distribution<int> rare(100, 450);  // past 400: tokens no document holds
  for (int round = 0; round < 40; ++round) {
    std::vector<std::string> query;
    for (int i = 1 + round % 3; i > 0; --i) query.push_back(std::to_string(rare(random)));
    for (int i = round % 4; i > 0; --i) query.push_back(std::to_string(token(random)));
    if (round % 5 == 0) query.push_back(query.front());  // a repeated token
    texts.push_back(query);
  }
  for (const auto& query : texts) queries.emplace_back(TokenViews(query.begin(), query.end()));
  for (int round = 0; round < 10; ++round) queries.emplace_back(IdList{token(random), 7, rare(random)});

  const CorpusStatistics summed = summed_statistics(shards, queries);
  EXPECT_EQ(summed.token_counts, whole.corpus_statistics(queries).token_counts);
  for (const bool restricted : {false, true}) {
    for (const std::uint64_t k : {1u, 10u, 3000u}) {
      const SearchResults expected = whole.retrieve(queries, k, 2, restricted ? &allow : nullptr);
      std::vector<std::vector<std::pair<double, std::int64_t>>> merged(queries.size());
      for (std::size_t shard = 0; shard < count; ++shard) {
        const SearchResults part = shards[shard].retrieve(queries, k, 2, restricted ? &local_allow[shard] : nullptr, summed);
        for (std::size_t row = 0; row < part.rows; ++row) {
          for (std::size_t column = 0; column < part.columns; ++column) {
            const std::size_t at = row * part.columns + column;
            merged[row].emplace_back(part.scores[at], part.ids[at] * static_cast<std::int64_t>(count) + static_cast<std::int64_t>(shard));
          }
        }
      }
      for (std::size_t row = 0; row < queries.size(); ++row) {
        auto& candidates = merged[row];
        best_first(candidates);
        ASSERT_GE(candidates.size(), expected.columns);
        for (std::size_t column = 0; column < expected.columns; ++column) {
          const std::size_t at = row * expected.columns + column;
          ASSERT_EQ(candidates[column].second, expected.ids[at]) << "row " << row << " k " << k;
          ASSERT_EQ(candidates[column].first, expected.scores[at]) << "row " << row << " k " << k;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Splits, ShardedIndex,
                         ::testing::Values(ShardCase{1, false}, ShardCase{2, false}, ShardCase{3, false},
                                           ShardCase{3, true}),
                         [](const auto& test) {
                           return std::to_string(test.param.shards) + (test.param.empty_shard ? "WithOneEmpty" : "");
                         });

// Statistics that cannot include the index's own are refused, whatever else they hold.
TEST(BM25Index, StatisticsBelowTheIndexsOwnAreRefused) {
  BM25Index index(0.75, 1.2);
  index.add(as_documents(corpus()));
  const std::vector<Document> queries = {TokenViews{"a", "the"}, TokenViews{"zz"}};
  const CorpusStatistics own = index.corpus_statistics(queries);
  ASSERT_EQ(own.token_counts.size(), 3u);
  const auto refused = [&](CorpusStatistics corpus, const char* message) {
    try {
      index.retrieve(queries, 3, 1, nullptr, corpus);
      ADD_FAILURE() << "accepted: " << message;
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
  };
  CorpusStatistics changed = own;
  changed.doc_count -= 1;
  refused(changed, "fewer documents");
  changed = own;
  changed.doc_count = std::numeric_limits<std::int64_t>::max();
  refused(changed, "fewer documents");
  changed = own;
  changed.doc_length_total = -1;
  refused(changed, "shorter total");
  changed = own;
  changed.token_counts[1] -= 1;
  refused(changed, "fewer than this index's");
  changed = own;
  changed.token_counts.pop_back();
  refused(changed, "distinct tokens");
  // Its own statistics give its own answer.
  const SearchResults plain = index.retrieve(queries, 3, 1, nullptr);
  const SearchResults with_own = index.retrieve(queries, 3, 1, nullptr, own);
  EXPECT_EQ(plain.ids, with_own.ids);
  EXPECT_EQ(plain.scores, with_own.scores);
}

// Where a file's posting arrays start: the ids, then the frequencies (each padded to 8 bytes), then
// 12 bytes for each frequency past a byte, at the end.
struct PostingArrays {
  std::size_t ids;
  std::size_t frequencies;
};
PostingArrays posting_arrays(const std::string& bytes) {
  std::uint64_t postings = 0;
  std::uint64_t overflow = 0;
  std::memcpy(&postings, bytes.data() + 32, 8);
  std::memcpy(&overflow, bytes.data() + 40, 8);
  const std::size_t frequencies = bytes.size() - overflow * 12 - (postings + 7) / 8 * 8;
  return {frequencies - (postings * 4 + 7) / 8 * 8, frequencies};
}

// `bytes` as a file of this name in the tests' temporary folder; its path.
std::string temporary_file(const std::string& bytes, const std::string& name) {
  const std::string path = ::testing::TempDir() + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot open " + path);
  const bool whole = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !whole) throw std::runtime_error("cannot write " + path);
  return path;
}

class IndexFile : public ::testing::Test {
 protected:
  IndexFile() : index_(0.75, 1.2) {
    index_.add(as_documents(corpus()));
    index_.remove({2});
    bytes_ = index_.serialize();
  }
  template <class Value>
  std::string with(std::size_t offset, Value value) const {
    std::string changed = bytes_;
    std::memcpy(changed.data() + offset, &value, sizeof value);
    return changed;
  }
  template <class Value>
  Value at(std::size_t offset) const {
    Value value;
    std::memcpy(&value, bytes_.data() + offset, sizeof value);
    return value;
  }
  std::size_t docs_at() const { return posting_arrays(bytes_).ids; }  // the first posting's id
  BM25Index index_;
  std::string bytes_;
};

TEST_F(IndexFile, HeaderAndRoundTrip) {
  EXPECT_EQ(bytes_.substr(0, 8), "DZDVIDX1");
  EXPECT_EQ(at<std::uint32_t>(8), 1u);
  EXPECT_EQ(at<std::uint64_t>(16), 6u);  // ids ever given
  EXPECT_EQ(at<std::uint64_t>(40), 1u);  // one frequency past a byte
  EXPECT_EQ(at<std::uint32_t>(bytes_.size() - 4), 300u);
  EXPECT_EQ(bytes_.size() % 8, 4u);
  const BM25Index loaded = BM25Index::from_bytes(bytes_);
  EXPECT_EQ(loaded.serialize(), bytes_);
  EXPECT_EQ(loaded.size(), 5u);
  EXPECT_EQ(loaded.next_id(), 6u);
  // At most 8 bytes per posting on file, header and model included.
  EXPECT_LE(bytes_.size(), 8 * index_.posting_count() + 400);
}

TEST_F(IndexFile, EveryTruncationIsRefused) {
  for (std::size_t size = 0; size < bytes_.size(); ++size) {
    EXPECT_THROW(BM25Index::from_bytes(std::string_view(bytes_).substr(0, size)), std::invalid_argument) << size;
  }
}

// Pruning reads each token's bound from the file. A mapped index does not check the file whole
// at load, so a lying bound is caught when a query first uses it, not followed to a wrong top-k.
TEST_F(IndexFile, LyingBoundsAreRefusedMappedOrNot) {
  const auto pad = [](std::uint64_t size) { return (size + 7) / 8 * 8; };
  const auto terms = at<std::uint64_t>(24);
  const std::size_t bounds_at = 64 + pad(at<std::uint64_t>(48)) + pad(at<std::uint64_t>(16) * 4) +
                                pad(terms * 4 + at<std::uint64_t>(56)) + (terms + 1) * 8;
  std::string lying = bytes_;
  for (std::uint64_t term = 0; term < terms; ++term) {
    const std::uint32_t tiny[2] = {1, 0xffffffffu};
    std::memcpy(lying.data() + bounds_at + 8 * term, tiny, sizeof tiny);
  }
  const std::string path = temporary_file(lying, "lying_bounds.idx");
  const std::vector<std::string> query = {"a", "c"};
  for (const bool map : {false, true}) {
    try {
      BM25Index::load(path, map).retrieve({TokenViews(query.begin(), query.end())}, 2, 1, nullptr);
      ADD_FAILURE() << "accepted, map " << map;
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "index file: a token's bounds disagree with its postings");
    }
  }
  std::remove(path.c_str());
}

// A mapped file's postings reach the pruned top-k unchecked at load; whichever loop reads them
// (the window, a window's one essential term, or scoring every document) must refuse them as a
// whole load does, not index outside itself, offer an id twice or pass one over. "a" lists 0, 1, 2
// and "b" 1, 2, 3; each case rewrites "a"'s ids with its bounds unchanged.
struct MappedLie {
  const char* name;
  std::uint32_t ids[3];
  std::vector<std::string> query;
  std::uint64_t k;
  double b;  // above 1 nothing is pruned
  const char* message;
};

class IndexFileMapped : public ::testing::TestWithParam<MappedLie> {};

TEST_P(IndexFileMapped, DamagedPostingsAreRefused) {
  const MappedLie& lie = GetParam();
  BM25Index index(lie.b, 1.2);
  index.add(as_documents({{"a"}, {"a", "b"}, {"a", "b"}, {"b"}}));
  std::string bytes = index.serialize();
  const std::size_t first = posting_arrays(bytes).ids;
  const std::uint32_t ids[3] = {0, 1, 2};
  ASSERT_EQ(std::memcmp(bytes.data() + first, ids, sizeof ids), 0);
  std::memcpy(bytes.data() + first, lie.ids, sizeof lie.ids);
  const std::string path = temporary_file(bytes, "damaged_postings.idx");
  for (const bool map : {false, true}) {
    try {
      BM25Index::load(path, map).retrieve({TokenViews(lie.query.begin(), lie.query.end())}, lie.k, 1, nullptr);
      ADD_FAILURE() << "accepted, map " << map;
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()), std::string("index file: ") + lie.message) << "map " << map;
    }
  }
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Postings, IndexFileMapped,
    ::testing::Values(
        // The window wrote outside its arrays (a segfault).
        MappedLie{"OutOfOrderInTheWindow", {2, 0, 1}, {"a", "b"}, 1, 0.75, "postings are not in ascending id order"},
        MappedLie{"RepeatedInTheWindow", {0, 0, 2}, {"a", "b"}, 1, 0.75, "postings are not in ascending id order"},
        // One essential term offered id 0 twice: the result held it twice.
        MappedLie{"RepeatedInOneTerm", {0, 0, 2}, {"a"}, 3, 0.75, "postings are not in ascending id order"},
        MappedLie{"OutOfOrderInOneTerm", {0, 2, 1}, {"a"}, 3, 0.75, "postings are not in ascending id order"},
        // 2^32 - 1 was taken for the end of the lists: the posting was passed over, unread.
        MappedLie{"LastIdPastAll", {0, 1, 0xFFFFFFFFu}, {"a"}, 2, 0.75, "a posting's document id is out of range"},
        MappedLie{"IdPastAllBeforeOthers", {0, 0xFFFFFFFFu, 1}, {"a"}, 1, 0.75,
                  "a posting's document id is out of range"},
        MappedLie{"RepeatedUnpruned", {0, 0, 2}, {"a", "b"}, 1, 1.5, "postings are not in ascending id order"},
        // Scoring every document, a window of ids at a time: an id past the last is left unread by
        // the window, out of order it falls before the window's sums.
        MappedLie{"PastAllUnpruned", {0, 1, 4}, {"a"}, 1, 1.5, "a posting's document id is out of range"},
        MappedLie{"OutOfOrderUnpruned", {1, 0, 2}, {"a"}, 1, 1.5, "postings are not in ascending id order"},
        MappedLie{"PastAllInMostDocuments", {0, 1, 4}, {"a", "b"}, 1, 0.75, "a posting's document id is out of range"},
        MappedLie{"OutOfOrderInMostDocuments", {1, 0, 2}, {"a", "b"}, 1, 0.75,
                  "postings are not in ascending id order"}),
    [](const ::testing::TestParamInfo<MappedLie>& lie) { return std::string(lie.param.name); });

// A model that cannot prune scores a rare token's few documents in windows that start at its next
// id once the result is full: a mapped file's damaged list must be refused on that way too, never
// followed to an id before the window's sums. "a" lists 0, 3000 and 4000 of 5,000 documents.
TEST(IndexFileMappedRareList, DamagedPostingsAreRefused) {
  Docs docs(5000, std::vector<std::string>{"z"});
  for (const std::size_t id : {0u, 3000u, 4000u}) docs[id] = {"a"};
  BM25Index index(1.5, 1.2);
  index.add(as_documents(docs));
  const std::string bytes = index.serialize();
  const std::size_t first = posting_arrays(bytes).ids;
  const std::uint32_t ids[3] = {0, 3000, 4000};
  ASSERT_EQ(std::memcmp(bytes.data() + first, ids, sizeof ids), 0);
  const struct {
    std::uint32_t ids[3];
    const char* message;
  } lies[] = {
      {{0, 4000, 3000}, "postings are not in ascending id order"},
      {{0, 4000, 10}, "postings are not in ascending id order"},
      {{0, 3000, 3000}, "postings are not in ascending id order"},
      {{0, 3000, 5000}, "a posting's document id is out of range"},
  };
  for (const auto& lie : lies) {
    std::string damaged = bytes;
    std::memcpy(damaged.data() + first, lie.ids, sizeof lie.ids);
    const std::string path = temporary_file(damaged, "damaged_rare.idx");
    for (const bool map : {false, true}) {
      try {
        BM25Index::load(path, map).retrieve({TokenViews{"a"}}, 2, 1, nullptr);
        ADD_FAILURE() << "accepted, map " << map << ", ids to " << lie.ids[2];
      } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()), std::string("index file: ") + lie.message) << "map " << map;
      }
    }
    std::remove(path.c_str());
  }
}

// A frequency of 0 in a mapped file would name no tf slot of its block: refused as a whole load
// refuses it, whether one term is queried (its blocks by bound) or two (the window), and by a
// model that cannot prune (every document scored).
TEST(IndexFileMappedFrequency, ZeroIsRefused) {
  for (const double b : {0.75, 1.5}) {
    BM25Index index(b, 1.2);
    index.add(as_documents({{"a"}, {"a", "b"}, {"a", "b"}, {"b"}}));
    std::string bytes = index.serialize();
    const std::size_t tfs = posting_arrays(bytes).frequencies;
    ASSERT_EQ(bytes[tfs], 1);
    bytes[tfs] = 0;  // "a"'s first posting
    const std::string path = temporary_file(bytes, "zero_frequency.idx");
    for (const bool map : {false, true}) {
      for (const TokenViews& query : {TokenViews{"a"}, TokenViews{"a", "b"}}) {
        try {
          BM25Index::load(path, map).retrieve({query}, 1, 1, nullptr);
          ADD_FAILURE() << "accepted, b " << b << ", map " << map;
        } catch (const std::invalid_argument& error) {
          EXPECT_EQ(std::string(error.what()), "index file: a posting's term frequency is zero")
              << "b " << b << ", map " << map;
        }
      }
    }
    std::remove(path.c_str());
  }
}

// A term of negative weight is only sought for the documents that the others let in: a mapped
// file's damaged postings of it must be refused there too, not make a document miss its lowering
// (an out-of-order list sought for an id not found) or take another's. "a" is in every document
// three times (negative weight) and its list comes first; "b" and "c" are rare.
TEST(IndexFileMappedNegativeTerm, DamagedPostingsAreRefused) {
  BM25Index index(0.75, 1.2);
  index.add(as_documents({{"a", "a", "a", "b"},
                          {"a", "a", "a", "c"},
                          {"a", "a", "a"},
                          {"a", "a", "a", "d"},
                          {"a", "a", "a", "b", "c"},
                          {"a", "a", "a"}}));
  const std::string bytes = index.serialize();
  const std::size_t first = posting_arrays(bytes).ids;
  const std::uint32_t ids[6] = {0, 1, 2, 3, 4, 5};
  ASSERT_EQ(std::memcmp(bytes.data() + first, ids, sizeof ids), 0);
  const struct {
    std::uint32_t ids[6];
    const char* message;
  } lies[] = {
      {{0, 1, 2, 3, 5, 4}, "postings are not in ascending id order"},
      {{1, 0, 2, 3, 4, 5}, "postings are not in ascending id order"},
      {{0, 0, 2, 3, 4, 5}, "postings are not in ascending id order"},
      {{0, 1, 2, 3, 0xFFFFFFFFu, 5}, "a posting's document id is out of range"},
  };
  for (const auto& lie : lies) {
    std::string damaged = bytes;
    std::memcpy(damaged.data() + first, lie.ids, sizeof lie.ids);
    const std::string path = temporary_file(damaged, "damaged_negative.idx");
    for (const bool map : {false, true}) {
      for (const TokenViews& query : {TokenViews{"b", "a"}, TokenViews{"a", "b", "c"}}) {
        for (const std::uint64_t k : {1u, 2u}) {
          try {
            BM25Index::load(path, map).retrieve({query}, k, 1, nullptr);
            ADD_FAILURE() << "accepted, map " << map << ", ids from " << lie.ids[0] << ", k " << k;
          } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()), std::string("index file: ") + lie.message) << "map " << map;
          }
        }
      }
    }
    std::remove(path.c_str());
  }
}

struct Lie {
  const char* name;
  std::size_t offset;  // from the start, or (when from_docs) from the first posting's id
  bool from_docs;
  std::uint64_t value;
  int width;
  const char* message;
};

class IndexFileLies : public IndexFile, public ::testing::WithParamInterface<Lie> {};

TEST_P(IndexFileLies, AreRefusedWithTheirReason) {
  const Lie& lie = GetParam();
  const std::size_t offset = lie.offset + (lie.from_docs ? docs_at() : 0);
  const std::string changed = lie.width == 8 ? with<std::uint64_t>(offset, lie.value)
                                             : with<std::uint32_t>(offset, static_cast<std::uint32_t>(lie.value));
  try {
    BM25Index::from_bytes(changed);
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(std::string(error.what()), std::string("index file: ") + lie.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Header, IndexFileLies,
    ::testing::Values(Lie{"Magic", 0, false, 0x58, 4, "not an index file (bad magic)"},
                      Lie{"Version", 8, false, 2, 4, "unknown version"},
                      Lie{"BillionPostings", 32, false, 1000000000, 8, "posting count exceeds the file"},
                      Lie{"HugeIdCount", 16, false, ~std::uint64_t{0}, 8, "document count exceeds the file"},
                      Lie{"HugeTermCount", 24, false, std::uint64_t{1} << 62, 8, "token count exceeds the file"},
                      Lie{"StateSize", 48, false, 9, 8, "sections do not add up to the file's size"},
                      Lie{"IdOutOfRange", 0, true, 4000000, 4, "a posting's document id is out of range"},
                      Lie{"DeletedId", 0, true, 2, 4, "a posting names a deleted document"}),
    [](const ::testing::TestParamInfo<Lie>& lie) { return std::string(lie.param.name); });

}  // namespace
}  // namespace lumo::typing::text

namespace lumo::typing::text {
namespace {

// Deletes that empty a token or take a posting whose frequency is past a byte, of one document, a
// few (each list searched for them) or many (every list rewritten): the file they leave loads
// whole, every posting checked against the model, and scores as an index of the live documents
// alone. Documents 3 ("d", and "x" 300 times), 20 and 70 ("y" 260 times) and 40 ("solo") hold
// tokens no other document has; "x" is numbered before "y", so emptying it renumbers "y"'s
// large frequencies.
struct DeleteCase {
  const char* name;
  std::vector<std::int64_t> ids;
};

class DeleteRoundTrip : public ::testing::TestWithParam<DeleteCase> {};

TEST_P(DeleteRoundTrip, LeavesTheFileOfTheLiveDocuments) {
  Docs docs = corpus();
  for (int id = 6; id < 106; ++id) docs.push_back({"the", "f" + std::to_string(id % 7)});
  docs[20].insert(docs[20].end(), 260, "y");
  docs[70].insert(docs[70].end(), 260, "y");
  docs[40].push_back("solo");
  BM25Index index(0.75, 1.2);
  index.add(as_documents(docs));
  index.remove(GetParam().ids);

  const std::string bytes = index.serialize();
  const BM25Index reloaded = BM25Index::from_bytes(bytes);
  EXPECT_EQ(reloaded.serialize(), bytes);
  std::vector<std::uint8_t> live(docs.size(), 1);
  for (const std::int64_t id : GetParam().ids) live[static_cast<std::size_t>(id)] = 0;
  Docs live_docs;
  std::vector<std::int64_t> live_ids;
  for (std::size_t id = 0; id < docs.size(); ++id) {
    if (live[id] == 0) continue;
    live_docs.push_back(docs[id]);
    live_ids.push_back(static_cast<std::int64_t>(id));
  }
  BM25Index expected(0.75, 1.2);
  expected.add(as_documents(live_docs));
  EXPECT_EQ(reloaded.size(), expected.size());
  EXPECT_EQ(reloaded.posting_count(), expected.posting_count());
  EXPECT_EQ(reloaded.model().doc_token_frequency().size(), expected.model().doc_token_frequency().size());
  const std::vector<std::vector<std::string>> queries = {{"a"}, {"b"}, {"c"}, {"d"}, {"e"}, {"the"}, {"x"}, {"y"},
                                                         {"solo"}, {"f3"}, {"x", "y", "a"}, {"y", "the", "f1"}};
  for (const auto& query : queries) {
    const std::vector<Document> batch = {TokenViews(query.begin(), query.end())};
    const SearchResults got = reloaded.retrieve(batch, docs.size(), 1, nullptr);
    const SearchResults in_memory = index.retrieve(batch, docs.size(), 1, nullptr);
    const SearchResults want = expected.retrieve(batch, docs.size(), 1, nullptr);
    ASSERT_EQ(got.columns, want.columns) << query[0];
    EXPECT_EQ(in_memory.ids, got.ids) << query[0];
    EXPECT_EQ(in_memory.scores, got.scores) << query[0];
    for (std::size_t column = 0; column < got.columns; ++column) {
      EXPECT_EQ(got.ids[column], live_ids[static_cast<std::size_t>(want.ids[column])]) << query[0];
      EXPECT_EQ(got.scores[column], want.scores[column]) << query[0];
    }
  }
}

std::vector<std::int64_t> id_range(std::int64_t first, std::int64_t end, std::vector<std::int64_t> skipped = {}) {
  std::vector<std::int64_t> ids;
  for (std::int64_t id = first; id < end; ++id) {
    if (std::find(skipped.begin(), skipped.end(), id) == skipped.end()) ids.push_back(id);
  }
  return ids;
}

INSTANTIATE_TEST_SUITE_P(
    Deletes, DeleteRoundTrip,
    ::testing::Values(DeleteCase{"OneTakingALargeFrequency", {20}},
                      DeleteCase{"OneEmptyingTokensBeforeOthersWithLargeFrequencies", {3}},
                      DeleteCase{"FewEmptyingATokenOfLargeFrequencies", {20, 70}},
                      DeleteCase{"FewTakingALargeFrequencyAndEmptyingAToken", {20, 40}},
                      DeleteCase{"FewEmptyingNothing", {0, 20, 41}},
                      DeleteCase{"ManyEmptyingEverythingRare", id_range(3, 90)},
                      DeleteCase{"ManyKeepingTheLargeFrequencies", id_range(1, 100, {20, 70})}),
    [](const ::testing::TestParamInfo<DeleteCase>& param) { return std::string(param.param.name); });

// Two shards merged: pruning reads each token's merged bound, whose shortest document may be in
// either shard (here the other's documents are much shorter), and the k best must be those of
// scoring every document with the merged model.
TEST(BM25Index, PrunedTopKAfterMergeEqualsScoringEveryDocument) {
  std::mt19937 random(13);
  std::vector<double> weights;
  for (int rank = 1; rank <= 500; ++rank) weights.push_back(1.0 / rank);
  std::discrete_distribution<int> token(weights.begin(), weights.end());
  Docs docs(6000);
  for (std::size_t id = 0; id < docs.size(); ++id) {
    std::uniform_int_distribution<int> length = id < 3000 ? std::uniform_int_distribution<int>(20, 40)
                                                          : std::uniform_int_distribution<int>(1, 4);
    for (int i = length(random); i > 0; --i) docs[id].push_back("t" + std::to_string(token(random)));
  }
  BM25Index merged(0.75, 1.2);
  merged.add(as_documents(Docs(docs.begin(), docs.begin() + 3000)));
  BM25Index other(0.75, 1.2);
  other.add(as_documents(Docs(docs.begin() + 3000, docs.end())));
  other.remove({1, 500});  // 3001 and 3500 once merged
  merged.merge(other);
  std::vector<std::uint8_t> live(docs.size(), 1);
  live[3001] = live[3500] = 0;
  std::uniform_int_distribution<int> common(1, 10);
  std::uniform_int_distribution<int> rare(50, 500);
  for (int round = 0; round < 40; ++round) {
    std::vector<std::string> query;
    for (int i = 1 + round % 3; i > 0; --i) query.push_back("t" + std::to_string(rare(random)));
    for (int i = 1 + round % 2; i > 0; --i) query.push_back("t" + std::to_string(common(random)));
    const auto expected = ranked(merged.model(), query, docs, live);
    for (const std::uint64_t k : {1u, 5u, 30u}) {
      const SearchResults results = merged.retrieve({TokenViews(query.begin(), query.end())}, k, 1, nullptr);
      ASSERT_EQ(results.columns, std::min<std::size_t>(k, expected.size()));
      for (std::size_t column = 0; column < results.columns; ++column) {
        EXPECT_EQ(results.ids[column], expected[column].second) << "round " << round << " k " << k;
        EXPECT_EQ(results.scores[column], expected[column].first) << "round " << round << " k " << k;
      }
    }
  }
}

// Where the sections of IndexFile's bytes begin, read from its header.
struct Sections {
  std::uint64_t ids, terms, postings, overflow, token_bytes;
  std::size_t sizes, offsets, tfs, overflow_at;
};

Sections sections_of(const std::string& bytes) {
  const auto u64 = [&bytes](std::size_t offset) {
    std::uint64_t value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
  };
  const auto pad = [](std::uint64_t size) { return static_cast<std::size_t>((size + 7) / 8 * 8); };
  Sections at{u64(16), u64(24), u64(32), u64(40), u64(56), 0, 0, 0, 0};
  at.sizes = 64 + pad(u64(48)) + pad(at.ids * 4);
  at.offsets = at.sizes + pad(at.terms * 4 + at.token_bytes);
  at.tfs = at.offsets + (at.terms + 1) * 8 + at.terms * 8 + pad(at.postings * 4);
  at.overflow_at = at.tfs + pad(at.postings);
  return at;
}

// One lie each, with its own reason: refused by a whole load, and by a mapped one at load or
// when a change first checks its postings in full.
struct FileLie {
  const char* name;
  void (*plant)(std::string& bytes, const Sections& at);
  const char* message;
};

class IndexFileDamage : public IndexFile, public ::testing::WithParamInterface<FileLie> {};

TEST_P(IndexFileDamage, IsRefusedWholeAndMapped) {
  const FileLie& lie = GetParam();
  std::string damaged = bytes_;
  lie.plant(damaged, sections_of(bytes_));
  ASSERT_NE(damaged, bytes_);
  const std::string expected = std::string("index file: ") + lie.message;
  try {
    BM25Index::from_bytes(damaged);
    ADD_FAILURE() << "accepted whole";
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(error.what(), expected);
  }
  const std::string path = temporary_file(damaged, std::string("damaged_") + lie.name + ".idx");
  try {
    BM25Index mapped = BM25Index::load(path, true);
    mapped.add(as_documents({{"z"}}));
    ADD_FAILURE() << "accepted mapped";
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(error.what(), expected);
  }
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Postings, IndexFileDamage,
    ::testing::Values(
        FileLie{"ZeroFrequency", [](std::string& bytes, const Sections& at) { bytes[at.tfs + 1] = 0; },
                "a posting's term frequency is zero"},
        FileLie{"PaddingNotZero",
                [](std::string& bytes, const Sections& at) {
                  const std::size_t end = at.sizes + at.terms * 4 + at.token_bytes;
                  ASSERT_LT(end, at.offsets) << "the tokens' section has no padding";
                  bytes[end] = 1;
                },
                "padding is not zero"},
        FileLie{"TokensOutOfOrder",
                [](std::string& bytes, const Sections& at) {
                  // The first two tokens, "a" and "b", one byte each.
                  std::swap(bytes[at.sizes + at.terms * 4], bytes[at.sizes + at.terms * 4 + 1]);
                },
                "tokens are not in strictly ascending order"},
        FileLie{"EmptyPostingList",
                [](std::string& bytes, const Sections& at) { std::memset(bytes.data() + at.offsets + 8, 0, 8); },
                "posting offsets are not strictly ascending"},
        FileLie{"LargeFrequencyIdOutOfRange",
                [](std::string& bytes, const Sections& at) {
                  const auto past = static_cast<std::uint32_t>(at.ids);
                  std::memcpy(bytes.data() + at.overflow_at + 4, &past, sizeof past);
                },
                "a large frequency names a token or document out of range"}),
    [](const ::testing::TestParamInfo<FileLie>& lie) { return std::string(lie.param.name); });

}  // namespace
}  // namespace lumo::typing::text
