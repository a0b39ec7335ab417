// The engine against its oracle, cppjieba 5.0.3 itself, over the same bytes: every mode, tag and
// keyword weight, on the novel, random hostile lines, hostile dictionaries and inserted words.
#include "engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cppjieba/Jieba.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "memory_file.h"
#include "segmenter_checks.h"

namespace lumo::segmenter {
namespace {

const std::string kDictDir = DUZUDAVIDA_DICT_DIR;
const std::string kNovel = DUZUDAVIDA_NOVEL;

struct Pair {
  std::unique_ptr<cppjieba::Jieba> library;
  std::unique_ptr<Engine> engine;
};

Pair load(const SegmenterFiles& files) {
  const MemoryFiles memory(files);
  Pair pair;
  pair.library = std::make_unique<cppjieba::Jieba>(memory.dict_path(), memory.hmm_path(), memory.user_dict_path(),
                                                   memory.idf_path(), memory.stop_word_path());
  pair.engine = std::make_unique<Engine>(files);
  return pair;
}

SegmenterFiles default_files(const std::string& user_dict) {
  SegmenterFiles files = check_segmenter_files(kDictDir + "/jieba.dict.utf8", kDictDir + "/hmm_model.utf8", "",
                                               kDictDir + "/idf.utf8", kDictDir + "/stop_words.utf8");
  files.user_dicts = {read_file(kDictDir + "/user.dict.utf8"), user_dict};
  return files;
}

std::string describe(const std::vector<WordSpan>& spans) {
  std::ostringstream out;
  for (const WordSpan& span : spans) {
    out << "(" << span.offset << "," << span.size << "," << span.unicode_offset << "," << span.unicode_length << ")";
  }
  return out.str();
}

std::vector<WordSpan> spans_of(const std::vector<cppjieba::Word>& words) {
  std::vector<WordSpan> spans;
  for (const cppjieba::Word& word : words) {
    spans.push_back(WordSpan{word.offset, static_cast<std::uint32_t>(word.word.size()), word.unicode_offset,
                             word.unicode_length});
  }
  return spans;
}

// Every mode of both on one sentence; returns a description of the first difference, or "".
std::string compare(const Pair& pair, const std::string& sentence, bool keywords = true) {
  std::vector<WordSpan> ours;
  std::vector<cppjieba::Word> theirs;
  const struct {
    CutMode mode;
    bool hmm;
    const char* name;
  } modes[] = {{CutMode::Mixed, true, "mixed"},   {CutMode::Mixed, false, "mixed-no-hmm"},
               {CutMode::Search, true, "search"}, {CutMode::Search, false, "search-no-hmm"},
               {CutMode::Full, true, "full"}};
  for (const auto& mode : modes) {
    pair.engine->cut(sentence, mode.mode, mode.hmm, ours);
    theirs.clear();
    switch (mode.mode) {
      case CutMode::Mixed: pair.library->Cut(sentence, theirs, mode.hmm); break;
      case CutMode::Search: pair.library->CutForSearch(sentence, theirs, mode.hmm); break;
      case CutMode::Full: pair.library->CutAll(sentence, theirs); break;
    }
    const std::string a = describe(ours), b = describe(spans_of(theirs));
    if (a != b) return std::string(mode.name) + ": ours " + a + " theirs " + b;
  }
  std::vector<std::pair<std::string, std::string>> tagged;
  pair.library->Tag(sentence, tagged);
  if (pair.engine->tag(sentence) != tagged) return "tag";
  if (keywords) {
    for (std::size_t top : {std::size_t{3}, std::size_t{50}}) {
      std::vector<std::pair<std::string, double>> theirs_keywords;
      pair.library->extractor.Extract(sentence, theirs_keywords, top);
      const auto ours_keywords = pair.engine->extract_keywords(sentence, top);
      if (ours_keywords.size() != theirs_keywords.size()) return "keywords count";
      for (std::size_t i = 0; i < ours_keywords.size(); ++i) {
        if (ours_keywords[i].first != theirs_keywords[i].first ||
            std::memcmp(&ours_keywords[i].second, &theirs_keywords[i].second, sizeof(double)) != 0) {
          return "keyword " + std::to_string(i);
        }
      }
    }
  }
  return "";
}

// Both loaded from `files` cut every line alike in every mode (keywords aside); the first three
// differences are reported under `label`.
void expect_same_words(const SegmenterFiles& files, const std::vector<std::string>& lines, const std::string& label) {
  const Pair pair = load(files);
  std::size_t mismatches = 0;
  testing::internal::CaptureStderr();
  for (const std::string& line : lines) {
    const std::string difference = compare(pair, line, false);
    if (!difference.empty() && ++mismatches <= 3) ADD_FAILURE() << label << ": " << difference;
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(mismatches, 0u) << label;
}

std::vector<std::string> novel_lines() {
  std::ifstream in(kNovel);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Random lines of hostile pieces: the novel's text, ASCII words and numbers, separators, \r,
// full-width forms, emoji and other astral runes, and bytes the lenient decoder takes.
std::vector<std::string> random_lines(std::size_t count, std::uint32_t seed) {
  const std::vector<std::string> novel = novel_lines();
  std::string text;
  for (const std::string& line : novel) text += line;
  std::vector<std::size_t> starts;  // rune starts of the novel
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80) starts.push_back(i);
  }
  const std::vector<std::string> pieces = {
      " ",    "\t",       "\n",           "\r",           "\xef\xbc\x8c", "\xe3\x80\x82", "a",  "abc", "x1y2",
      "123",  "3.14",     "1.2.3",        "iPhone6",      "\xef\xbc\xa1\xef\xbd\x82",     "\xf0\x9f\x98\x80",
      "\xf0\xa0\x80\x80", "\xc0\xa0",     "\xe0\x80\xa0", "\x80\x80",     "\xed\xa0\x80", "\xe4\xb8", "..", "-",
      "5",    "\xe4\xb8\xad\xe5\x9b\xbd", "\xc2\xa0",     "A_B",          "\xe2\x80\x94", "\xf7\xbf\xbf\xbf"};
  std::mt19937 random(seed);
  std::vector<std::string> lines;
  for (std::size_t n = 0; n < count; ++n) {
    std::string line;
    const std::size_t parts = random() % 30;
    for (std::size_t p = 0; p < parts; ++p) {
      if (random() % 3 != 0) {
        const std::size_t from = starts[random() % starts.size()];
        const std::size_t runes = 1 + random() % 8;
        std::size_t to = from;
        for (std::size_t r = 0; r < runes && to < text.size(); ++r) {
          ++to;
          while (to < text.size() && (static_cast<unsigned char>(text[to]) & 0xc0) == 0x80) ++to;
        }
        line += text.substr(from, to - from);
      } else {
        line += pieces[random() % pieces.size()];
      }
    }
    // Now and then a byte that fails the whole line.
    if (random() % 40 == 0) line += "\xf8";
    if (random() % 40 == 0) line += "\xe4";
    lines.push_back(line);
  }
  return lines;
}

class EngineAgainstLibrary : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pair_ = new Pair(load(default_files(""))); }
  static void TearDownTestSuite() {
    delete pair_;
    pair_ = nullptr;
  }
  static Pair* pair_;
};
Pair* EngineAgainstLibrary::pair_ = nullptr;

