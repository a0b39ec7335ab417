// TokenTable: the model's token -> occurrence-count table, and the per-document counts.
#pragma once

#include <charconv>
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

inline std::size_t hash_token(std::string_view token) noexcept {
  return std::hash<std::string_view>()(token);
}

// Open-addressing hash table from token bytes to a 32-bit count. Entries live densely in
// insertion order; the slot array holds their indices, tagged with hash bits to skip most key
// comparisons. Lookups take a std::string_view and never build a std::string.
class TokenTable {
 public:
  struct Entry {
    std::string token;
    std::int32_t count;
  };

  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // Index of the entry for `token`, or npos.
  std::size_t find(std::string_view token, std::size_t hash) const noexcept;
  std::size_t find(std::string_view token) const noexcept { return find(token, hash_token(token)); }
  // Count stored for `token`, or null when absent.
  const std::int32_t* count_of(std::string_view token) const noexcept;

  // Makes room for `extra` more entries, so that as many insert_reserved calls cannot throw.
  void reserve_more(std::size_t extra);
  // Appends an entry for a token known to be absent; needs capacity from reserve_more.
  void insert_reserved(std::string&& token, std::size_t hash, std::int32_t count) noexcept;
  // Sets the count of `token`, inserting it when absent.
  void assign(std::string_view token, std::int32_t count);

  std::int32_t& count_at(std::size_t index) noexcept { return entries_[index].count; }
  const std::vector<Entry>& entries() const noexcept { return entries_; }
  std::size_t size() const noexcept { return entries_.size(); }

 private:
  static std::uint64_t tag_of(std::size_t hash) noexcept { return (static_cast<std::uint64_t>(hash) >> 32) << 32; }
  void place(std::uint64_t tag, std::size_t hash, std::size_t index) noexcept;
  void rehash(std::size_t slot_count);

  std::vector<Entry> entries_;
  // 0 is empty; otherwise the upper 32 bits of the hash and, below them, entry index + 1.
  std::vector<std::uint64_t> slots_;
  std::vector<std::size_t> hashes_;  // per entry, so that growth never rehashes a key
};

// Distinct tokens of one document with their number of occurrences, in first-seen order.
template <class Token>
class TokenCounts {
 public:
  struct Item {
    Token token;
    std::int32_t count;
    std::size_t hash;
  };

  explicit TokenCounts(std::size_t expected);
  void add(const Token& token, std::size_t hash);
  const std::vector<Item>& items() const noexcept { return items_; }

 private:
  std::vector<Item> items_;
  std::vector<std::uint32_t> slots_;  // 0 is empty; otherwise item index + 1
  std::size_t mask_;
};

// Per-document counts, keyed by views of the caller's strings (which must outlive the result)
// or by the ids themselves. Throws std::length_error for lists too long for 32-bit counts.
TokenCounts<std::string_view> count_tokens(const std::vector<std::string>& tokens);
TokenCounts<std::int64_t> count_tokens(const std::vector<std::int64_t>& tokens);

}  // namespace lumo::typing::text
