// BM25: the sparse encoder's model record, incremental training, encoding and persistence.
#pragma once

#include <cstdint>
#include <string>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "token_table.h"

namespace lumo::typing::text {

using TokenViews = std::vector<std::string_view>;
using IdList = std::vector<std::int64_t>;
// One document of a batch: its tokens as text, or as integer ids.
using Document = std::variant<TokenViews, IdList>;
inline std::size_t document_length(const Document& doc) {
  return std::visit([](const auto& tokens) { return tokens.size(); }, doc);
}

// One entry of a sparse vector: the weight of the token at `position` of the encoded list (its
// first occurrence there), so that a caller reaches the token, or the object it came from, in
// its own list. Vectors hold their entries in ascending token order (bytes, or id values).
struct TokenWeight {
  std::uint32_t position;
  double weight;
};
using SparseWeights = std::vector<TokenWeight>;

// Sparse rows in compressed form (row i is entries indptr[i] to indptr[i + 1]), columns ascending
// within a row and distinct.
struct CsrRows {
  std::vector<std::int64_t> indptr;
  std::vector<std::int64_t> indices;
  std::vector<float> data;
};

// The columns of sparse rows: 0 to 2^32 - 2, the range vector databases take.
inline constexpr std::int64_t kMaxColumn = 4294967294;

// The failure of one document of a batch: what() is "document <index>: <the message the
// single-document call gives>".
class DocumentError : public std::runtime_error {
 public:
  DocumentError(std::size_t index, const std::string& message);
  std::size_t index() const noexcept { return index_; }

 private:
  std::size_t index_;
};

struct TrainScratch;  // per-thread working memory of train
// A weight on its way into a sparse row: its column and the position of its token.
struct CsrCell {
  std::int64_t column;
  std::uint32_t position;
  double weight;
};

// Not thread-safe: callers serialise access (the Python binding holds the interpreter lock).
class BM25 {
 public:
  BM25(double b, double k1);

  double b() const noexcept { return b_; }
  void b(double value) noexcept { b_ = value; }
  double k1() const noexcept { return k1_; }
  void k1(double value) noexcept { k1_ = value; }

  // Adds one document. Throws std::runtime_error, with the model unchanged, for an empty list or
  // when a counter would pass its width (doc_count, a token's count, doc_length_total).
  void train(const std::vector<std::string>& tokens_vec);
  void train(const TokenViews& tokens_vec);
  void train(const std::vector<std::int64_t>& tokens_vec);

  // Saturated, length-normalised term frequency per distinct token: tf / (tf + K), with
  // K = ((len / doc_length_average) * b + (1 - b)) * k1. Throws std::runtime_error
  // "BM25 has not been initialized" for a non-empty list on an untrained model.
  SparseWeights encode_document(const TokenViews& tokens_vec) const;
  SparseWeights encode_document(const std::vector<std::int64_t>& tokens_vec) const;

  // idf per distinct token, normalised to sum to one. Throws as encode_document.
  SparseWeights encode_query(const TokenViews& tokens_vec) const;
  SparseWeights encode_query(const std::vector<std::int64_t>& tokens_vec) const;

  // encode_query's weights for a corpus of `doc_count` documents in which the i-th distinct
  // token of the list, in ascending token order, occurs counts[i] times (0: absent): the same
  // expressions as encode_query, so that a model of that corpus gives the same bits. `counts`
  // holds one entry per distinct token; the caller checks the figures (the model's own are unused).
  SparseWeights encode_query(const TokenViews& tokens_vec, std::int64_t doc_count, const std::int64_t* counts) const;
  SparseWeights encode_query(const std::vector<std::int64_t>& tokens_vec, std::int64_t doc_count,
                             const std::int64_t* counts) const;
  // Appends to `counts` each distinct token's occurrence count in the model (0 when absent), in
  // ascending token order: the order of encode_query's entries. Any model, trained or not.
  void append_token_counts(const TokenViews& tokens_vec, std::vector<std::int64_t>& counts) const;
  void append_token_counts(const std::vector<std::int64_t>& tokens_vec, std::vector<std::int64_t>& counts) const;

  // Trains every document in order, as train would one after the other, or none of them: for a
  // document that train would refuse (empty, or a counter passing its width) it throws
  // DocumentError with the model unchanged.
  void train_batch(const std::vector<Document>& docs);
  // What a batch of text documents adds to one token: its occurrences over the whole batch.
  struct TokenTotal {
    std::string_view token;
    std::size_t hash;  // TokenHash{}(token)
    std::int64_t count;
  };
  // train_batch of `doc_count` text documents of `length_total` tokens in all, given the batch's
  // distinct tokens with their totals in the order of their first occurrence (the order train
  // inserts new tokens in): one table lookup per token of the batch instead of one per token of
  // each document. Returns false, with the model unchanged, where a check fails (an empty
  // document is the caller's to refuse); train_batch then names the document at fault.
  bool train_totals(std::size_t doc_count, std::int64_t length_total, const std::vector<TokenTotal>& totals);

