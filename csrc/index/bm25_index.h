// BM25Index: a BM25 model with the postings of its documents, answering exact top-k queries with
// the model as it stands, so that adding or deleting documents re-weights every document.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bm25.h"

namespace lumo::typing::text {

// A document id that is not live (never given, or deleted); id() names it.
class UnknownDocument : public std::out_of_range {
 public:
  explicit UnknownDocument(std::int64_t id);
  std::int64_t id() const noexcept { return id_; }

 private:
  std::int64_t id_;
};

// The answer to a batch of queries: rows x columns ids and scores, each row best first.
struct SearchResults {
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::vector<std::int64_t> ids;
  std::vector<double> scores;
};

// What scores need of the corpus beyond each document's own postings: its document count, its
// total length and, for a batch of queries, each query token's occurrences. Shards of one corpus
// report theirs (BM25Index::corpus_statistics); summed, they let each shard score as one index of
// the whole corpus would.
struct CorpusStatistics {
  std::int64_t doc_count = 0;
  std::int64_t doc_length_total = 0;
  // Per query of the batch in turn, per distinct token in ascending token order (bytes, or id
  // values; the order of encode_query's entries), its occurrences over the corpus.
  std::vector<std::int64_t> token_counts;
};

// Read-only bytes of a mapped file; unmapped when the last index sharing them goes.
struct MappedFile;
// A query's working state in retrieve.
struct QueryTerm;
struct QueryScratch;

// A text document counted before it reaches the index (add_texts counts on the threads that cut
// the texts): its distinct tokens in the order of their first occurrence, each with its term
// frequency and TokenHash, and its length (the sum of the frequencies).
struct CountedToken {
  std::string_view token;
  std::size_t hash;  // TokenHash{}(token)
  std::uint32_t count;
};
struct CountedDocument {
  std::vector<CountedToken> tokens;
  std::uint32_t length = 0;
};

// Not thread-safe for changes: retrieve may run on many threads at once, but add, remove and
// merge need the index to themselves (the Python binding refuses them while a retrieve runs).
class BM25Index {
 public:
  // Ids are 32-bit inside: an index names at most this many documents over its life.
  static constexpr std::uint64_t kMaxDocuments = 4294967294u;

  BM25Index(double b, double k1);

  // Trains the model with `docs` and indexes them under consecutive ids; returns the first id.
  // All or nothing: throws DocumentError as BM25::train_batch does, std::length_error when the
  // ids would pass kMaxDocuments.
  std::int64_t add(const std::vector<Document>& docs);
  // add of the documents the counts describe, to the byte: each of them as a TokenViews holding
  // its tokens in any order. Throws as add does (DocumentError for an empty one).
  std::int64_t add(const std::vector<CountedDocument>& docs);
  // Removes the documents (an id given twice counts once); the model becomes that of the rest.
  // All or nothing: throws UnknownDocument for the first id that is not live.
  void remove(const std::vector<std::int64_t>& ids);
  // Appends the documents of `other` (which may be this index), ids shifted by next_id(), each
  // keeping its liveness; the models merged as BM25::merge does. Throws std::length_error when
  // the ids would pass kMaxDocuments, and BM25::merge's errors, with the index unchanged.
  void merge(const BM25Index& other);

  // For each query, the min(k, n) live documents (of `allow`, when given) with the highest
  // score(q, d) = sum over t of encode_query(q)[t] * encode_document(d)[t], ties to the lower
  // id, on up to `threads` threads (0: every usable processor). Throws std::invalid_argument for
  // k = 0, and for a mapped file whose postings turn out damaged.
  SearchResults retrieve(const std::vector<Document>& queries, std::uint64_t k, unsigned threads,
                         const std::vector<std::int64_t>* allow) const;
  // This index's statistics for the batch: its live documents, their total length and its counts
  // of the queries' tokens.
  CorpusStatistics corpus_statistics(const std::vector<Document>& queries) const;
  // retrieve with the corpus's figures in place of the index's own (in the query weights and in
  // K's average length): this index's documents scored as an index of the whole corpus scores
  // them, bit for bit. Throws std::invalid_argument for figures that cannot hold this index's
  // (fewer documents, a shorter total, a count below this index's own, negative values, or a
  // token_counts that does not match the batch), and as retrieve.
  SearchResults retrieve(const std::vector<Document>& queries, std::uint64_t k, unsigned threads,
                         const std::vector<std::int64_t>* allow, const CorpusStatistics& corpus) const;

