// BM25Index: adding, deleting and merging documents, and exact top-k retrieval.
#include "bm25_index.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#endif

#include "parallel_for.h"

namespace lumo::typing::text {

UnknownDocument::UnknownDocument(std::int64_t id)
    : std::out_of_range("document " + std::to_string(id) + " is not in the index"), id_(id) {}

BM25Index::BM25Index(double b, double k1) : model_(b, k1) {}

// Marks the index as being altered for as long as it lives.
class BM25Index::Changing {
 public:
  explicit Changing(BM25Index& index) noexcept : flag_(index.changing_) {
    flag_.value.store(true, std::memory_order_seq_cst);
  }
  Changing(const Changing&) = delete;
  Changing& operator=(const Changing&) = delete;
  ~Changing() { flag_.value.store(false, std::memory_order_seq_cst); }

 private:
  ChangeFlag& flag_;
};

namespace {

// The table key of a token: text is its own key, an id its decimal text, as the model keys them.
struct Key {
  explicit Key(std::string_view token) noexcept : view(token) {}
  explicit Key(std::int64_t id) noexcept : text(id), view(text.view()) {}
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  IdText text;
  std::string_view view;
};

// A posting of a batch on its way in: its term (an existing one, or one of the batch's new
// ones), the document's position in the batch and the term frequency.
struct PendingPosting {
  std::uint32_t term;
  bool fresh;
  std::uint32_t doc;
  std::uint32_t tf;
};

// Room for `extra` more items, growing by at least a quarter: exact for one big batch, and
// amortised for many small ones, with at most a quarter of the memory unused.
// A growing vector also takes the whole of the smallest heap blocks (glibc's hold 24 bytes, then
// steps of 16): a rare token's list, one item past its exact size, would otherwise move at every
// batch that brings it one more posting (add_texts' batches of a part each spent 13% more than
// one batch, most of it in malloc and free).
template <class Item>
void reserve_growth(std::vector<Item>& items, std::size_t extra) {
  const std::size_t wanted = items.size() + extra;
  if (wanted <= items.capacity()) return;
  std::size_t capacity = std::max(wanted, items.capacity() + items.capacity() / 4);
  constexpr std::size_t kSmallBlock = 24;
  const std::size_t bytes = capacity * sizeof(Item);
  if (bytes < 4 * kSmallBlock) {
    const std::size_t block = bytes <= kSmallBlock ? kSmallBlock : kSmallBlock + (bytes - kSmallBlock + 15) / 16 * 16;
    capacity = std::max(capacity, block / sizeof(Item));
  }
  items.reserve(capacity);
}

// Room for the blocks of `postings` postings over `ids` ids.
void reserve_blocks(BM25Index::Blocks& blocks, std::size_t postings, std::size_t ids) {
  const std::size_t count = (postings + BM25Index::kBoundBlock - 1) / BM25Index::kBoundBlock;
  reserve_growth(blocks.last, count - std::min(count, blocks.last.size()));
  reserve_growth(blocks.bounds, count - std::min(count, blocks.bounds.size()));
  reserve_growth(blocks.shortest, count - std::min(count, blocks.shortest.size()));
  if (BM25Index::dense_list(postings, ids)) {
    const std::size_t words = (ids + 63) / 64;
    reserve_growth(blocks.present, words - std::min(words, blocks.present.size()));
    reserve_growth(blocks.below, words + 1 - std::min(words + 1, blocks.below.size()));
  }
}

// K = ((len / average) * b + (1 - b)) * k1, the expression of BM25's encode_document.
double length_factor(std::uint32_t length, double average, double b, double k1) noexcept {
  const double len = static_cast<double>(length);
  return ((len / average) * b + (1.0 - b)) * k1;
}

// What a mapped file's posting that the query reads is refused for.
std::invalid_argument damaged_posting(bool out_of_range) {
  return std::invalid_argument(out_of_range ? "index file: a posting's document id is out of range"
                                            : "index file: postings are not in ascending id order");
}

}  // namespace

std::vector<double> BM25Index::length_table(double average, double b, double k1, std::uint32_t longest) {
  std::vector<double> table(std::min<std::size_t>(longest, kLengthTable - 1) + 1);
  for (std::size_t length = 0; length < table.size(); ++length) {
    table[length] = length_factor(static_cast<std::uint32_t>(length), average, b, k1);
  }
  return table;
}

BM25Index::View BM25Index::postings(std::size_t term) const noexcept {
  if (mapping_) {
    const std::uint64_t begin = mapped_offsets_[term];
    return View{mapped_docs_ + begin, mapped_tfs_ + begin, static_cast<std::size_t>(mapped_offsets_[term + 1] - begin)};
  }
  const Postings& list = owned_[term];
  return View{list.docs.data(), list.tfs.data(), list.docs.size()};
}

std::uint32_t BM25Index::large_term_frequency(std::size_t term, std::uint32_t doc) const noexcept {
  const auto found = overflow_.find(overflow_key(term, doc));
  return found == overflow_.end() ? kTfEscape : found->second;
}

std::size_t BM25Index::posting_count() const noexcept {
  if (mapping_) return static_cast<std::size_t>(mapped_offsets_.back());
  std::size_t count = 0;
  for (const Postings& list : owned_) count += list.docs.size();
  return count;
}

std::size_t BM25Index::memory_bytes() const noexcept {
  std::size_t bytes = lengths_.capacity() * sizeof(std::uint32_t) + live_mask_.capacity() +
                      (factors_.by_id.capacity() + factors_.by_length.capacity()) * sizeof(double) +
                      factors_.peak_capacity * sizeof(std::uint64_t) + overflow_.size() * 32;
  for (std::size_t term = 0; term < terms_.size(); ++term) {
    // the dictionary: token bytes, count, hash and two slots per entry
    bytes += terms_.token_at(term).capacity() + sizeof(std::string) + 4 + 8 + 32;
  }
  const auto blocks_bytes = [](const Blocks& blocks) {
    return blocks.last.capacity() * sizeof(std::uint32_t) + blocks.bounds.capacity() * sizeof(TermBound) +
           blocks.shortest.capacity() * sizeof(blocks.shortest[0]) + blocks.present.capacity() * 8 +
           blocks.below.capacity() * 4;
  };
  // Only blocks built (a query may be building the others): those are most of them, as the
  // first query that uses a token builds its blocks.
  for (const OwnedBlocks& owned : blocks_) {
    bytes += sizeof(OwnedBlocks);
    if (owned.state.load(std::memory_order_acquire) == kBlocksBuilt) bytes += blocks_bytes(owned.blocks);
  }
  if (mapped_blocks_) {
    for (std::size_t term = 0; term < mapped_blocks_->blocks.size(); ++term) {
      bytes += sizeof(Blocks);
      if (mapped_blocks_->checked[term].load(std::memory_order_acquire) == kBlocksBuilt) {
        bytes += blocks_bytes(mapped_blocks_->blocks[term]);
      }
    }
  }
  {
    // Tried, as the queries take it: skipped while one of them holds it.
    const std::unique_lock<std::mutex> guard(rankings_.lock, std::try_to_lock);
    if (guard.owns_lock() && rankings_.by_term) {
      for (const auto& [term, ranking] : *rankings_.by_term) {
        bytes += 64 + sizeof(BlockRanking) + ranking->share.capacity() * sizeof(double) +
                 ranking->order.capacity() * sizeof(std::uint32_t);
      }
    }
  }
  if (mapping_) {
    bytes += mapped_offsets_.capacity() * sizeof(std::uint64_t) + posting_count() * 5;
  } else {
    bytes += owned_.capacity() * sizeof(Postings);
    for (const Postings& list : owned_) bytes += list.docs.capacity() * 4 + list.tfs.capacity();
  }
  return bytes;
}

const BM25Index::LengthFactors& BM25Index::length_factors() const {
  if (factors_.ready.load(std::memory_order_acquire)) return factors_;
  const std::lock_guard<std::mutex> guard(factors_.lock);
  if (factors_.ready.load(std::memory_order_relaxed)) return factors_;
  const double average = model_.doc_length_average();
  const double b = model_.b();
  const double k1 = model_.k1();
  std::vector<double>& by_id = factors_.by_id;
  by_id.resize(lengths_.size());
  std::uint32_t longest = 0;
  for (std::size_t id = 0; id < lengths_.size(); ++id) {
    by_id[id] = length_factor(lengths_[id], average, b, k1);
    longest = std::max(longest, lengths_[id]);
  }
  factors_.longest = longest;
  factors_.by_length = length_table(average, b, k1, longest);
  if (factors_.peak_capacity < terms_.size()) {
    // Unset (zero), as every entry of an earlier generation is stale anyway.
    const std::size_t capacity = std::max(terms_.size(), factors_.peak_capacity + factors_.peak_capacity / 2);
    factors_.peaks.reset();
    factors_.peak_capacity = 0;
    factors_.peaks = std::make_unique<std::atomic<std::uint64_t>[]>(capacity);
    factors_.peak_capacity = capacity;
  }
  if (++factors_.generation == 0) {  // wrapped: an entry could be taken for one of this generation
    for (std::size_t term = 0; term < factors_.peak_capacity; ++term) {
      factors_.peaks[term].store(0, std::memory_order_relaxed);
    }
    factors_.generation = 1;
  }
  factors_.ready.store(true, std::memory_order_release);
  return factors_;
}

// The postings of a batch found before anything changes, and what the model learns from it.
struct BM25Index::PendingBatch {
  PendingBatch(const TokenTable& index_terms, std::size_t doc_count)
      : terms(index_terms), lengths(doc_count), known_total(index_terms.size(), 0) {}

  // One distinct token of document `index`, `tf` times (a new token is numbered by its first
  // occurrence in the batch, as the model inserts it).
  void take(std::string_view token, std::size_t hash, std::uint32_t tf, std::size_t index) {
    std::size_t term = terms.find(token, hash);
    bool is_fresh = false;
    std::uint32_t* place = nullptr;
    if (term == TokenTable::npos) {
      is_fresh = true;
      term = fresh.find(token, hash);
      if (term == TokenTable::npos) {
        fresh.reserve_more(1);
        fresh.insert_reserved(std::string(token), hash, 0);
        term = fresh.size() - 1;
        if (by_totals) fresh_total.push_back(0);
      }
      if (by_totals) place = &fresh_total[term];
    } else if (by_totals) {
      place = &known_total[term];
    }
    if (place != nullptr) {
      if (*place == 0) {
        totals.push_back(BM25::TokenTotal{token, hash, 0});
        *place = static_cast<std::uint32_t>(totals.size());
      }
      totals[*place - 1].count += tf;
    }
    escaped += tf >= kTfEscape;
    pending.push_back(PendingPosting{static_cast<std::uint32_t>(term), is_fresh, static_cast<std::uint32_t>(index), tf});
  }

