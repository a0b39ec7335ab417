// Helpers shared by the BM25 tests: the token table and encodings as ordered maps.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bm25.h"

namespace lumo::typing::text::testing {

using SparseVector = std::map<std::string, double>;
using IdSparseVector = std::map<std::int64_t, double>;

inline std::map<std::string, std::int32_t> table_of(const BM25& model) {
  std::map<std::string, std::int32_t> table;
  const TokenTable& tokens = model.doc_token_frequency();
  for (std::size_t index = 0; index < tokens.size(); ++index) table[tokens.token_at(index)] = tokens.count_at(index);
  return table;
}

// An encoding's weights by token, each entry's token found at the position it names.
template <class Token, class Key>
std::map<Key, double> by_token(const SparseWeights& weights, const std::vector<Token>& tokens) {
  std::map<Key, double> map;
  for (const TokenWeight& entry : weights) map.emplace(Key(tokens.at(entry.position)), entry.weight);
  return map;
}

inline SparseVector encode_document(const BM25& model, const std::vector<std::string>& tokens) {
  return by_token<std::string, std::string>(model.encode_document(TokenViews(tokens.begin(), tokens.end())), tokens);
}
inline SparseVector encode_query(const BM25& model, const std::vector<std::string>& tokens) {
  return by_token<std::string, std::string>(model.encode_query(TokenViews(tokens.begin(), tokens.end())), tokens);
}
inline IdSparseVector encode_document(const BM25& model, const std::vector<std::int64_t>& ids) {
  return by_token<std::int64_t, std::int64_t>(model.encode_document(ids), ids);
}
inline IdSparseVector encode_query(const BM25& model, const std::vector<std::int64_t>& ids) {
  return by_token<std::int64_t, std::int64_t>(model.encode_query(ids), ids);
}

}  // namespace lumo::typing::text::testing
