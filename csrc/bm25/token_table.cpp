// TokenTable probing and growth, and per-document token counting.
#include "token_table.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace lumo::typing::text {
namespace {

std::size_t round_up_power_of_two(std::size_t value) {
  std::size_t power = 16;
  while (power < value) power <<= 1;
  return power;
}

}  // namespace

std::size_t hash_id(std::int64_t id) noexcept {
  std::uint64_t x = static_cast<std::uint64_t>(id);
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return static_cast<std::size_t>(x);
}

inline TokenTable::Slot TokenTable::describe(std::string_view token, std::size_t hash) noexcept {
  Slot slot{0, 0, 0};
  slot.prefix = token_prefix(token);
  const std::uint32_t length = static_cast<std::uint32_t>(std::min<std::size_t>(255, token.size()));
  slot.signature = (static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32) & ~0xffu) | length;
  return slot;
}

std::size_t TokenTable::find(std::string_view token, std::size_t hash) const noexcept {
  if (slots_.empty()) return npos;
  const std::size_t mask = slots_.size() - 1;
  const Slot wanted = describe(token, hash);
  const bool short_token = token.size() <= 8;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.entry == 0) return npos;
    if (slot.signature == wanted.signature && slot.prefix == wanted.prefix) {
      const std::size_t index = slot.entry - 1;
      // Length and all bytes of a short token are in the slot.
      if (short_token || tokens_[index] == token) return index;
    }
  }
}

const std::int32_t* TokenTable::count_of(std::string_view token) const noexcept {
  const std::size_t index = find(token);
  return index == npos ? nullptr : &counts_[index];
}

void TokenTable::place(const Slot& slot, std::size_t hash) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t at = hash & mask;
  while (slots_[at].entry != 0) at = (at + 1) & mask;
  slots_[at] = slot;
}

void TokenTable::rehash(std::size_t slot_count) {
  std::vector<Slot> fresh(slot_count, Slot{0, 0, 0});
  slots_.swap(fresh);
  for (std::size_t index = 0; index < tokens_.size(); ++index) {
    Slot slot = describe(tokens_[index], hashes_[index]);
    slot.entry = static_cast<std::uint32_t>(index + 1);
    place(slot, hashes_[index]);
  }
}

void TokenTable::reserve_more(std::size_t extra) {
  const std::size_t wanted = tokens_.size() + extra;
  // Entry indices are stored in 32 bits.
  if (wanted >= std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("token table cannot hold more than 4294967294 tokens");
  }
  if (wanted > tokens_.capacity()) {
    const std::size_t capacity = std::max(wanted, tokens_.capacity() * 2);
    tokens_.reserve(capacity);
    counts_.reserve(capacity);
    hashes_.reserve(capacity);
  }
  // At most half the slots are used, which keeps probe runs short.
  if (wanted * 2 > slots_.size()) {
    rehash(round_up_power_of_two(std::max(wanted * 2, slots_.size() * 2)));
  }
}

void TokenTable::insert_reserved(std::string&& token, std::size_t hash, std::int32_t count) noexcept {
  const std::size_t index = tokens_.size();
  Slot slot = describe(token, hash);
  slot.entry = static_cast<std::uint32_t>(index + 1);
  tokens_.push_back(std::move(token));
  counts_.push_back(count);
  hashes_.push_back(hash);
  place(slot, hash);
}

void TokenTable::assign(std::string_view token, std::int32_t count) {
  const std::size_t hash = hash_token(token);
  const std::size_t index = find(token, hash);
  if (index != npos) {
    counts_[index] = count;
    return;
  }
  std::string key(token);
  reserve_more(1);
  insert_reserved(std::move(key), hash, count);
}

std::size_t IdIndexCache::find(std::int64_t id, std::size_t hash) const noexcept {
  if (slots_.empty()) return TokenTable::npos;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.entry == 0) return TokenTable::npos;
    if (slot.id == id) return slot.entry - 1;
  }
}

void IdIndexCache::reserve_more(std::size_t extra) {
  const std::size_t wanted = used_ + extra;
  if (wanted * 2 <= slots_.size()) return;
  std::vector<Slot> fresh(round_up_power_of_two(std::max(wanted * 2, slots_.size() * 2)), Slot{0, 0});
  const std::size_t mask = fresh.size() - 1;
  for (const Slot& slot : slots_) {
    if (slot.entry == 0) continue;
    std::size_t at = hash_id(slot.id) & mask;
    while (fresh[at].entry != 0) at = (at + 1) & mask;
    fresh[at] = slot;
  }
  slots_.swap(fresh);
}

void IdIndexCache::insert_reserved(std::int64_t id, std::size_t hash, std::size_t index) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t at = hash & mask;
  while (slots_[at].entry != 0) {
    if (slots_[at].id == id) return;
    at = (at + 1) & mask;
  }
  slots_[at] = Slot{id, static_cast<std::uint32_t>(index + 1)};
  ++used_;
}

template <class Token>
void TokenCounts<Token>::reset(std::size_t expected) {
  const std::size_t slot_count = round_up_power_of_two(expected * 2);
  slots_.assign(slot_count, 0);
  mask_ = slot_count - 1;
  items_.clear();
  items_.reserve(expected);
}

template <class Token>
void TokenCounts<Token>::add(const Token& token, std::size_t hash, std::uint32_t position) {
  for (std::size_t slot = hash & mask_;; slot = (slot + 1) & mask_) {
    const std::uint32_t word = slots_[slot];
    if (word == 0) {
      items_.push_back(Item{token, 1, position, hash});
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

template <class Text>
void count_texts(const std::vector<Text>& tokens, TokenCounts<std::string_view>& counts) {
  check_countable(tokens);
  counts.reset(tokens.size());
  for (std::size_t position = 0; position < tokens.size(); ++position) {
    const std::string_view view(tokens[position]);
    counts.add(view, hash_token(view), static_cast<std::uint32_t>(position));
  }
}

template <class Text>
TokenCounts<std::string_view> count_texts(const std::vector<Text>& tokens) {
  TokenCounts<std::string_view> counts(0);
  count_texts(tokens, counts);
  return counts;
}

}  // namespace

TokenCounts<std::string_view> count_tokens(const std::vector<std::string>& tokens) { return count_texts(tokens); }

TokenCounts<std::string_view> count_tokens(const std::vector<std::string_view>& tokens) {
  return count_texts(tokens);
}

void count_tokens(const std::vector<std::string_view>& tokens, TokenCounts<std::string_view>& counts) {
  count_texts(tokens, counts);
}

void count_tokens(const std::vector<std::int64_t>& tokens, TokenCounts<std::int64_t>& counts) {
  check_countable(tokens);
  counts.reset(tokens.size());
  for (std::size_t position = 0; position < tokens.size(); ++position) {
    counts.add(tokens[position], hash_id(tokens[position]), static_cast<std::uint32_t>(position));
  }
}

TokenCounts<std::int64_t> count_tokens(const std::vector<std::int64_t>& tokens) {
  TokenCounts<std::int64_t> counts(0);
  count_tokens(tokens, counts);
  return counts;
}

}  // namespace lumo::typing::text