  const TokenTable& terms;
  TokenTable fresh;  // the batch's new tokens -> their number among them
  std::vector<PendingPosting> pending;
  std::vector<std::uint32_t> lengths;
  std::size_t escaped = 0;
  // The model learns a batch of text documents from the totals counted here, in the order their
  // tokens first occur, instead of counting every document again: add_texts of the novel took
  // 0.63 of its time (ids keep train_batch, whose id cache spares forming their text).
  std::vector<BM25::TokenTotal> totals;
  std::vector<std::uint32_t> known_total;  // an existing term's place in totals + 1
  std::vector<std::uint32_t> fresh_total;  // a new term's place in totals
  bool by_totals = true;
  std::uint64_t length_total = 0;
};

std::int64_t BM25Index::add(const std::vector<Document>& docs) {
  if (docs.size() > kMaxDocuments - next_id()) {
    throw std::length_error("the index can hold at most 4294967294 documents over its life");
  }
  materialize();
  // Every posting of the batch is found before anything changes.
  PendingBatch batch(terms_, docs.size());
  TokenCounts<std::string_view> text_counts;
  TokenCounts<std::int64_t> id_counts;
  for (std::size_t index = 0; index < docs.size(); ++index) {
    const auto collect = [&](const auto& tokens, auto& counts) {
      try {
        counts.count(tokens);  // refuses more than 2^31 - 1 tokens
      } catch (const std::length_error& error) {
        throw DocumentError(index, error.what());
      }
      batch.lengths[index] = static_cast<std::uint32_t>(tokens.size());
      batch.length_total += tokens.size();
      batch.by_totals = batch.by_totals && !tokens.empty();
      for (const auto& item : counts.items()) {
        constexpr bool text = std::is_same_v<std::decay_t<decltype(item.token)>, std::string_view>;
        const Key key(item.token);
        batch.take(key.view, text ? item.hash : TokenHash{}(key.view), static_cast<std::uint32_t>(item.count), index);
      }
    };
    if (const auto* texts = std::get_if<TokenViews>(&docs[index])) {
      collect(*texts, text_counts);
    } else {
      batch.by_totals = false;
      collect(std::get<IdList>(docs[index]), id_counts);
    }
  }
  return commit(batch, [&] { model_.train_batch(docs); });
}

std::int64_t BM25Index::add(const std::vector<CountedDocument>& docs) {
  if (docs.size() > kMaxDocuments - next_id()) {
    throw std::length_error("the index can hold at most 4294967294 documents over its life");
  }
  materialize();
  PendingBatch batch(terms_, docs.size());
  // Exact room for the postings: growing them took 0.9% of add_texts(threads=1) of the novel.
  std::size_t postings = 0;
  for (const CountedDocument& doc : docs) postings += doc.tokens.size();
  batch.pending.reserve(postings);
  for (std::size_t index = 0; index < docs.size(); ++index) {
    const CountedDocument& doc = docs[index];
    batch.lengths[index] = doc.length;
    batch.length_total += doc.length;
    batch.by_totals = batch.by_totals && doc.length != 0;
    for (const CountedToken& token : doc.tokens) batch.take(token.token, token.hash, token.count, index);
  }
  return commit(batch, [&] {
    // The documents as lists, for train_batch to name the one it refuses (a rare path: counters
    // at the end of their range, or an empty document).
    std::vector<Document> lists;
    lists.reserve(docs.size());
    for (const CountedDocument& doc : docs) {
      TokenViews tokens;
      for (const CountedToken& token : doc.tokens) tokens.insert(tokens.end(), token.count, token.token);
      lists.emplace_back(std::move(tokens));
    }
    model_.train_batch(lists);
  });
}

template <class TrainBatch>
std::int64_t BM25Index::commit(PendingBatch& found, const TrainBatch& train_batch) {
  const std::uint32_t first = static_cast<std::uint32_t>(next_id());
  TokenTable& fresh = found.fresh;
  const std::vector<PendingPosting>& pending = found.pending;
  const std::vector<std::uint32_t>& lengths = found.lengths;
  const std::vector<BM25::TokenTotal>& totals = found.totals;
  const std::size_t escaped = found.escaped;
  const bool by_totals = found.by_totals;
  const std::uint64_t length_total = found.length_total;
  // Room for everything, so that nothing below the model's training can fail. Growing moves
  // postings: from here on the index is being altered.
  const Changing changing(*this);
  std::vector<std::size_t> added(terms_.size(), 0);
  std::vector<Postings> fresh_postings(fresh.size());
  std::vector<std::size_t> fresh_added(fresh.size(), 0);
  for (const PendingPosting& posting : pending) ++(posting.fresh ? fresh_added : added)[posting.term];
  std::vector<OwnedBlocks> fresh_blocks(fresh.size());
  for (std::size_t term = 0; term < added.size(); ++term) {
    if (added[term] == 0) continue;
    reserve_growth(owned_[term].docs, added[term]);
    reserve_growth(owned_[term].tfs, added[term]);
    if (blocks_now(owned_[term].docs.size(), added[term])) {
      reserve_blocks(blocks_[term].blocks, owned_[term].docs.size() + added[term], next_id() + lengths.size());
    }
  }
  for (std::size_t term = 0; term < fresh.size(); ++term) {
    fresh_postings[term].docs.reserve(fresh_added[term]);
    fresh_postings[term].tfs.reserve(fresh_added[term]);
    // Only the blocks built below: most new tokens are rare, and two allocations each for blocks
    // the first query would build anyway took 2.4% of add_texts' instructions.
    if (blocks_now(0, fresh_added[term])) reserve_blocks(fresh_blocks[term].blocks, fresh_added[term], next_id() + lengths.size());
  }
  terms_.reserve_more(fresh.size());
  reserve_growth(owned_, fresh.size());
  reserve_growth(bounds_, fresh.size());
  reserve_growth(blocks_, fresh.size());
  reserve_growth(lengths_, lengths.size());
  reserve_growth(live_mask_, lengths.size());
  overflow_.reserve(overflow_.size() + escaped);

  // All or nothing, with the batch's messages: train_batch names the document a check fails for.
  const bool trained = by_totals && length_total <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) &&
                       model_.train_totals(lengths.size(), static_cast<std::int64_t>(length_total), totals);
  if (!trained) train_batch();
  // From here on nothing can fail.
  const std::size_t known = terms_.size();
  for (std::size_t term = 0; term < fresh.size(); ++term) {
    owned_.push_back(std::move(fresh_postings[term]));
    bounds_.push_back(TermBound{0, std::numeric_limits<std::uint32_t>::max()});
    blocks_.push_back(std::move(fresh_blocks[term]));
  }
  {
    std::vector<std::size_t> hashes(fresh.size());
    for (std::size_t term = 0; term < fresh.size(); ++term) hashes[term] = fresh.hash_at(term);
    std::vector<std::string> tokens = std::move(fresh).take_tokens();
    for (std::size_t term = 0; term < tokens.size(); ++term) terms_.insert_reserved(std::move(tokens[term]), hashes[term], 0);
  }
  for (const PendingPosting& posting : pending) {
    const std::size_t term = posting.fresh ? known + posting.term : posting.term;
    const std::uint32_t doc = first + posting.doc;
    owned_[term].docs.push_back(doc);
    owned_[term].tfs.push_back(static_cast<std::uint8_t>(std::min<std::uint32_t>(posting.tf, kTfEscape)));
    if (posting.tf >= kTfEscape) overflow_.emplace(overflow_key(term, doc), posting.tf);
    bounds_[term].max_tf = std::max(bounds_[term].max_tf, posting.tf);
    bounds_[term].min_length = std::min(bounds_[term].min_length, lengths[posting.doc]);
  }
  for (const std::uint32_t length : lengths) {
    lengths_.push_back(length);
    live_mask_.push_back(1);
  }
  // The lists only grew at their ends: their blocks stand but for the last one.
  for (std::size_t term = 0; term < owned_.size(); ++term) {
    const std::size_t batch = term < known ? added[term] : owned_[term].docs.size();
    if (batch == 0) continue;
    const std::size_t before = owned_[term].docs.size() - batch;
    stale_blocks(term, before);
    if (blocks_now(before, batch)) {
      extend_blocks(term);  // in the memory reserved above
      blocks_[term].state.store(kBlocksBuilt, std::memory_order_relaxed);
    }
  }
  live_ += lengths.size();
  refresh_factors();
  return first;
}

void BM25Index::remove(const std::vector<std::int64_t>& ids) {
  std::vector<std::uint8_t> doomed(lengths_.size(), 0);
  std::int64_t doomed_count = 0;
  std::int64_t doomed_length = 0;
  for (const std::int64_t id : ids) {
    if (id < 0 || static_cast<std::uint64_t>(id) >= lengths_.size() || live_mask_[static_cast<std::size_t>(id)] == 0) {
      throw UnknownDocument(id);
    }
    const auto at = static_cast<std::size_t>(id);
    if (doomed[at] != 0) continue;
    doomed[at] = 1;
    ++doomed_count;
    doomed_length += lengths_[at];
  }
  if (doomed_count == 0) return;
  materialize();
  if (static_cast<std::size_t>(doomed_count) <= kFewDeleted && remove_few(doomed_count, doomed_length, doomed)) return;
  // What the doomed documents gave each token, found before anything changes: the model checks
  // it holds that much and refuses otherwise, with nothing changed.
  std::vector<std::pair<std::string_view, std::int32_t>> counts;
  std::vector<std::uint8_t> emptied(owned_.size(), 0);
  for (std::size_t term = 0; term < owned_.size(); ++term) {
    const Postings& list = owned_[term];
    std::int64_t taken = 0;
    std::size_t kept = 0;
    for (std::size_t at = 0; at < list.docs.size(); ++at) {
      if (doomed[list.docs[at]] != 0) {
        taken += term_frequency(term, list.docs[at], list.tfs[at]);
      } else {
        ++kept;
      }
    }
    if (taken > std::numeric_limits<std::int32_t>::max()) throw std::invalid_argument("the index's postings disagree with its model");
    if (taken > 0) counts.emplace_back(terms_.token_at(term), static_cast<std::int32_t>(taken));
    emptied[term] = kept == 0;
  }
  const Changing changing(*this);
  model_.forget(counts, static_cast<std::int32_t>(doomed_count), doomed_length);
  // From here on nothing can fail but the dictionary's rehash.
  std::unordered_map<std::uint64_t, std::uint32_t> overflow;
  std::size_t kept_terms = 0;
  for (std::size_t term = 0; term < owned_.size(); ++term) {
    Postings& list = owned_[term];
    std::size_t kept = 0;
    TermBound bound{0, std::numeric_limits<std::uint32_t>::max()};
    for (std::size_t at = 0; at < list.docs.size(); ++at) {
      const std::uint32_t doc = list.docs[at];
      if (doomed[doc] != 0) continue;
      bound.max_tf = std::max(bound.max_tf, term_frequency(term, doc, list.tfs[at]));
      bound.min_length = std::min(bound.min_length, lengths_[doc]);
      if (list.tfs[at] == kTfEscape) overflow.emplace(overflow_key(kept_terms, doc), term_frequency(term, doc, kTfEscape));
      list.docs[kept] = doc;
      list.tfs[kept] = list.tfs[at];
      ++kept;
    }
    list.docs.resize(kept);
    list.tfs.resize(kept);
    if (kept != 0) {
      if (kept_terms != term) {
        owned_[kept_terms] = std::move(list);
        blocks_[kept_terms] = std::move(blocks_[term]);
      }
      bounds_[kept_terms] = bound;
      ++kept_terms;
    }
  }
  owned_.resize(kept_terms);
  bounds_.resize(kept_terms);
  blocks_.resize(kept_terms);
  overflow_.swap(overflow);
  terms_.erase_from(0, [&emptied](std::size_t term) { return emptied[term] == 0; });
  for (std::size_t id = 0; id < doomed.size(); ++id) {
    if (doomed[id] != 0) {
      lengths_[id] = 0;
      live_mask_[id] = 0;
    }
  }
  // Fewer postings give no more blocks than before: rebuilt in the memory they had.
  stale_all_blocks();
  live_ -= static_cast<std::size_t>(doomed_count);
  refresh_factors();
}

bool BM25Index::remove_few(std::int64_t doomed_count, std::int64_t doomed_length, const std::vector<std::uint8_t>& doomed) {
  // A few documents: each list is searched for them, and only the lists that hold one are
  // rewritten. A token that would lose its last posting renumbers the dictionary: left to the
  // whole pass.
  std::vector<std::uint32_t> gone;
  gone.reserve(static_cast<std::size_t>(doomed_count));
  for (std::size_t id = 0; id < doomed.size() && gone.size() < static_cast<std::size_t>(doomed_count); ++id) {
    if (doomed[id] != 0) gone.push_back(static_cast<std::uint32_t>(id));
  }
  struct Hit {
    std::size_t term;
    std::size_t at;
  };
  std::vector<Hit> hits;
  std::vector<std::pair<std::string_view, std::int32_t>> counts;
  for (std::size_t term = 0; term < owned_.size(); ++term) {
    const Postings& list = owned_[term];
    const std::size_t first_hit = hits.size();
    std::int64_t taken = 0;
    auto from = list.docs.begin();
    for (const std::uint32_t doc : gone) {
      from = std::lower_bound(from, list.docs.end(), doc);
      if (from == list.docs.end()) break;
      if (*from != doc) continue;
      const auto at = static_cast<std::size_t>(from - list.docs.begin());
      hits.push_back(Hit{term, at});
      taken += term_frequency(term, doc, list.tfs[at]);
    }
    if (hits.size() == first_hit) continue;
    if (hits.size() - first_hit == list.docs.size()) return false;
    if (taken > std::numeric_limits<std::int32_t>::max()) throw std::invalid_argument("the index's postings disagree with its model");
    counts.emplace_back(terms_.token_at(term), static_cast<std::int32_t>(taken));
  }
  const Changing changing(*this);
  model_.forget(counts, static_cast<std::int32_t>(doomed_count), doomed_length);
  // From here on nothing can fail.
  for (std::size_t hit = 0; hit < hits.size();) {
    const std::size_t term = hits[hit].term;
    Postings& list = owned_[term];
    std::size_t kept = hits[hit].at;
    const std::size_t first_moved = kept;  // the blocks before it keep their postings
    for (std::size_t at = kept; at < list.docs.size(); ++at) {
      if (hit < hits.size() && hits[hit].term == term && hits[hit].at == at) {
        if (list.tfs[at] == kTfEscape) overflow_.erase(overflow_key(term, list.docs[at]));
        ++hit;
        continue;
      }
      list.docs[kept] = list.docs[at];
      list.tfs[kept] = list.tfs[at];
      ++kept;
    }
    // The term's bound is left as it was: removing postings only loosens it, and an upper bound
    // is all pruning needs (serialize writes the exact one).
    list.docs.resize(kept);
    list.tfs.resize(kept);
    stale_blocks(term, first_moved);
  }
  for (const std::uint32_t id : gone) {
    lengths_[id] = 0;
    live_mask_[id] = 0;
  }
  live_ -= static_cast<std::size_t>(doomed_count);
  refresh_factors();
  return true;
}

