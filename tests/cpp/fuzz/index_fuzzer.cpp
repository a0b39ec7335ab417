// Fuzzes the index file's reader: any bytes must load or be refused with std::invalid_argument,
// read whole and mapped alike; a file that loads saves back to the same bytes, answers queries
// (pruned, the same k best as unpruned) and takes changes without faults.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bm25_index.h"

namespace {

using lumo::typing::text::BM25Index;
using lumo::typing::text::Document;
using lumo::typing::text::SearchResults;
using lumo::typing::text::TokenViews;

// The k best of a pruned query are the first k of every result: a bound or a first threshold
// trusted past what the postings hold would drop a document from the pruned answer, which asking
// for every document (nothing pruned until the last) keeps.
void check_pruned(const BM25Index& index, const std::vector<Document>& queries) {
  const SearchResults few = index.retrieve(queries, 3, 1, nullptr);
  const SearchResults all = index.retrieve(queries, index.next_id() + 1, 1, nullptr);
  for (std::size_t row = 0; row < few.rows; ++row) {
    for (std::size_t column = 0; column < few.columns; ++column) {
      const std::size_t at = row * few.columns + column;
      const std::size_t whole = row * all.columns + column;
      if (few.ids[at] != all.ids[whole] || std::memcmp(&few.scores[at], &all.scores[whole], sizeof(double)) != 0) {
        __builtin_trap();
      }
    }
  }
}

// Without an allow list a window's postings may be added as a run, with no test per posting;
// with every id allowed they are read one at a time and checked. Both refuse the same damage and
// otherwise give the same ids and bits.
void check_runs(const BM25Index& index, const std::vector<Document>& queries) {
  std::vector<std::int64_t> every(static_cast<std::size_t>(index.next_id()));
  for (std::size_t id = 0; id < every.size(); ++id) every[id] = static_cast<std::int64_t>(id);
  for (const std::uint64_t k : {std::uint64_t{3}, index.next_id() + 1}) {
    SearchResults runs;
    SearchResults checked;
    bool runs_refused = false;
    bool checked_refused = false;
    try {
      runs = index.retrieve(queries, k, 1, nullptr);
    } catch (const std::invalid_argument&) {
      runs_refused = true;
    }
    try {
      checked = index.retrieve(queries, k, 1, &every);
    } catch (const std::invalid_argument&) {
      checked_refused = true;
    }
    if (runs_refused != checked_refused) __builtin_trap();
    if (runs_refused) continue;
    if (runs.ids != checked.ids || runs.scores.size() != checked.scores.size() ||
        (!runs.scores.empty() &&
         std::memcmp(runs.scores.data(), checked.scores.data(), runs.scores.size() * sizeof(double)) != 0)) {
      __builtin_trap();
    }
  }
}

void exercise(BM25Index& index) {
  const std::vector<Document> queries = {TokenViews{"a", "the"}, TokenViews{"x"}, std::vector<std::int64_t>{1, 2}};
  check_runs(index, queries);
  check_pruned(index, queries);
  if (index.next_id() > 0) {
    try {
      index.remove({0});
    } catch (const std::out_of_range&) {
    }
  }
  try {
    index.add({TokenViews{"a", "new"}});
  } catch (const std::runtime_error&) {  // a loaded model's counts may leave no room
  }
  check_pruned(index, queries);
  check_runs(index, queries);  // runs over an index with a deleted document
}

std::string scratch_path() {
  return "/tmp/index_fuzzer." + std::to_string(getpid());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  bool whole_ok = false;
  try {
    BM25Index index = BM25Index::from_bytes(bytes);
    whole_ok = true;
    if (index.serialize() != bytes) __builtin_trap();  // the layout is canonical
    exercise(index);
  } catch (const std::invalid_argument&) {
  }
  const std::string path = scratch_path();
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    const bool written = std::fwrite(data, 1, size, file) == size;
    std::fclose(file);
    if (written) {
      try {
        BM25Index mapped = BM25Index::load(path, true);
        exercise(mapped);  // postings are checked as they are read, and in full before a change
      } catch (const std::invalid_argument&) {
        if (whole_ok) __builtin_trap();  // what loads whole must load mapped
      }
    }
    std::remove(path.c_str());
  }
  return 0;
}
