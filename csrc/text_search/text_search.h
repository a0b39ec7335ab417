// Texts into a BM25Index and text queries out of it, through a Segmenter: the words go from the
// segmenter's offsets into the index as views of the texts, on threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

#include "bm25_index.h"
#include "segmenter.h"
#include "text_words.h"

namespace lumo::text_search {

// Memory that ran out once the texts before index() were added: add_texts on threads adds a batch
// a part at a time while the next part is cut, so a failure past its first part leaves those before.
class NoMemoryAfter : public std::bad_alloc {
 public:
  explicit NoMemoryAfter(std::size_t index) noexcept : index_(index) {}
  std::size_t index() const noexcept { return index_; }

 private:
  std::size_t index_;
};

// Adds each text as a document of its kept words (text_words), under consecutive ids from
// index.next_id(), exactly as BM25Index::add of those word lists would. When a text fails (no word
// left after the filters, 4 GiB or more, a count beyond the model's range), the texts before it
// are added and TextError names it; index.next_id() then tells how many were. Throws
// std::length_error (the index's ids would run out) and std::bad_alloc with nothing added, or
// NoMemoryAfter (a std::bad_alloc) naming how many texts went in before memory ran out.
// With `skipped` given, a text without words is no failure: it gets no id, and `skipped` lists
// (ascending) the places of such texts, whatever else happens.
void add_texts(typing::text::BM25Index& index, const segmenter::Segmenter& segmenter,
               const std::vector<std::string_view>& texts, const WordFilter& filter, unsigned threads,
               std::vector<std::size_t>* skipped = nullptr);

// BM25Index::retrieve of each query's kept words (a query may have none: it matches nothing and
// scores 0). Throws TextError for a query of 4 GiB or more, and what retrieve throws.
typing::text::SearchResults search_texts(const typing::text::BM25Index& index, const segmenter::Segmenter& segmenter,
                                         const std::vector<std::string_view>& queries, const WordFilter& filter,
                                         std::uint64_t k, unsigned threads, const std::vector<std::int64_t>* allow);

}  // namespace lumo::text_search