void BM25Index::merge(const BM25Index& other) {
  if (&other == this) {
    const BM25Index copy(other);
    merge(copy);
    return;
  }
  if (other.next_id() > kMaxDocuments - next_id()) {
    throw std::length_error("the index can hold at most 4294967294 documents over its life");
  }
  // A mapped index's postings are copied before they are checked: a second read of shared pages
  // could differ from the checked one.
  if (other.mapping_) {
    BM25Index copy(other);
    copy.materialize();
    merge(copy);
    return;
  }
  materialize();
  const Changing changing(*this);
  const auto shift = static_cast<std::uint32_t>(next_id());
  std::vector<std::size_t> target(other.terms_.size());
  std::size_t fresh = 0;
  for (std::size_t term = 0; term < other.terms_.size(); ++term) {
    target[term] = terms_.find(other.terms_.token_at(term));
    if (target[term] == TokenTable::npos) target[term] = terms_.size() + fresh++;
  }
  std::vector<std::string> fresh_tokens;
  fresh_tokens.reserve(fresh);
  for (std::size_t term = 0; term < other.terms_.size(); ++term) {
    if (target[term] >= terms_.size()) fresh_tokens.push_back(other.terms_.token_at(term));
  }
  terms_.reserve_more(fresh);
  owned_.reserve(owned_.size() + fresh);
  bounds_.reserve(bounds_.size() + fresh);
  reserve_growth(blocks_, fresh);
  std::vector<Postings> fresh_postings(fresh);
  std::vector<OwnedBlocks> fresh_blocks(fresh);
  std::vector<std::size_t> old_sizes(terms_.size() + fresh, 0);
  for (std::size_t term = 0; term < other.terms_.size(); ++term) {
    const std::size_t size = other.postings(term).size;
    const bool known = target[term] < terms_.size();
    Postings& list = known ? owned_[target[term]] : fresh_postings[target[term] - terms_.size()];
    old_sizes[target[term]] = list.docs.size();
    reserve_growth(list.docs, size);
    reserve_growth(list.tfs, size);
    if (blocks_now(list.docs.size(), size)) {
      reserve_blocks(known ? blocks_[target[term]].blocks : fresh_blocks[target[term] - terms_.size()].blocks,
                     list.docs.size() + size, next_id() + other.next_id());
    }
  }
  reserve_growth(lengths_, other.lengths_.size());
  reserve_growth(live_mask_, other.lengths_.size());
  overflow_.reserve(overflow_.size() + other.overflow_.size());
  std::vector<std::pair<std::uint64_t, std::uint32_t>> overflow;
  overflow.reserve(other.overflow_.size());
  for (const auto& [key, tf] : other.overflow_) {
    overflow.emplace_back(overflow_key(target[key >> 32], static_cast<std::uint32_t>(key) + shift), tf);
  }

  model_.merge(other.model_);
  // From here on nothing can fail.
  for (std::size_t term = 0; term < fresh; ++term) {
    owned_.push_back(std::move(fresh_postings[term]));
    bounds_.push_back(TermBound{0, std::numeric_limits<std::uint32_t>::max()});
    blocks_.push_back(std::move(fresh_blocks[term]));
  }
  for (std::string& token : fresh_tokens) {
    const std::size_t hash = TokenHash{}(token);
    terms_.insert_reserved(std::move(token), hash, 0);
  }
  for (std::size_t term = 0; term < other.terms_.size(); ++term) {
    const View view = other.postings(term);
    Postings& list = owned_[target[term]];
    for (std::size_t at = 0; at < view.size; ++at) {
      list.docs.push_back(view.docs[at] + shift);
      list.tfs.push_back(view.tfs[at]);
    }
    TermBound& bound = bounds_[target[term]];
    bound.max_tf = std::max(bound.max_tf, other.bounds_[term].max_tf);
    bound.min_length = std::min(bound.min_length, other.bounds_[term].min_length);
  }
  overflow_.insert(overflow.begin(), overflow.end());
  lengths_.insert(lengths_.end(), other.lengths_.begin(), other.lengths_.end());
  live_mask_.insert(live_mask_.end(), other.live_mask_.begin(), other.live_mask_.end());
  // Appended postings: each list's blocks stand but for the last one.
  for (std::size_t term = 0; term < other.terms_.size(); ++term) {
    const std::size_t before = old_sizes[target[term]];
    stale_blocks(target[term], before);
    if (blocks_now(before, owned_[target[term]].docs.size() - before)) {
      extend_blocks(target[term]);  // in the memory reserved above
      blocks_[target[term]].state.store(kBlocksBuilt, std::memory_order_relaxed);
    }
  }
  live_ += other.live_;
  refresh_factors();
}

const BM25Index::Blocks& BM25Index::checked_blocks(std::size_t term, std::deque<Blocks>& own) const {
  if (!mapping_) {
    OwnedBlocks& owned = blocks_[term];
    std::uint8_t state = owned.state.load(std::memory_order_acquire);
    if (state == kBlocksBuilt) return owned.blocks;
    if (state == kBlocksBuilding || !owned.state.compare_exchange_strong(state, kBlocksBuilding, std::memory_order_acq_rel)) {
      if (state == kBlocksBuilt) return owned.blocks;
      own.push_back(computed_blocks(term, 0, Blocks{}));
      return own.back();
    }
    try {
      extend_blocks(term);
    } catch (...) {  // no memory
      owned.blocks = Blocks{};
      owned.state.store(kBlocksStale, std::memory_order_release);
      throw;
    }
    owned.state.store(kBlocksBuilt, std::memory_order_release);
    return owned.blocks;
  }
  std::atomic<std::uint8_t>& state = mapped_blocks_->checked[term];
  if (state.load(std::memory_order_acquire) == 2) return mapped_blocks_->blocks[term];
  const TermBound exact = exact_bound(term);
  if (exact.max_tf != bounds_[term].max_tf || exact.min_length != bounds_[term].min_length) {
    throw std::invalid_argument("index file: a token's bounds disagree with its postings");
  }
  std::uint8_t unbuilt = 0;
  if (!state.compare_exchange_strong(unbuilt, 1, std::memory_order_acq_rel)) {
    own.push_back(computed_blocks(term, 0, Blocks{}));
    return own.back();
  }
  try {
    mapped_blocks_->blocks[term] = computed_blocks(term, 0, Blocks{});
  } catch (...) {
    state.store(0, std::memory_order_release);
    throw;
  }
  state.store(2, std::memory_order_release);
  return mapped_blocks_->blocks[term];
}

void BM25Index::stale_blocks(std::size_t term, std::size_t from) noexcept {
  OwnedBlocks& owned = blocks_[term];
  // Shrinking keeps the memory: nothing can fail.
  const std::size_t kept = std::min(owned.blocks.last.size(), from / kBoundBlock);
  owned.blocks.last.resize(kept);
  owned.blocks.bounds.resize(kept);
  owned.blocks.shortest.resize(kept);
  owned.state.store(kBlocksStale, std::memory_order_relaxed);
}

void BM25Index::extend_blocks(std::size_t term) const {
  OwnedBlocks& owned = blocks_[term];
  // The blocks left stand for the postings they hold (counted before the move empties them).
  const std::size_t standing = owned.blocks.last.size() * kBoundBlock;
  owned.blocks = computed_blocks(term, standing, std::move(owned.blocks));
}

void BM25Index::stale_all_blocks() {
  blocks_.resize(owned_.size());
  for (std::size_t term = 0; term < owned_.size(); ++term) stale_blocks(term, 0);
}

BM25Index::Blocks BM25Index::computed_blocks(std::size_t term, std::size_t from, Blocks blocks) const {
  const View view = postings(term);
  const std::size_t kept = std::min(blocks.last.size(), from / kBoundBlock);
  blocks.last.resize(kept);
  blocks.bounds.resize(kept);
  blocks.shortest.resize(kept);
  reserve_blocks(blocks, view.size, lengths_.size());
  // Each id and tf read once: a mapped file's pages may change between two reads, and only what
  // was checked may be used.
  std::int64_t previous = kept * kBoundBlock > 0 ? std::int64_t{view.docs[kept * kBoundBlock - 1]} : -1;
  for (std::size_t begin = kept * kBoundBlock; begin < view.size; begin += kBoundBlock) {
    const std::size_t stop = std::min(view.size, begin + kBoundBlock);
    TermBound bound{0, std::numeric_limits<std::uint32_t>::max()};
    std::array<std::uint16_t, kTfSlots> shortest;
    shortest.fill(kNoPosting);
    for (std::size_t at = begin; at < stop; ++at) {
      const std::uint32_t doc = view.docs[at];
      if (doc >= lengths_.size() || std::int64_t{doc} <= previous) throw damaged_posting(doc >= lengths_.size());
      previous = doc;
      // A posting's tf is 1 or more and its document at least a token long, so that no length
      // is kNoPosting (only a mapped file's postings could be otherwise).
      if (lengths_[doc] == 0) throw std::invalid_argument("index file: a document's length disagrees with its postings");
      const std::uint8_t stored = view.tfs[at];
      if (stored == 0) throw std::invalid_argument("index file: a posting's term frequency is zero");
      const std::uint32_t tf = term_frequency(term, doc, stored);
      bound.max_tf = std::max(bound.max_tf, tf);
      bound.min_length = std::min(bound.min_length, lengths_[doc]);
      std::uint16_t& slot = shortest[std::min(tf, kTfSlots) - 1];
      const auto length = static_cast<std::uint16_t>(std::min<std::uint32_t>(lengths_[doc], 65535));
      if (slot == kNoPosting || length < slot) slot = length;
    }
    blocks.last.push_back(static_cast<std::uint32_t>(previous));
    blocks.bounds.push_back(bound);
    blocks.shortest.push_back(shortest);
  }
  if (dense_list(view.size, lengths_.size())) {
    mark_present(view, blocks.present.empty() ? 0 : kept * kBoundBlock, blocks);
  } else {
    std::vector<std::uint64_t>().swap(blocks.present);
    std::vector<std::uint32_t>().swap(blocks.below);
  }
  return blocks;
}

void BM25Index::mark_present(const View& view, std::size_t from, Blocks& blocks) const {
  // Set: the bits of the ids up to the last posting before `from`.
  const std::size_t standing = from == 0 ? 0 : std::size_t{view.docs[from - 1]} + 1;
  const std::size_t words = (lengths_.size() + 63) / 64;
  blocks.present.resize(words, 0);
  if (standing / 64 < words) {
    blocks.present[standing / 64] &= (std::uint64_t{1} << (standing % 64)) - 1;
    std::fill(blocks.present.begin() + static_cast<std::ptrdiff_t>(standing / 64 + 1), blocks.present.end(), 0);
  }
  // computed_blocks checked the ids, but a mapped file's may have changed since: each read once and
  // checked again, or a bit would be set outside the array.
  for (std::size_t at = from; at < view.size; ++at) {
    const std::uint32_t doc = view.docs[at];
    if (doc >= lengths_.size()) throw damaged_posting(true);
    blocks.present[doc / 64] |= std::uint64_t{1} << (doc % 64);
  }
  blocks.below.resize(words + 1);
  std::size_t word = standing / 64;
  if (word == 0) blocks.below[word++] = 0;
  for (; word <= words; ++word) blocks.below[word] = blocks.below[word - 1] + ones(blocks.present[word - 1]);
}

BM25Index::TermBound BM25Index::exact_bound(std::size_t term) const noexcept {
  const View view = postings(term);
  TermBound bound{0, std::numeric_limits<std::uint32_t>::max()};
  for (std::size_t at = 0; at < view.size; ++at) {
    // Read once: a mapped file's pages may change between two reads.
    const std::uint32_t doc = view.docs[at];
    bound.max_tf = std::max(bound.max_tf, term_frequency(term, doc, view.tfs[at]));
    // A mapped file's damaged id bounds nothing; check_postings refuses it before any change.
    if (doc < lengths_.size()) bound.min_length = std::min(bound.min_length, lengths_[doc]);
  }
  return bound;
}

void BM25Index::materialize() {
  if (!mapping_) return;
  // Copied first and the copy checked: the mapped pages may change under us, and only the bytes
  // checked are the bytes kept.
  std::vector<Postings> owned(terms_.size());
  for (std::size_t term = 0; term < terms_.size(); ++term) {
    const View view = postings(term);
    owned[term].docs.assign(view.docs, view.docs + view.size);
    owned[term].tfs.assign(view.tfs, view.tfs + view.size);
  }
  const Changing changing(*this);
  std::shared_ptr<const MappedFile> mapping;
  mapping.swap(mapping_);
  owned_.swap(owned);
  try {
    check_postings();
  } catch (...) {
    owned_.swap(owned);
    mapping_.swap(mapping);
    throw;
  }
  mapped_offsets_ = {};
  mapped_docs_ = nullptr;
  mapped_tfs_ = nullptr;
  mapped_blocks_.reset();
  stale_all_blocks();
}

void BM25Index::check_postings() const {
  const auto damaged = [](const char* what) { return std::invalid_argument(std::string("index file: ") + what); };
  // Each document's term frequencies add up to its length, and each token's to its count.
  std::vector<std::uint64_t> lengths(lengths_.size(), 0);
  const TokenTable& table = model_.doc_token_frequency();
  if (table.size() != terms_.size()) throw damaged("the model's tokens are not the postings' tokens");
  std::vector<TermBound> computed_bounds(terms_.size(), TermBound{0, std::numeric_limits<std::uint32_t>::max()});
  std::size_t escaped = 0;
  for (std::size_t term = 0; term < terms_.size(); ++term) {
    const View view = postings(term);
    if (view.size == 0) throw damaged("a token has no postings");
    std::uint64_t total = 0;
    for (std::size_t at = 0; at < view.size; ++at) {
      const std::uint32_t doc = view.docs[at];
      if (doc >= lengths_.size()) throw damaged("a posting's document id is out of range");
      if (at > 0 && doc <= view.docs[at - 1]) throw damaged("postings are not in ascending id order");
      if (live_mask_[doc] == 0) throw damaged("a posting names a deleted document");
      if (view.tfs[at] == 0) throw damaged("a posting's term frequency is zero");
      if (view.tfs[at] == kTfEscape) {
        if (overflow_.count(overflow_key(term, doc)) == 0) throw damaged("a large term frequency is missing");
        ++escaped;
      }
      const std::uint32_t tf = term_frequency(term, doc, view.tfs[at]);
      computed_bounds[term].max_tf = std::max(computed_bounds[term].max_tf, tf);
      computed_bounds[term].min_length = std::min(computed_bounds[term].min_length, lengths_[doc]);
      lengths[doc] += tf;
      total += tf;
    }
    if (bounds_.size() != terms_.size() || computed_bounds[term].max_tf != bounds_[term].max_tf ||
        computed_bounds[term].min_length != bounds_[term].min_length) {
      throw damaged("a token's bounds disagree with its postings");
    }
    const std::size_t entry = table.find(terms_.token_at(term));
    if (entry == TokenTable::npos || static_cast<std::uint64_t>(table.count_at(entry)) != total) {
      throw damaged("a token's count in the model disagrees with its postings");
    }
  }
  if (escaped != overflow_.size()) throw damaged("a large term frequency belongs to no posting");
  for (std::size_t id = 0; id < lengths_.size(); ++id) {
    if (lengths[id] != lengths_[id]) throw damaged("a document's length disagrees with its postings");
  }
}