  // Computes what queries need after a change (retrieve does it too, under a lock of its own). The
  // Python binding calls it holding the interpreter lock, so that a fork never finds that lock
  // taken by another thread.
  void prepare() const { length_factors(); }

  // True while a change alters the index (a forked child's copy of it is then incomplete).
  bool changing() const noexcept { return changing_.value.load(std::memory_order_relaxed); }

  std::size_t size() const noexcept { return live_; }  // live documents
  bool live(std::int64_t id) const noexcept {
    return id >= 0 && static_cast<std::uint64_t>(id) < lengths_.size() && live_mask_[static_cast<std::size_t>(id)] != 0;
  }
  std::uint64_t next_id() const noexcept { return lengths_.size(); }
  const BM25& model() const noexcept { return model_; }
  std::size_t posting_count() const noexcept;
  // Bytes the index holds in memory (model aside; a mapped index counts its mapped postings).
  std::size_t memory_bytes() const noexcept;

  // The index file's bytes: equal indexes (same live documents and ids) give equal bytes.
  std::string serialize() const;
  // Writes serialize() to a temporary name beside `path` and renames it into place. Throws
  // std::system_error when the file cannot be written.
  void save(const std::string& path) const;
  // An index from a file's bytes, copied and fully checked. Throws std::invalid_argument naming
  // what is wrong.
  static BM25Index from_bytes(std::string_view bytes);
  // Reads the file at `path` (a regular file only). With `map`, the postings stay in the file,
  // mapped read-only and paged in as queries touch them; their contents are then checked as
  // they are read, and in full before the first change. Throws std::invalid_argument for bytes
  // that are not an index or a path that is not a regular file, std::system_error for I/O.
  static BM25Index load(const std::string& path, bool map);

