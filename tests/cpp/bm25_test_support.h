// Helpers shared by the BM25 tests: the token table as an ordered map.
#pragma once

#include <map>
#include <string>

#include "bm25.h"

namespace lumo::typing::text::testing {

inline std::map<std::string, std::int32_t> table_of(const BM25& model) {
  std::map<std::string, std::int32_t> table;
  const TokenTable& tokens = model.doc_token_frequency();
  for (std::size_t index = 0; index < tokens.size(); ++index) table[tokens.token_at(index)] = tokens.count_at(index);
  return table;
}

}  // namespace lumo::typing::text::testing
