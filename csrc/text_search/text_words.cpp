// The punctuation filter's table, the stop words, and the cut of many texts into filtered words.
#include "text_words.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <new>
#include <utility>

#include "parallel_for.h"

namespace lumo::text_search {
namespace {

struct CodePointRange {
  std::uint32_t first;
  std::uint32_t last;
};

constexpr CodePointRange kPunctuation[] = {
#include "punctuation_table.inc"
};

bool in_table(std::uint32_t code_point) noexcept {
  const auto* end = std::end(kPunctuation);
  const auto* found = std::upper_bound(std::begin(kPunctuation), end, code_point,
                                       [](std::uint32_t value, const CodePointRange& range) { return value < range.first; });
  return found != std::begin(kPunctuation) && code_point <= std::prev(found)->last;
}

// The table as one bit per code point of the Basic Multilingual Plane (8 KiB), where nearly every
// word's first code point lies: one load decides most words, which are not punctuation.
struct BmpBits {
  std::uint64_t words[1024] = {};
  constexpr BmpBits() noexcept {
    for (const CodePointRange& range : kPunctuation) {
      for (std::uint32_t code_point = range.first; code_point <= range.last && code_point < 0x10000; ++code_point) {
        words[code_point >> 6] |= std::uint64_t{1} << (code_point & 63);
      }
    }
  }
};
constexpr BmpBits kBmpBits{};

// Per first byte of a word, whether the word may be punctuation: for ASCII whether that byte is,
// for a lead byte whether any code point it begins is (nothing else: continuation bytes and
// bytes UTF-8 never uses begin no code point). A word of CJK ideographs (lead bytes E4 to E9)
// is decided by this one load: is_punctuation over the novel's words took 45 instructions a word.
struct LeadBytes {
  bool may_be[256] = {};
  constexpr LeadBytes() noexcept {
    for (std::uint32_t lead = 0; lead < 256; ++lead) {
      std::uint32_t first = 0;
      std::uint32_t last = 0;
      if (lead < 0x80) {
        first = last = lead;
      } else if (lead >= 0xC2 && lead <= 0xDF) {
        first = (lead & 0x1F) << 6, last = first | 0x3F;
      } else if (lead >= 0xE0 && lead <= 0xEF) {
        first = (lead & 0x0F) << 12, last = first | 0xFFF;
      } else if (lead >= 0xF0 && lead <= 0xF4) {
        first = (lead & 0x07) << 18, last = first | 0x3FFFF;
      } else {
        continue;
      }
      for (const CodePointRange& range : kPunctuation) {
        if (range.first <= last && first <= range.last) may_be[lead] = true;
      }
    }
  }
};
constexpr LeadBytes kLeadBytes{};

bool is_punctuation_code_point(std::uint32_t code_point) noexcept {
  if (code_point < 0x10000) return (kBmpBits.words[code_point >> 6] >> (code_point & 63) & 1) != 0;
  return in_table(code_point);
}

// The code point at `at` (which advances past it); false for bytes that are not UTF-8.
bool next_code_point(std::string_view text, std::size_t& at, std::uint32_t& code_point) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(at);
  std::size_t length = 0;
  std::uint32_t minimum = 0;
  if (lead < 0x80) {
    code_point = lead;
    ++at;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, code_point = lead & 0x1Fu;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, code_point = lead & 0x0Fu;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, code_point = lead & 0x07u;
  } else {
    return false;
  }
  if (text.size() - at < length) return false;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return false;
    code_point = code_point << 6 | (byte(at + i) & 0x3Fu);
  }
  if (code_point < minimum || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) return false;
  at += length;
  return true;
}

}  // namespace

