// TokenTable: the model's token -> occurrence-count table, and the per-document counts.
#pragma once

#include <charconv>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// A fast hash of token bytes: short tokens (most words) are mixed from two overlapping loads;
// longer ones use the standard library's hash. Inline: it runs once per token.
inline std::size_t hash_token(std::string_view token) noexcept {
  const std::size_t size = token.size();
  if (size > 16) return std::hash<std::string_view>()(token);
  const char* data = token.data();
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  if (size >= 8) {
    std::memcpy(&low, data, 8);
    std::memcpy(&high, data + size - 8, 8);
  } else if (size >= 4) {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::memcpy(&first, data, 4);
    std::memcpy(&last, data + size - 4, 4);
    low = first;
    high = last;
  } else if (size > 0) {
    low = static_cast<std::uint64_t>(static_cast<unsigned char>(data[0])) |
          static_cast<std::uint64_t>(static_cast<unsigned char>(data[size / 2])) << 8 |
          static_cast<std::uint64_t>(static_cast<unsigned char>(data[size - 1])) << 16;
  }
  std::uint64_t x = (low * 0x9e3779b97f4a7c15ULL) ^ ((high + size) * 0xc2b2ae3d27d4eb4fULL);
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  return static_cast<std::size_t>(x);
}

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

// The hash of an id for counting and for the id cache; ids are often small and sequential.
std::size_t hash_id(std::int64_t id) noexcept;

// Open-addressing hash table from token bytes to a 32-bit count. Tokens and counts live densely
// in insertion order; each slot holds an entry's index with hash bits, its length and its first
// eight bytes, so that a lookup of a token of up to eight bytes touches one slot and no key.
// Lookups take a std::string_view and never build a std::string.
class TokenTable {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // Index of the entry for `token`, or npos; `hash` is hash_token(token).
  std::size_t find(std::string_view token, std::size_t hash) const noexcept;
  std::size_t find(std::string_view token) const noexcept { return find(token, hash_token(token)); }
  // Count stored for `token`, or null when absent.
  const std::int32_t* count_of(std::string_view token) const noexcept;
  // Starts loading the slot where a lookup of `hash` begins; lookups of a whole document are
  // independent, so their cache misses can overlap.
  void prefetch(std::size_t hash) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }

  // Makes room for `extra` more entries, so that as many insert_reserved calls cannot throw.
  void reserve_more(std::size_t extra);
  // Appends an entry for a token known to be absent; needs capacity from reserve_more.
  void insert_reserved(std::string&& token, std::size_t hash, std::int32_t count) noexcept;
  // Sets the count of `token`, inserting it when absent.
  void assign(std::string_view token, std::int32_t count);

  std::size_t size() const noexcept { return tokens_.size(); }
  const std::string& token_at(std::size_t index) const noexcept { return tokens_[index]; }
  std::int32_t count_at(std::size_t index) const noexcept { return counts_[index]; }
  std::int32_t& count_at(std::size_t index) noexcept { return counts_[index]; }

 private:
  struct Slot {
    std::uint64_t prefix;     // the first eight bytes, zero-padded
    std::uint32_t signature;  // hash bits above, length (capped at 255) in the low byte
    std::uint32_t entry;      // index + 1; 0 marks an empty slot
  };
  static Slot describe(std::string_view token, std::size_t hash) noexcept;
  void place(const Slot& slot, std::size_t hash) noexcept;
  void rehash(std::size_t slot_count);

  std::vector<std::string> tokens_;
  std::vector<std::int32_t> counts_;
  std::vector<std::size_t> hashes_;  // per entry, so that growth never rehashes a key
  std::vector<Slot> slots_;
};

// Remembers which table entry holds the decimal text of an id, so that id tokens skip forming
// and hashing their text. Entries never move, so a remembered index stays right; an id it does
// not know is looked up by its text.
class IdIndexCache {
 public:
  // The remembered entry index of `id`, or TokenTable::npos; `hash` is the id's counting hash.
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

// Distinct tokens of one document with their number of occurrences, in first-seen order.
template <class Token>
class TokenCounts {
 public:
  struct Item {
    Token token;
    std::int32_t count;
    std::uint32_t first;  // position of the first occurrence in the list
    std::size_t hash;
  };

  explicit TokenCounts(std::size_t expected) { reset(expected); }
  // Empties the counts for a list of `expected` tokens, keeping the memory already held.
  void reset(std::size_t expected);
  void add(const Token& token, std::size_t hash, std::uint32_t position);
  const std::vector<Item>& items() const noexcept { return items_; }

 private:
  std::vector<Item> items_;
  std::vector<std::uint32_t> slots_;  // 0 is empty; otherwise item index + 1
  std::size_t mask_;
};

// Per-document counts, keyed by views of the caller's strings (which must outlive the result)
// or by the ids themselves. Throws std::length_error for lists too long for 32-bit counts.
// The same into `counts`, whose memory is reused; training keeps one per thread.
void count_tokens(const std::vector<std::string_view>& tokens, TokenCounts<std::string_view>& counts);
void count_tokens(const std::vector<std::int64_t>& tokens, TokenCounts<std::int64_t>& counts);
TokenCounts<std::string_view> count_tokens(const std::vector<std::string>& tokens);
TokenCounts<std::string_view> count_tokens(const std::vector<std::string_view>& tokens);
TokenCounts<std::int64_t> count_tokens(const std::vector<std::int64_t>& tokens);

}  // namespace lumo::typing::text
