// BM25 training and encoding.
#include "bm25.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace lumo::typing::text {
namespace {

constexpr std::int32_t kMaxCount = std::numeric_limits<std::int32_t>::max();

// The table key of a counted token, with its table hash: a text is its own key, hashed once for
// counting and the table alike; an id's key is its decimal text.
struct TableKey {
  explicit TableKey(const TokenCounts<std::string_view>::Item& item) noexcept : view(item.token), hash(item.hash) {}
  explicit TableKey(const TokenCounts<std::int64_t>::Item& item) noexcept
      : id_text(item.token), view(id_text.view()), hash(TokenHash{}(view)) {}
  TableKey(const TableKey&) = delete;  // the view may point into id_text
  TableKey& operator=(const TableKey&) = delete;
  IdText id_text;
  std::string_view view;
  std::size_t hash;
};

bool key_less(std::string_view left, std::string_view right) noexcept { return token_less(left, right); }
bool key_less(std::int64_t left, std::int64_t right) noexcept { return left < right; }

// ln((doc_count + 1) / (count + 0.5)), a token the corpus lacks (count 0) taken as count 1.
double idf_of(std::int64_t doc_count, std::int64_t count) noexcept {
  // doc_count + 1 in 64 bits: a loaded document may carry the 32-bit maximum.
  const double n = static_cast<double>(doc_count + 1);
  return std::log(n / (count > 0 ? static_cast<double>(count) + 0.5 : 1.5));
}

}  // namespace

BM25::BM25(double b, double k1) : b_(b), k1_(k1) {}

void BM25::train(const std::vector<std::string>& tokens_vec) { train(TokenViews(tokens_vec.begin(), tokens_vec.end())); }

// A token that train adds to the table once every check has passed.
struct NewEntry {
  std::string token;
  std::size_t hash;
  std::size_t item;  // its index among the document's counted items
};

// Training runs once per document of a corpus; its working memory is kept per thread rather
// than allocated on every call, in one object so that each call reaches it once. Its views are
// stale between calls and never read then.
struct TrainScratch {
  TokenCounts<std::string_view> text_counts;
  TokenCounts<std::int64_t> id_counts;
  std::vector<std::size_t> entries;  // per counted item its table index, or npos for a new token
  std::vector<NewEntry> new_entries;

  // Memory beyond what a long document of this many distinct tokens needs is given back after
  // the call, so that one huge document does not pin its working memory to the thread.
  static constexpr std::size_t kKeptItems = std::size_t{1} << 16;
  void release_above_bound() {
    text_counts.release_above(kKeptItems);
    id_counts.release_above(kKeptItems);
    if (entries.capacity() > kKeptItems) std::vector<std::size_t>().swap(entries);
    if (new_entries.capacity() > kKeptItems) std::vector<NewEntry>().swap(new_entries);
  }
};

namespace {

TrainScratch& train_scratch() {
  thread_local TrainScratch scratch;
  return scratch;
}

// Gives back what a call left above the bound, however the call ends.
class ScratchLease {
 public:
  ScratchLease() : scratch_(train_scratch()) {}
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  ~ScratchLease() { scratch_.release_above_bound(); }
  TrainScratch& scratch() const noexcept { return scratch_; }

 private:
  TrainScratch& scratch_;
};

void prefetch_entries(const TokenTable& table, const std::vector<TokenCounts<std::string_view>::Item>& items,
                      std::size_t from) noexcept {
  if (from < items.size()) table.prefetch(items[from].hash);
}
// An id's first lookup is in the id cache, which is small and warm.
void prefetch_entries(const TokenTable&, const std::vector<TokenCounts<std::int64_t>::Item>&, std::size_t) noexcept {}

}  // namespace

void BM25::train(const TokenViews& tokens_vec) {
  if (tokens_vec.empty()) throw std::runtime_error("trainning tokens_vec should not be empty");
  const ScratchLease lease;
  TrainScratch& scratch = lease.scratch();
  scratch.text_counts.count(tokens_vec);
  train_counts(scratch.text_counts, tokens_vec.size(), scratch);
}

void BM25::train(const std::vector<std::int64_t>& tokens_vec) {
  if (tokens_vec.empty()) throw std::runtime_error("trainning tokens_vec should not be empty");
  const ScratchLease lease;
  TrainScratch& scratch = lease.scratch();
  scratch.id_counts.count(tokens_vec);
  train_counts(scratch.id_counts, tokens_vec.size(), scratch);
}

std::size_t BM25::find_entry(const TokenCounts<std::string_view>::Item& item) const noexcept {
  return doc_token_frequency_.find(item.token, item.hash);
}

