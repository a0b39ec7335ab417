// RuneTrie: the dictionary's words as a trie of code points in flat arrays: a direct table for
// the root's BMP children and one open-addressing table keyed by (parent node, code point) for
// every other edge. Each cell carries its word's weight and tag, so a walk reads one cell a step.
// The tables are either owned or borrowed from a mapped compiled dictionary; the first insertion
// into borrowed tables copies them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace lumo::segmenter {

// Memory for `bytes`, released with std::free. Throws std::bad_alloc.
void* allocate_huge(std::size_t bytes);

// Allocates large arrays aligned to 2 MiB and asks the kernel for huge pages over them: the trie's
// walks touch cells all over its table, and misses in the page tables cost as much as in the cache.
template <class T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}
  T* allocate(std::size_t count) { return static_cast<T*>(allocate_huge(count * sizeof(T))); }
  void deallocate(T* pointer, std::size_t) noexcept { std::free(pointer); }
  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) noexcept { return true; }
  friend bool operator!=(const HugePageAllocator&, const HugePageAllocator&) noexcept { return false; }
};

// One edge of the trie, and the word that ends there, if any. 24 bytes, little-endian in files.
struct TrieCell {
  std::uint32_t node;    // the child's id, and kHasChildren; 0 marks an empty cell (the root is no one's child)
  std::int32_t tag;      // the word's tag id, or kNoWord where no word ends at this node
  double weight;         // the word's log weight, when tag != kNoWord
  std::uint64_t key;     // parent << 21 | code point (the lenient decoder gives at most 21 bits)
};

class RuneTrie {
 public:
  static constexpr std::int32_t kNoWord = -1;
  static constexpr std::uint32_t kRoot = 0;
  static constexpr std::uint32_t kDirectRunes = 0x10000;
  // A node's id takes the low 31 bits of TrieCell::node; the top bit says whether any edge
  // leaves it, which spares a walk the failed probe at every leaf.
  static constexpr std::uint32_t kHasChildren = 0x80000000u;
  static constexpr std::uint32_t kIdMask = 0x7fffffffu;

  RuneTrie();
  // The edge filter's size: 2^kFilterBits bits, in 64-bit words.
  static constexpr unsigned kFilterBits = 22;
  static constexpr std::size_t kFilterWords = std::size_t{1} << (kFilterBits - 6);

  // Borrows tables that outlive the trie: kDirectRunes root cells, `capacity` edge cells (a power
  // of two) of which at least one is empty (see has_empty_cell) and kFilterWords filter words.
  // Any other content is safe to walk: a probe stops at the empty cell at the latest, and a filter
  // that lies only hides edges, until the first insertion.
  RuneTrie(const TrieCell* root, const TrieCell* cells, std::size_t capacity, std::uint32_t node_count,
           const std::uint64_t* filter);

  // Whether `cells[0, capacity)` holds an empty cell, which every probe needs to end.
  static bool has_empty_cell(const TrieCell* cells, std::size_t capacity) noexcept;

  // The cell of `parent`'s child for `rune`, or nullptr. `parent` is an id (TrieCell::node
  // without kHasChildren).
  const TrieCell* child(std::uint32_t parent, std::uint32_t rune) const noexcept {
    if (parent == kRoot && rune < kDirectRunes) {
      const TrieCell* cell = &root_[rune];
      return cell->node != 0 ? cell : nullptr;
    }
    return edge_child(parent, rune);
  }

  // child for a parent below the root (any id is safe: the root's edges in the table are only
  // those of astral code points, which child looks up here too).
  const TrieCell* edge_child(std::uint32_t parent, std::uint32_t rune) const noexcept {
    const std::uint64_t key = edge_key(parent, rune);
    if (!may_have_edge(key)) return nullptr;
    // The table holds an empty cell (owned ones are at most half full, borrowed ones are checked),
    // so the probe needs no count of its own, which also left the route's walk registers enough
    // (callgrind, the novel: mixed cut 35.77M -> 34.82M instructions, search 39.53M -> 38.46M).
    for (std::size_t slot = slot_of(key);; slot = (slot + 1) & mask_) {
      const TrieCell& cell = cells_[slot];
      if (cell.node == 0) return nullptr;
      if (cell.key == key) return &cell;
    }
  }

  // The cell of the word `runes[0, size)` (which may carry no word), or nullptr where no such
  // path exists; an empty word has none.
  const TrieCell* find(const std::uint32_t* runes, std::size_t size) const noexcept;

  // Sets the word's weight and tag, creating its path; a word already there is replaced. An empty
  // word is ignored, as the library ignores it.
  void insert(const std::uint32_t* runes, std::size_t size, double weight, std::int32_t tag);

  const TrieCell* root_cells() const noexcept { return root_; }
  const TrieCell* edge_cells() const noexcept { return cells_; }
  const std::uint64_t* edge_filter() const noexcept { return filter_; }
  std::size_t capacity() const noexcept { return mask_ + 1; }
  std::uint32_t node_count() const noexcept { return node_count_; }

 private:
  static std::uint64_t edge_key(std::uint32_t parent, std::uint32_t rune) noexcept {
    return (std::uint64_t{parent} << 21) | rune;
  }
  std::size_t slot_of(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  // Two thirds of the edges a cut looks up do not exist (on the novel with the default dictionary),
  // and each such probe misses the cache in the edge table (24 MB). One bit per hash of every
  // edge's key, 512 KiB that stay in the core's cache, turns most of them away without touching
  // the table: cuts take 22-30% less time in C++. Bits are only ever set, so growing the table
  // keeps them right; copying a borrowed one makes them afresh from its cells (see own()).
  static std::size_t filter_bit(std::uint64_t key) noexcept {
    return static_cast<std::size_t>((key * 0xC2B2AE3D27D4EB4Full) >> (64 - kFilterBits));
  }
  bool may_have_edge(std::uint64_t key) const noexcept {
    const std::size_t bit = filter_bit(key);
    return ((filter_[bit >> 6] >> (bit & 63)) & 1u) != 0;
  }
  void mark_edge(std::uint64_t key) noexcept {
    const std::size_t bit = filter_bit(key);
    filter_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
  }
  TrieCell& child_or_new(std::uint32_t parent, std::uint32_t rune);
  void own();
  void rehash(std::size_t capacity);

  std::vector<TrieCell> root_storage_;
  std::vector<TrieCell, HugePageAllocator<TrieCell>> cells_storage_;
  std::vector<std::uint64_t> filter_storage_;
  TrieCell* root_ = nullptr;   // kDirectRunes cells, by code point
  TrieCell* cells_ = nullptr;  // open addressing, linear probing, at most half full once owned
  std::uint64_t* filter_ = nullptr;  // kFilterWords words: bit filter_bit(key) set for every edge
  bool owned_ = true;
  std::size_t mask_ = 0;
  unsigned shift_ = 0;
  std::size_t used_ = 0;
  std::uint32_t node_count_ = 1;  // the root
};

}  // namespace lumo::segmenter
