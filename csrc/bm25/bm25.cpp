// BM25 training and encoding.
#include "bm25.h"

#include <algorithm>
#include <cmath>
#include <limits>
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

template <class Key>
std::map<Key, double> to_sorted_map(std::vector<std::pair<Key, double>>& weights) {
  std::sort(weights.begin(), weights.end(),
            [](const auto& left, const auto& right) { return left.first < right.first; });
  std::map<Key, double> result;
  for (auto& [token, weight] : weights) result.emplace_hint(result.end(), token, weight);
  return result;
}

template <class Token>
using ResultKey = std::conditional_t<std::is_same_v<Token, std::string_view>, std::string, std::int64_t>;

}  // namespace

BM25::BM25(double b, double k1) : b_(b), k1_(k1) {}

void BM25::train(const std::vector<std::string>& tokens_vec) {
  if (tokens_vec.empty()) throw std::runtime_error("trainning tokens_vec should not be empty");
  train_counts(count_tokens(tokens_vec), tokens_vec.size());
}

void BM25::train(const std::vector<std::int64_t>& tokens_vec) {
  if (tokens_vec.empty()) throw std::runtime_error("trainning tokens_vec should not be empty");
  train_counts(count_tokens(tokens_vec), tokens_vec.size());
}

// Every check and allocation happens before the first change, so a failed call (overflow or
// exhausted memory) leaves the model exactly as it was.
template <class Token>
void BM25::train_counts(const TokenCounts<Token>& counts, std::size_t length) {
  // Query encoding forms doc_count + 1, so the count stays below the 32-bit maximum.
  if (doc_count_ >= kMaxCount - 1) {
    throw std::runtime_error("train would overflow the document count");
  }
  if (length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() - doc_length_total_)) {
    throw std::runtime_error("train would overflow the total document length");
  }

  const auto& items = counts.items();
  std::vector<std::size_t> known;  // table index per item, or npos for a new token
  known.reserve(items.size());
  std::vector<std::string> fresh_tokens;
  std::vector<std::size_t> fresh_hashes;
  std::vector<std::int32_t> fresh_counts;
  for (const auto& item : items) {
    const KeyText key(item.token);
    const std::size_t hash = table_hash<Token>(item, key);
    const std::size_t index = doc_token_frequency_.find(key.view, hash);
    if (index != TokenTable::npos) {
      if (doc_token_frequency_.count_at(index) > kMaxCount - item.count) {
        throw std::runtime_error("train would overflow the occurrence count of a token");
      }
    } else {
      fresh_tokens.emplace_back(key.view);
      fresh_hashes.push_back(hash);
      fresh_counts.push_back(item.count);
    }
    known.push_back(index);
  }
  doc_token_frequency_.reserve_more(fresh_tokens.size());

  for (std::size_t i = 0; i < items.size(); ++i) {
    if (known[i] != TokenTable::npos) doc_token_frequency_.count_at(known[i]) += items[i].count;
  }
  for (std::size_t i = 0; i < fresh_tokens.size(); ++i) {
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
std::map<ResultKey<Token>, double> document_weights(const TokenCounts<Token>& counts, double factor) {
  std::vector<std::pair<ResultKey<Token>, double>> weights;
  weights.reserve(counts.items().size());
  for (const auto& item : counts.items()) {
    const double tf = static_cast<double>(item.count);
    // The entry starts at 0.0 and receives the weight by addition (which turns -0.0 into 0.0).
    weights.emplace_back(ResultKey<Token>(item.token), 0.0 + tf / (tf + factor));
  }
  return to_sorted_map(weights);
}

template <class Token, class Idf>
std::map<ResultKey<Token>, double> query_weights(const TokenCounts<Token>& counts, const Idf& idf) {
  std::vector<std::pair<ResultKey<Token>, double>> weights;
  weights.reserve(counts.items().size());
  for (const auto& item : counts.items()) {
    // A repeated token keeps the weight of its first occurrence; idf is the same for each.
    const KeyText key(item.token);
    weights.emplace_back(ResultKey<Token>(item.token), idf(key.view));
  }
  std::map<ResultKey<Token>, double> result = to_sorted_map(weights);
  double sum = 0.0;  // in ascending key order, as the rounding depends on it
  for (const auto& entry : result) sum += entry.second;
  for (auto& entry : result) entry.second /= sum;
  return result;
}

}  // namespace

SparseVector BM25::encode_document(const std::vector<std::string>& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return document_weights(count_tokens(tokens_vec), length_factor(tokens_vec.size()));
}

IdSparseVector BM25::encode_document(const std::vector<std::int64_t>& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return document_weights(count_tokens(tokens_vec), length_factor(tokens_vec.size()));
}

SparseVector BM25::encode_query(const std::vector<std::string>& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return query_weights(count_tokens(tokens_vec), [this](std::string_view text) { return idf(text); });
}

IdSparseVector BM25::encode_query(const std::vector<std::int64_t>& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return query_weights(count_tokens(tokens_vec), [this](std::string_view text) { return idf(text); });
}

double BM25::idf(std::string_view token_text) const noexcept {
  // doc_count + 1 in 64 bits: a loaded document may carry the 32-bit maximum.
  const double n = static_cast<double>(static_cast<std::int64_t>(doc_count_) + 1);
  const std::int32_t* df = doc_token_frequency_.count_of(token_text);
  if (df != nullptr) return std::log(n / (static_cast<double>(*df) + 0.5));
  return std::log(n / 1.5);
}

}  // namespace lumo::typing::text