std::size_t BM25::find_entry(const TokenCounts<std::int64_t>::Item& item) const noexcept {
  const std::size_t index = id_index_.find(item.token, item.hash);
  if (index != TokenTable::npos) return index;
  const TableKey key(item);
  return doc_token_frequency_.find(key.view, key.hash);
}

std::size_t BM25::find_entry(const TokenCounts<std::int64_t>::Item& item) {
  std::size_t index = id_index_.find(item.token, item.hash);
  if (index != TokenTable::npos) return index;
  const TableKey key(item);
  index = doc_token_frequency_.find(key.view, key.hash);
  if (index != TokenTable::npos) {
    // Remembering a found entry is right whether or not this call completes.
    id_index_.reserve_more(1);
    id_index_.insert_reserved(item.token, item.hash, index);
  }
  return index;
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

  const auto& items = counts.items();
  scratch.entries.clear();
  scratch.new_entries.clear();
  scratch.entries.reserve(items.size());
  // Lookups run a few items behind their prefetches, so that their cache misses overlap.
  constexpr std::size_t kLookahead = 8;
  for (std::size_t i = 0; i < kLookahead; ++i) prefetch_entries(doc_token_frequency_, items, i);
  for (std::size_t i = 0; i < items.size(); ++i) {
    prefetch_entries(doc_token_frequency_, items, i + kLookahead);
    const auto& item = items[i];
    const std::size_t index = find_entry(item);
    if (index == TokenTable::npos) {
      const TableKey key(item);
      scratch.new_entries.push_back(NewEntry{std::string(key.view), key.hash, i});
    } else if (doc_token_frequency_.count_at(index) > kMaxCount - item.count) {
      throw std::runtime_error("train would overflow the occurrence count of a token");
    }
    scratch.entries.push_back(index);
  }
  doc_token_frequency_.reserve_more(scratch.new_entries.size());
  if constexpr (std::is_same_v<Token, std::int64_t>) id_index_.reserve_more(scratch.new_entries.size());

  // From here on nothing can fail.
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (scratch.entries[i] != TokenTable::npos) doc_token_frequency_.count_at(scratch.entries[i]) += items[i].count;
  }
  for (NewEntry& entry : scratch.new_entries) {
    const auto& item = items[entry.item];
    if constexpr (std::is_same_v<Token, std::int64_t>) {
      id_index_.insert_reserved(item.token, item.hash, doc_token_frequency_.size());
    }
    doc_token_frequency_.insert_reserved(std::move(entry.token), entry.hash, item.count);
  }
  ++doc_count_;
  doc_length_total_ += static_cast<std::int64_t>(length);
  doc_length_average_ = static_cast<double>(doc_length_total_) / static_cast<double>(doc_count_);
}

namespace {

// The tokens of a batch not yet in the model, and what the batch adds to every token it holds,
// in first-seen order: the order train would insert them in.
struct PendingTokens {
  TokenTable added;                  // token -> count the batch adds
  std::vector<std::size_t> entries;  // per pending token, its model entry or npos
  IdIndexCache ids;                  // id -> its pending token, which skips forming the id's text
};

}  // namespace

