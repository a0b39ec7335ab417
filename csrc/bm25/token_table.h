// TokenTable: the model's token -> occurrence-count table, and the per-document counts. Both take
// their hash as a parameter (TokenHash in the model), so that tests can make every key collide.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "token_hash.h"

namespace lumo::typing::text {

// The table key of an integer id: its signed decimal text, formed without touching the heap.
class IdText {
 public:
  IdText() noexcept : length_(0) {}
  explicit IdText(std::int64_t id) noexcept {
    length_ = static_cast<std::size_t>(std::to_chars(buffer_, buffer_ + sizeof buffer_, id).ptr - buffer_);
  }
  std::string_view view() const noexcept { return {buffer_, length_}; }

 private:
  char buffer_[20];  // "-9223372036854775808"
  std::size_t length_;
};

// The first eight bytes of a token, zero-padded, in memory order. Byte-swapped, it orders tokens
// as their bytes do, up to ties between tokens that share those eight bytes.
inline std::uint64_t token_prefix(std::string_view token) noexcept {
  // Fixed-size loads rather than a memcpy of variable length, which would be a library call.
  const std::size_t size = token.size();
  std::uint64_t prefix = 0;
  if (size >= 8) {
    std::memcpy(&prefix, token.data(), 8);
  } else if (size >= 4) {
    std::uint32_t first = 0;
    std::uint32_t last = 0;  // overlaps `first` by 8 - size bytes, which agree
    std::memcpy(&first, token.data(), 4);
    std::memcpy(&last, token.data() + size - 4, 4);
    prefix = first | static_cast<std::uint64_t>(last) << (8 * (size - 4));
  } else {
    for (std::size_t i = 0; i < size; ++i) {
      prefix |= static_cast<std::uint64_t>(static_cast<unsigned char>(token[i])) << (8 * i);
    }
  }
  return prefix;
}

// Byte-wise order of tokens, comparing eight bytes at a time before falling back to memcmp.
inline bool token_less(std::string_view left, std::string_view right) noexcept {
  const std::uint64_t a = __builtin_bswap64(token_prefix(left));
  const std::uint64_t b = __builtin_bswap64(token_prefix(right));
  if (a != b) return a < b;
  return left < right;
}

namespace detail {

inline std::size_t round_up_power_of_two(std::size_t value) {
  std::size_t power = 16;
  while (power < value) power <<= 1;
  return power;
}

}  // namespace detail

// Open-addressing hash table from token bytes to a 32-bit count. Tokens and counts live densely
// in insertion order; each slot holds an entry's index with hash bits, its length and its first
// eight bytes, so that a lookup of a token of up to eight bytes touches one slot and no key.
// Lookups take a std::string_view and never build a std::string.
template <class Hash = TokenHash>
class BasicTokenTable {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // Index of the entry for `token`, or npos; `hash` is Hash{}(token). The empty table's answer
  // inline: the first add into a new index asks it once per posting, and the probing function's
  // call and prologue took 2.4% of add_texts(threads=1) of the novel x4.
  std::size_t find(std::string_view token, std::size_t hash) const noexcept {
    return slots_.empty() ? npos : probe(token, hash);
  }
  std::size_t find(std::string_view token) const noexcept { return find(token, Hash{}(token)); }
  // Count stored for `token`, or null when absent.
  const std::int32_t* count_of(std::string_view token) const noexcept {
    const std::size_t index = find(token);
    return index == npos ? nullptr : &counts_[index];
  }
  // Starts loading the slot where a lookup of `hash` begins; lookups of a whole document are
  // independent, so their cache misses can overlap.
  void prefetch(std::size_t hash) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }

  // Makes room for `extra` more entries, so that as many insert_reserved calls cannot throw.
  void reserve_more(std::size_t extra);
  // Appends an entry for a token known to be absent; needs capacity from reserve_more.
  void insert_reserved(std::string&& token, std::size_t hash, std::int32_t count) noexcept;
  // Sets the count of `token`, inserting it when absent; returns its index.
  std::size_t assign(std::string_view token, std::int32_t count);
  // Removes the entries from index `first` on for which keep(index) is false; earlier entries
  // keep their indices.
  template <class Keep>
  void erase_from(std::size_t first, Keep keep);

  // Moves the tokens out, in entry order; the table is left to be destroyed.
  std::vector<std::string> take_tokens() && { return std::move(tokens_); }