struct Scored {
  double score;
  std::uint32_t id;
};

struct QueryTerm {
  double weight;
  double bound;  // the most the term adds to a score: weight x its largest document weight, or 0
  BM25Index::View view;
  std::size_t term;
  std::size_t cursor;
  // max_score: where an essential term's postings of the window at hand begin; for another term,
  // where the last document scored was sought (the documents scored ascend).
  std::size_t window_cursor;
  const BM25Index::Blocks* blocks = nullptr;
  // max_score: for a term of positive weight, its place in the order of bounds, from 1; 0 for
  // another. Its size keeps the struct at 96 bytes, whose multiples max_score's loops over terms
  // find by a shift and an add (at 88 bytes, a multiplication): 1% more instructions on the
  // novel's queries.
  std::size_t order = 0;
  std::size_t bound_block = std::numeric_limits<std::size_t>::max();  // the block block_bound is of
  double block_bound = 0.0;
};

// A block of a term and the most it adds, in a heap whose top is the largest.
struct BlockOrder {
  double bound;
  std::uint32_t block;
  bool operator<(const BlockOrder& other) const noexcept { return bound < other.bound; }
};

// One thread's working memory for a query.
struct QueryScratch {
  std::vector<Scored> heap;
  std::vector<QueryTerm> terms;
  std::vector<std::size_t> positive;  // indices of terms, by ascending bound
  std::vector<std::size_t> negative;
  std::vector<double> prefix;         // prefix[i]: the bounds of positive[0..i) summed
  std::vector<std::size_t> found_at;  // max_score: the non-essential terms a candidate was found in
  std::vector<double> contribution;   // per term, for the document at hand; 0.0 for a term it lacks
  std::vector<double> window_sums;          // per id of the window: max_score its essential terms summed, dense all
  std::vector<std::uint64_t> window_bits;   // which ids of the window some essential term holds
  std::vector<std::size_t> zero_cursors;    // the scan for documents that match no term
  std::vector<BlockOrder> block_order;      // max_score: the seeds' term's blocks by bound, a heap
  std::vector<std::uint32_t> seed_docs;     // max_score: the documents that set the first threshold
  std::vector<double> seed_scores;
  std::vector<std::size_t> seed_cursors;
  std::vector<std::uint32_t> pending_docs;  // max_score: a window's documents that may still enter
  std::vector<double> pending_most;         // the most each can score
  std::vector<double> pending_magnitude;    // and the magnitude of its sum, for the rounding
  std::deque<BM25Index::Blocks> own_blocks;  // a mapped index's blocks another query is building
};

BM25Index::ScratchPool::~ScratchPool() { clear(); }

BM25Index::ScratchPool& BM25Index::ScratchPool::operator=(const ScratchPool&) noexcept {
  clear();  // sized for the index being replaced
  return *this;
}

// Only where the index is destroyed or replaced, which no query may overlap, so the lock is free;
// but in a child forked while a query held it, the list may be mid-way through growing (its old
// buffer freed, its pointers not yet moved): it is left, and its scratch, untouched.
void BM25Index::ScratchPool::clear() noexcept {
  const std::unique_lock<std::mutex> guard(lock, std::try_to_lock);
  if (!guard.owns_lock()) {
    static_cast<void>(free.release());
  } else if (free) {
    for (QueryScratch* scratch : *free) delete scratch;
    free->clear();
  }
}

// The pool's lock is only tried (take_soon): a child forked while another thread held it has its
// queries use scratch of their own.
QueryScratch* BM25Index::take_scratch() const {
  {
    std::unique_lock<std::mutex> guard(scratch_pool_.lock, std::defer_lock);
    if (take_soon(guard) && scratch_pool_.free && !scratch_pool_.free->empty()) {
      QueryScratch* scratch = scratch_pool_.free->back();
      scratch_pool_.free->pop_back();
      return scratch;
    }
  }
  return new QueryScratch();
}

void BM25Index::give_back(QueryScratch* scratch) const noexcept {
  try {
    std::unique_lock<std::mutex> guard(scratch_pool_.lock, std::defer_lock);
    if (take_soon(guard) && scratch_pool_.free) {
      scratch_pool_.free->push_back(scratch);
      return;
    }
  } catch (...) {  // no room to keep it
  }
  delete scratch;
}

namespace {

// Higher score first, then the lower id. A score that is not a number (from a model with
// unusual b or k1) ranks below every number, so that the order stays strict and weak.
bool better(const Scored& left, const Scored& right) noexcept {
  const bool left_nan = std::isnan(left.score);
  const bool right_nan = std::isnan(right.score);
  if (left_nan != right_nan) return right_nan;
  if (!left_nan && left.score != right.score) return left.score > right.score;
  return left.id < right.id;
}

// A full result's worst entry (the front of the heap std::push_heap builds with better()) replaced
// by a candidate that ranks above it, sifted down: one pass where pop_heap and push_heap made two
// (the standard library has no such call). With the comparisons inlined below, 0.92-0.94 of the
// instructions of single frequent words, 0.99 of the mixes of several words.
void replace_worst(std::vector<Scored>& heap, const Scored& candidate) noexcept {
  const std::size_t count = heap.size();
  std::size_t at = 0;
  for (std::size_t child = 1; child < count; child = 2 * at + 1) {
    if (child + 1 < count && better(heap[child], heap[child + 1])) ++child;  // the worse of the two
    if (!better(candidate, heap[child])) break;
    heap[at] = heap[child];
    at = child;
  }
  heap[at] = candidate;
}

constexpr std::size_t kSeekBlock = 16;
// What seeking and weighing a posting costs, in postings read by the windows' loop (about 90
// instructions against 10). A seek through a dense list's bits costs less, but counting it as 2
// took 1.08-1.12 of the time on the mixes of several words (later handing over to dense()), and 16
// measured the same as 8.
constexpr std::size_t kSeedSeekCost = 8;

// How many of the kSeekBlock ids at `ids` are below `target`. With SSE2, four compares of four ids
// (unsigned, as signed after flipping the top bit): GCC made the loop 16 compares and 16 adds with
// carry, each add waiting for the one before.
std::size_t count_below(const std::uint32_t* ids, std::uint32_t target) noexcept {
#if defined(__SSE2__)
  const __m128i flip = _mm_set1_epi32(std::numeric_limits<std::int32_t>::min());
  const __m128i bound = _mm_xor_si128(_mm_set1_epi32(static_cast<std::int32_t>(target)), flip);
  __m128i below = _mm_setzero_si128();  // -1 per id below, in four lanes
  for (std::size_t at = 0; at < kSeekBlock; at += 4) {
    const __m128i four = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ids + at)), flip);
    below = _mm_add_epi32(below, _mm_cmpgt_epi32(bound, four));
  }
  below = _mm_add_epi32(below, _mm_shuffle_epi32(below, 0x4e));
  below = _mm_add_epi32(below, _mm_shuffle_epi32(below, 0xb1));
  return static_cast<std::size_t>(-_mm_cvtsi128_si32(below));
#else
  std::size_t smaller = 0;
  for (std::size_t at = 0; at < kSeekBlock; ++at) smaller += ids[at] < target;
  return smaller;
#endif
}

// seek past its first block of ids: the next few blocks, then galloping, then binary.
__attribute__((noinline)) std::size_t seek_far(const BM25Index::View& view, std::size_t from, std::uint32_t target) noexcept {
  constexpr std::size_t kBlock = kSeekBlock;
  constexpr int kNearBlocks = 3;
  for (int block = 0; block < kNearBlocks && view.size - std::min(from, view.size) >= kBlock; ++block) {
    const std::size_t smaller = count_below(view.docs + from, target);
    if (smaller < kBlock) return from + smaller;
    from += kBlock;
  }
  if (from >= view.size || view.docs[from] >= target) return from;
  std::size_t low = from;
  std::size_t step = 1;
  while (low + step < view.size && view.docs[low + step] < target) {
    low += step;
    step *= 2;
  }
  const std::size_t high = std::min(view.size, low + step + 1);
  return static_cast<std::size_t>(std::lower_bound(view.docs + low + 1, view.docs + high, target) - view.docs);
}

// The first position at or after `from` whose id is at least `target`: counts over the next few
// blocks of ids, then galloping, then binary. The documents max_score seeks come in ascending
// order a few dozen postings apart; counting without branches took a third of the time of
// galloping there. The first block is counted inline: two seeks in three end there.
inline std::size_t seek(const BM25Index::View& view, std::size_t from, std::uint32_t target) noexcept {
  if (view.size - std::min(from, view.size) >= kSeekBlock) {
    const std::size_t smaller = count_below(view.docs + from, target);
    if (smaller < kSeekBlock) return from + smaller;
    from += kSeekBlock;
  }
  return seek_far(view, from, target);
}

// seek, for a term of max_score: by the bits of a dense list. Whether the term holds `doc`.
inline bool find(const QueryTerm& term, std::size_t& at, std::uint32_t doc) noexcept {
  if (!term.blocks->present.empty()) return BM25Index::locate(*term.blocks, doc, at);
  at = seek(term.view, at, doc);
  return at < term.view.size && term.view.docs[at] == doc;
}

// A bound and a threshold compared with room for the rounding of a sum of a few terms: a
// document is passed over only when it cannot reach the threshold by any rounding.
bool below(double bound, double threshold) noexcept { return bound + std::fabs(bound) * 1e-9 < threshold; }

}  // namespace

// After max_score offered every document that holds a term of positive weight, offers those that
// hold no query term (score 0), in ascending id order while they can enter the result. The result
// is then settled when it is full and its last score is not below 0: the rest hold only terms of
// negative weight and score below 0. The lists are walked, not searched, so that a mapped file's
// postings are checked as they are read.
template <class Offer>
bool offer_unmatched(std::vector<QueryTerm>& terms, QueryScratch& scratch, const std::uint8_t* mask,
                     std::size_t id_count, std::size_t columns, const Offer& offer) {
  std::vector<Scored>& heap = scratch.heap;
  std::vector<std::size_t>& cursors = scratch.zero_cursors;
  cursors.assign(terms.size(), 0);
  for (std::size_t doc = 0; doc < id_count; ++doc) {
    if (heap.size() == columns && !better(Scored{0.0, static_cast<std::uint32_t>(doc)}, heap.front())) break;
    if (mask[doc] == 0) continue;
    bool held = false;
    for (std::size_t index = 0; index < terms.size(); ++index) {
      const BM25Index::View& view = terms[index].view;
      std::size_t& at = cursors[index];
      for (; at < view.size && view.docs[at] <= doc; ++at) {
        const std::uint32_t id = view.docs[at];
        if (id >= id_count || (at > 0 && id <= view.docs[at - 1])) throw damaged_posting(id >= id_count);
        if (id == doc) {
          held = true;
          break;
        }
      }
    }
    if (!held) offer(Scored{0.0, static_cast<std::uint32_t>(doc)});
  }
  return heap.size() == columns && heap.front().score >= 0.0;
}

// The largest tf and the smallest K (K grows with the length): at least the weight of any posting
// the bound covers, as each operation rounds monotonically in the argument that moves; where two
// move together (tf / (tf + K)) `below` allows for the rounding.
double BM25Index::weight_bound(double weight, const TermBound& bound, double average, double b, double k1) noexcept {
  const double tf = static_cast<double>(bound.max_tf);
  return weight * (0.0 + tf / (tf + length_factor(bound.min_length, average, b, k1)));
}

BM25Index::Blocks BM25Index::token_blocks(std::string_view token) const {
  const std::size_t term = terms_.find(token);
  if (term == TokenTable::npos) return Blocks{};
  std::deque<Blocks> own;
  return checked_blocks(term, own);
}

