// TokenTable probing and growth, and per-document token counting.
#include "token_table.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace lumo::typing::text {
namespace {

std::size_t round_up_power_of_two(std::size_t value) {
  std::size_t power = 16;
  while (power < value) power <<= 1;
  return power;
}

// Ids are often small and sequential; mixing spreads them over the slots.
std::size_t hash_id(std::int64_t id) noexcept {
  std::uint64_t x = static_cast<std::uint64_t>(id);
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return static_cast<std::size_t>(x);
}

}  // namespace

std::size_t TokenTable::find(std::string_view token, std::size_t hash) const noexcept {
  if (slots_.empty()) return npos;
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t tag = tag_of(hash);
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const std::uint64_t word = slots_[slot];
    if (word == 0) return npos;
    if ((word & ~0xffffffffULL) == tag) {
      const std::size_t index = static_cast<std::size_t>(word & 0xffffffffULL) - 1;
      if (entries_[index].token == token) return index;
    }
  }
}

const std::int32_t* TokenTable::count_of(std::string_view token) const noexcept {
  const std::size_t index = find(token);
  return index == npos ? nullptr : &entries_[index].count;
}

void TokenTable::place(std::uint64_t tag, std::size_t hash, std::size_t index) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = hash & mask;
  while (slots_[slot] != 0) slot = (slot + 1) & mask;
  slots_[slot] = tag | static_cast<std::uint64_t>(index + 1);
}

void TokenTable::rehash(std::size_t slot_count) {
  std::vector<std::uint64_t> fresh(slot_count, 0);
  slots_.swap(fresh);
  for (std::size_t index = 0; index < entries_.size(); ++index) {
    place(tag_of(hashes_[index]), hashes_[index], index);
  }
}

void TokenTable::reserve_more(std::size_t extra) {
  const std::size_t wanted = entries_.size() + extra;
  // Entry indices are stored in 32 bits.
  if (wanted >= std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("token table cannot hold more than 4294967294 tokens");
  }
  if (wanted > entries_.capacity()) {
    entries_.reserve(std::max(wanted, entries_.capacity() * 2));
  }
  if (wanted > hashes_.capacity()) {
    hashes_.reserve(entries_.capacity());
  }
  // At most half the slots are used, which keeps probe runs short.
  if (wanted * 2 > slots_.size()) {
    rehash(round_up_power_of_two(std::max(wanted * 2, slots_.size() * 2)));
  }
}

void TokenTable::insert_reserved(std::string&& token, std::size_t hash, std::int32_t count) noexcept {
  const std::size_t index = entries_.size();
  entries_.push_back(Entry{std::move(token), count});
  hashes_.push_back(hash);
  place(tag_of(hash), hash, index);
}

void TokenTable::assign(std::string_view token, std::int32_t count) {
  const std::size_t hash = hash_token(token);
  const std::size_t index = find(token, hash);
  if (index != npos) {
    entries_[index].count = count;
    return;
  }
  std::string key(token);
  reserve_more(1);
  insert_reserved(std::move(key), hash, count);
}

template <class Token>
TokenCounts<Token>::TokenCounts(std::size_t expected) {
  const std::size_t slot_count = round_up_power_of_two(expected * 2);
  slots_.assign(slot_count, 0);
  mask_ = slot_count - 1;
  items_.reserve(expected);
}

template <class Token>
void TokenCounts<Token>::add(const Token& token, std::size_t hash) {
  for (std::size_t slot = hash & mask_;; slot = (slot + 1) & mask_) {
    const std::uint32_t word = slots_[slot];
    if (word == 0) {
      items_.push_back(Item{token, 1, hash});
      slots_[slot] = static_cast<std::uint32_t>(items_.size());
      return;
    }
    Item& item = items_[word - 1];
    if (item.hash == hash && item.token == token) {
      ++item.count;
      return;
    }
  }
}

template class TokenCounts<std::string_view>;
template class TokenCounts<std::int64_t>;

namespace {

template <class Token>
void check_countable(const std::vector<Token>& tokens) {
  // Every per-document count, and the slot indices, must fit in 32 bits.
  if (tokens.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw std::length_error("a token list may hold at most 2147483647 tokens");
  }
}

}  // namespace

TokenCounts<std::string_view> count_tokens(const std::vector<std::string>& tokens) {
  check_countable(tokens);
  TokenCounts<std::string_view> counts(tokens.size());
  for (const std::string& token : tokens) {
    const std::string_view view(token);
    counts.add(view, hash_token(view));
  }
  return counts;
}

TokenCounts<std::int64_t> count_tokens(const std::vector<std::int64_t>& tokens) {
  check_countable(tokens);
  TokenCounts<std::int64_t> counts(tokens.size());
  for (const std::int64_t id : tokens) counts.add(id, hash_id(id));
  return counts;
}

}  // namespace lumo::typing::text
