// The trie's growth and insertion; lookups are inline in the header.
#include "rune_trie.h"

#include <sys/mman.h>

#include <new>
#include <stdexcept>

namespace lumo::segmenter {

void* allocate_huge(std::size_t bytes) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  if (bytes < kHugePage) {
    void* memory = std::malloc(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
  }
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* memory = std::aligned_alloc(kHugePage, rounded);
  if (memory == nullptr) throw std::bad_alloc();
  ::madvise(memory, rounded, MADV_HUGEPAGE);  // a hint: without huge pages the table still works
  return memory;
}

RuneTrie::RuneTrie() : root_(kDirectRunes, TrieCell{0, kNoWord, 0.0, 0}) {
  cells_.assign(std::size_t{1} << 10, TrieCell{0, kNoWord, 0.0, 0});
  mask_ = cells_.size() - 1;
  shift_ = 64 - 10;
}

const TrieCell* RuneTrie::find(const std::uint32_t* runes, std::size_t size) const noexcept {
  if (size == 0) return nullptr;
  const TrieCell* cell = child(kRoot, runes[0]);
  for (std::size_t i = 1; i < size && cell != nullptr; ++i) {
    cell = (cell->node & kHasChildren) != 0 ? child(cell->node & kIdMask, runes[i]) : nullptr;
  }
  return cell;
}

void RuneTrie::grow() {
  decltype(cells_) old;
  old.swap(cells_);
  cells_.assign(old.size() * 2, TrieCell{0, kNoWord, 0.0, 0});
  mask_ = cells_.size() - 1;
  --shift_;
  for (const TrieCell& cell : old) {
    if (cell.node == 0) continue;
    std::size_t slot = slot_of(cell.key);
    while (cells_[slot].node != 0) slot = (slot + 1) & mask_;
    cells_[slot] = cell;
  }
}

TrieCell& RuneTrie::child_or_new(std::uint32_t parent, std::uint32_t rune) {
  if (node_count_ == kIdMask) {
    throw std::length_error("dictionary has too many trie nodes");
  }
  if (parent == kRoot && rune < kDirectRunes) {
    TrieCell& cell = root_[rune];
    if (cell.node == 0) cell.node = node_count_++;
    return cell;
  }
  if ((used_ + 1) * 2 > cells_.size()) grow();
  const std::uint64_t key = edge_key(parent, rune);
  std::size_t slot = slot_of(key);
  while (cells_[slot].node != 0) {
    if (cells_[slot].key == key) return cells_[slot];
    slot = (slot + 1) & mask_;
  }
  cells_[slot] = TrieCell{node_count_++, kNoWord, 0.0, key};
  ++used_;
  return cells_[slot];
}

void RuneTrie::insert(const std::uint32_t* runes, std::size_t size, double weight, std::int32_t tag) {
  if (size == 0) return;
  TrieCell* cell = &child_or_new(kRoot, runes[0]);
  for (std::size_t i = 1; i < size; ++i) {
    // Marked before the child is made: growing the table copies the mark with the cell.
    cell->node |= kHasChildren;
    cell = &child_or_new(cell->node & kIdMask, runes[i]);
  }
  cell->weight = weight;
  cell->tag = tag;
}

}  // namespace lumo::segmenter