namespace {

// The first position from `at` to `n` whose value is above `floor` (not a number: never), or `n`.
// With SSE2, eight compares an iteration: GCC kept the loop to a compare and a branch an id, 0.38
// of dense()'s time on a two-word query of the novel.
std::size_t first_above(const double* values, std::size_t at, std::size_t n, double floor) noexcept {
#if defined(__SSE2__)
  const __m128d bound = _mm_set1_pd(floor);
  for (; at + 8 <= n; at += 8) {
    const __m128d above = _mm_or_pd(_mm_or_pd(_mm_cmpgt_pd(_mm_loadu_pd(values + at), bound),
                                              _mm_cmpgt_pd(_mm_loadu_pd(values + at + 2), bound)),
                                    _mm_or_pd(_mm_cmpgt_pd(_mm_loadu_pd(values + at + 4), bound),
                                              _mm_cmpgt_pd(_mm_loadu_pd(values + at + 6), bound)));
    if (_mm_movemask_pd(above) != 0) break;
  }
#endif
  for (; at < n && !(values[at] > floor); ++at) {
  }
  return at;
}

// Bit i set where tfs[i] is `least` or more, for the `count` (at most 64) tfs at `tfs`. With SSE2,
// sixteen compares an instruction for a whole block.
std::uint64_t tfs_at_least(const std::uint8_t* tfs, std::size_t count, std::uint32_t least) noexcept {
  if (least > std::numeric_limits<std::uint8_t>::max()) return 0;
  std::uint64_t set = 0;
#if defined(__SSE2__)
  if (count == 64) {
    const __m128i floor = _mm_set1_epi8(static_cast<char>(least));
    for (std::size_t at = 0; at < 64; at += 16) {
      const __m128i sixteen = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tfs + at));
      // Unsigned: a tf is at least the floor where the larger of the two is the tf.
      const __m128i reached = _mm_cmpeq_epi8(_mm_max_epu8(sixteen, floor), sixteen);
      set |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(reached))} << at;
    }
    return set;
  }
#endif
  for (std::size_t at = 0; at < count; ++at) set |= std::uint64_t{tfs[at] >= least} << at;
  return set;
}

// A posting's weight in a query: the one expression every way of scoring uses, so that each
// document's score is the same to the bit whichever way found it.
inline double posting_weight(double weight, double tf, double factor) noexcept {
  return weight * (0.0 + tf / (tf + factor));
}

// The postings [at, stop) of a window that starts at `base` and spans `span` ids are all in it, in
// ascending order, with no escaped tf (an index in memory holds them too: such a window is read
// posting by posting). The order is tested unless `ordered` (an index in memory, whose lists
// ascend by construction): a mapped file's is not trusted. Not testing it took 0.96 of the time
// of the synthetic corpus's runs.
bool plain_run(const BM25Index::View& view, std::size_t at, std::size_t stop, std::size_t base, std::size_t span,
               bool ordered) noexcept {
  if (at == stop) return true;
  const std::uint32_t* const docs = view.docs;
  // Or-ed, not branched on, each in its own width: GCC compares 4 ids or 16 tfs an instruction
  // (summed into a size_t, the tests took a fifth of the time of dense() on two frequent tokens).
  std::uint32_t unordered = 0;
  if (!ordered) {
    if (docs[at] < base || docs[stop - 1] >= base + span || (at > 0 && docs[at] <= docs[at - 1])) return false;
    for (std::size_t i = at + 1; i < stop; ++i) unordered |= static_cast<std::uint32_t>(docs[i] <= docs[i - 1]);
  }
  std::uint8_t escaped = 0;
  for (std::size_t i = at; i < stop; ++i) escaped |= static_cast<std::uint8_t>(view.tfs[i] == BM25Index::kTfEscape);
  return (unordered | escaped) == 0;
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define DUZUDAVIDA_AVX2_DISPATCH 1
// Four postings of a plain run at a time from `at`, posting_weight's operations lane by lane (so the
// same bits); returns where it stopped. The division bounds the loop of one posting at a time
// (dense() on two tokens that nearly every document holds: 0.61 of the time, one posting at a time
// without tests; two at a time with SSE2, 0.80). Compiled for AVX2 alone, called where the
// processor has it: FMA stays off, so no product is fused into a sum. kChecked: each id read once
// and stopped at unless in the window (a mapped file's pages may change after plain_run read them).
template <bool kChecked>
__attribute__((target("avx2"))) std::size_t add_four_at_a_time(const std::uint32_t* docs, const std::uint8_t* tfs,
                                                               std::size_t at, std::size_t stop, double weight,
                                                               const double* factors, double* sums, std::size_t base,
                                                               std::size_t span) noexcept {
  const __m256d weights = _mm256_set1_pd(weight);
  for (; at + 4 <= stop; at += 4) {
    std::array<std::size_t, 4> slots;
    std::size_t largest = 0;
    for (std::size_t lane = 0; lane < 4; ++lane) {
      slots[lane] = docs[at + lane] - base;
      largest = std::max(largest, slots[lane]);
    }
    if (kChecked && largest >= span) return at;
    std::uint32_t four_tfs;
    std::memcpy(&four_tfs, tfs + at, sizeof four_tfs);
    const __m256d tf = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(static_cast<int>(four_tfs))));
    const double* const window_factors = factors + base;
    const __m256d factor = _mm256_set_pd(window_factors[slots[3]], window_factors[slots[2]], window_factors[slots[1]],
                                         window_factors[slots[0]]);
    const __m256d share = _mm256_add_pd(_mm256_setzero_pd(), _mm256_div_pd(tf, _mm256_add_pd(tf, factor)));
    alignas(32) double four[4];
    _mm256_store_pd(four, _mm256_mul_pd(weights, share));
    for (std::size_t lane = 0; lane < 4; ++lane) sums[slots[lane]] += four[lane];
  }
  return at;
}

bool has_avx2() noexcept {
  static const bool avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return avx2;
}
#endif

// A plain run's postings added into the window's sums: without a test per posting (a mask, an
// order, an escape), each posting is a weight and an addition, as a precomputed score is bm25s's.
// Returns where it stopped: at `stop`, or with `checked` before an id outside the window.
template <bool kChecked>
std::size_t add_run(const BM25Index::View& view, std::size_t at, std::size_t stop, double weight,
                    const double* factors, double* sums, std::size_t base, std::size_t span) noexcept {
#if defined(DUZUDAVIDA_AVX2_DISPATCH)
  if (has_avx2()) at = add_four_at_a_time<kChecked>(view.docs, view.tfs, at, stop, weight, factors, sums, base, span);
#endif
  for (; at < stop; ++at) {
    const std::size_t slot = view.docs[at] - base;
    if (kChecked && slot >= span) break;
    sums[slot] += posting_weight(weight, static_cast<double>(view.tfs[at]), factors[base + slot]);
  }
  return at;
}

// Every document's score at once, a window of ids at a time: each term's postings of the window
// added, term after term in token order, into a score per id, then the window's ids offered
// while they can enter (ids ascend: a later id that only ties the k-th best cannot displace it).
// Every posting is read once, without bounds or seeks: the way through a query whose lists hold
// most documents, where pruning passes over little (the synthetic corpus's runs of its most
// frequent tokens, each repeated: 0.3 of MaxScore's time), and through one that cannot prune.
template <class Weigh, class Offer>
void dense(std::vector<QueryTerm>& terms, QueryScratch& scratch, const std::uint8_t* mask, bool runs, bool ordered,
           std::size_t id_count, std::size_t columns, const double* factors, const Weigh& weigh, const Offer& offer) {
  // 2048 ids (16 KiB of sums), or 64 per term: each window visits every term, and a query of
  // 100,000 tokens would otherwise spend more on that than on its postings.
  const std::size_t width = std::min(std::max<std::size_t>(2048, 64 * terms.size()), std::max<std::size_t>(id_count, 1));
  scratch.window_sums.resize(width);
  double* const sums = scratch.window_sums.data();
  for (QueryTerm& term : terms) term.cursor = 0;
  const std::vector<Scored>& heap = scratch.heap;
  for (std::size_t base = 0; base < id_count;) {
    const std::size_t span = std::min(width, id_count - base);
    std::fill(sums, sums + span, 0.0);
    for (QueryTerm& term : terms) {
      const std::uint32_t* const docs = term.view.docs;
      std::size_t at = term.cursor;
      // The window's postings found by bisection (ascending ids, so at most `span` of them). Where
      // no allow list masks the ids, and they are in order with no escaped tf, each is read without
      // a test, an addition as each of bm25s's precomputed scores is: the tests and the branches
      // took 0.6 of this loop's time on the synthetic corpus's runs.
      const std::size_t stop = static_cast<std::size_t>(
          std::lower_bound(docs + at, docs + std::min(term.view.size, at + span), base + span) - docs);
      if (runs && plain_run(term.view, at, stop, base, span, ordered)) {
        at = ordered ? add_run<false>(term.view, at, stop, term.weight, factors, sums, base, span)
                     : add_run<true>(term.view, at, stop, term.weight, factors, sums, base, span);
      }
      for (; at < term.view.size; ++at) {
        const std::uint32_t doc = docs[at];
        if (doc >= base + span) break;
        // A mapped file's postings are checked as they are read, each id read once (the pages
        // may change between two reads): an id out of order could fall before the window.
        if (doc < base || (at > 0 && doc <= docs[at - 1])) throw damaged_posting(false);
        if (mask[doc] != 0) sums[doc - base] += weigh(term, at, doc);
      }
      term.cursor = at;
    }
    for (std::size_t slot = 0; slot < span; ++slot) {
      // Against a full result whose last score is a number, only a higher score enters: the ids
      // up to the next such score are passed over together.
      if (heap.size() == columns && !std::isnan(heap.front().score)) {
        slot = first_above(sums, slot, span, heap.front().score);
        if (slot == span) break;
      }
      if (mask[base + slot] != 0) offer(Scored{sums[slot], static_cast<std::uint32_t>(base + slot)});
    }
    base += span;
    // Against a full result whose last score is a number not below 0, an id that no list holds
    // (score 0) cannot enter (the ids come after the result's): the next window starts at the next
    // id a list holds. A query of rare tokens (a model that cannot prune, or a result short of k
    // above 0) took 14 times the time of the loop this replaced, which summed only the postings,
    // on the novel's queries of 1 to 3 tokens that 3 to 30 documents hold, under b = 1.5; this
    // halves that, at no cost in instructions to the benchmark's mixes.
    if (heap.size() == columns && heap.front().score >= 0.0) {
      std::uint64_t next = id_count;
      for (const QueryTerm& term : terms) {
        if (term.cursor < term.view.size) next = std::min<std::uint64_t>(next, term.view.docs[term.cursor]);
      }
      base = std::max<std::uint64_t>(base, next);
    }
  }
  // An id past the last one is left unread.
  for (const QueryTerm& term : terms) {
    if (term.cursor < term.view.size) throw damaged_posting(true);
  }
}

}  // namespace

double BM25Index::block_share(const Blocks& blocks, std::size_t block, const std::vector<double>& by_length) noexcept {
  double most = 0.0;
  // No posting of the block has a tf past its largest.
  const std::uint32_t used = std::min(kTfSlots, blocks.bounds[block].max_tf);
  for (std::uint32_t slot = 0; slot < used; ++slot) {
    most = std::max(most, slot_bound(1.0, blocks, block, slot, by_length));
  }
  return most;
}

double BM25Index::peak_share(std::size_t term, const Blocks& blocks, const std::vector<double>& by_length) const {
  const bool own = &by_length == &factors_.by_length && term < factors_.peak_capacity;
  const std::uint64_t generation = std::uint64_t{factors_.generation} << 32;
  if (own) {
    const std::uint64_t known = factors_.peaks[term].load(std::memory_order_relaxed);
    if ((known & ~std::uint64_t{0xffffffffu}) == generation) {
      float share;
      const auto bits = static_cast<std::uint32_t>(known);
      std::memcpy(&share, &bits, sizeof share);
      return share;
    }
  }
  const std::size_t count = blocks.last.size();
  if (!own && count >= kBuckets) return std::numeric_limits<double>::infinity();
  double peak = 0.0;
  for (std::size_t block = 0; block < count; ++block) peak = std::max(peak, block_share(blocks, block, by_length));
  if (!own) return peak;
  // Rounded up, so that it still bounds every posting.
  float share = static_cast<float>(peak);
  if (static_cast<double>(share) < peak) share = std::nextafter(share, std::numeric_limits<float>::infinity());
  std::uint32_t bits;
  std::memcpy(&bits, &share, sizeof bits);
  factors_.peaks[term].store(generation | bits, std::memory_order_relaxed);
  return share;
}

std::shared_ptr<const BM25Index::BlockRanking> BM25Index::ranked_blocks(std::size_t term, const Blocks& blocks,
                                                                        const std::vector<double>& by_length,
                                                                        bool keep) const {
  const std::size_t count = blocks.last.size();
  // Only a list of kBuckets blocks or more: a shorter one ranks in less time than its ranking's
  // kilobyte is worth, and a vocabulary of rare tokens asked alone would keep one each (a 20 MB
  // index of 60,000 took 90 MB). Kept, a ranking is then 0.3 bytes per posting at most.
  keep = keep && count >= kBuckets;
  if (keep) {
    std::unique_lock<std::mutex> guard(rankings_.lock, std::defer_lock);
    if (take_soon(guard) && rankings_.by_term) {
      const auto found = rankings_.by_term->find(term);
      if (found != rankings_.by_term->end() && found->second->share.size() == count) return found->second;
    }
  }
  auto ranking = std::make_shared<BlockRanking>();
  ranking->share.resize(count);
  double highest = 0.0;
  for (std::size_t block = 0; block < count; ++block) {
    ranking->share[block] = block_share(blocks, block, by_length);
    highest = std::max(highest, ranking->share[block]);
  }
  // Descending by bucket of share, kBuckets of them from the highest down to 0, each bucket in id
  // order: a counting sort, without the comparisons a heap mispredicts (make_heap and pop_heap
  // took a sixth of the time of the novel's single frequent words; this took 0.88 of the time,
  // 0.79 on the synthetic corpus's). A share's bucket grows with it.
  const double scale = std::isfinite(highest) && highest > 0.0 ? static_cast<double>(kBuckets) / highest : 0.0;
  const auto bucket_of = [scale](double share) {
    // Clamped with max first, so that even a share that is not a number converts to a bucket.
    const double scaled = std::min(static_cast<double>(kBuckets - 1), std::max(0.0, share * scale));
    return kBuckets - 1 - static_cast<std::size_t>(scaled);
  };
  std::array<std::size_t, kBuckets + 1>& start = ranking->start;
  for (std::size_t block = 0; block < count; ++block) {
    const std::size_t bucket = bucket_of(ranking->share[block]);
    ++start[bucket + 1];
    ranking->largest[bucket] = std::max(ranking->largest[bucket], ranking->share[block]);
  }
  for (std::size_t bucket = 0; bucket < kBuckets; ++bucket) start[bucket + 1] += start[bucket];
  ranking->order.resize(count);
  std::array<std::size_t, kBuckets + 1> next = start;
  for (std::size_t block = 0; block < count; ++block) {
    ranking->order[next[bucket_of(ranking->share[block])]++] = static_cast<std::uint32_t>(block);
  }
  if (keep) {
    std::unique_lock<std::mutex> guard(rankings_.lock, std::defer_lock);
    if (take_soon(guard) && rankings_.by_term) {
      try {
        (*rankings_.by_term)[term] = ranking;
      } catch (...) {  // no room to keep it
      }
    }
  }
  return ranking;
}