TEST_F(EngineAgainstLibrary, EveryLineOfTheNovel) {
  std::size_t mismatches = 0;
  for (const std::string& line : novel_lines()) {
    const std::string difference = compare(*pair_, line);
    if (!difference.empty() && ++mismatches <= 5) ADD_FAILURE() << line << "\n" << difference;
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST_F(EngineAgainstLibrary, RandomHostileLines) {
  std::size_t mismatches = 0;
  testing::internal::CaptureStderr();  // undecodable lines log
  for (const std::string& line : random_lines(3000, 17)) {
    const std::string difference = compare(*pair_, line);
    if (!difference.empty() && ++mismatches <= 5) ADD_FAILURE() << testing::PrintToString(line) << "\n" << difference;
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(mismatches, 0u);
}

TEST_F(EngineAgainstLibrary, LongLinesWithAndWithoutSeparators) {
  std::string text;
  for (const std::string& line : novel_lines()) text += line;
  std::string joined = text.substr(0, 300000);
  while ((static_cast<unsigned char>(joined.back()) & 0xc0) == 0x80 || static_cast<unsigned char>(joined.back()) >= 0xc0) {
    joined.pop_back();
  }
  std::string bare;
  for (char c : joined) {
    if (c != ' ') bare += c;
  }
  std::string letters(5000, 'a');
  letters += std::string(2000, '7') + "\xe4\xb8\xad" + std::string(700, 'b');
  for (const std::string* line : {&joined, &bare, &letters}) {
    EXPECT_EQ(compare(*pair_, *line, false), "");
  }
}

// Lines built mostly of single runes the dictionary lacks, each alone between known words or
// separators: runes of two, three and four bytes, full-width separators, a byte order mark,
// U+FFFD and U+FFFF, bytes that are not UTF-8, and empty lines. The spans of one vector cut every
// line in turn, growing and shrinking, and must equal a fresh cut's.
TEST_F(EngineAgainstLibrary, LoneUnknownRunesBetweenKnownWords) {
  const std::vector<std::string> pieces = {
      "\xe3\x90\x80", "\xed\x95\x9c", "\xe3\x82\xa2", "\xce\xb1", "\xd0\xb6", "\xc3\xa9", "\xf0\xa0\x80\x80",
      "\xf0\x9f\x98\x80", "\xe3\x80\x80", "\xef\xbc\x8c", "\xe3\x80\x82", "\xe3\x80\x81", "\xef\xbb\xbf",
      "\xe2\x80\x8b", "\xef\xbf\xbd", "\xef\xbf\xbf", "\xe4\xb8\xad\xe5\x9b\xbd", "\xe6\x96\xb9\xe9\xb8\xbf\xe6\xb8\x90",
      "\xe5\x9b\x9e\xe5\x9b\xbd", "\xe7\x9a\x84", "a", "7", " ", "\xe4", "\x80", "\xc3", "\xf0\x9f\x98"};
  std::mt19937 random(29);
  WordSpans reused;
  std::vector<cppjieba::Word> theirs;
  std::size_t mismatches = 0;
  testing::internal::CaptureStderr();  // undecodable lines log
  for (std::size_t n = 0; n < 4000; ++n) {
    std::string line;
    const std::size_t parts = n % 50 == 0 ? 0 : random() % 12;
    for (std::size_t p = 0; p < parts; ++p) line += pieces[random() % pieces.size()];
    std::string difference = compare(*pair_, line, false);
    pair_->engine->cut(line, CutMode::Search, n % 2 == 0, reused);
    theirs.clear();
    pair_->library->CutForSearch(line, theirs, n % 2 == 0);
    if (difference.empty() && describe(reused) != describe(spans_of(theirs))) difference = "reused spans";
    if (!difference.empty() && ++mismatches <= 5) ADD_FAILURE() << testing::PrintToString(line) << "\n" << difference;
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(mismatches, 0u);
}

// Runs of runes that no word of the dictionary starts and the HMM's tables mostly lack, from two
// to thousands long, so that Viterbi's weights sink to the library's floor and its states tie:
// runes just above ASCII, full-width digits and letters, Hangul, Cyrillic, astral runes, now and
// then a Chinese rune or an ASCII letter or digit inside the run.
TEST_F(EngineAgainstLibrary, LongRunsOfUnknownRunes) {
  const auto utf8 = [](std::uint32_t rune) {
    std::string out;
    if (rune < 0x80) {
      out += static_cast<char>(rune);
    } else if (rune < 0x800) {
      out += static_cast<char>(0xc0 | (rune >> 6));
      out += static_cast<char>(0x80 | (rune & 0x3f));
    } else if (rune < 0x10000) {
      out += static_cast<char>(0xe0 | (rune >> 12));
      out += static_cast<char>(0x80 | ((rune >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (rune & 0x3f));
    } else {
      out += static_cast<char>(0xf0 | (rune >> 18));
      out += static_cast<char>(0x80 | ((rune >> 12) & 0x3f));
      out += static_cast<char>(0x80 | ((rune >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (rune & 0x3f));
    }
    return out;
  };
  // [first, first + count) per range; the last two are the occasional Chinese and ASCII runes.
  const std::uint32_t ranges[][2] = {{0x80, 0x7f}, {0xff10, 10}, {0xff21, 26}, {0xac00, 400},
                                     {0x430, 32},         {0x20000, 300}, {0x4e00, 2000}, {'a', 26}};
  std::mt19937 random(41);
  std::size_t mismatches = 0;
  for (const std::size_t length : {2u, 3u, 5u, 17u, 64u, 300u, 3000u}) {
    for (int variant = 0; variant < 12; ++variant) {
      std::string line = "\xe4\xb8\xad\xe5\x9b\xbd";
      const std::size_t kind = random() % 6;
      for (std::size_t i = 0; i < length; ++i) {
        const auto pick = static_cast<std::uint32_t>(random() % 100);
        const std::size_t range = variant % 3 == 1 && pick < 8 ? 6 : variant % 3 == 2 && pick < 4 ? 7 : kind;
        line += utf8(ranges[range][0] + static_cast<std::uint32_t>(random() % ranges[range][1]));
      }
      line += "\xe7\x9a\x84";
      const std::string difference = compare(*pair_, line, false);
      if (!difference.empty() && ++mismatches <= 5) ADD_FAILURE() << testing::PrintToString(line) << "\n" << difference;
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

// User dictionaries of every shape the library loads, and inserted words, against the library
// given the same.
TEST(EngineUserWords, HostileUserDictionaryAndInsertedWords) {
  std::string long_word;
  for (int i = 0; i < 600; ++i) long_word += "\xe4\xb8\x80";
  const std::string user =
      "\xe7\x9a\x84\n"                                      // a single character, one column
      "a\n"                                                  // an ASCII single character
      "\xe9\x9d\x92\xe5\xb1\xb1 nz\n"                        // two columns
      "\xe4\xb8\xad\xe5\x9b\xbd 0 ns\n"                     // freq 0: log 0
      "\xe6\x88\x91\xe4\xbb\xac -5 r\n"                     // negative freq: NaN
      "\xe5\xad\xa6\xe7\x94\x9f 100000000 n\n"              // an override, heavier
      "a b c d\n"                                            // four columns: nothing
      "\n"                                                   // empty
      " lead\n"                                              // empty word
      "\xe5\xa5\xbd\xe4\xb8\x8d\xe5\xa5\xbd 3 \xe5\xbd\xa2\r\n"  // CRLF
      "\xff\xfe 3 n\n"                                       // undecodable
      "iphone6 5 eng\n"
      "\xe7\xbb\xbf\xe6\xb0\xb4\r\n" +  // a word ending in \r, from a CRLF file
      long_word + " 99999 n\n" + long_word.substr(0, 3 * 512) + " 99999 n\n";
  testing::internal::CaptureStderr();
  Pair pair = load(default_files(user));
  const struct {
    const char* word;
    std::optional<int> freq;
    const char* tag;
  } inserted[] = {{"\xe5\x9c\xb0", std::nullopt, ""},
                  {"\xe4\xba\xba\xe6\xb0\x91\xe5\xb9\xbf\xe5\x9c\xba", 3, "ns"},
                  {"\xe7\x9a\x84\xe4\xba\xba", 0, "x"},
                  {"b", 1000000, ""},
                  {"\xe5\xa4\xa9\xe6\xb0\x94\xe5\xa5\xbd", -1, "a"},
                  {"\xc0\xa0\xe4\xb8\xad", 5, "q"},
                  {"\xf8", 5, "q"},
                  {"", 5, "q"}};
  const std::vector<std::string> lines = random_lines(800, 5);
  const std::vector<std::string> novel = novel_lines();
  for (const auto& word : inserted) {
    const bool theirs = word.freq ? pair.library->InsertUserWord(word.word, *word.freq, word.tag)
                                  : pair.library->InsertUserWord(word.word, word.tag);
    EXPECT_EQ(pair.engine->insert_user_word(word.word, word.freq, word.tag), theirs) << word.word;
  }
  std::size_t mismatches = 0;
  for (const auto* set : {&lines, &novel}) {
    for (std::size_t i = 0; i < set->size(); i += set == &novel ? 7 : 1) {
      const std::string difference = compare(pair, (*set)[i]);
      if (!difference.empty() && ++mismatches <= 5) ADD_FAILURE() << testing::PrintToString((*set)[i]) << "\n" << difference;
    }
  }
  for (const std::string& line : std::vector<std::string>{long_word, long_word.substr(0, 3 * 512), "\xe7\x9a\x84\xe4\xba\xba a b iphone6",
                                                          "\xe7\xbb\xbf\xe6\xb0\xb4\r\xe7\xbb\xbf\xe6\xb0\xb4 \r"}) {
    EXPECT_EQ(compare(pair, line), "");
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(mismatches, 0u);
}

// A tiny dictionary with weights that make -inf and NaN: a weight of "inf" makes the sum
// infinite, so the others weigh log 0 and it weighs NaN; ties between equal weights.
TEST(EngineUserWords, InfiniteAndNanWeights) {
  SegmenterFiles files = default_files("");
  files.user_dicts.clear();
  for (const char* dict : {"\xe4\xb8\xad 1 n\n\xe4\xb8\xad\xe5\x9b\xbd inf ns\n\xe5\x9b\xbd 2 n\n\xe5\x9b\xbd\xe4\xba\xba 2 n\n",
                           "\xe4\xb8\xad 1 n\n\xe4\xb8\xad\xe5\x9b\xbd 1 ns\n\xe5\x9b\xbd 1 n\n\xe5\x9b\xbd\xe4\xba\xba 1 n\n"
                           "\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba 1e-320 n\n"}) {
    files.dict = dict;
    Pair pair = load(files);
    for (const std::string& line : std::vector<std::string>{"\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba", "\xe4\xb8\xad\xe5\x9b\xbd",
                                   "\xe5\x9b\xbd\xe4\xba\xba\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba abc 12",
                                   "\xe4\xba\xba\xe4\xba\xba\xe4\xb8\xad"}) {
      EXPECT_EQ(compare(pair, line), "") << line;
    }
  }
}

}  // namespace
}  // namespace lumo::segmenter

namespace lumo::segmenter {
namespace {

// A compiled dictionary, mapped, answers as the library does, and so it does after inserted words
// (which copy the borrowed tables first).
TEST(CompiledDictionary, MappedEngineMatchesTheLibrary) {
  const SegmenterFiles files = default_files("\xe7\x9a\x84\n\xe9\x9d\x92\xe5\xb1\xb1 nz\n");
  const std::string path = testing::TempDir() + "engine_test.compiled";
  const std::uint64_t key = dictionary_key(files);
  Engine(files).save(path, key);
  Pair pair = load(files);
  pair.engine = Engine::load(path, key);
  const std::vector<std::string> lines = random_lines(400, 9);
  testing::internal::CaptureStderr();
  for (const std::string& line : lines) EXPECT_EQ(compare(pair, line), "") << testing::PrintToString(line);
  for (const char* word : {"\xe5\x9c\xb0\xe7\x90\x83\xe4\xba\xba", "\xe5\xa5\xbd"}) {
    pair.library->InsertUserWord(word, 7, "zz");
    pair.engine->insert_user_word(word, 7, "zz");
  }
  for (std::size_t i = 0; i < lines.size(); i += 3) EXPECT_EQ(compare(pair, lines[i]), "");
  testing::internal::GetCapturedStderr();
  EXPECT_THROW(Engine::load(path, key + 1), std::invalid_argument);
}

// A file's filter of any content hides words at worst; the first insertion makes it afresh from
// the edge table, after which the engine answers as the library given the same word.
TEST(CompiledDictionary, FilterOfAnyContentIsMadeAfreshByTheFirstInsertion) {
  const SegmenterFiles files = default_files("");
  const std::string path = testing::TempDir() + "engine_filter.compiled";
  const std::uint64_t key = dictionary_key(files);
  Engine(files).save(path, key);
  const std::string bytes = read_file(path);
  // The section table starts at byte 32; the filter is section 14.
  std::uint64_t offset = 0, size = 0;
  std::memcpy(&offset, bytes.data() + 32 + 16 * 14, 8);
  std::memcpy(&size, bytes.data() + 32 + 16 * 14 + 8, 8);
  ASSERT_EQ(size, RuneTrie::kFilterWords * sizeof(std::uint64_t));
  ASSERT_LE(offset + size, bytes.size());
  Pair pair = load(files);
  const char* word = "\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba";  // through the dictionary's edges
  pair.library->InsertUserWord(word, 7, "zz");
  const std::vector<std::string> lines = random_lines(200, 11);
  testing::internal::CaptureStderr();
  for (const char fill : {'\x00', '\x5a', '\xff'}) {
    std::string scribbled = bytes;
    std::fill(scribbled.begin() + static_cast<std::ptrdiff_t>(offset),
              scribbled.begin() + static_cast<std::ptrdiff_t>(offset + size), fill);
    const std::string scribbled_path = path + std::to_string(static_cast<unsigned char>(fill));
    {
      std::ofstream out(scribbled_path, std::ios::binary | std::ios::trunc);
      out.write(scribbled.data(), static_cast<std::streamsize>(scribbled.size()));
    }
    pair.engine = Engine::load(scribbled_path, key);
    WordSpans spans;
    for (const std::string& line : lines) pair.engine->cut(line, CutMode::Mixed, true, spans);
    pair.engine->insert_user_word(word, 7, "zz");
    for (const std::string& line : lines) {
      EXPECT_EQ(compare(pair, line, false), "") << int{fill} << " " << testing::PrintToString(line);
    }
  }
  testing::internal::GetCapturedStderr();
}

// Damaged files: each truncation and each flipped byte of the header and section table either
// fails with std::invalid_argument (or std::length_error on insertion) or loads an engine that cuts without reading out of bounds
// (the sanitizer build checks the latter).
TEST(CompiledDictionary, DamagedFilesFailOrStayInBounds) {
  SegmenterFiles files = default_files("");
  files.dict = "\xe4\xb8\xad 3 n\n\xe4\xb8\xad\xe5\x9b\xbd 5 ns\n\xf0\x9f\x98\x80\xe4\xba\xba 2 x\n";
  files.idf = "\xe4\xb8\xad\xe5\x9b\xbd 3.5\n";
  files.stop_words = "\xe7\x9a\x84\n";
  const std::string path = testing::TempDir() + "engine_damaged.compiled";
  const std::uint64_t key = dictionary_key(files);
  Engine(files).save(path, key);
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const auto attempt = [&](const std::string& content) {
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    try {
      const std::unique_ptr<Engine> engine = Engine::load(path, key);
      WordSpans spans;
      for (CutMode mode : {CutMode::Mixed, CutMode::Search, CutMode::Full}) {
        engine->cut("\xe4\xb8\xad\xe5\x9b\xbd\xf0\x9f\x98\x80\xe4\xba\xba abc", mode, true, spans);
      }
      engine->tag("\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba");
      engine->extract_keywords("\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba\xe4\xb8\xad\xe5\x9b\xbd", 5);
      engine->insert_user_word("\xe4\xba\xba\xe4\xb8\xad", 3, "n");
    } catch (const std::invalid_argument&) {
    } catch (const std::length_error&) {  // node ids a damaged table used up
    }
  };
  for (std::size_t size : {std::size_t{0}, std::size_t{7}, std::size_t{100}, bytes.size() / 2, bytes.size() - 1}) {
    attempt(bytes.substr(0, size));
  }
  for (std::size_t at = 0; at < 32 + 16 * 15; ++at) {
    std::string damaged = bytes;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x5a);
    attempt(damaged);
  }
  // Tables of any content: every cell of the root and edge tables set to one pattern.
  // The section table starts at byte 32; the root and edge cells are sections 1 and 2.
  std::uint64_t root_offset = 0, edges_offset = 0, edges_size = 0;
  std::memcpy(&root_offset, bytes.data() + 32 + 16, 8);
  std::memcpy(&edges_offset, bytes.data() + 32 + 32, 8);
  std::memcpy(&edges_size, bytes.data() + 32 + 40, 8);
  ASSERT_LE(edges_offset + edges_size, bytes.size());
  for (unsigned pattern : {0u, 1u, 131u}) {
    std::string scribbled = bytes;
    for (std::size_t at = root_offset; at < edges_offset + edges_size; ++at) {
      scribbled[at] = static_cast<char>(pattern == 0 ? 0xff : at * pattern % 251);
    }
    attempt(scribbled);
  }
}

// Viterbi leaves out the transitions that cannot win only where the model allows it (no weight
// above zero): models on each side of that condition, and transitions just above and far below
// the one it leaves out, against the library given the same model.
TEST(EngineHmmModels, TransitionsLeftOutOnlyWhereTheyCannotWin) {
  const std::string original = read_file(kDictDir + "/hmm_model.utf8");
  // The start line and the four transition lines are the first five lines that are not comments.
  const auto rewritten = [&original](const std::string& from, const std::string& to, bool positive_start) {
    std::string model;
    std::size_t data_lines = 0;
    std::istringstream lines(original);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line[0] != '#' && data_lines++ < 5) {
        for (std::size_t at = line.find(from); at != std::string::npos; at = line.find(from, at + to.size())) {
          line.replace(at, from.size(), to);
        }
        // B starts far above zero and every transition from it is one that would be left out:
        // the library's best paths then take them.
        if (positive_start && data_lines == 1) line = "1e+101" + line.substr(line.find(' '));
        if (positive_start && data_lines == 2) line = "-3.14e+100 -3.14e+100 -3.14e+100 -3.14e+100";
      }
      model += line + "\n";
    }
    return model;
  };
  const struct {
    std::string to;
    bool positive_start;
  } models[] = {{"-3.14e+100", true}, {"-3.1399999999e+100", false}, {"-1e+300", false}, {"-40", false}};
  std::vector<std::string> lines = random_lines(200, 29);
  const std::vector<std::string> novel = novel_lines();
  for (std::size_t i = 0; i < novel.size(); i += 40) lines.push_back(novel[i]);
  for (const auto& model : models) {
    SegmenterFiles files = default_files("");
    files.hmm = rewritten("-3.14e+100", model.to, model.positive_start);
    check_hmm_model("hmm", files.hmm);
    expect_same_words(files, lines, model.to);
  }
}

// Emission weights that are not finite, every few runes of each state: NaN and -inf keep the
// library's two candidates a state (nothing above zero), whose choices are made by masks; +inf
// makes every transition a candidate. NaN never wins a comparison, and ties at the floor abound.
TEST(EngineHmmModels, NonFiniteEmissionsAgainstTheLibrary) {
  const std::string original = read_file(kDictDir + "/hmm_model.utf8");
  const auto rewritten = [&original](const char* value, std::size_t every) {
    std::string model;
    std::size_t data_lines = 0;
    std::istringstream lines(original);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line[0] != '#' && data_lines++ >= 5) {
        std::string changed;
        std::size_t entry = 0;
        for (std::size_t begin = 0; begin <= line.size();) {
          std::size_t end = line.find(',', begin);
          if (end == std::string::npos) end = line.size();
          std::string pair = line.substr(begin, end - begin);
          const std::size_t colon = pair.find(':');
          if (colon != std::string::npos && entry++ % every == data_lines % every) pair = pair.substr(0, colon + 1) + value;
          changed += (begin == 0 ? "" : ",") + pair;
          begin = end + 1;
        }
        line = changed;
      }
      model += line + "\n";
    }
    return model;
  };
  std::vector<std::string> lines = random_lines(120, 31);
  const std::vector<std::string> novel = novel_lines();
  for (std::size_t i = 0; i < novel.size(); i += 150) lines.push_back(novel[i]);
  const struct {
    const char* value;
    std::size_t every;
  } models[] = {{"nan", 3}, {"-nan", 2}, {"-inf", 3}, {"inf", 50}};
  for (const auto& model : models) {
    SegmenterFiles files = default_files("");
    files.hmm = rewritten(model.value, model.every);
    ASSERT_NE(files.hmm, original);
    expect_same_words(files, lines, model.value);
  }
}

}  // namespace
}  // namespace lumo::segmenter

namespace lumo::segmenter {
namespace {

// A compiled dictionary is used only for the bytes it was compiled from and only whole: each lie
// refused with its reason. Sections are listed from byte 32, 16 bytes each (offset, size); the
// tag offsets are section 3.
TEST(CompiledDictionary, StaleOrDamagedFilesAreRefusedWithTheirReason) {
  SegmenterFiles files = default_files("");
  files.dict = "\xe4\xb8\xad 3 n\n\xe4\xb8\xad\xe5\x9b\xbd 5 ns\n\xe5\x9b\xbd 2 x\n\xe4\xba\xba 4 nr\n";
  files.stop_words = "\xe7\x9a\x84\n";
  const std::string path = testing::TempDir() + "engine_stale.compiled";
  const std::uint64_t key = dictionary_key(files);
  Engine(files).save(path, key);
  const std::string bytes = read_file(path);
  const auto write = [&path](const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  };
  SegmenterFiles more_stop_words = files;
  more_stop_words.stop_words += "\xe4\xba\x86\n";
  std::uint64_t tags_at = 0;
  std::memcpy(&tags_at, bytes.data() + 32 + 16 * 3, 8);
  std::uint32_t tag_offsets[3];
  std::memcpy(tag_offsets, bytes.data() + tags_at, sizeof tag_offsets);
  ASSERT_LT(tag_offsets[1], tag_offsets[2]);
  std::string swapped = bytes;
  std::memcpy(swapped.data() + tags_at + 4, &tag_offsets[2], 4);
  std::memcpy(swapped.data() + tags_at + 8, &tag_offsets[1], 4);
  // Every edge cell (section 2) marked in use: a probe for a missing edge would never end.
  std::uint64_t edges_at = 0, edges_size = 0;
  std::memcpy(&edges_at, bytes.data() + 32 + 16 * 2, 8);
  std::memcpy(&edges_size, bytes.data() + 32 + 16 * 2 + 8, 8);
  ASSERT_LE(edges_at + edges_size, bytes.size());
  std::string full = bytes;
  for (std::uint64_t cell = edges_at; cell < edges_at + edges_size; cell += sizeof(TrieCell)) full[cell] = '\x01';
  const struct {
    const char* name;
    std::string content;
    std::uint64_t key;
    const char* reason;
  } lies[] = {
      {"a stop word appended to its file", bytes, dictionary_key(more_stop_words), "compiled from other dictionary files"},
      {"a byte appended", bytes + '\0', key, "size differs from the one recorded"},
      {"string offsets out of order", swapped, key, "string offsets out of order"},
      {"no empty edge cell", full, key, "edge table without an empty cell"},
  };
  for (const auto& lie : lies) {
    write(lie.content);
    try {
      Engine::load(path, lie.key);
      ADD_FAILURE() << lie.name << ": accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()), path + ": not a usable compiled dictionary: " + lie.reason) << lie.name;
    }
  }
  write(bytes);
  EXPECT_NO_THROW(Engine::load(path, key));
}

// Rules the default files never reach, against the library given the same files: words without a
// weight take the median weight, the upper of the two middle ones of an even count (here they
// differ, and which one is taken decides the cuts); and an IDF file that gives a word twice keeps
// its last value while both count in the average that unknown words take.
TEST(EngineRareRules, MedianDefaultWeightAndRepeatedIdfWords) {
  SegmenterFiles files = default_files("");
  // Weights of 1, 1, 100, 1000: the middle two are log(1/S) and log(100/S). A user word without a
  // weight, 中国人, then beats 中国 + 人 with the upper one only.
  files.dict = "\xe4\xb8\xad 1 n\n\xe5\x9b\xbd 1 n\n\xe4\xba\xba 100 n\n\xe4\xb8\xad\xe5\x9b\xbd 1000 ns\n";
  files.user_dicts = {"\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba\n\xe4\xba\xba\xe4\xb8\xad\n"};
  // 中国 twice (the last value stands), 人 once, and a line that is skipped but counted.
  files.idf = "\xe4\xb8\xad\xe5\x9b\xbd 2.5\n\xe4\xba\xba 7.0\n\xe4\xb8\xad\xe5\x9b\xbd 11.25\nbad line here\n";
  testing::internal::CaptureStderr();
  Pair pair = load(files);
  pair.library->InsertUserWord("\xe5\x9b\xbd\xe4\xba\xba\xe4\xb8\xad", "q");
  pair.engine->insert_user_word("\xe5\x9b\xbd\xe4\xba\xba\xe4\xb8\xad", std::nullopt, "q");
  for (const std::string& line :
       std::vector<std::string>{"\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba", "\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba\xe4\xb8\xad\xe5\x9b\xbd",
                                "\xe4\xba\xba\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba\xe4\xb8\xad abc",
                                "\xe5\x9b\xbd\xe4\xba\xba\xe4\xb8\xad\xe5\x9b\xbd \xe4\xb8\xad\xe5\x9b\xbd \xe4\xb8\xad\xe5\x9b\xbd"}) {
    EXPECT_EQ(compare(pair, line), "") << line;
  }
  testing::internal::GetCapturedStderr();
  const std::vector<std::string> cut = [&] {
    std::vector<std::string> words;
    pair.library->Cut("\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba", words);
    return words;
  }();
  EXPECT_EQ(cut, std::vector<std::string>{"\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba"}) << "the case no longer tells the middles apart";
}

}  // namespace
}  // namespace lumo::segmenter