void BM25::train_batch(const std::vector<Document>& docs) {
  // Every document is checked against the model as the ones before it would leave it; nothing
  // changes until all have passed.
  PendingTokens pending;
  std::int64_t total = doc_length_total_;
  TokenCounts<std::string_view> text_counts;
  TokenCounts<std::int64_t> id_counts;
  for (std::size_t index = 0; index < docs.size(); ++index) {
    try {
      const std::size_t length = document_length(docs[index]);
      if (length == 0) throw std::runtime_error("trainning tokens_vec should not be empty");
      if (static_cast<std::int64_t>(doc_count_) + static_cast<std::int64_t>(index) >= kMaxCount - 1) {
        throw std::runtime_error("train would overflow the document count");
      }
      if (length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() - total)) {
        throw std::runtime_error("train would overflow the total document length");
      }
      const auto add = [&](const auto& counts) {
        for (const auto& item : counts.items()) {
          constexpr bool id = std::is_same_v<std::decay_t<decltype(item.token)>, std::int64_t>;
          std::size_t at = TokenTable::npos;
          if constexpr (id) at = pending.ids.find(item.token, item.hash);
          if (at == TokenTable::npos) {
            const TableKey key(item);
            at = pending.added.find(key.view, key.hash);
            if (at == TokenTable::npos) {
              const std::size_t entry = find_entry(item);
              // A failure here leaves only the pending tokens half made, and they are dropped.
              pending.added.reserve_more(1);
              pending.added.insert_reserved(std::string(key.view), key.hash, 0);
              pending.entries.push_back(entry);
              at = pending.added.size() - 1;
            }
            if constexpr (id) {
              pending.ids.reserve_more(1);
              pending.ids.insert_reserved(item.token, item.hash, at);
            }
          }
          const std::size_t entry = pending.entries[at];
          const std::int64_t base = entry == TokenTable::npos ? 0 : doc_token_frequency_.count_at(entry);
          if (base + pending.added.count_at(at) + item.count > kMaxCount) {
            throw std::runtime_error("train would overflow the occurrence count of a token");
          }
          pending.added.count_at(at) += item.count;
        }
      };
      if (const auto* texts = std::get_if<TokenViews>(&docs[index])) {
        text_counts.count(*texts);
        add(text_counts);
      } else {
        id_counts.count(std::get<IdList>(docs[index]));
        add(id_counts);
      }
      total += static_cast<std::int64_t>(length);
    } catch (const std::runtime_error& error) {
      throw DocumentError(index, error.what());
    }
  }
  if (docs.empty()) return;

  std::size_t fresh = 0;
  for (const std::size_t entry : pending.entries) fresh += entry == TokenTable::npos;
  doc_token_frequency_.reserve_more(fresh);
  // From here on nothing can fail.
  std::vector<std::size_t> hashes(pending.added.size());
  for (std::size_t at = 0; at < pending.added.size(); ++at) hashes[at] = pending.added.hash_at(at);
  std::vector<std::int32_t> counts(pending.added.size());
  for (std::size_t at = 0; at < pending.added.size(); ++at) counts[at] = pending.added.count_at(at);
  std::vector<std::string> tokens = std::move(pending.added).take_tokens();
  for (std::size_t at = 0; at < tokens.size(); ++at) {
    const std::size_t entry = pending.entries[at];
    if (entry != TokenTable::npos) {
      doc_token_frequency_.count_at(entry) += counts[at];
    } else {
      doc_token_frequency_.insert_reserved(std::move(tokens[at]), hashes[at], counts[at]);
    }
  }
  doc_count_ += static_cast<std::int32_t>(docs.size());
  doc_length_total_ = total;
  doc_length_average_ = static_cast<double>(doc_length_total_) / static_cast<double>(doc_count_);
}

bool BM25::train_totals(std::size_t doc_count, std::int64_t length_total, const std::vector<TokenTotal>& totals) {
  if (doc_count == 0) return true;
  // train_batch's checks on the batch's last document, which are its tightest.
  if (static_cast<std::int64_t>(doc_count_) + static_cast<std::int64_t>(doc_count - 1) >= kMaxCount - 1) return false;
  if (length_total < 0 || length_total > std::numeric_limits<std::int64_t>::max() - doc_length_total_) return false;
  std::vector<std::size_t> entries(totals.size());
  std::vector<std::string> fresh;
  for (std::size_t at = 0; at < totals.size(); ++at) {
    const TokenTotal& total = totals[at];
    entries[at] = doc_token_frequency_.find(total.token, total.hash);
    const std::int64_t base = entries[at] == TokenTable::npos ? 0 : doc_token_frequency_.count_at(entries[at]);
    if (total.count <= 0 || base + total.count > kMaxCount) return false;
    if (entries[at] == TokenTable::npos) fresh.emplace_back(total.token);
  }
  doc_token_frequency_.reserve_more(fresh.size());
  // From here on nothing can fail.
  std::size_t next_fresh = 0;
  for (std::size_t at = 0; at < totals.size(); ++at) {
    const auto count = static_cast<std::int32_t>(totals[at].count);
    if (entries[at] != TokenTable::npos) {
      doc_token_frequency_.count_at(entries[at]) += count;
    } else {
      doc_token_frequency_.insert_reserved(std::move(fresh[next_fresh++]), totals[at].hash, count);
    }
  }
  doc_count_ += static_cast<std::int32_t>(doc_count);
  doc_length_total_ += length_total;
  doc_length_average_ = static_cast<double>(doc_length_total_) / static_cast<double>(doc_count_);
  return true;
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
void sort_by_token(SparseWeights& weights, const std::vector<Token>& tokens) {
  std::sort(weights.begin(), weights.end(), [&tokens](const TokenWeight& left, const TokenWeight& right) {
    return key_less(tokens[left.position], tokens[right.position]);
  });
}

template <class Token>
SparseWeights document_weights(const std::vector<Token>& tokens, double factor) {
  const TokenCounts<Token> counts = count_tokens(tokens);
  SparseWeights weights;
  weights.reserve(counts.items().size());
  for (const auto& item : counts.items()) {
    const double tf = static_cast<double>(item.count);
    // The entry starts at 0.0 and receives the weight by addition (which turns -0.0 into 0.0).
    weights.push_back(TokenWeight{item.first, 0.0 + tf / (tf + factor)});
  }
  sort_by_token(weights, tokens);
  return weights;
}

// Divides the weights by their sum, summed in ascending key order, as the rounding depends on it.
void normalise(SparseWeights& weights) noexcept {
  double sum = 0.0;
  for (const TokenWeight& entry : weights) sum += entry.weight;
  for (TokenWeight& entry : weights) entry.weight /= sum;
}

template <class Token, class Idf>
SparseWeights query_weights(const std::vector<Token>& tokens, const Idf& idf) {
  const TokenCounts<Token> counts = count_tokens(tokens);
  SparseWeights weights;
  weights.reserve(counts.items().size());
  // A repeated token keeps the weight of its first occurrence; idf is the same for each.
  for (const auto& item : counts.items()) weights.push_back(TokenWeight{item.first, idf(item)});
  sort_by_token(weights, tokens);
  normalise(weights);
  return weights;
}

// query_weights with each distinct token's count given in ascending token order.
template <class Token>
SparseWeights query_weights_of_counts(const std::vector<Token>& tokens, std::int64_t doc_count,
                                      const std::int64_t* counts) {
  const TokenCounts<Token> token_counts = count_tokens(tokens);
  SparseWeights weights;
  weights.reserve(token_counts.items().size());
  for (const auto& item : token_counts.items()) weights.push_back(TokenWeight{item.first, 0.0});
  sort_by_token(weights, tokens);
  for (std::size_t at = 0; at < weights.size(); ++at) weights[at].weight = idf_of(doc_count, counts[at]);
  normalise(weights);
  return weights;
}

}  // namespace