  std::size_t size() const noexcept { return tokens_.size(); }
  const std::string& token_at(std::size_t index) const noexcept { return tokens_[index]; }
  std::int32_t count_at(std::size_t index) const noexcept { return counts_[index]; }
  std::size_t hash_at(std::size_t index) const noexcept { return hashes_[index]; }
  std::int32_t& count_at(std::size_t index) noexcept { return counts_[index]; }

 private:
  struct Slot {
    std::uint64_t prefix;     // the first eight bytes, zero-padded
    std::uint32_t signature;  // hash bits above, length (capped at 255) in the low byte
    std::uint32_t entry;      // index + 1; 0 marks an empty slot
  };
  static Slot describe(std::string_view token, std::size_t hash) noexcept {
    Slot slot{token_prefix(token), 0, 0};
    const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(255, token.size()));
    slot.signature = (static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32) & ~0xffu) | length;
    return slot;
  }
  void place(const Slot& slot, std::size_t hash) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = hash & mask;
    while (slots_[at].entry != 0) at = (at + 1) & mask;
    slots_[at] = slot;
  }
  void rehash(std::size_t slot_count);
  // find in a table with slots. Inlined into every caller: add_texts' merge looks up each distinct
  // word of each document, and the call with its prologue took 2.3% of add_texts(threads=1).
  [[gnu::always_inline]] inline std::size_t probe(std::string_view token, std::size_t hash) const noexcept;

  std::vector<std::string> tokens_;
  std::vector<std::int32_t> counts_;
  std::vector<std::size_t> hashes_;  // per entry, so that growth never rehashes a key
  std::vector<Slot> slots_;
};

using TokenTable = BasicTokenTable<>;

// Remembers which table entry holds the decimal text of an id, so that id tokens skip forming
// and hashing their text. Entries never move, so a remembered index stays right; an id it does
// not know is looked up by its text.
template <class Hash = TokenHash>
class BasicIdIndexCache {
 public:
  // The remembered entry index of `id`, or npos; `hash` is Hash{}(id).
  std::size_t find(std::int64_t id, std::size_t hash) const noexcept;
  // Makes room for `extra` more ids, so that as many insert_reserved calls cannot throw.
  void reserve_more(std::size_t extra);
  void insert_reserved(std::int64_t id, std::size_t hash, std::size_t index) noexcept;

 private:
  struct Slot {
    std::int64_t id;
    std::uint32_t entry;  // index + 1; 0 marks an empty slot
  };
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

using IdIndexCache = BasicIdIndexCache<>;

// Distinct tokens of one document with their number of occurrences, in first-seen order. Token
// is a std::string_view (viewing the caller's bytes, which must outlive the counts) or an id.
template <class Token, class Hash = TokenHash>
class BasicTokenCounts {
 public:
  struct Item {
    Token token;
    std::int32_t count;
    std::uint32_t first;  // position of the first occurrence in the list
    std::size_t hash;     // Hash{}(token)
  };

  // Counts `tokens`, reusing the memory already held. Throws std::length_error for a list too
  // long for 32-bit counts.
  void count(const std::vector<Token>& tokens);
  const std::vector<Item>& items() const noexcept { return items_; }
  // Gives back the memory of an unusually long document, keeping what ordinary ones reuse.
  void release_above(std::size_t kept_items);

