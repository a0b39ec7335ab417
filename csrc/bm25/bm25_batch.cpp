// BM25 over whole batches: all-or-nothing training, sparse rows for vector databases, merging.
#include <algorithm>
#include <limits>
#include <utility>

#include "bm25.h"
#include "murmur_hash3.h"
#include "parallel_for.h"

namespace lumo::typing::text {
namespace {

constexpr std::int32_t kMaxCount = std::numeric_limits<std::int32_t>::max();

// Whether a + b fits a 32-bit count (loaded counts may be negative).
bool count_fits(std::int64_t a, std::int64_t b) {
  return a + b <= kMaxCount && a + b >= std::numeric_limits<std::int32_t>::min();
}

}  // namespace

DocumentError::DocumentError(std::size_t index, const std::string& message)
    : std::runtime_error("document " + std::to_string(index) + ": " + message), index_(index) {}

std::uint32_t BM25::token_index(std::string_view token) {
  if (token.size() > std::numeric_limits<unsigned int>::max()) throw std::length_error("token too long to hash");
  return murmur_hash3_x86_32(token, 0) % 4294967295u;
}

namespace {

std::int64_t column_of(const TokenViews& tokens, std::size_t position) { return BM25::token_index(tokens[position]); }
std::int64_t column_of(const IdList& ids, std::size_t position) { return ids[position]; }

// Two text tokens may share a column; distinct ids never do.
bool token_before(const TokenViews& tokens, const CsrCell& left, const CsrCell& right) {
  return token_less(tokens[left.position], tokens[right.position]);
}
bool token_before(const IdList&, const CsrCell&, const CsrCell&) { return false; }

// One document's cells as a row: by column, the weights of a shared column summed in token
// order, then rounded. Cells are ordered through 64-bit keys (column, then cell index), which
// sort several times faster than the cells themselves; the rare columns that two tokens share
// are then put in token order.
template <class Tokens>
std::vector<std::pair<std::int64_t, float>> row_of(const std::vector<CsrCell>& cells, const Tokens& tokens) {
  std::vector<std::uint64_t> keys(cells.size());
  for (std::size_t i = 0; i < cells.size(); ++i) keys[i] = static_cast<std::uint64_t>(cells[i].column) << 32 | i;
  std::sort(keys.begin(), keys.end());
  std::vector<std::pair<std::int64_t, float>> row;
  row.reserve(cells.size());
  for (std::size_t i = 0; i < keys.size();) {
    std::size_t j = i + 1;
    while (j < keys.size() && keys[j] >> 32 == keys[i] >> 32) ++j;
    if (j - i > 1) {
      std::sort(keys.begin() + static_cast<std::ptrdiff_t>(i), keys.begin() + static_cast<std::ptrdiff_t>(j),
                [&](std::uint64_t left, std::uint64_t right) {
                  return token_before(tokens, cells[left & 0xffffffffu], cells[right & 0xffffffffu]);
                });
    }
    double sum = 0.0;
    for (std::size_t k = i; k < j; ++k) sum += cells[keys[k] & 0xffffffffu].weight;
    row.emplace_back(static_cast<std::int64_t>(keys[i] >> 32), static_cast<float>(sum));
    i = j;
  }
  return row;
}

}  // namespace

template <class Cells>
CsrRows BM25::encode_csr(const std::vector<Document>& docs, unsigned threads, Cells cells_of) const {
  bool any_tokens = false;
  for (const Document& doc : docs) {
    if (const auto* ids = std::get_if<IdList>(&doc)) {
      for (const std::int64_t id : *ids) {
        if (id < 0 || id > kMaxColumn) {
          throw std::invalid_argument("id " + std::to_string(id) + " is not a column: columns are 0 to 4294967294");
        }
      }
    }
    any_tokens = any_tokens || document_length(doc) > 0;
  }
  if (any_tokens) check_initialized();
  std::vector<std::vector<std::pair<std::int64_t, float>>> rows(docs.size());
  parallel::parallel_for(docs.size(), threads, [&](std::size_t index) {
    std::visit(
        [&](const auto& tokens) {
          if (tokens.empty()) return;
          rows[index] = row_of(cells_of(tokens), tokens);
        },
        docs[index]);
  });
  CsrRows csr;
  csr.indptr.reserve(docs.size() + 1);
  csr.indptr.push_back(0);
  std::size_t cells = 0;
  for (const auto& row : rows) cells += row.size();
  csr.indices.reserve(cells);
  csr.data.reserve(cells);
  for (auto& row : rows) {
    for (const auto& [column, weight] : row) {
      csr.indices.push_back(column);
      csr.data.push_back(weight);
    }
    csr.indptr.push_back(static_cast<std::int64_t>(csr.indices.size()));
    std::vector<std::pair<std::int64_t, float>>().swap(row);
  }
  return csr;
}

// Document weights need no token order (each is its own), so the cells come straight from the
// counts; query weights are normalised by a sum taken in token order, as encode_query takes it.
CsrRows BM25::encode_documents_csr(const std::vector<Document>& docs, unsigned threads) const {
  return encode_csr(docs, threads, [this](const auto& tokens) {
    const auto counts = count_tokens(tokens);
    const double factor = length_factor(tokens.size());
    std::vector<CsrCell> cells;
    cells.reserve(counts.items().size());
    for (const auto& item : counts.items()) {
      const double tf = static_cast<double>(item.count);
      cells.push_back(CsrCell{column_of(tokens, item.first), item.first, 0.0 + tf / (tf + factor)});
    }
    return cells;
  });
}

CsrRows BM25::encode_queries_csr(const std::vector<Document>& docs, unsigned threads) const {
  return encode_csr(docs, threads, [this](const auto& tokens) {
    std::vector<CsrCell> cells;
    for (const TokenWeight& entry : encode_query(tokens)) {
      cells.push_back(CsrCell{column_of(tokens, entry.position), entry.position, entry.weight});
    }
    return cells;
  });
}

void BM25::merge(const BM25& other) {
  // Checks first; `other` may be this model, so its figures are read before anything changes.
  const std::int64_t count = static_cast<std::int64_t>(doc_count_) + other.doc_count_;
  if (!count_fits(count, 1)) throw std::runtime_error("merge would overflow the document count");
  if (other.doc_length_total_ > std::numeric_limits<std::int64_t>::max() - doc_length_total_) {
    throw std::runtime_error("merge would overflow the total document length");
  }
  const TokenTable& source = other.doc_token_frequency_;
  const std::size_t source_size = source.size();
  std::vector<std::size_t> entries(source_size);
  std::size_t fresh = 0;
  for (std::size_t at = 0; at < source_size; ++at) {
    entries[at] = doc_token_frequency_.find(source.token_at(at));
    if (entries[at] == TokenTable::npos) {
      ++fresh;
    } else if (!count_fits(source.count_at(at), doc_token_frequency_.count_at(entries[at]))) {
      throw std::runtime_error("merge would overflow the occurrence count of a token");
    }
  }
  std::vector<std::string> fresh_tokens;
  fresh_tokens.reserve(fresh);
  for (std::size_t at = 0; at < source_size; ++at) {
    if (entries[at] == TokenTable::npos) fresh_tokens.push_back(source.token_at(at));
  }
  std::vector<std::int32_t> counts(source_size);
  for (std::size_t at = 0; at < source_size; ++at) counts[at] = source.count_at(at);
  doc_token_frequency_.reserve_more(fresh);
  // From here on nothing can fail.
  std::size_t next_fresh = 0;
  for (std::size_t at = 0; at < source_size; ++at) {
    if (entries[at] != TokenTable::npos) {
      doc_token_frequency_.count_at(entries[at]) += counts[at];
    } else {
      std::string& token = fresh_tokens[next_fresh++];
      const std::size_t hash = TokenHash{}(token);
      doc_token_frequency_.insert_reserved(std::move(token), hash, counts[at]);
    }
  }
  doc_length_total_ += other.doc_length_total_;
  doc_count_ = static_cast<std::int32_t>(count);
  if (doc_count_ > 0) {
    doc_length_average_ = static_cast<double>(doc_length_total_) / static_cast<double>(doc_count_);
  }
}

void BM25::forget(const std::vector<std::pair<std::string_view, std::int32_t>>& counts, std::int32_t docs,
                  std::int64_t length) {
  if (docs < 0 || docs > doc_count_ || length < 0 || length > doc_length_total_) {
    throw std::invalid_argument("forget: the model does not hold these documents");
  }
  std::vector<std::size_t> entries(counts.size());
  bool emptied = false;
  for (std::size_t at = 0; at < counts.size(); ++at) {
    entries[at] = doc_token_frequency_.find(counts[at].first);
    if (entries[at] == TokenTable::npos || counts[at].second < 0 ||
        doc_token_frequency_.count_at(entries[at]) < counts[at].second) {
      throw std::invalid_argument("forget: the model does not hold these tokens");
    }
    emptied = emptied || doc_token_frequency_.count_at(entries[at]) == counts[at].second;
  }
  for (std::size_t at = 0; at < counts.size(); ++at) doc_token_frequency_.count_at(entries[at]) -= counts[at].second;
  if (emptied) {
    doc_token_frequency_.erase_from(0, [this](std::size_t index) { return doc_token_frequency_.count_at(index) != 0; });
    id_index_ = IdIndexCache();  // it remembers entry indices, which erasing moved
  }
  doc_count_ -= docs;
  doc_length_total_ -= length;
  // As train computes it; a model with no document left has the average of a new one.
  doc_length_average_ = doc_count_ == 0 ? 0.0 : static_cast<double>(doc_length_total_) / static_cast<double>(doc_count_);
}

}  // namespace lumo::typing::text
