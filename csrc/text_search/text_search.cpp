// add_texts and search_texts over text_words and the index's own add and retrieve.
#include "text_search.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
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

using typing::text::CountedDocument;
using typing::text::CountedToken;

// Per cutting thread, so that their memory serves every text the thread cuts.
struct CountScratch {
  segmenter::WordSpans spans;
  std::vector<CountedToken> tokens;
  std::vector<std::uint32_t> slots;  // 0 is empty; otherwise a place in `tokens` + 1
};

// Whether two words of one size hold the same bytes: fixed-size loads up to 16 bytes (most words
// are 3 to 9), where a memcmp call per repeated word took a fifth of the counting.
template <class Word>
bool same_ends(const char* left, const char* right, std::size_t size) noexcept {
  Word words[4];  // the first and the last sizeof(Word) bytes of each, overlapping when short
  std::memcpy(&words[0], left, sizeof(Word));
  std::memcpy(&words[1], right, sizeof(Word));
  std::memcpy(&words[2], left + size - sizeof(Word), sizeof(Word));
  std::memcpy(&words[3], right + size - sizeof(Word), sizeof(Word));
  return words[0] == words[1] && words[2] == words[3];
}

bool same_bytes(const char* left, const char* right, std::size_t size) noexcept {
  if (size >= 4) {
    if (size <= 8) return same_ends<std::uint32_t>(left, right, size);
    if (size <= 16) return same_ends<std::uint64_t>(left, right, size);
    return std::memcmp(left, right, size) == 0;
  }
  // One to three bytes: the first, middle and last are all of them.
  return size == 0 || (left[0] == right[0] && left[size / 2] == right[size / 2] && left[size - 1] == right[size - 1]);
}

// This thread's scratch, found once a text: in the module (position-independent code) each use of
// a thread_local inside the loop called __tls_get_addr, a million calls for the novel x4.
[[gnu::noinline]] CountScratch& count_scratch() {
  thread_local CountScratch scratch;
  return scratch;
}

// The kept words of texts[index] counted as BM25Index::add takes them, on the thread that cuts it:
// the hashing and the per-document counting go to the cutting threads, leaving the adding thread
// the merge into the vocabulary and the postings. The words are counted straight from the cut's
// spans, with no list of them in between. Throws TextError as text_words_of does, and for more
// words than a document may hold.
void count_words_of(const segmenter::Segmenter& segmenter, std::string_view text, std::size_t index,
                    const WordFilter& filter, CountedDocument& doc) {
  CountScratch& scratch = count_scratch();
  // An unusually long text's memory goes back, also when it fails; ordinary texts reuse theirs.
  struct Release {
    CountScratch& scratch;
    ~Release() {
      if (scratch.spans.capacity() > kKeptWords) segmenter::WordSpans().swap(scratch.spans);
      if (scratch.tokens.capacity() > kKeptWords) std::vector<CountedToken>().swap(scratch.tokens);
      if (scratch.slots.capacity() > 2 * kKeptWords) std::vector<std::uint32_t>().swap(scratch.slots);
    }
  } release{scratch};
  text_spans_of(segmenter, text, index, filter, scratch.spans);
  const segmenter::WordSpans& spans = scratch.spans;
  // Every count, and the slots' places, must fit in 32 bits (BM25Index::add's own limit).
  if (spans.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw TextError(index, "a token list may hold at most 2147483647 tokens");
  }
  std::vector<CountedToken>& tokens = scratch.tokens;
  std::vector<std::uint32_t>& slots = scratch.slots;
  tokens.clear();
  slots.assign(typing::text::detail::round_up_power_of_two(spans.size() * 2), 0);
  const std::size_t mask = slots.size() - 1;
  const typing::text::TokenHash hasher;
  for (const segmenter::WordSpan& span : spans) {
    const char* word = text.data() + span.offset;
    const std::size_t hash = hasher(std::string_view(word, span.size));
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const std::uint32_t place = slots[slot];
      if (place == 0) {
        tokens.push_back(CountedToken{std::string_view(word, span.size), hash, 1});
        slots[slot] = static_cast<std::uint32_t>(tokens.size());
        break;
      }
      CountedToken& token = tokens[place - 1];
      if (token.hash == hash && token.token.size() == span.size && same_bytes(token.token.data(), word, span.size)) {
        ++token.count;
        break;
      }
    }
  }
  doc.length = static_cast<std::uint32_t>(spans.size());
  doc.tokens.assign(tokens.begin(), tokens.end());
}

// The counted words of a run of texts, and the first text that failed (none: the run's size).
struct CutPart {
  std::vector<CountedDocument> docs;
  std::size_t failed_at = 0;
  std::string reason;
};

// One text of a part into the part's documents, for a ParallelLoop over the part.
struct CutText {
  const segmenter::Segmenter& segmenter;
  const WordFilter& filter;
  const std::vector<std::string_view>& texts;
  CutPart& part;
  void operator()(std::size_t index) const { count_words_of(segmenter, texts[index], index, filter, part.docs[index]); }
};