// MaxScore over the terms of positive weight, a window of ids at a time (as Lucene's MaxScore
// bulk scorer): the essential terms, those a document must hold one of to reach the k-th best
// score so far, are summed term after term into the window's accumulator, and each document
// found there is completed from the other terms only while its bound can still reach that score.
// Against the document-at-a-time loop it replaced (~30 ns per candidate, most of it finding the
// next id), this with seek's counting took 0.75 of the time on the benchmark's novel corpus and
// 0.8 on its synthetic one. The window's sums only prune; each result's score is summed again in
// token order. Terms of negative weight only lower a score (their bound is 0), so they
// are read only for documents that pass. Returns all_offered when the result is not settled: fewer
// than `columns` documents score above 0, so documents matching nothing (score 0) or only negative
// terms may belong in it; abandoned when it cannot prune (a bound that is not a number) or prunes
// too little to beat dense(), which then scores the query afresh.
template <class Weigh, class Offer>
BM25Index::Outcome BM25Index::max_score(std::vector<QueryTerm>& terms, QueryScratch& scratch, const std::uint8_t* mask,
                          std::size_t id_count, std::size_t columns, double average,
                          const std::vector<double>& by_length, const Weigh& weigh, const Offer& offer) const {
  std::vector<std::size_t>& positive = scratch.positive;
  std::vector<std::size_t>& negative = scratch.negative;
  positive.clear();
  negative.clear();
  scratch.own_blocks.clear();
  const double b = model_.b();
  const double k1 = model_.k1();
  for (std::size_t index = 0; index < terms.size(); ++index) {
    QueryTerm& term = terms[index];
    if (term.weight > 0.0) {
      const Blocks& blocks = checked_blocks(term.term, scratch.own_blocks);
      term.bound = weight_bound(term.weight, bounds_[term.term], average, b, k1);
      // Only a damaged mapped file gives 0 / 0 here. NaN bounds cannot be sorted (the comparison
      // is no ordering), so such a query is scored in full.
      if (std::isnan(term.bound)) return Outcome::abandoned;
      term.blocks = &blocks;
      positive.push_back(index);
    } else {
      // consider seeks these lists by their blocks' bits where dense (most terms of negative
      // weight are, holding half the documents or more), and finds an id only in ascending ones
      // otherwise: a mapped file's are checked (once per term, as the positive terms' are), or a
      // document passed over in an out-of-order list would miss its lowering without a word.
      term.blocks = &checked_blocks(term.term, scratch.own_blocks);
      negative.push_back(index);
    }
  }
  if (positive.empty()) return Outcome::all_offered;
  if (positive.size() > 1) {
    // A list's bound at its largest tf and its shortest document together is loose where the two
    // are of different postings, as in the novel's lines of every length: the largest of its
    // blocks' slot bounds is nearer the most a posting adds, and MaxScore leaves more terms out of
    // the essential ones (the novel's runs: 0.87 of the time, 0.86 of the estimated cycles; its
    // distinct tokens 0.92 of the cycles). Both bound every posting, so the smaller one does.
    for (const std::size_t index : positive) {
      QueryTerm& term = terms[index];
      const double peak = peak_share(term.term, *term.blocks, by_length);
      term.bound = std::min(term.bound, term.weight * peak);
    }
  }
  std::sort(positive.begin(), positive.end(),
            [&terms](std::size_t left, std::size_t right) { return terms[left].bound < terms[right].bound; });
  for (std::size_t i = 0; i < positive.size(); ++i) terms[positive[i]].order = i + 1;
  std::vector<double>& prefix = scratch.prefix;
  prefix.assign(positive.size() + 1, 0.0);
  for (std::size_t i = 0; i < positive.size(); ++i) prefix[i + 1] = prefix[i] + terms[positive[i]].bound;
  scratch.contribution.assign(terms.size(), 0.0);
  scratch.window_sums.resize(kWindow);
  scratch.window_bits.assign(kWindow / 64, 0);
  scratch.pending_docs.resize(kWindow);
  scratch.pending_most.resize(kWindow);
  scratch.pending_magnitude.resize(kWindow);
  double* const sums = scratch.window_sums.data();
  std::uint64_t* const bits = scratch.window_bits.data();
  std::vector<Scored>& heap = scratch.heap;

  double threshold = 0.0;
  bool pruning = false;       // once `columns` documents are known to score above 0 (offered, or seeds)
  // What a sum of positive bounds must reach not to be passed over: the threshold less 4e-9 of
  // it. A sum below the cut is below the threshold by `below`'s margin as well (1e-9 of the sum,
  // and the roundings of both): the loops compare once, where `below` took a multiplication, an
  // absolute value and an addition, and the test of `pruning` (the cut is 0 until then, and no
  // sum of positive weights is below 0): 5-7% fewer instructions on the mixes of several words,
  // 3-5% on single words.
  double cut = 0.0;
  std::size_t essential = 0;  // positive[essential..] are the terms a document must hold one of
  std::size_t window_essential = 0;  // `essential` as the window at hand began
  // Prunes from here on below `score`, which only rises: k documents are known to reach it.
  const auto raise_threshold = [&](double score) {
    pruning = true;
    threshold = score;
    cut = threshold - threshold * 4e-9;
    while (essential < positive.size() && below(prefix[essential + 1], threshold)) ++essential;
  };
  // The most a term adds to the documents of one of its blocks, by the block's largest tf and
  // shortest length, computed once per block visited: a window visits a block once per window it
  // spans, and its slots' bounds (a division each) cost the multi-word queries 2-4% more
  // instructions than this one bound, which passes over nearly as many blocks.
  const auto block_weight = [&](QueryTerm& term, std::size_t block) {
    if (term.bound_block != block) {
      term.block_bound = weight_bound(term.weight, term.blocks->bounds[block], average, b, k1);
      term.bound_block = block;
    }
    return term.block_bound;
  };
  // A document the single essential term gives `sum` (its contribution marked already): completed
  // from the other terms while its bound can still reach the threshold, then scored in token order
  // and offered.
  scratch.found_at.resize(positive.size());
  std::size_t* const found_at = scratch.found_at.data();
  std::size_t postings = 0;
  for (const QueryTerm& term : terms) postings += term.view.size;
  // What the windows have cost so far, in postings weighed (a seek counts kSeedSeekCost), and what
  // dense() costs the whole query: each posting weighed once, and a quarter of one per id.
  std::size_t work = 0;
  const double dense_cost = static_cast<double>(postings) + static_cast<double>(id_count) / 4;
  const auto consider = [&](std::uint32_t doc, double sum) {
    bool passed = !(sum + prefix[window_essential] < cut);
    std::size_t found = 0;  // the other terms found_at[0..found) hold the document
    for (std::size_t i = window_essential; passed && i-- > 0;) {
      QueryTerm& term = terms[positive[i]];
      work += kSeedSeekCost;
      if (find(term, term.cursor, doc)) {
        const double contribution = weigh(term, term.cursor, doc);
        scratch.contribution[positive[i]] = contribution;
        found_at[found++] = positive[i];
        sum += contribution;
      }
      passed = !(sum + prefix[i] < cut);
    }
    bool entering = passed;
    if (passed) {
      // Each term of negative weight found lowers the score: once it is sure to be below the
      // threshold (with room for the rounding of sums of this magnitude, in any order), the
      // document cannot enter the result and the other terms are not sought.
      double lowered = sum;
      double magnitude = std::fabs(sum);
      for (const std::size_t index : negative) {
        QueryTerm& term = terms[index];
        work += kSeedSeekCost;
        if (find(term, term.cursor, doc)) {
          const double contribution = weigh(term, term.cursor, doc);
          scratch.contribution[index] = contribution;
          lowered += contribution;
          magnitude += std::fabs(contribution);
          if (pruning && lowered + magnitude * 1e-9 < threshold) {
            entering = false;
            break;
          }
        }
      }
      if (entering) {
        // Absent terms add 0.0, which leaves every sum as it is bit for bit: a sum that starts at
        // +0.0 is never -0.0. A flag per term to pass them over cost 1-3% more instructions. The
        // same loop clears them for the next document.
        double score = 0.0;
        for (std::size_t index = 0; index < terms.size(); ++index) {
          score += scratch.contribution[index];
          scratch.contribution[index] = 0.0;
        }
        offer(Scored{score, doc});
        // Above the first threshold too (0, or the seeds' k-th score): the threshold only rises.
        if (heap.size() == columns && heap.front().score > threshold) raise_threshold(heap.front().score);
      }
    }
    if (!entering) {
      // Only the terms this document marked: most candidates stop at the first non-essential term
      // or before it, and none reached the essential terms' again.
      for (std::size_t i = 0; i < found; ++i) scratch.contribution[found_at[i]] = 0.0;
      if (passed) {
        for (const std::size_t index : negative) scratch.contribution[index] = 0.0;
      }
    }
  };
  // most[tf] for tf 1 to the block's largest, or kTfSlots if less: the most a posting of the block
  // with that stored tf adds (kTfSlots: that tf or more); returns how many were set. No posting of
  // the block has a tf past its largest: most blocks of rare words hold tf 1 alone, and reading
  // their empty slots cost the novel's distinct words 0.3%.
  const auto slot_bounds = [&](const QueryTerm& term, std::size_t block, std::array<double, kTfSlots + 1>& most) {
    const std::uint32_t used = std::min(kTfSlots, term.blocks->bounds[block].max_tf);
    for (std::uint32_t slot = 0; slot < used; ++slot) {
      most[slot + 1] = slot_bound(term.weight, *term.blocks, block, slot, by_length);
    }
    return used;
  };
  // The single essential term's postings from `at` to the block's `stop`, up to the id `end`: those
  // whose tf can reach the threshold are scored and considered. Returns where it stopped.
  // The most a posting of the block adds, by its stored tf, is a division per tf slot and block
  // instead of one per posting, and no length looked up for those that cannot pass. Stored tfs
  // below `least` cannot pass: the slots from 1 up while each is cut (the bounds need not grow
  // with tf, so no slot past one that is not cut is passed over). They are found again only when
  // the threshold moves, and the postings below them are passed over by their stored tf alone,
  // without their id read: 0.77 of the instructions of the novel's single frequent words (0.66 on
  // the synthetic corpus) against testing a bit per slot and posting.
  const bool mapped = mapping_ != nullptr;  // an index in memory's lists ascend below id_count
  const auto scan_block = [&](std::size_t index, std::size_t block, std::size_t at, std::size_t stop,
                              std::uint64_t end) {
    QueryTerm& term = terms[index];
    std::array<double, kTfSlots + 1> most;
    std::uint32_t used = 0;  // the slots of `most` set, once known
    bool most_known = false;
    // The block's postings from `at` on whose tf is `least` or more, a bit each from `first`: the
    // tfs tested sixteen at a time, where a test and a branch per posting mispredicted on the few
    // that pass (0.91 of the time of the synthetic corpus's single frequent words, 0.96 of its runs).
    const std::size_t first = block * kBoundBlock;
    std::uint64_t left = stop - first < 64 ? (std::uint64_t{1} << (stop - first)) - 1 : ~std::uint64_t{0};
    left &= ~std::uint64_t{0} << (at - first);
    // The threshold is 0 until pruning starts, and only rises: `least` is of cut_threshold.
    double cut_threshold = 0.0;
    for (;;) {
      if (threshold != cut_threshold) {
        if (!most_known) used = slot_bounds(term, block, most);
        most_known = true;
        std::uint32_t least = 1;
        while (least <= used && most[least] + prefix[window_essential] < cut) ++least;
        // Every slot cut: no stored tf passes (slot kTfSlots holds every larger tf, and a block
        // with fewer slots has no tf past them).
        if (least > used) least = kTfEscape + 1;
        left &= tfs_at_least(term.view.tfs + first, stop - first, least);
        cut_threshold = threshold;
      }
      if (left == 0) {
        at = stop;
        break;
      }
      at = first + static_cast<std::size_t>(__builtin_ctzll(left));
      left &= left - 1;
      const std::uint32_t doc = term.view.docs[at];
      if (doc >= end) break;
      // A mapped file's postings are checked as they are read: an id given twice would be
      // offered twice, and one out of order would miss the other terms' postings, passed already.
      if (mapped && (doc >= id_count || (at > 0 && doc <= term.view.docs[at - 1]))) {
        throw damaged_posting(doc >= id_count);
      }
      if (mask[doc] != 0) {
        ++work;
        const double contribution = weigh(term, at, doc);
        // consider's first test, here, as in the windows' loop.
        if (!(contribution + prefix[window_essential] < cut)) {
          scratch.contribution[index] = contribution;
          consider(doc, contribution);
          scratch.contribution[index] = 0.0;
        }
      }
      ++at;
    }
    return at;
  };
  // What a term adds to `doc`, 0 where it lacks it. (Weighing either way and choosing after,
  // without the branch, measured no faster.)
  const auto held_weight = [&](QueryTerm& term, std::uint32_t doc) {
    return find(term, term.cursor, doc) ? weigh(term, term.cursor, doc) : 0.0;
  };
  // The documents `docs` of a window with several essential terms, ascending, each with the most
  // its essential terms give it (none below the cut as they were gathered): kept in place while
  // they may still enter, a term at a time, then scored and offered.
  const auto settle = [&](std::uint32_t* docs, double* most, std::size_t count) {
    std::size_t kept = 0;
    for (std::size_t i = window_essential; count != 0 && i-- > 0;) {
      QueryTerm& term = terms[positive[i]];
      work += kSeedSeekCost * count;
      kept = 0;
      for (std::size_t j = 0; j < count; ++j) {
        const std::uint32_t doc = docs[j];
        const double sum = most[j] + held_weight(term, doc);
        docs[kept] = doc;
        most[kept] = sum;
        kept += static_cast<std::size_t>(!(sum + prefix[i] < cut));
      }
      count = kept;
    }
    // Each term of negative weight lowers the score: a document sure to be below the threshold
    // (with room for the rounding of sums of this magnitude, in any order) cannot enter.
    double* const magnitude = scratch.pending_magnitude.data();
    const bool lowered = pruning && !negative.empty();
    if (lowered) {
      for (std::size_t j = 0; j < count; ++j) magnitude[j] = std::fabs(most[j]);
      for (const std::size_t index : negative) {
        QueryTerm& term = terms[index];
        work += kSeedSeekCost * count;
        kept = 0;
        for (std::size_t j = 0; j < count; ++j) {
          const std::uint32_t doc = docs[j];
          const double contribution = held_weight(term, doc);
          const double sum = most[j] + contribution;
          const double size = magnitude[j] + std::fabs(contribution);
          docs[kept] = doc;
          most[kept] = sum;
          magnitude[kept] = size;
          kept += static_cast<std::size_t>(!(sum + size * 1e-9 < threshold));
        }
        count = kept;
      }
    }
    for (std::size_t j = 0; j < count; ++j) {
      // The threshold may have risen since: the most is still the document's.
      if (pruning && (lowered ? most[j] + magnitude[j] * 1e-9 < threshold : most[j] < cut)) continue;
      const std::uint32_t doc = docs[j];
      // Summed in token order, as a result's score is: the essential terms' postings found again
      // through their window cursors, the others' sought on from the last document scored.
      double score = 0.0;
      for (QueryTerm& term : terms) {
        double contribution = 0.0;
        if (term.order > window_essential) {
          while (term.window_cursor < term.cursor && term.view.docs[term.window_cursor] < doc) ++term.window_cursor;
          if (term.window_cursor < term.cursor && term.view.docs[term.window_cursor] == doc) {
            contribution = weigh(term, term.window_cursor, doc);
          }
        } else if (find(term, term.window_cursor, doc)) {
          contribution = weigh(term, term.window_cursor, doc);
        }
        score += contribution;
      }
      // The essential terms' postings were counted as the window read them.
      work += kSeedSeekCost * (terms.size() - (positive.size() - window_essential));
      offer(Scored{score, doc});
      if (heap.size() == columns && heap.front().score > threshold) raise_threshold(heap.front().score);
    }
  };
  if (positive.size() == 1) {
    // One term of positive weight: its blocks by descending bound, so that the threshold reaches
    // its last value after a few blocks, and the blocks left once the largest bound falls below it
    // are never read. Ids in the order of the list took 1.6 times the instructions on the novel's
    // single frequent words, 1.9 on the synthetic corpus's.
    const std::size_t index = positive[0];
    QueryTerm& term = terms[index];
    const std::shared_ptr<const BlockRanking> ranking =
        ranked_blocks(term.term, *term.blocks, by_length, &by_length == &factors_.by_length);
    const std::vector<std::uint32_t>& order = ranking->order;
    std::size_t next_block = 0;  // the negative terms' cursors are at most at this block's first id
    // A block's most is the weight times its share (rounding grows with the share, so this is the
    // largest of its slots' bounds to the bit), and no block of a later bucket bounds higher than
    // any of an earlier one.
    for (std::size_t bucket = 0; bucket < kBuckets; ++bucket) {
      if (ranking->start[bucket] == ranking->start[bucket + 1]) continue;
      if (pruning && below(term.weight * ranking->largest[bucket], threshold)) break;  // and every later bucket
      for (std::size_t at = ranking->start[bucket]; at < ranking->start[bucket + 1]; ++at) {
        const std::size_t block = order[at];
        if (pruning && below(term.weight * ranking->share[block], threshold)) continue;
        // The blocks come out of id order: the negative terms' lists are sought again from their
        // start for a block before the last one read (once a block, not once a document).
        if (block < next_block) {
          for (const std::size_t negative_index : negative) terms[negative_index].cursor = 0;
        }
        next_block = block + 1;
        const std::size_t begin = block * kBoundBlock;
        scan_block(index, block, begin, std::min(term.view.size, begin + kBoundBlock),
                   std::numeric_limits<std::uint64_t>::max());
      }
    }
    return heap.size() == columns && heap.front().score > 0.0 ? Outcome::settled : Outcome::all_offered;
  }
  // The first threshold: the k-th best exact score among the documents of the blocks that bound
  // highest in the term that bounds highest. Those k documents score at least that much, so the
  // k-th best of all does too, and no document of the result is passed over (pruning passes over
  // only those whose bound is below the threshold, and ties keep their place by id). Starting at
  // 0, the windows' loop raised the threshold one document at a time: the synthetic corpus's runs
  // offered 585 documents a query to the result, 234 from this threshold on, for 0.84 of the
  // instructions (0.76 to 0.81 on the other mixes of several words).
  const std::size_t seed_reads = std::max(columns, kBoundBlock);
  // Each seed seeks every term: not where that costs as much as reading every posting once (4%
  // more instructions for a query of the whole vocabulary, 11% for k of 90% of a list that
  // nearly every document holds).
  if (columns <= terms[positive.back()].view.size && seed_reads * terms.size() * kSeedSeekCost <= postings) {
    const QueryTerm& top = terms[positive.back()];
    std::vector<BlockOrder>& order = scratch.block_order;
    order.clear();
    for (std::size_t block = 0; block < top.blocks->last.size(); ++block) {
      order.push_back(BlockOrder{weight_bound(top.weight, top.blocks->bounds[block], average, b, k1),
                                 static_cast<std::uint32_t>(block)});
    }
    std::make_heap(order.begin(), order.end());
    std::vector<std::uint32_t>& seeds = scratch.seed_docs;
    seeds.clear();
    // k postings, or a block if more: more blocks, or the best blocks of the other terms as well,
    // raised the threshold little for what they cost.
    for (std::size_t read = 0; !order.empty() && read < seed_reads;) {
      std::pop_heap(order.begin(), order.end());
      const std::size_t begin = std::size_t{order.back().block} * kBoundBlock;
      order.pop_back();
      const std::size_t stop = std::min(top.view.size, begin + kBoundBlock);
      for (std::size_t at = begin; at < stop; ++at) {
        const std::uint32_t doc = top.view.docs[at];
        // A mapped file's postings are checked as they are read.
        if (doc >= id_count) throw damaged_posting(true);
        if (mask[doc] != 0) seeds.push_back(doc);
      }
      read += stop - begin;
    }
    // Ascending and each once, whatever a mapped file's pages hold now: a document counted twice
    // would raise the threshold past the k-th best.
    std::sort(seeds.begin(), seeds.end());
    seeds.erase(std::unique(seeds.begin(), seeds.end()), seeds.end());
    std::vector<double>& scores = scratch.seed_scores;
    scores.clear();
    scratch.seed_cursors.assign(terms.size(), 0);
    for (const std::uint32_t doc : seeds) {
      // Summed in token order, as a result's score is.
      double score = 0.0;
      for (std::size_t index = 0; index < terms.size(); ++index) {
        const QueryTerm& term = terms[index];
        std::size_t& at = scratch.seed_cursors[index];
        score += find(term, at, doc) ? weigh(term, at, doc) : 0.0;
      }
      if (!std::isnan(score)) scores.push_back(score);  // ranks below every number
    }
    if (scores.size() >= columns) {
      const auto kth = scores.begin() + static_cast<std::ptrdiff_t>(columns - 1);
      std::nth_element(scores.begin(), kth, scores.end(), std::greater<double>());
      if (*kth > 0.0) raise_threshold(*kth);
    }
  }
  for (;;) {
    // The window starts at the lowest id left in an essential term, so empty stretches cost nothing.
    // Wider than an id, so that a mapped file's id 2^32 - 1 is read (and refused), not taken for
    // the end of the lists.
    std::uint64_t lowest = std::numeric_limits<std::uint64_t>::max();
    std::size_t passed = 0;  // the essential terms' postings behind their cursors, of `listed`
    std::size_t listed = 0;
    for (std::size_t i = essential; i < positive.size(); ++i) {
      const QueryTerm& term = terms[positive[i]];
      if (term.cursor < term.view.size) lowest = std::min<std::uint64_t>(lowest, term.view.docs[term.cursor]);
      passed += term.cursor;
      listed += term.view.size;
    }
    if (lowest == std::numeric_limits<std::uint64_t>::max()) break;
    // Left to dense() once the work so far, over the share of the essential postings behind,
    // foretells more than 1.5 times what dense() costs (foretold from a 32nd of them on). Where
    // most documents hold the query's tokens with like frequencies, the bounds pass over few: on
    // the synthetic corpus's runs, each query repeated, this took 0.73 of the time (the novel's,
    // and the mixes of distinct tokens, the same), where 1 and 2 times took 0.77 and 0.78, 3 times
    // 0.90. The share of the ids behind foretold the same where ids hold the tokens evenly, but 3
    // to 5 times the time of finishing where the lists crowd into the first ids (tokens of the
    // first 5% of the documents alone): their postings read, it took the ids left for work to come.
    if (passed * 32 >= listed &&
        static_cast<double>(work) * static_cast<double>(listed) > 1.5 * dense_cost * static_cast<double>(passed)) {
      return Outcome::abandoned;
    }
    const auto first = static_cast<std::uint32_t>(lowest);
    const std::uint64_t end = lowest + kWindow;
    window_essential = essential;
    if (window_essential + 1 == positive.size()) {
      // One essential term: its postings are the window's documents, in order, each with its sum.
      // Skipping the accumulator took 0.95 of the time on the synthetic corpus (the same on the novel).
      const std::size_t index = positive.back();
      QueryTerm& term = terms[index];
      std::size_t at = term.cursor;
      while (at < term.view.size && term.view.docs[at] < end) {
        const std::size_t block = at / kBoundBlock;
        const std::size_t block_end = std::min(term.view.size, (block + 1) * kBoundBlock);
        // Skipped postings were checked when their block's bound was computed (a mapped file's).
        if (block_weight(term, block) + prefix[window_essential] < cut) {
          at = block_end;  // no document of the block can reach the threshold
          continue;
        }
        // Postings past the window's end passed over here would be passed over by the next
        // window too: it has this term alone essential, or none, and a threshold as high.
        const std::size_t from = at;
        at = scan_block(index, block, at, block_end, end);
        if (at == from) break;  // its id read past the window this time: only a mapped file changing
      }
      // The window starts at this term's id at its cursor, so a list that holds still moves on;
      // one that stalls is a mapped file changing under the query, which would loop for ever.
      if (at == term.cursor) throw damaged_posting(false);
      term.cursor = at;
      continue;
    }
    // The essential terms are those of the list bounds. Block bounds could pass over a whole window,
    // or leave a term out of one's essential terms where its blocks there bound low (as Lucene's
    // bulk scorer does), but a block's bound is nearly its list's on the benchmark's corpora: of
    // the postings these loops read on its mixes of several words, at most 0.04% were in windows the
    // block bounds pass over, and window by window they would have read 82-89% of them.
    std::size_t moved = 0;  // postings the window read
    const auto add_to_window = [&](std::uint32_t doc, double contribution) {
      const std::size_t slot = doc - first;
      const std::uint64_t bit = std::uint64_t{1} << (slot % 64);
      if ((bits[slot / 64] & bit) == 0) {
        bits[slot / 64] |= bit;
        sums[slot] = contribution;
      } else {
        sums[slot] += contribution;
      }
    };
    for (std::size_t i = window_essential; i < positive.size(); ++i) {
      QueryTerm& term = terms[positive[i]];
      term.window_cursor = term.cursor;
      std::size_t at = term.cursor;
      if (!mapped) {
        // An index in memory: its lists ascend, below id_count, by construction. Not testing them
        // took 0.98 of the instructions of the synthetic corpus's runs (0.985 on the novel's).
        for (; at < term.view.size; ++at) {
          const std::uint32_t doc = term.view.docs[at];
          if (doc >= end) break;
          if (mask[doc] == 0) continue;
          ++work;
          add_to_window(doc, weigh(term, at, doc));
        }
      } else {
        // The id before `at`, or -1: kept at hand rather than read again.
        std::int64_t previous = at > 0 ? std::int64_t{term.view.docs[at - 1]} : -1;
        for (; at < term.view.size; ++at) {
          const std::uint32_t doc = term.view.docs[at];
          if (doc >= end) break;
          // A mapped file's postings are checked as they are read, each id read once (the pages
          // may change between two reads): an id out of range, or one below the window's start
          // (ids out of order, or the window's first id changed since it was read), would index
          // outside the window's arrays.
          const bool ascending = std::int64_t{doc} > previous;
          previous = doc;
          if (doc >= id_count || !ascending || doc < first) {
            std::fill(bits, bits + kWindow / 64, 0);
            throw damaged_posting(doc >= id_count);
          }
          if (mask[doc] == 0) continue;
          ++work;
          add_to_window(doc, weigh(term, at, doc));
        }
      }
      moved += at - term.cursor;
      term.cursor = at;
    }
    // The window starts at an essential term's id at its cursor, so lists that hold still move on;
    // lists that stall are a mapped file changing under the query, which would loop for ever.
    if (moved == 0) throw damaged_posting(false);
    // The window's documents, a term at a time: those that may still enter kept in place, each
    // with the most it can score (without a branch on the outcome), then the few left scored in
    // token order and offered. Against completing each document through every term before the
    // next (a branch per term, taken or not by the data), this took 0.93 of the instructions and
    // 0.92 of the mispredicted branches on the synthetic corpus's runs (on the other mixes of
    // several words, as many instructions and 0.93-0.99 of the mispredictions). Until pruning
    // starts, each document goes alone: a batch would be read through every term before the k-th
    // score is known (a query of 50,000 tokens took 5 times as long).
    std::uint32_t* const pending = scratch.pending_docs.data();
    double* const most = scratch.pending_most.data();
    // Those the essential terms alone leave below the cut are dropped as they are gathered, where
    // settle passed over them all once more: 0.975-0.98 of the estimated cycles of the mixes of
    // several words. The cut only rises, so none of them could enter later.
    const double rest = prefix[window_essential];
    std::size_t count = 0;
    for (std::size_t word = 0; word < kWindow / 64; ++word) {
      for (std::uint64_t set = bits[word]; set != 0; set &= set - 1) {
        const std::size_t slot = word * 64 + static_cast<std::size_t>(__builtin_ctzll(set));
        pending[count] = static_cast<std::uint32_t>(first + slot);
        most[count] = sums[slot];
        count += static_cast<std::size_t>(!(sums[slot] + rest < cut));
      }
      bits[word] = 0;
    }
    for (std::size_t begin = 0; begin < count;) {
      const std::size_t batch = pruning ? count - begin : 1;
      settle(pending + begin, most + begin, batch);
      begin += batch;
    }
  }
  return heap.size() == columns && heap.front().score > 0.0 ? Outcome::settled : Outcome::all_offered;
}