bool is_punctuation(std::string_view word) noexcept {
  if (word.empty() || !kLeadBytes.may_be[static_cast<std::uint8_t>(word[0])]) return false;
  if (word.size() == 3) {
    // One three-byte code point, decoded here: CJK punctuation (，。、“”：). The general loop took
    // 72 instructions a call over the novel's words (add_texts dropping punctuation, the novel
    // x4: 313.0M -> 309.9M instructions with this path).
    const auto byte = [&](std::size_t at) { return static_cast<std::uint32_t>(static_cast<std::uint8_t>(word[at])); };
    if ((byte(0) & 0xF0) == 0xE0 && (byte(1) & 0xC0) == 0x80 && (byte(2) & 0xC0) == 0x80) {
      const std::uint32_t code_point = (byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
      // Overlong forms and surrogates are not UTF-8.
      if (code_point < 0x800 || (code_point >= 0xD800 && code_point <= 0xDFFF)) return false;
      return is_punctuation_code_point(code_point);
    }
  }
  for (std::size_t at = 0; at < word.size();) {
    std::uint32_t code_point = 0;
    if (!next_code_point(word, at, code_point) || !is_punctuation_code_point(code_point)) return false;
  }
  return true;
}

TextError::TextError(std::size_t index, const std::string& reason) : std::invalid_argument(reason), index_(index) {}

WordFilter::WordFilter(const segmenter::Segmenter& segmenter, const WordOptions& options) : options_(options) {
  if (!options.drop_stop_words) return;
  const auto& words = segmenter.stop_words();
  stop_words_.reserve(words.size());
  for (const std::string& word : words) stop_words_.emplace(word);
}

bool WordFilter::keep(std::string_view word) const {
  if (options_.drop_punctuation && is_punctuation(word)) return false;
  return !options_.drop_stop_words || stop_words_.count(word) == 0;
}

namespace {

void cut_text(const segmenter::Segmenter& segmenter, std::string_view text, std::size_t index, const WordOptions& options,
              segmenter::WordSpans& spans) {
  try {
    segmenter.cut(text, options.mode, options.hmm, spans);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    throw TextError(index, error.what());
  }
}

}  // namespace

void text_spans_of(const segmenter::Segmenter& segmenter, std::string_view text, std::size_t index,
                   const WordFilter& filter, segmenter::WordSpans& spans) {
  const WordOptions& options = filter.options();
  cut_text(segmenter, text, index, options, spans);
  if (!options.drop_punctuation && !options.drop_stop_words) return;
  // Kept spans move down over the dropped ones, in place. The spans lie within the text (the
  // engine's own), so no bounds are checked here.
  std::size_t kept = 0;
  if (options.drop_stop_words) {
    for (const segmenter::WordSpan& span : spans) {
      if (filter.keep(std::string_view(text.data() + span.offset, span.size))) spans[kept++] = span;
    }
  } else {
    // The lead byte decides most words, without a call (a loop that also asked for the stop
    // words and checked bounds per word took 26 instructions a word of the novel, this one 17).
    for (const segmenter::WordSpan& span : spans) {
      const char* word = text.data() + span.offset;
      if (span.size == 0 || !kLeadBytes.may_be[static_cast<std::uint8_t>(word[0])] ||
          !is_punctuation(std::string_view(word, span.size))) {
        spans[kept++] = span;
      }
    }
  }
  spans.resize(kept);
}

void text_words_of(const segmenter::Segmenter& segmenter, std::string_view text, std::size_t index,
                   const WordFilter& filter, typing::text::TokenViews& words) {
  // Per thread, so that its memory serves every text the thread cuts; an unusually long text's
  // goes back when the text is done (16 bytes a word, held by the thread for good otherwise).
  thread_local segmenter::WordSpans spans;
  struct Release {
    ~Release() {
      if (spans.capacity() > kKeptWords) segmenter::WordSpans().swap(spans);
    }
  } release;
  text_spans_of(segmenter, text, index, filter, spans);
  words.clear();
  words.reserve(spans.size());
  for (const segmenter::WordSpan& span : spans) words.push_back(text.substr(span.offset, span.size));
}

void text_words(const segmenter::Segmenter& segmenter, const std::vector<std::string_view>& texts,
                const WordFilter& filter, unsigned threads, std::vector<typing::text::Document>& docs) {
  docs.assign(texts.size(), typing::text::TokenViews{});
  parallel::parallel_for(texts.size(), threads, [&](std::size_t index) {
    text_words_of(segmenter, texts[index], index, filter, std::get<typing::text::TokenViews>(docs[index]));
  });
}

}  // namespace lumo::text_search
