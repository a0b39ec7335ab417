// The words of texts as the index takes them: the segmenter's words, filtered, as views into the
// texts (no copy per word).
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "bm25.h"
#include "segmenter.h"

namespace lumo::text_search {

// True when every code point of `word` is of a general category P* (punctuation), Z*
// (separators), Cc (controls) or Cf (format characters), per Unicode 15.0.0; false for an empty
// word and for bytes that are not UTF-8 (kept, as nothing says they are punctuation).
bool is_punctuation(std::string_view word) noexcept;

// How texts become words: the cut mode, the HMM, and the two filters.
struct WordOptions {
  segmenter::CutMode mode = segmenter::CutMode::Search;
  bool hmm = true;
  bool drop_punctuation = true;  // words for which is_punctuation is true
  bool drop_stop_words = false;   // words among the segmenter's stop_words()
};

// The options with what they need from one segmenter, made once for many calls. It views the
// segmenter's stop words: the segmenter must outlive it.
class WordFilter {
 public:
  WordFilter(const segmenter::Segmenter& segmenter, const WordOptions& options);
  const WordOptions& options() const noexcept { return options_; }
  bool keep(std::string_view word) const;

 private:
  WordOptions options_;
  std::unordered_set<std::string_view> stop_words_;
};

// The failure of one text of a batch: what() is the reason, index() the text's place in the batch.
class TextError : public std::invalid_argument {
 public:
  TextError(std::size_t index, const std::string& reason);
  std::size_t index() const noexcept { return index_; }

 private:
  std::size_t index_;
};

// The kept words of each text into `docs` (one entry per text, in order), as views into `texts`,
// cut on up to `threads` threads (0: every usable processor). Every cut holds the segmenter's read
// lock, as cut_batch does, so that a word inserted meanwhile applies to whole texts. A text that
// is not UTF-8 has no words. Throws, once every text is done, TextError for the first text that
// failed (4 GiB or more; the entries before it are complete), std::bad_alloc when memory runs out.
void text_words(const segmenter::Segmenter& segmenter, const std::vector<std::string_view>& texts,
                const WordFilter& filter, unsigned threads, std::vector<typing::text::Document>& docs);

// The words a thread's scratch keeps room for between texts; an unusually long text's room goes
// back once it is done.
inline constexpr std::size_t kKeptWords = std::size_t{1} << 16;

// The kept words of one text, texts[index] of a batch, into `words` (which it replaces), as
// text_words gives them; throws TextError naming `index` where text_words would.
void text_words_of(const segmenter::Segmenter& segmenter, std::string_view text, std::size_t index,
                   const WordFilter& filter, typing::text::TokenViews& words);
// text_words_of as spans of `text` (which it replaces), for a caller that reads the words once.
void text_spans_of(const segmenter::Segmenter& segmenter, std::string_view text, std::size_t index,
                   const WordFilter& filter, segmenter::WordSpans& spans);

}  // namespace lumo::text_search