SearchResults BM25Index::retrieve(const std::vector<Document>& queries, std::uint64_t k, unsigned threads,
                                  const std::vector<std::int64_t>* allow) const {
  return search(queries, k, threads, allow, nullptr, {});
}

CorpusStatistics BM25Index::corpus_statistics(const std::vector<Document>& queries) const {
  CorpusStatistics corpus;
  corpus.doc_count = model_.doc_count();
  corpus.doc_length_total = model_.doc_length_total();
  for (const Document& query : queries) {
    std::visit([&](const auto& tokens) { model_.append_token_counts(tokens, corpus.token_counts); }, query);
  }
  return corpus;
}

SearchResults BM25Index::retrieve(const std::vector<Document>& queries, std::uint64_t k, unsigned threads,
                                  const std::vector<std::int64_t>* allow, const CorpusStatistics& corpus) const {
  if (corpus.doc_count < static_cast<std::int64_t>(model_.doc_count()) ||
      corpus.doc_count == std::numeric_limits<std::int64_t>::max()) {
    throw std::invalid_argument("the corpus statistics hold fewer documents than this index (" +
                                std::to_string(corpus.doc_count) + " < " + std::to_string(model_.doc_count()) + ")");
  }
  if (corpus.doc_length_total < model_.doc_length_total()) {
    throw std::invalid_argument("the corpus statistics hold a shorter total length than this index (" +
                                std::to_string(corpus.doc_length_total) + " < " +
                                std::to_string(model_.doc_length_total()) + ")");
  }
  // Each query's counts, and this index's own to check them against.
  const CorpusStatistics own = corpus_statistics(queries);
  if (corpus.token_counts.size() != own.token_counts.size()) {
    throw std::invalid_argument("the corpus statistics hold " + std::to_string(corpus.token_counts.size()) +
                                " token counts, but these queries have " + std::to_string(own.token_counts.size()) +
                                " distinct tokens (statistics of other queries?)");
  }
  for (std::size_t at = 0; at < own.token_counts.size(); ++at) {
    if (corpus.token_counts[at] < own.token_counts[at]) {
      throw std::invalid_argument("the corpus statistics count a query token " + std::to_string(corpus.token_counts[at]) +
                                  " times, fewer than this index's " + std::to_string(own.token_counts[at]));
    }
  }
  std::vector<std::size_t> offsets;
  offsets.reserve(queries.size());
  std::size_t offset = 0;
  TokenCounts<std::string_view> text_counts;
  TokenCounts<std::int64_t> id_counts;
  for (const Document& query : queries) {
    offsets.push_back(offset);
    if (const auto* texts = std::get_if<TokenViews>(&query)) {
      text_counts.count(*texts);
      offset += text_counts.items().size();
    } else {
      id_counts.count(std::get<IdList>(query));
      offset += id_counts.items().size();
    }
  }
  return search(queries, k, threads, allow, &corpus, offsets);
}

