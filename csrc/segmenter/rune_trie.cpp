// The trie's growth and insertion; lookups are inline in the header.
#include "rune_trie.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>
#include <stdexcept>

namespace lumo::segmenter {

void* allocate_huge(std::size_t bytes) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  if (bytes < kHugePage) {
    void* memory = std::malloc(std::max<std::size_t>(bytes, 1));
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
  }
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* memory = std::aligned_alloc(kHugePage, rounded);
  if (memory == nullptr) throw std::bad_alloc();
  ::madvise(memory, rounded, MADV_HUGEPAGE);  // a hint: without huge pages the table still works
  return memory;
}

namespace {
constexpr TrieCell kEmptyCell{0, RuneTrie::kNoWord, 0.0, 0};

unsigned shift_for(std::size_t capacity) {
  unsigned bits = 0;
  while ((std::size_t{1} << bits) < capacity) ++bits;
  return 64 - bits;
}
}  // namespace

RuneTrie::RuneTrie() : root_storage_(kDirectRunes, kEmptyCell), filter_storage_(kFilterWords, 0) {
  cells_storage_.assign(std::size_t{1} << 10, kEmptyCell);
  root_ = root_storage_.data();
  cells_ = cells_storage_.data();
  filter_ = filter_storage_.data();
  mask_ = cells_storage_.size() - 1;
  shift_ = shift_for(cells_storage_.size());
}

RuneTrie::RuneTrie(const TrieCell* root, const TrieCell* cells, std::size_t capacity, std::uint32_t node_count,
                   const std::uint64_t* filter)
    : root_(const_cast<TrieCell*>(root)),  // never written while borrowed: own() copies first
      cells_(const_cast<TrieCell*>(cells)),
      filter_(const_cast<std::uint64_t*>(filter)),
      owned_(false),
      mask_(capacity - 1),
      shift_(shift_for(capacity)),
      node_count_(std::max<std::uint32_t>(node_count, 1)) {}

bool RuneTrie::has_empty_cell(const TrieCell* cells, std::size_t capacity) noexcept {
  // A table written by own() or rehash is at most half full: the search ends within a few cells.
  for (std::size_t i = 0; i < capacity; ++i) {
    if (cells[i].node == 0) return true;
  }
  return false;
}

const TrieCell* RuneTrie::find(const std::uint32_t* runes, std::size_t size) const noexcept {
  if (size == 0) return nullptr;
  const TrieCell* cell = child(kRoot, runes[0]);
  for (std::size_t i = 1; i < size && cell != nullptr; ++i) {
    cell = (cell->node & kHasChildren) != 0 ? child(cell->node & kIdMask, runes[i]) : nullptr;
  }
  return cell;
}

void RuneTrie::rehash(std::size_t capacity) {
  std::vector<TrieCell, HugePageAllocator<TrieCell>> grown(capacity, kEmptyCell);
  const std::size_t old_capacity = mask_ + 1;
  mask_ = capacity - 1;
  shift_ = shift_for(capacity);
  used_ = 0;
  for (std::size_t i = 0; i < old_capacity; ++i) {
    const TrieCell& cell = cells_[i];
    if (cell.node == 0) continue;
    std::size_t slot = slot_of(cell.key);
    while (grown[slot].node != 0) slot = (slot + 1) & mask_;
    grown[slot] = cell;
    ++used_;
  }
  cells_storage_.swap(grown);
  cells_ = cells_storage_.data();
}

// Copies borrowed tables into owned ones, counting the cells in use (a file's own count is not
// trusted: a table with no empty cell left would never end a probe for a new edge). The filter is
// made afresh from the cells, not copied: a file's filter that hides edges would otherwise keep
// hiding them, and so every word inserted through them.
void RuneTrie::own() {
  if (owned_) return;
  std::vector<TrieCell> root(root_, root_ + kDirectRunes);
  std::vector<std::uint64_t> filter(kFilterWords, 0);
  // New nodes take ids above every id in use, whatever count the file gave.
  std::uint32_t highest = 0;
  for (const TrieCell& cell : root) highest = std::max(highest, cell.node & kIdMask);
  std::size_t used = 0;
  for (std::size_t i = 0; i <= mask_; ++i) {
    if (cells_[i].node == 0) continue;
    ++used;
    highest = std::max(highest, cells_[i].node & kIdMask);
    const std::size_t bit = filter_bit(cells_[i].key);
    filter[bit >> 6] |= std::uint64_t{1} << (bit & 63);
  }
  node_count_ = std::max(node_count_, highest + 1);
  std::size_t capacity = mask_ + 1;
  while ((used + 1) * 2 > capacity) capacity *= 2;
  rehash(capacity);
  root_storage_.swap(root);
  root_ = root_storage_.data();
  filter_storage_.swap(filter);
  filter_ = filter_storage_.data();
  owned_ = true;
}

TrieCell& RuneTrie::child_or_new(std::uint32_t parent, std::uint32_t rune) {
  if (node_count_ >= kIdMask) throw std::length_error("dictionary has too many trie nodes");
  if (parent == kRoot && rune < kDirectRunes) {
    TrieCell& cell = root_[rune];
    if (cell.node == 0) cell.node = node_count_++;
    return cell;
  }
  if ((used_ + 1) * 2 > mask_ + 1) rehash((mask_ + 1) * 2);
  const std::uint64_t key = edge_key(parent, rune);
  std::size_t slot = slot_of(key);
  while (cells_[slot].node != 0) {
    if (cells_[slot].key == key) return cells_[slot];
    slot = (slot + 1) & mask_;
  }
  cells_[slot] = TrieCell{node_count_++, kNoWord, 0.0, key};
  mark_edge(key);
  ++used_;
  return cells_[slot];
}

void RuneTrie::insert(const std::uint32_t* runes, std::size_t size, double weight, std::int32_t tag) {
  if (size == 0) return;
  own();
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
