// BM25 training and encoding.
#include "bm25.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <type_traits>
#include <stdexcept>
#include <utility>

namespace lumo::typing::text {
namespace {

constexpr std::int32_t kMaxCount = std::numeric_limits<std::int32_t>::max();

// The table key of a counted token: the string itself, or an id's decimal text.
struct KeyText {
  explicit KeyText(std::string_view token) noexcept : view(token) {}
  explicit KeyText(std::int64_t id) noexcept : id_text(id), view(id_text.view()) {}
  KeyText(const KeyText&) = delete;  // the view may point into id_text
  KeyText& operator=(const KeyText&) = delete;
  IdText id_text;
  std::string_view view;
};

// String tokens hash the same for counting and for the table; ids are rehashed as text.
template <class Token>
std::size_t table_hash(const typename TokenCounts<Token>::Item& item, const KeyText& key) {
  if constexpr (std::is_same_v<Token, std::string_view>) {
    return item.hash;
  } else {
    return hash_token(key.view);
  }
}

template <class Token>
void sort_by_key(std::vector<TokenWeight<Token>>& weights) {
  if constexpr (std::is_same_v<Token, std::string_view>) {
    std::sort(weights.begin(), weights.end(),
              [](const auto& left, const auto& right) { return token_less(left.token, right.token); });
  } else {
    std::sort(weights.begin(), weights.end(),
              [](const auto& left, const auto& right) { return left.token < right.token; });
  }
}

// The ordered map of the C++ interface, from weights already in key order.
template <class MapKey, class Token>
std::map<MapKey, double> to_map(const std::vector<TokenWeight<Token>>& weights) {
  std::map<MapKey, double> result;
  for (const auto& entry : weights) result.emplace_hint(result.end(), MapKey(entry.token), entry.weight);
  return result;
}

}  // namespace

BM25::BM25(double b, double k1) : b_(b), k1_(k1) {}

void BM25::train(const std::vector<std::string>& tokens_vec) { train(TokenViews(tokens_vec.begin(), tokens_vec.end())); }

// Training runs once per document of a corpus; its working memory is kept per thread rather
// than allocated on every call, in one object so that each call reaches it once. Its views are
// stale between calls and never read then.
struct TrainScratch {
  TokenCounts<std::string_view> text_counts{0};
  TokenCounts<std::int64_t> id_counts{0};
  // Per counted item its table index or npos; then per new token its text, hash, count and item.
  std::tuple<std::vector<std::size_t>, std::vector<std::string>, std::vector<std::size_t>,
             std::vector<std::int32_t>, std::vector<std::size_t>>
      lists;
};

namespace {

TrainScratch& train_scratch() {
  thread_local TrainScratch scratch;
  return scratch;
}

}  // namespace

void BM25::train(const TokenViews& tokens_vec) {
  if (tokens_vec.empty()) throw std::runtime_error("trainning tokens_vec should not be empty");
  TrainScratch& scratch = train_scratch();
  count_tokens(tokens_vec, scratch.text_counts);
  train_counts(scratch.text_counts, tokens_vec.size(), scratch);
}

void BM25::train(const std::vector<std::int64_t>& tokens_vec) {
  if (tokens_vec.empty()) throw std::runtime_error("trainning tokens_vec should not be empty");
  TrainScratch& scratch = train_scratch();
  count_tokens(tokens_vec, scratch.id_counts);
  train_counts(scratch.id_counts, tokens_vec.size(), scratch);
}

// Every check and allocation happens before the first change, so a failed call (overflow or
// exhausted memory) leaves the model exactly as it was.
template <class Token>
void BM25::train_counts(const TokenCounts<Token>& counts, std::size_t length, TrainScratch& scratch) {
  // Query encoding forms doc_count + 1, so the count stays below the 32-bit maximum.
  if (doc_count_ >= kMaxCount - 1) {
    throw std::runtime_error("train would overflow the document count");
  }
  if (length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() - doc_length_total_)) {
    throw std::runtime_error("train would overflow the total document length");
  }

  constexpr bool ids = std::is_same_v<Token, std::int64_t>;
  const auto& items = counts.items();
  auto& [known, fresh_tokens, fresh_hashes, fresh_counts, fresh_items] = scratch.lists;
  known.clear();
  fresh_tokens.clear();
  fresh_hashes.clear();
  fresh_counts.clear();
  fresh_items.clear();
  known.reserve(items.size());
  // Lookups run a few items behind their prefetches.
  constexpr std::size_t kLookahead = 8;
  if constexpr (!ids) {
    for (std::size_t i = 0; i < std::min(kLookahead, items.size()); ++i) doc_token_frequency_.prefetch(items[i].hash);
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto& item = items[i];
    if constexpr (!ids) {
      if (i + kLookahead < items.size()) doc_token_frequency_.prefetch(items[i + kLookahead].hash);
    }
    std::size_t index = TokenTable::npos;
    if constexpr (ids) index = id_index_.find(item.token, item.hash);
    if (index == TokenTable::npos) {
      const KeyText key(item.token);
      const std::size_t hash = table_hash<Token>(item, key);
      index = doc_token_frequency_.find(key.view, hash);
      if (index == TokenTable::npos) {
        fresh_tokens.emplace_back(key.view);
        fresh_hashes.push_back(hash);
        fresh_counts.push_back(item.count);
        fresh_items.push_back(i);
      } else if constexpr (ids) {
        // Remembering a found entry is right whether or not this call completes.
        id_index_.reserve_more(1);
        id_index_.insert_reserved(item.token, item.hash, index);
      }
    }
    if (index != TokenTable::npos && doc_token_frequency_.count_at(index) > kMaxCount - item.count) {
      throw std::runtime_error("train would overflow the occurrence count of a token");
    }
    known.push_back(index);
  }
  doc_token_frequency_.reserve_more(fresh_tokens.size());
  if constexpr (ids) id_index_.reserve_more(fresh_tokens.size());