SearchResults BM25Index::search(const std::vector<Document>& queries, std::uint64_t k, unsigned threads,
                                const std::vector<std::int64_t>* allow, const CorpusStatistics* corpus,
                                const std::vector<std::size_t>& offsets) const {
  if (k == 0) throw std::invalid_argument("k must be at least 1");
  // The documents a result may hold: the live ones, or the live ones of `allow`.
  std::vector<std::uint8_t> allowed_mask;
  std::size_t candidates = live_;
  if (allow != nullptr) {
    allowed_mask.assign(lengths_.size(), 0);
    candidates = 0;
    for (const std::int64_t id : *allow) {
      if (id < 0 || static_cast<std::uint64_t>(id) >= lengths_.size()) continue;
      const auto at = static_cast<std::size_t>(id);
      if (live_mask_[at] != 0 && allowed_mask[at] == 0) {
        allowed_mask[at] = 1;
        ++candidates;
      }
    }
  }
  const std::uint8_t* mask = allow != nullptr ? allowed_mask.data() : live_mask_.data();
  // dense() adds a window's postings as runs, untested against the mask, unless `allow` is given
  // (there the checked loop reads them one at a time: the fuzzer holds the runs against it). A
  // deleted document's sum is never offered, and its postings have left the lists anyway.
  const bool runs = allow == nullptr;
  SearchResults results;
  results.rows = queries.size();
  results.columns = static_cast<std::size_t>(std::min<std::uint64_t>(k, candidates));
  results.ids.resize(results.rows * results.columns);
  results.scores.resize(results.rows * results.columns);
  if (results.columns == 0) return results;
  const std::size_t columns = results.columns;
  const std::size_t id_count = lengths_.size();

  // Pruning needs document weights that grow with tf and shrink with the length: K > 0 and
  // increasing in the length, which b in [0, 1] and k1 > 0 give.
  const double b = model_.b();
  const double k1 = model_.k1();
  // The corpus's average as BM25's training computes it.
  const double average = corpus == nullptr ? model_.doc_length_average()
                                           : static_cast<double>(corpus->doc_length_total) /
                                                 static_cast<double>(corpus->doc_count);
  const bool prunable = b >= 0.0 && b <= 1.0 && k1 > 0.0 && std::isfinite(k1) && average > 0.0;
  const LengthFactors& own_factors = length_factors();
  std::vector<double> corpus_table;
  std::vector<double> corpus_by_id;
  if (corpus != nullptr) {
    corpus_table = length_table(average, b, k1, own_factors.longest);
    corpus_by_id.resize(id_count);
    for (std::size_t id = 0; id < id_count; ++id) corpus_by_id[id] = length_factor(lengths_[id], average, b, k1);
  }
  const std::vector<double>& by_length = corpus == nullptr ? own_factors.by_length : corpus_table;
  const std::vector<double>& by_id = corpus == nullptr ? own_factors.by_id : corpus_by_id;
  // Where K grows with the length (each operation rounds monotonically), every K is finite when
  // the longest document's is.
  const bool finite_factors = std::isfinite(length_factor(own_factors.longest, average, b, k1));

  // Documents that hold no query term score 0 and rank by id; when each other term's weight is
  // negative and every K finite, those holding one score below 0.
  const bool zero_scan = prunable && finite_factors;
  const double* const factors = by_id.data();

  parallel::parallel_for(queries.size(), threads, [&](std::size_t row) {
    const auto give = [this](QueryScratch* taken) { give_back(taken); };
    const std::unique_ptr<QueryScratch, decltype(give)> held(take_scratch(), give);
    QueryScratch& scratch = *held;
    // The query's tokens that the index holds, in ascending token order: each document's score
    // is summed in this order, whichever way it is found, so that equal documents score equally.
    std::vector<QueryTerm>& terms = scratch.terms;
    terms.clear();
    std::visit(
        [&](const auto& tokens) {
          const SparseWeights weights =
              corpus == nullptr ? model_.encode_query(tokens)
                                : model_.encode_query(tokens, corpus->doc_count, corpus->token_counts.data() + offsets[row]);
          for (const TokenWeight& entry : weights) {
            const Key key(tokens[entry.position]);
            const std::size_t term = terms_.find(key.view);
            if (term == TokenTable::npos) continue;
            terms.push_back(QueryTerm{entry.weight, 0.0, postings(term), term, 0, 0});
          }
        },
        queries[row]);
    // K per document: K by length from the table (the length, then its K) took 1.5-2 more
    // instructions a posting, 3-9% of the multi-word queries'. Nor did tf / (tf + K) looked up by
    // tf and length (the same bits, no division) measure faster: 0.94-1.07 of the time by mix.
    const auto weigh = [&](const QueryTerm& term, std::size_t at, std::uint32_t doc) {
      const double tf = static_cast<double>(term_frequency(term.term, doc, term.view.tfs[at]));
      return posting_weight(term.weight, tf, factors[doc]);
    };
    std::vector<Scored>& heap = scratch.heap;
    // A lambda, not the function itself: through a function pointer GCC called better() for each
    // comparison (0.95 of the instructions of single frequent words).
    const auto ranks_above = [](const Scored& left, const Scored& right) { return better(left, right); };
    const auto offer = [&](const Scored& candidate) {
      if (heap.size() < columns) {
        heap.push_back(candidate);
        std::push_heap(heap.begin(), heap.end(), ranks_above);
      } else if (better(candidate, heap.front())) {
        replace_worst(heap, candidate);
      }
    };
    heap.clear();
    // Lists of positive weight that hold 1.5 postings per id or more together, none of them short:
    // dense() from the start, as the first windows would be spent before the test above gives up
    // on them (the synthetic corpus's runs: 0.95 of the time of that test alone). A short list
    // keeps MaxScore: a rare word carries most of the weight there, and its few documents set a
    // threshold that passes over most of the others (the novel's runs of particles, quotation
    // marks and one name: a fifth of dense()'s time or less).
    std::size_t positive_postings = 0;
    std::size_t shortest = id_count;
    for (const QueryTerm& term : terms) {
      if (term.weight > 0.0) {
        positive_postings += term.view.size;
        shortest = std::min(shortest, term.view.size);
      }
    }
    const bool dense_first = 2 * positive_postings >= 3 * id_count && 8 * shortest >= id_count && 2 * candidates >= id_count;
    if ((dense_first || !prunable) && mapping_) {
      // A mapped file's lists refused as max_score refuses them (a term frequency of 0, a bound
      // that disagrees), whichever way the query goes, and whatever the model: once per term.
      scratch.own_blocks.clear();
      for (const QueryTerm& term : terms) checked_blocks(term.term, scratch.own_blocks);
    }
    const Outcome outcome = prunable && !dense_first
                                ? max_score(terms, scratch, mask, id_count, columns, average, by_length, weigh, offer)
                                : Outcome::abandoned;
    bool settled = outcome == Outcome::settled;
    if (outcome == Outcome::all_offered && zero_scan && terms.size() <= kZeroScanTerms &&
        std::all_of(terms.begin(), terms.end(), [](const QueryTerm& term) { return term.weight > 0.0 || term.weight < 0.0; })) {
      settled = offer_unmatched(terms, scratch, mask, id_count, columns, offer);
    }
    if (!settled) {
      heap.clear();
      dense(terms, scratch, mask, runs, mapping_ == nullptr, id_count, columns, factors, weigh, offer);
    }
    std::sort_heap(heap.begin(), heap.end(), ranks_above);
    for (std::size_t column = 0; column < heap.size(); ++column) {
      results.ids[row * columns + column] = heap[column].id;
      results.scores[row * columns + column] = heap[column].score;
    }
  });
  return results;
}

}  // namespace lumo::typing::text