// Waits for the cut of a part: its first failure into the part when it is a TextError (every text
// was cut; those before it are whole); any other is rethrown.
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

// Cuts a part on up to `helpers` threads besides the calling one.
void cut_part(const segmenter::Segmenter& segmenter, const std::vector<std::string_view>& texts, const WordFilter& filter,
              std::size_t helpers, CutPart& part) {
  part.docs.resize(texts.size());
  const CutText cut_text{segmenter, filter, texts, part};
  parallel::ParallelLoop<CutText> cutting(texts.size(), texts.size() > 1 ? std::min(helpers, texts.size() - 1) : 0, cut_text);
  finish_cut(cutting, part);
}

// Adds a cut run of texts, up to its first failure (no words left is one, unless `skipped`
// collects them, shifted by `offset`); returns the place of the failure in the run, its size if
// none, with `reason` set.
std::size_t add_part(typing::text::BM25Index& index, CutPart& part, std::size_t offset,
                     std::vector<std::size_t>* skipped, std::string& reason) {
  std::size_t failed_at = part.failed_at;
  reason = part.reason;
  std::vector<CountedDocument>& docs = part.docs;
  const std::size_t size = docs.size();
  // The texts that go in, by their place in the run: all before the failure but those skipped.
  std::vector<std::size_t> places;
  std::size_t kept = 0;
  const std::size_t skipped_before = skipped == nullptr ? 0 : skipped->size();
  for (std::size_t at = 0; at < std::min(failed_at, size); ++at) {
    if (docs[at].length == 0) {
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

// Texts per part of add_texts: while the calling thread adds one part, the other threads cut the
// next, so that the index's single-threaded add overlaps the segmentation.
constexpr std::size_t kPartBytes = std::size_t{256} << 10;
constexpr std::size_t kLastPartBytes = std::size_t{32} << 10;

}  // namespace

void add_texts(typing::text::BM25Index& index, const segmenter::Segmenter& segmenter,
               const std::vector<std::string_view>& texts, const WordFilter& filter, unsigned threads,
               std::vector<std::size_t>* skipped) {
  // The last part small: its add is the one that no cut overlaps.
  std::size_t last_part = texts.size();
  for (std::size_t bytes = 0; last_part > 0 && bytes < kLastPartBytes;) bytes += texts[--last_part].size();
  std::vector<std::size_t> bounds{0};
  std::size_t bytes = 0;
  for (std::size_t at = 0; at < last_part; ++at) {
    bytes += texts[at].size();
    if (bytes >= kPartBytes && at + 1 < last_part) {
      bounds.push_back(at + 1);
      bytes = 0;
    }
  }
  if (last_part > 0) bounds.push_back(last_part);
  if (bounds.back() != texts.size()) bounds.push_back(texts.size());
  const std::size_t processors = parallel::usable_processors();
  const auto workers = static_cast<unsigned>(threads == 0 ? processors : std::min<std::size_t>(threads, processors));
  const auto part_texts = [&](std::size_t part) {
    return std::vector<std::string_view>(texts.begin() + static_cast<std::ptrdiff_t>(bounds[part]),
                                         texts.begin() + static_cast<std::ptrdiff_t>(bounds[part + 1]));
  };
  if (workers < 2 || bounds.size() <= 2) {
    CutPart whole;
    cut_part(segmenter, texts, filter, workers - 1, whole);
    std::string reason;
    const std::size_t failed_at = add_part(index, whole, 0, skipped, reason);
    if (failed_at < texts.size()) throw TextError(failed_at, reason);
    return;
  }
  CutPart current;
  CutPart next;
  std::vector<std::string_view> current_texts = part_texts(0);
  cut_part(segmenter, current_texts, filter, workers - 1, current);
  for (std::size_t part = 0; part + 1 < bounds.size(); ++part) {
    // The next part's cut starts on the other threads now, and this thread joins it after its add,
    // so that no core waits while texts are left to cut.
    std::vector<std::string_view> next_texts;
    std::optional<CutText> cut_text;
    std::optional<parallel::ParallelLoop<CutText>> cutting;  // stopped, if the add fails, before what it reads goes
    if (part + 2 < bounds.size()) {
      next_texts = part_texts(part + 1);
      next.docs.resize(next_texts.size());
      cut_text.emplace(CutText{segmenter, filter, next_texts, next});
      cutting.emplace(next_texts.size(), workers - 1, *cut_text);
    }
    std::string reason;
    std::size_t added = bounds[part];  // the texts in the index
    try {
      const std::size_t failed_at = add_part(index, current, bounds[part], skipped, reason);
      added = bounds[part] + failed_at;
      if (failed_at < current_texts.size()) throw TextError(added, reason);
      if (cutting) finish_cut(*cutting, next);
    } catch (const std::bad_alloc&) {
      // The parts before stay added: the caller learns how many, and which of them were skipped.
      while (skipped != nullptr && !skipped->empty() && skipped->back() >= added) skipped->pop_back();
      throw NoMemoryAfter(added);
    }
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