  // From here on nothing can fail.
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (known[i] != TokenTable::npos) doc_token_frequency_.count_at(known[i]) += items[i].count;
  }
  for (std::size_t i = 0; i < fresh_tokens.size(); ++i) {
    if constexpr (ids) {
      const auto& item = items[fresh_items[i]];
      id_index_.insert_reserved(item.token, item.hash, doc_token_frequency_.size());
    }
    doc_token_frequency_.insert_reserved(std::move(fresh_tokens[i]), fresh_hashes[i], fresh_counts[i]);
  }
  ++doc_count_;
  doc_length_total_ += static_cast<std::int64_t>(length);
  doc_length_average_ = static_cast<double>(doc_length_total_) / static_cast<double>(doc_count_);
}

void BM25::check_initialized() const {
  // An average that is not a number passes, as the comparison is false for it.
  if (doc_count_ == 0 || std::fabs(doc_length_average_ - 0.0) < 1e-9) {
    throw std::runtime_error("BM25 has not been initialized");
  }
}

double BM25::length_factor(std::size_t length) const noexcept {
  const double len = static_cast<double>(length);
  return ((len / doc_length_average_) * b_ + (1.0 - b_)) * k1_;
}

namespace {

template <class Token>
std::vector<TokenWeight<Token>> document_weights(const TokenCounts<Token>& counts, double factor) {
  std::vector<TokenWeight<Token>> weights;
  weights.reserve(counts.items().size());
  for (const auto& item : counts.items()) {
    const double tf = static_cast<double>(item.count);
    // The entry starts at 0.0 and receives the weight by addition (which turns -0.0 into 0.0).
    weights.push_back(TokenWeight<Token>{item.token, 0.0 + tf / (tf + factor), item.first});
  }
  sort_by_key(weights);
  return weights;
}

template <class Token, class Idf>
std::vector<TokenWeight<Token>> query_weights(const TokenCounts<Token>& counts, const Idf& idf) {
  std::vector<TokenWeight<Token>> weights;
  weights.reserve(counts.items().size());
  // A repeated token keeps the weight of its first occurrence; idf is the same for each.
  for (const auto& item : counts.items()) weights.push_back(TokenWeight<Token>{item.token, idf(item), item.first});
  sort_by_key(weights);
  double sum = 0.0;  // in ascending key order, as the rounding depends on it
  for (const auto& entry : weights) sum += entry.weight;
  for (auto& entry : weights) entry.weight /= sum;
  return weights;
}

}  // namespace

SortedWeights BM25::encode_document_sorted(const TokenViews& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return document_weights(count_tokens(tokens_vec), length_factor(tokens_vec.size()));
}

SortedIdWeights BM25::encode_document_sorted(const std::vector<std::int64_t>& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return document_weights(count_tokens(tokens_vec), length_factor(tokens_vec.size()));
}

SortedWeights BM25::encode_query_sorted(const TokenViews& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return query_weights(count_tokens(tokens_vec), [this](const auto& item) { return idf_of(item.token, item.hash); });
}

SortedIdWeights BM25::encode_query_sorted(const std::vector<std::int64_t>& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return query_weights(count_tokens(tokens_vec), [this](const auto& item) { return idf_of(item.token, item.hash); });
}

SparseVector BM25::encode_document(const std::vector<std::string>& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return to_map<std::string>(document_weights(count_tokens(tokens_vec), length_factor(tokens_vec.size())));
}

IdSparseVector BM25::encode_document(const std::vector<std::int64_t>& tokens_vec) const {
  return to_map<std::int64_t>(encode_document_sorted(tokens_vec));
}

SparseVector BM25::encode_query(const std::vector<std::string>& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return to_map<std::string>(query_weights(count_tokens(tokens_vec),
                                           [this](const auto& item) { return idf_of(item.token, item.hash); }));
}

IdSparseVector BM25::encode_query(const std::vector<std::int64_t>& tokens_vec) const {
  return to_map<std::int64_t>(encode_query_sorted(tokens_vec));
}

double BM25::idf(std::string_view token_text) const noexcept {
  return idf_of(token_text, hash_token(token_text));
}

double BM25::idf_at(std::size_t index) const noexcept {
  // doc_count + 1 in 64 bits: a loaded document may carry the 32-bit maximum.
  const double n = static_cast<double>(static_cast<std::int64_t>(doc_count_) + 1);
  if (index != TokenTable::npos) {
    return std::log(n / (static_cast<double>(doc_token_frequency_.count_at(index)) + 0.5));
  }
  return std::log(n / 1.5);
}

double BM25::idf_of(std::string_view token_text, std::size_t hash) const noexcept {
  return idf_at(doc_token_frequency_.find(token_text, hash));
}

double BM25::idf_of(std::int64_t id, std::size_t id_hash) const noexcept {
  std::size_t index = id_index_.find(id, id_hash);
  if (index == TokenTable::npos) index = doc_token_frequency_.find(IdText(id).view());
  return idf_at(index);
}

}  // namespace lumo::typing::text