  // The weights of encode_document (or encode_query) of each document as sparse rows, on up to
  // `threads` threads (0: every usable processor): a text token's column is token_index(token),
  // an id's column is the id itself, and tokens of one document sharing a column add their
  // weights (in ascending token order, before rounding to float). Throws std::invalid_argument
  // for an id outside 0..kMaxColumn, and as the single-document calls do.
  CsrRows encode_documents_csr(const std::vector<Document>& docs, unsigned threads) const;
  CsrRows encode_queries_csr(const std::vector<Document>& docs, unsigned threads) const;

  // MurmurHash3 (x86, 32 bits, seed 0) of the token's bytes, unsigned, modulo 2^32 - 1: the
  // feature-hashing column that mmh3 and scikit-learn give. A stable promise: it never changes.
  static std::uint32_t token_index(std::string_view token);

  // Adds the corpus of `other` (which may be this model): document counts, total lengths and
  // every token's count summed, the average recomputed as train computes it; b and k1 stay.
  // Throws std::runtime_error, with the model unchanged, when a counter would pass its width.
  void merge(const BM25& other);

  // Takes documents back out of the model, exactly inverting their training: `counts` holds each
  // token's occurrences over those documents (a token at most once), `docs` their number and
  // `length` their total length. A token whose count reaches zero leaves the table; with no
  // document left the model is as new. Throws std::invalid_argument, with the model unchanged,
  // when the model does not hold that much.
  void forget(const std::vector<std::pair<std::string_view, std::int32_t>>& counts, std::int32_t docs,
              std::int64_t length);

  // The exact state (b, k1, counters, every token's bytes and count) in a compact binary form,
  // tokens in byte order, so that equal models give equal states.
  std::size_t state_size() const;
  void write_state(char* out) const;  // state_size() bytes
  // A model with that state. Throws std::invalid_argument "not a BM25 state" for bytes that are
  // not one. Any b, k1, average and count round-trip, since the setters and load accept them; a
  // negative total does not, as no call makes one (load clamps it at 0).
  static BM25 from_state(std::string_view state);

  // ln((doc_count + 1) / (df + 0.5)), df the token's table count, 1 when absent.
  double idf(std::string_view token_text) const noexcept;

  // Writes the model document to `path`. Throws std::runtime_error beginning "Failed to dump:"
  // when the file cannot be opened or written; an existing file is left untouched if building
  // the document fails.
  void dump(const std::string& path) const;
  // The model document as dump writes it.
  std::string dump_text() const;
  // Sets the fields from a model document's text, one after the other (a failure leaves the
  // fields before it set); a load that succeeds also sets doc_length_total to the nearest integer
  // to doc_length_average x doc_count, which the document does not keep. Throws std::runtime_error with "json data should not be empty" or
  // "load <field> failed", and the reader's std::invalid_argument / std::out_of_range.
  void load(const std::string& json_text);

  std::int32_t doc_count() const noexcept { return doc_count_; }
  std::int64_t doc_length_total() const noexcept { return doc_length_total_; }
  double doc_length_average() const noexcept { return doc_length_average_; }
  const TokenTable& doc_token_frequency() const noexcept { return doc_token_frequency_; }

 private:
  template <class Cells>
  CsrRows encode_csr(const std::vector<Document>& docs, unsigned threads, Cells cells_of) const;
  template <class Token>
  void train_counts(const TokenCounts<Token>& counts, std::size_t length, TrainScratch& scratch);
  // The table entry of a counted token, or npos: a text by its hash; an id through the id cache,
  // else by its decimal text (which it then remembers).
  std::size_t find_entry(const TokenCounts<std::string_view>::Item& item) const noexcept;
  std::size_t find_entry(const TokenCounts<std::int64_t>::Item& item);
  std::size_t find_entry(const TokenCounts<std::int64_t>::Item& item) const noexcept;
  double idf_at(std::size_t index) const noexcept;
  double entry_count(std::size_t index) const noexcept;  // the table count at index; 0 for npos
  void check_initialized() const;
  double length_factor(std::size_t length) const noexcept;

  double b_;
  double k1_;
  std::int32_t doc_count_ = 0;
  std::int64_t doc_length_total_ = 0;
  double doc_length_average_ = 0.0;
  TokenTable doc_token_frequency_;
  IdIndexCache id_index_;  // derived from the table; not part of the model's state
};

// The token bytes of a key held escaped in a parsed document (the inverse of
// JsonValue::escape_text); other backslashes stay as they are.
std::string unescape_key(std::string_view held);

}  // namespace lumo::typing::text