 private:
  std::vector<Item> items_;
  std::vector<std::uint32_t> slots_;  // 0 is empty; otherwise item index + 1
};

template <class Token>
using TokenCounts = BasicTokenCounts<Token>;

template <class Token>
TokenCounts<Token> count_tokens(const std::vector<Token>& tokens) {
  TokenCounts<Token> counts;
  counts.count(tokens);
  return counts;
}

// ---- implementation -------------------------------------------------------------------------

template <class Hash>
inline std::size_t BasicTokenTable<Hash>::probe(std::string_view token, std::size_t hash) const noexcept {
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

template <class Hash>
void BasicTokenTable<Hash>::rehash(std::size_t slot_count) {
  std::vector<Slot> fresh(slot_count, Slot{0, 0, 0});
  slots_.swap(fresh);
  for (std::size_t index = 0; index < tokens_.size(); ++index) {
    Slot slot = describe(tokens_[index], hashes_[index]);
    slot.entry = static_cast<std::uint32_t>(index + 1);
    place(slot, hashes_[index]);
  }
}

template <class Hash>
void BasicTokenTable<Hash>::reserve_more(std::size_t extra) {
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
    rehash(detail::round_up_power_of_two(std::max(wanted * 2, slots_.size() * 2)));
  }
}

template <class Hash>
void BasicTokenTable<Hash>::insert_reserved(std::string&& token, std::size_t hash, std::int32_t count) noexcept {
  const std::size_t index = tokens_.size();
  Slot slot = describe(token, hash);
  slot.entry = static_cast<std::uint32_t>(index + 1);
  tokens_.push_back(std::move(token));
  counts_.push_back(count);
  hashes_.push_back(hash);
  place(slot, hash);
}

template <class Hash>
std::size_t BasicTokenTable<Hash>::assign(std::string_view token, std::int32_t count) {
  const std::size_t hash = Hash{}(token);
  const std::size_t index = find(token, hash);
  if (index != npos) {
    counts_[index] = count;
    return index;
  }
  std::string key(token);
  reserve_more(1);
  insert_reserved(std::move(key), hash, count);
  return tokens_.size() - 1;
}

template <class Hash>
template <class Keep>
void BasicTokenTable<Hash>::erase_from(std::size_t first, Keep keep) {
  std::size_t kept = first;
  for (std::size_t index = first; index < tokens_.size(); ++index) {
    if (!keep(index)) continue;
    if (kept != index) {
      tokens_[kept] = std::move(tokens_[index]);
      counts_[kept] = counts_[index];
      hashes_[kept] = hashes_[index];
    }
    ++kept;
  }
  tokens_.resize(kept);
  counts_.resize(kept);
  hashes_.resize(kept);
  rehash(slots_.size());
}

template <class Hash>
std::size_t BasicIdIndexCache<Hash>::find(std::int64_t id, std::size_t hash) const noexcept {
  if (slots_.empty()) return BasicTokenTable<Hash>::npos;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.entry == 0) return BasicTokenTable<Hash>::npos;
    if (slot.id == id) return slot.entry - 1;
  }
}

template <class Hash>
void BasicIdIndexCache<Hash>::reserve_more(std::size_t extra) {
  const std::size_t wanted = used_ + extra;
  if (wanted * 2 <= slots_.size()) return;
  std::vector<Slot> fresh(detail::round_up_power_of_two(std::max(wanted * 2, slots_.size() * 2)), Slot{0, 0});
  const std::size_t mask = fresh.size() - 1;
  for (const Slot& slot : slots_) {
    if (slot.entry == 0) continue;
    std::size_t at = Hash{}(slot.id) & mask;
    while (fresh[at].entry != 0) at = (at + 1) & mask;
    fresh[at] = slot;
  }
  slots_.swap(fresh);
}

template <class Hash>
void BasicIdIndexCache<Hash>::insert_reserved(std::int64_t id, std::size_t hash, std::size_t index) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t at = hash & mask;
  while (slots_[at].entry != 0) {
    if (slots_[at].id == id) return;
    at = (at + 1) & mask;
  }
  slots_[at] = Slot{id, static_cast<std::uint32_t>(index + 1)};
  ++used_;
}

template <class Token, class Hash>
void BasicTokenCounts<Token, Hash>::count(const std::vector<Token>& tokens) {
  // Every per-document count, and the slot indices, must fit in 32 bits.
  if (tokens.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw std::length_error("a token list may hold at most 2147483647 tokens");
  }
  const std::size_t slot_count = detail::round_up_power_of_two(tokens.size() * 2);
  slots_.assign(slot_count, 0);
  const std::size_t mask = slot_count - 1;
  items_.clear();
  items_.reserve(tokens.size());
  for (std::size_t position = 0; position < tokens.size(); ++position) {
    const Token& token = tokens[position];
    const std::size_t hash = Hash{}(token);
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const std::uint32_t word = slots_[slot];
      if (word == 0) {
        items_.push_back(Item{token, 1, static_cast<std::uint32_t>(position), hash});
        slots_[slot] = static_cast<std::uint32_t>(items_.size());
        break;
      }
      Item& item = items_[word - 1];
      if (item.hash == hash && item.token == token) {
        ++item.count;
        break;
      }
    }
  }
}

template <class Token, class Hash>
void BasicTokenCounts<Token, Hash>::release_above(std::size_t kept_items) {
  if (items_.capacity() > kept_items) std::vector<Item>().swap(items_);
  if (slots_.capacity() > 2 * kept_items) std::vector<std::uint32_t>().swap(slots_);
}

}  // namespace lumo::typing::text