  static constexpr std::uint8_t kTfEscape = 255;  // a stored tf that says: the value is in overflow_
  // One token's postings, ids ascending, read in place (owned or mapped).
  struct Postings {
    std::vector<std::uint32_t> docs;  // ascending ids
    std::vector<std::uint8_t> tfs;    // term frequency; kTfEscape: the value is in overflow_
  };
  // What bounds a token's document weight tf / (tf + K) from above: its largest term frequency
  // and the shortest document holding it (K grows with the length for b in [0, 1]).
  struct TermBound {
    std::uint32_t max_tf;
    std::uint32_t min_length;
  };
  struct View {
    const std::uint32_t* docs;
    const std::uint8_t* tfs;
    std::size_t size;
  };
  // Postings a block bound covers: 64 measured faster than 32 and 128 on single frequent words.
  static constexpr std::size_t kBoundBlock = 64;
  // Term frequencies below this get their own bound per block; the last slot holds the larger
  // ones (most are 1 or 2).
  static constexpr std::uint32_t kTfSlots = 8;
  // No posting of a block has the slot's term frequency.
  static constexpr std::uint16_t kNoPosting = 0;
  // Lengths a query's table of K holds (512 KiB at most): longer documents have theirs computed
  // where used.
  static constexpr std::size_t kLengthTable = 65536;
  // Per block of kBoundBlock postings of a token (by position), its last id and its TermBound.
  // They bound the block's document weights for any average length, so they need no update when
  // the average moves. A change drops the blocks it makes wrong (add and merge the last one,
  // deletions those from the first change on) and the first query that uses the token builds the
  // rest.
  // Per block also, per slot of term frequency (tf 1 to kTfSlots - 1, then kTfSlots or more), the
  // shortest document of its postings with that tf, at most 65535 (a lower bound still), or
  // kNoPosting: the most a block gives is the largest of its slots' bounds, which with one bound
  // of the largest tf and the shortest length together left five times as many blocks of the
  // novel's frequent words above the k-th best score.
  //
  // Lists that hold at least one id in kDenseShare have, besides, a bit per id, set for the ids
  // they hold, and per word of bits the count of their postings below its first id: where a
  // document stands in such a list is then two reads away, where seeking it read a line of ids
  // per step of galloping and of the binary search after it (the runs of the synthetic corpus
  // sought their frequent tokens' lists for every candidate, 200 postings on at a time: 0.71 of
  // the time with the bits, 0.64-0.85 on the other mixes of several words, 0.68-0.77 on a corpus
  // of 1,000,000). Sparser lists have neither: the bits take 0.19 bytes per id, at most 1.5 per
  // posting of the sparsest list that has them (0.15 per posting of the synthetic corpus). Bits
  // for lists of a quarter or of a thirty-second of the ids measured no better across the mixes.
  struct Blocks {
    std::vector<std::uint32_t> last;
    std::vector<TermBound> bounds;
    std::vector<std::array<std::uint16_t, kTfSlots>> shortest;
    std::vector<std::uint64_t> present;
    std::vector<std::uint32_t> below;  // one more than the words: the last counts every posting
  };
  static constexpr std::size_t kDenseShare = 8;
  // Whether a list of `postings` postings over `ids` ids has the bits (what add and merge reserve
  // for them must be what computed_blocks builds).
  static bool dense_list(std::size_t postings, std::size_t ids) noexcept { return postings * kDenseShare >= ids; }
  // Whether a list with `present` bits holds `doc`, and the position there of the first id not
  // below it.
  static bool locate(const Blocks& blocks, std::uint32_t doc, std::size_t& at) noexcept {
    const std::size_t word = doc / 64;
    if (word >= blocks.present.size()) {
      at = blocks.below.back();
      return false;
    }
    const std::uint64_t bits = blocks.present[word];
    const std::uint64_t bit = std::uint64_t{1} << (doc % 64);
    at = blocks.below[word] + ones(bits & (bit - 1));
    return (bits & bit) != 0;
  }
  // The bits set in `bits`. GCC's __builtin_popcountll is a call to a function that counts with
  // a table where the target lacks the popcnt instruction, as x86-64's baseline does.
  static std::uint32_t ones(std::uint64_t bits) noexcept {
    bits -= (bits >> 1) & 0x5555555555555555u;
    bits = (bits & 0x3333333333333333u) + ((bits >> 2) & 0x3333333333333333u);
    bits = (bits + (bits >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<std::uint32_t>((bits * 0x0101010101010101u) >> 56);
  }
  // A token's block bounds, whose bound must cover every posting of its block (none when the
  // index lacks the token). Throws as retrieve does for a mapped file's damaged postings.
  Blocks token_blocks(std::string_view token) const;
  // weight x tf / (tf + K(len)) at a bound's largest tf and smallest length, K computed with
  // `average` as encode_document computes it: what pruning takes a block's most to be.
  static double weight_bound(double weight, const TermBound& bound, double average, double b, double k1) noexcept;
  // K = ((len / average) * b + (1 - b)) * k1 of each length from 0 to `longest` (at most
  // kLengthTable - 1), as encode_document computes it.
  static std::vector<double> length_table(double average, double b, double k1, std::uint32_t longest);
  // weight_bound of the postings of a block's tf slot (0 for tf 1, kTfSlots - 1 for kTfSlots or
  // more) at the slot's tf (the block's largest for the last) and shortest length, K from
  // `by_length` (a length past its end taking its last K, no larger); 0 for a slot without postings.
  static double slot_bound(double weight, const Blocks& blocks, std::size_t block, std::uint32_t slot,
                           const std::vector<double>& by_length) noexcept {
    const std::uint16_t shortest = blocks.shortest[block][slot];
    if (shortest == kNoPosting) return 0.0;
    const double tf = static_cast<double>(slot + 1 < kTfSlots ? slot + 1 : blocks.bounds[block].max_tf);
    const double factor = by_length[std::min<std::size_t>(shortest, by_length.size() - 1)];
    return weight * (0.0 + tf / (tf + factor));  // weight_bound's expression
  }

 private:
  View postings(std::size_t term) const noexcept;
  // add's postings, found, into the index: room first, then the model's training (`train_batch`
  // where the batch's totals cannot train it, to name the document at fault), then what cannot fail.
  struct PendingBatch;
  template <class TrainBatch>
  std::int64_t commit(PendingBatch& found, const TrainBatch& train_batch);
  // Drops blocks_[term] from the block holding posting `from` on, for checked_blocks to build.
  void stale_blocks(std::size_t term, std::size_t from) noexcept;
  // computed_blocks' bits of a dense list, from posting `from` on (the bits of the ids before it stand).
  void mark_present(const View& view, std::size_t from, Blocks& blocks) const;
  // Builds a stale token's blocks on from those that stand (allocating only past their capacity).
  void extend_blocks(std::size_t term) const;
  // Whether add and merge build a list's blocks themselves: when the batch brings a block or more
  // and at least doubles the list, so that their cost stays of the order of the batch's. Other
  // lists are left for the first query that uses them, which reads their last block and the new
  // postings (a loop of adding 100 documents to 100,000 then querying 10 times took 1.22 times as
  // long as before block bounds when add extended every list it touched).
  static bool blocks_now(std::size_t before, std::size_t batch) noexcept {
    return batch >= before && batch >= kBoundBlock;
  }
  void stale_all_blocks();
  // The blocks of the postings as read: throws std::invalid_argument for an id out of range or
  // out of order (a mapped file's postings, which are checked as queries read them).
  Blocks computed_blocks(std::size_t term, std::size_t from, Blocks blocks) const;
  // A query's working memory, kept by the index so that it goes with the index.
  // (a scratch taken is the caller's until it gives it back).
  QueryScratch* take_scratch() const;
  void give_back(QueryScratch* scratch) const noexcept;
  // Ids max_score scores at once, its accumulator 16 KiB: 1024 and 4096 measured the same, 8192 slower.
  static constexpr std::size_t kWindow = 2048;
  // Up to this many query tokens, a query that few documents match is completed by walking the
  // lists for the documents that match none; more would make that walk cost tokens x ids.
  static constexpr std::size_t kZeroScanTerms = 16;
  enum class Outcome { settled, all_offered, abandoned };
  template <class Weigh, class Offer>
  Outcome max_score(std::vector<QueryTerm>& terms, QueryScratch& scratch, const std::uint8_t* mask,
                 std::size_t id_count, std::size_t columns, double average, const std::vector<double>& by_length,
                 const Weigh& weigh, const Offer& offer) const;
  // retrieve, with the index's own figures when `corpus` is null; `offsets` (per query, where its
  // counts begin in corpus->token_counts) comes with it.
  SearchResults search(const std::vector<Document>& queries, std::uint64_t k, unsigned threads,
                       const std::vector<std::int64_t>* allow, const CorpusStatistics* corpus,
                       const std::vector<std::size_t>& offsets) const;
  // Inline: the scoring loops call it per posting, and the large frequencies are rare.
  std::uint32_t term_frequency(std::size_t term, std::uint32_t doc, std::uint8_t stored) const noexcept {
    return stored != kTfEscape ? stored : large_term_frequency(term, doc);
  }
  std::uint32_t large_term_frequency(std::size_t term, std::uint32_t doc) const noexcept;
  static std::uint64_t overflow_key(std::size_t term, std::uint32_t doc) noexcept {
    return static_cast<std::uint64_t>(term) << 32 | doc;
  }
  // Up to this many documents, remove searches each list for them instead of reading it whole.
  static constexpr std::size_t kFewDeleted = 64;
  // remove for a few documents, in time of the lists they are in (and a search of each list);
  // false, with nothing changed, when a token would lose its last posting.
  bool remove_few(std::int64_t doomed_count, std::int64_t doomed_length, const std::vector<std::uint8_t>& doomed);
  // A token's bound as its postings give it now (bounds_ may be looser after a few deletions).
  TermBound exact_bound(std::size_t term) const noexcept;
  // A token's blocks for pruning, its bound being bounds_[term], built by the first query that
  // uses the token after a change. A mapped file's bounds are not trusted: that query also checks
  // its bound against its postings (a file whose bound disagrees raises std::invalid_argument
  // instead of pruning away documents that belong in the result). A query that finds another
  // building them builds its own in `own` rather than wait, so that nothing waits on a lock a fork
  // may have copied taken.
  const Blocks& checked_blocks(std::size_t term, std::deque<Blocks>& own) const;
  void materialize();          // copies mapped postings into owned memory, checking them
  void check_postings() const;  // throws std::invalid_argument for postings that disagree with the rest
  void refresh_factors() noexcept {
    factors_.ready = false;
    rankings_.drop();
  }
  struct LengthFactors;
  const LengthFactors& length_factors() const;
  static BM25Index parse(std::string_view bytes, std::shared_ptr<const MappedFile> mapping);
  // The file's bytes in order into `out` (append, size), for serialize and a streaming save.
  template <class Sink>
  void write_file(Sink& out) const;
  std::size_t file_size_bound() const noexcept;  // at least the file's size, for a reserve

  BM25 model_;
  TokenTable terms_;  // token -> term number (its entry index); counts unused
  std::vector<Postings> owned_;  // per term, when not mapped
  // When mapped: per term its postings' range in the mapped arrays.
  std::shared_ptr<const MappedFile> mapping_;
  std::vector<std::uint64_t> mapped_offsets_;
  const std::uint32_t* mapped_docs_ = nullptr;
  const std::uint8_t* mapped_tfs_ = nullptr;
  std::vector<TermBound> bounds_;  // per term: exact, or looser after remove_few
  // checked_blocks' states of a token's blocks.
  static constexpr std::uint8_t kBlocksStale = 0;  // complete blocks of a prefix only (or unchecked)
  static constexpr std::uint8_t kBlocksBuilding = 1;
  static constexpr std::uint8_t kBlocksBuilt = 2;
  // Per term, when not mapped: its blocks and their state.
  struct OwnedBlocks {
    Blocks blocks;
    std::atomic<std::uint8_t> state{kBlocksStale};
    OwnedBlocks() = default;
    // Changes and copies have the index to themselves: no query is building blocks meanwhile. A
    // fork's copy of blocks being built is dropped.
    OwnedBlocks(const OwnedBlocks& other) : state(other.state.load(std::memory_order_relaxed)) {
      if (state.load(std::memory_order_relaxed) == kBlocksBuilding) {
        state.store(kBlocksStale, std::memory_order_relaxed);
      } else {
        blocks = other.blocks;
      }
    }
    OwnedBlocks(OwnedBlocks&& other) noexcept
        : blocks(std::move(other.blocks)), state(other.state.load(std::memory_order_relaxed)) {}
    OwnedBlocks& operator=(OwnedBlocks&& other) noexcept {
      blocks = std::move(other.blocks);
      state.store(other.state.load(std::memory_order_relaxed), std::memory_order_relaxed);
      return *this;
    }
    OwnedBlocks& operator=(const OwnedBlocks& other) {
      if (this != &other) *this = OwnedBlocks(other);
      return *this;
    }
  };
  mutable std::vector<OwnedBlocks> blocks_;
  // When mapped: per term its blocks, and whether checked_blocks has checked and built them,
  // shared by the copies of the index, which share the postings.
  struct MappedBlocks {
    std::unique_ptr<std::atomic<std::uint8_t>[]> checked;
    std::vector<Blocks> blocks;
  };
  std::shared_ptr<MappedBlocks> mapped_blocks_;
  std::unordered_map<std::uint64_t, std::uint32_t> overflow_;  // (term, doc) -> tf of kTfEscape or more
  std::vector<std::uint32_t> lengths_;  // per id its length; 0 for a deleted document
  std::vector<std::uint8_t> live_mask_;
  // K = ((len / doc_length_average) * b + (1 - b)) * k1, as encode_document computes it, per id
  // and per length from 0 to the longest document's (at most kLengthTable - 1). The average moves
  // with every change, so they are computed again by the first query after one (not by the
  // change: adding documents one at a time would then cost the whole index each).
  struct LengthFactors {
    std::vector<double> by_id;      // per id, what weighs postings
    std::vector<double> by_length;  // what the blocks' tf slots are bounded with
    std::uint32_t longest = 0;  // the longest document's length
    // Per term, peak_share with K from by_length once a query has found it since the last change:
    // the generation it was found in, then the share rounded up to a float, in one word (queries
    // that meet on a term store the same). A change moves to the next generation, so it costs
    // nothing per term (resetting a vocabulary of 2,000,000 took 2 ms a change); the array only
    // grows, by half at least.
    std::unique_ptr<std::atomic<std::uint64_t>[]> peaks;
    std::size_t peak_capacity = 0;
    std::uint32_t generation = 0;  // of by_id and by_length; entries of 0 are unset
    std::atomic<bool> ready{false};
    std::mutex lock;  // queries run in parallel; one of them computes
    LengthFactors() = default;
    // Copies start unready: the first query computes them again.
    LengthFactors(const LengthFactors& other)
        : by_id(other.by_id), by_length(other.by_length), longest(other.longest) {}
    LengthFactors& operator=(const LengthFactors& other) {
      by_id = other.by_id;
      by_length = other.by_length;
      longest = other.longest;
      ready = false;
      return *this;
    }
  };
  mutable LengthFactors factors_;
  // Per token queried alone: its blocks ranked by the most a posting of each adds per unit of
  // query weight (a division per tf slot and block, and a sort), which no query weight changes. A
  // change drops them all (the average length moves), and the first query after builds each
  // again. Kept, the novel's single frequent words took 0.63 of the time, the synthetic corpus's
  // 0.33 (ranked by every query, as before, most of it went there).
  static constexpr std::size_t kBuckets = 64;  // of share, from the highest down to 0
  struct BlockRanking {
    std::vector<double> share;         // per block: the largest of its slots' bounds at weight 1
    std::vector<std::uint32_t> order;  // the blocks by bucket of share, the highest first; by id within
    std::array<std::size_t, kBuckets + 1> start{};  // where each bucket starts in `order`
    std::array<double, kBuckets> largest{};         // each bucket's largest share
  };
  // A lock of the rankings or the scratch pool, tried a few times: its holders only find, insert,
  // take or count, so it is soon free. Never waited for: a fork while another thread holds it
  // leaves it taken in the child, whose queries then do without. Given up at once, 0.6-1% of the
  // lookups of two threads on single frequent words met the other's and ranked again, about a
  // query's time each; and a few percent of their queries allocated scratch afresh (threads=2
  // over threads=1 read 1.51-1.77 there, 1.78-1.85 tried a few times).
  static bool take_soon(std::unique_lock<std::mutex>& guard) noexcept {
    for (int attempt = 0; attempt < 64; ++attempt) {
      if (guard.try_lock()) return true;
    }
    return false;
  }
  struct Rankings {
    using Map = std::unordered_map<std::size_t, std::shared_ptr<const BlockRanking>>;
    std::mutex lock;  // only tried (take_soon), never waited for, as the scratch pool's
    std::unique_ptr<Map> by_term = std::make_unique<Map>();
    Rankings() = default;
    Rankings(const Rankings&) : Rankings() {}  // a copy starts empty
    Rankings& operator=(const Rankings&) noexcept {
      drop();
      return *this;
    }
    // Changes have the index to themselves, so the lock is free, but in a child forked while a
    // query held it: the map may be half-changed there, so it is left untouched (and the lock,
    // taken for good, keeps the child's queries from it).
    void drop() noexcept {
      const std::unique_lock<std::mutex> guard(lock, std::try_to_lock);
      if (!guard.owns_lock()) static_cast<void>(by_term.release());
      else if (by_term) by_term->clear();
    }
  };
  mutable Rankings rankings_;
  // `blocks`' ranking (those of `term`, K from `by_length`), kept for the next query when `keep`.
  std::shared_ptr<const BlockRanking> ranked_blocks(std::size_t term, const Blocks& blocks,
                                                    const std::vector<double>& by_length, bool keep) const;
  // The most a posting of a block adds per unit of query weight: the largest of its slots' bounds.
  static double block_share(const Blocks& blocks, std::size_t block, const std::vector<double>& by_length) noexcept;
  // At least the largest block_share of `term`'s blocks: kept until the next change where K comes
  // from the index's own figures; otherwise found per query for a short list, and infinity (no
  // bound) for a longer one, whose blocks would cost the query a division each.
  double peak_share(std::size_t term, const Blocks& blocks, const std::vector<double>& by_length) const;
  // Scratch of the queries that ran, for the next ones; freed with the index (a thread's own
  // scratch would keep the largest index's size for the life of the thread). A copy starts empty.
  struct ScratchPool {
    std::mutex lock;
    // Behind a pointer, as the rankings' map: a child forked while a query held the lock may find
    // it half-grown, and then leaves it untouched (see clear).
    std::unique_ptr<std::vector<QueryScratch*>> free = std::make_unique<std::vector<QueryScratch*>>();
    ScratchPool() = default;
    ScratchPool(const ScratchPool&) : ScratchPool() {}
    ScratchPool& operator=(const ScratchPool&) noexcept;
    ~ScratchPool();
    void clear() noexcept;
  };
  mutable ScratchPool scratch_pool_;
  std::size_t live_ = 0;
  // Set around the part of add, remove and merge that alters the index; a copy starts unset.
  struct ChangeFlag {
    std::atomic<bool> value{false};
    ChangeFlag() = default;
    ChangeFlag(const ChangeFlag&) noexcept {}
    ChangeFlag& operator=(const ChangeFlag&) noexcept { return *this; }
  };
  ChangeFlag changing_;
  class Changing;
};

}  // namespace lumo::typing::text
