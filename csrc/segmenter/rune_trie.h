// RuneTrie: the dictionary's words as a trie of code points in flat arrays: a direct table for
// the root's BMP children and one open-addressing table keyed by (parent node, code point) for
// every other edge. Each cell carries its word's weight and tag, so a walk reads one cell a step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumo::segmenter {

// One edge of the trie, and the word that ends there, if any.
struct TrieCell {
  std::uint32_t node;    // the child's id; 0 marks an empty cell (the root is no one's child)
  std::int32_t tag;      // the word's tag id, or kNoWord where no word ends at this node
  double weight;         // the word's log weight, when tag != kNoWord
  std::uint64_t key;     // parent << 21 | code point (the lenient decoder gives at most 21 bits)
};

class RuneTrie {
 public:
  static constexpr std::int32_t kNoWord = -1;
  static constexpr std::uint32_t kRoot = 0;
  static constexpr std::uint32_t kDirectRunes = 0x10000;

  RuneTrie();

  // The cell of `parent`'s child for `rune`, or nullptr.
  const TrieCell* child(std::uint32_t parent, std::uint32_t rune) const noexcept {
    if (parent == kRoot && rune < kDirectRunes) {
      const TrieCell* cell = &root_[rune];
      return cell->node != 0 ? cell : nullptr;
    }
    const std::uint64_t key = edge_key(parent, rune);
    std::size_t slot = slot_of(key);
    for (;;) {
      const TrieCell& cell = cells_[slot];
      if (cell.node == 0) return nullptr;
      if (cell.key == key) return &cell;
      slot = (slot + 1) & mask_;
    }
  }

  // The cell of the word `runes[0, size)` (which may carry no word), or nullptr where no such
  // path exists; an empty word has none.
  const TrieCell* find(const std::uint32_t* runes, std::size_t size) const noexcept;

  // Sets the word's weight and tag, creating its path; a word already there is replaced. An empty
  // word is ignored, as the library ignores it.
  void insert(const std::uint32_t* runes, std::size_t size, double weight, std::int32_t tag);

  std::size_t node_count() const noexcept { return node_count_; }

 private:
  static std::uint64_t edge_key(std::uint32_t parent, std::uint32_t rune) noexcept {
    return (std::uint64_t{parent} << 21) | rune;
  }
  std::size_t slot_of(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  TrieCell& child_or_new(std::uint32_t parent, std::uint32_t rune);
  void grow();

  std::vector<TrieCell> root_;   // kDirectRunes cells, by code point
  std::vector<TrieCell> cells_;  // open addressing, linear probing, at most half full
  std::size_t mask_ = 0;
  unsigned shift_ = 0;
  std::size_t used_ = 0;
  std::uint32_t node_count_ = 1;  // the root
};

}  // namespace lumo::segmenter