SparseWeights BM25::encode_document(const TokenViews& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return document_weights(tokens_vec, length_factor(tokens_vec.size()));
}

SparseWeights BM25::encode_document(const std::vector<std::int64_t>& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return document_weights(tokens_vec, length_factor(tokens_vec.size()));
}

SparseWeights BM25::encode_query(const TokenViews& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return query_weights(tokens_vec, [this](const auto& item) { return idf_at(find_entry(item)); });
}

SparseWeights BM25::encode_query(const std::vector<std::int64_t>& tokens_vec) const {
  if (tokens_vec.empty()) return {};
  check_initialized();
  return query_weights(tokens_vec, [this](const auto& item) { return idf_at(find_entry(item)); });
}

double BM25::idf(std::string_view token_text) const noexcept { return idf_at(doc_token_frequency_.find(token_text)); }

double BM25::idf_at(std::size_t index) const noexcept {
  // A table entry's count is at least 1 (a token whose count reaches 0 leaves the table).
  return idf_of(doc_count_, index != TokenTable::npos ? doc_token_frequency_.count_at(index) : 0);
}

SparseWeights BM25::encode_query(const TokenViews& tokens_vec, std::int64_t doc_count, const std::int64_t* counts) const {
  return query_weights_of_counts(tokens_vec, doc_count, counts);
}

SparseWeights BM25::encode_query(const std::vector<std::int64_t>& tokens_vec, std::int64_t doc_count,
                                 const std::int64_t* counts) const {
  return query_weights_of_counts(tokens_vec, doc_count, counts);
}

namespace {

template <class Token, class Count>
void append_counts(const std::vector<Token>& tokens, const Count& count_of, std::vector<std::int64_t>& counts) {
  const TokenCounts<Token> token_counts = count_tokens(tokens);
  SparseWeights order;  // positions, sorted as encode_query sorts them; the weight holds the count
  order.reserve(token_counts.items().size());
  for (const auto& item : token_counts.items()) order.push_back(TokenWeight{item.first, count_of(item)});
  sort_by_token(order, tokens);
  // A count is at most 2^31 - 1, exact in a double.
  for (const TokenWeight& entry : order) counts.push_back(static_cast<std::int64_t>(entry.weight));
}

}  // namespace

void BM25::append_token_counts(const TokenViews& tokens_vec, std::vector<std::int64_t>& counts) const {
  append_counts(tokens_vec, [this](const auto& item) { return entry_count(find_entry(item)); }, counts);
}

void BM25::append_token_counts(const std::vector<std::int64_t>& tokens_vec, std::vector<std::int64_t>& counts) const {
  append_counts(tokens_vec, [this](const auto& item) { return entry_count(find_entry(item)); }, counts);
}

double BM25::entry_count(std::size_t index) const noexcept {
  return index != TokenTable::npos ? static_cast<double>(doc_token_frequency_.count_at(index)) : 0.0;
}

}  // namespace lumo::typing::text
