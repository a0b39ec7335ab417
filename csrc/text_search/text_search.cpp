// add_texts and search_texts over text_words and the index's own add and retrieve.
#include "text_search.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "parallel_for.h"

namespace lumo::text_search {

using typing::text::Document;
using typing::text::DocumentError;

namespace {

// The model's reason without DocumentError's "document <index>: ".
std::string reason_of(const DocumentError& error) {
  const char* message = error.what();
  const char* colon = std::strstr(message, ": ");
  return colon != nullptr ? std::string(colon + 2) : std::string(message);
}

}  // namespace

namespace {

// The words of a run of texts, cut, and the first text that failed (none: the run's size).
struct CutPart {
  std::vector<Document> docs;
  std::size_t failed_at = 0;
  std::string reason;
};

void cut_part(const segmenter::Segmenter& segmenter, const std::vector<std::string_view>& texts, const WordFilter& filter,
              unsigned threads, CutPart& part) {
  part.failed_at = texts.size();
  part.reason.clear();
  try {
    text_words(segmenter, texts, filter, threads, part.docs);
  } catch (const TextError& error) {
    // Every text was cut; those before the first failure are whole.
    part.failed_at = error.index();
    part.reason = error.what();
  }
}

// Adds a cut run of texts, up to its first failure (no words left is one, unless `skipped`
// collects them, shifted by `offset`); returns the place of the failure in the run, its size if
// none, with `reason` set.
std::size_t add_part(typing::text::BM25Index& index, CutPart& part, std::size_t offset,
                     std::vector<std::size_t>* skipped, std::string& reason) {
  std::size_t failed_at = part.failed_at;
  reason = part.reason;
  std::vector<Document>& docs = part.docs;
  const std::size_t size = docs.size();
  // The texts that go in, by their place in the run: all before the failure but those skipped.
  std::vector<std::size_t> places;
  std::size_t kept = 0;
  const std::size_t skipped_before = skipped == nullptr ? 0 : skipped->size();
  for (std::size_t at = 0; at < std::min(failed_at, size); ++at) {
    if (typing::text::document_length(docs[at]) == 0) {
      if (skipped == nullptr) {
        failed_at = at;
        reason = "no words left after the filters";
        break;
      }
      skipped->push_back(offset + at);
      continue;
    }
    if (kept != at) docs[kept] = std::move(docs[at]);
    places.push_back(at);
    ++kept;
  }
  docs.resize(kept);
  // The model refuses a whole batch for one document; the documents before it go in alone.
  while (!docs.empty()) {
    try {
      index.add(docs);
      break;
    } catch (const DocumentError& error) {
      failed_at = places[error.index()];
      reason = reason_of(error);
      docs.resize(error.index());
    }
  }
  if (skipped != nullptr && failed_at < size) {
    while (skipped->size() > skipped_before && skipped->back() > offset + failed_at) skipped->pop_back();
  }
  return failed_at < size ? failed_at : size;
}

// One text of a part into the part's words, for a ParallelLoop over the part.
struct CutText {
  const segmenter::Segmenter& segmenter;
  const WordFilter& filter;
  const std::vector<std::string_view>& texts;
  CutPart& part;
  void operator()(std::size_t index) const {
    text_words_of(segmenter, texts[index], index, filter, std::get<typing::text::TokenViews>(part.docs[index]));
  }
};

// Waits for the cut of a part: its first failure into the part when it is a TextError, as
// cut_part records it; any other is rethrown.
void finish_cut(parallel::ParallelLoop<CutText>& cutting, CutPart& part) {
  part.failed_at = part.docs.size();
  part.reason.clear();
  try {
    cutting.finish();
  } catch (const TextError& error) {
    part.failed_at = error.index();
    part.reason = error.what();
  }
}

// Texts per part of add_texts: while the calling thread adds one part, the other threads cut the
// next, so that the index's single-threaded add overlaps the segmentation.
constexpr std::size_t kPartBytes = std::size_t{256} << 10;

}  // namespace

void add_texts(typing::text::BM25Index& index, const segmenter::Segmenter& segmenter,
               const std::vector<std::string_view>& texts, const WordFilter& filter, unsigned threads,
               std::vector<std::size_t>* skipped) {
  std::vector<std::size_t> bounds{0};
  std::size_t bytes = 0;
  for (std::size_t at = 0; at < texts.size(); ++at) {
    bytes += texts[at].size();
    if (bytes >= kPartBytes && at + 1 < texts.size()) {
      bounds.push_back(at + 1);
      bytes = 0;
    }
  }
  bounds.push_back(texts.size());
  const std::size_t processors = parallel::usable_processors();
  const auto workers = static_cast<unsigned>(threads == 0 ? processors : std::min<std::size_t>(threads, processors));
  const auto part_texts = [&](std::size_t part) {
    return std::vector<std::string_view>(texts.begin() + static_cast<std::ptrdiff_t>(bounds[part]),
                                         texts.begin() + static_cast<std::ptrdiff_t>(bounds[part + 1]));
  };
  if (workers < 2 || bounds.size() <= 2) {
    CutPart whole;
    cut_part(segmenter, texts, filter, threads, whole);
    std::string reason;
    const std::size_t failed_at = add_part(index, whole, 0, skipped, reason);
    if (failed_at < texts.size()) throw TextError(failed_at, reason);
    return;
  }
  CutPart current;
  CutPart next;
  std::vector<std::string_view> current_texts = part_texts(0);
  cut_part(segmenter, current_texts, filter, workers, current);
  for (std::size_t part = 0; part + 1 < bounds.size(); ++part) {
    // The next part's cut starts on the other threads now, and this thread joins it after its add,
    // so that no core waits while texts are left to cut.
    std::vector<std::string_view> next_texts;
    std::optional<CutText> cut_text;
    std::optional<parallel::ParallelLoop<CutText>> cutting;  // stopped, if the add fails, before what it reads goes
    if (part + 2 < bounds.size()) {
      next_texts = part_texts(part + 1);
      next.docs.assign(next_texts.size(), typing::text::TokenViews{});
      cut_text.emplace(CutText{segmenter, filter, next_texts, next});
      cutting.emplace(next_texts.size(), workers - 1, *cut_text);
    }
    std::string reason;
    const std::size_t failed_at = add_part(index, current, bounds[part], skipped, reason);
    if (failed_at < current_texts.size()) throw TextError(bounds[part] + failed_at, reason);
    if (cutting) finish_cut(*cutting, next);
    cutting.reset();
    std::swap(current, next);
    current_texts = std::move(next_texts);
  }
}

typing::text::SearchResults search_texts(const typing::text::BM25Index& index, const segmenter::Segmenter& segmenter,
                                         const std::vector<std::string_view>& queries, const WordFilter& filter,
                                         std::uint64_t k, unsigned threads, const std::vector<std::int64_t>* allow) {
  std::vector<Document> docs;
  text_words(segmenter, queries, filter, threads, docs);
  return index.retrieve(docs, k, threads, allow);
}

}  // namespace lumo::text_search
