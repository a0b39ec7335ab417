// The segmenter's file checks: they accept what the library loads and refuse what would abort it.
#include "segmenter_checks.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace lumo::segmenter {
namespace {

const std::string kDictDir = DUZUDAVIDA_DICT_DIR;

TEST(SegmenterChecks, AcceptsDefaultDictionary) {
  EXPECT_NO_THROW(check_segmenter_files(kDictDir + "/jieba.dict.utf8", kDictDir + "/hmm_model.utf8",
                                        kDictDir + "/user.dict.utf8", kDictDir + "/idf.utf8",
                                        kDictDir + "/stop_words.utf8"));
  EXPECT_NO_THROW(check_segmenter_files(kDictDir + "/jieba.dict.utf8", kDictDir + "/hmm_model.utf8", "",
                                        kDictDir + "/idf.utf8", kDictDir + "/stop_words.utf8"));
}

using Checker = void (*)(const std::string&, std::string_view);

struct ContentCase {
  const char* name;
  Checker check;
  std::string content;
  const char* message;  // empty when the content is accepted
};

class SegmenterContent : public ::testing::TestWithParam<ContentCase> {};

TEST_P(SegmenterContent, ChecksLikeTheLibrary) {
  const ContentCase& c = GetParam();
  if (std::string(c.message).empty()) {
    EXPECT_NO_THROW(c.check("f.utf8", c.content));
    return;
  }
  try {
    c.check("f.utf8", c.content);
    FAIL() << "accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(std::string(error.what()), c.message);
  }
}

// Seven lines: start probabilities, a comment, four transition lines around an empty line.
const std::string kHmmHead = "0.1 0.2 0.3 0.4\n# comment\n1 2 3 4\n1 2 3 4\n\n1 2 3 4\n1 2 3 4\n";
const std::string kEmit = "\xe4\xb8\xad:-1.5,a:-2\n";
std::string repeated(const std::string& unit, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += unit;
  return text;
}
const std::string kHan512 = repeated("\xe4\xb8\xad", 512);

INSTANTIATE_TEST_SUITE_P(
    Files, SegmenterContent,
    ::testing::Values(
        ContentCase{"DictValid", &check_dictionary, "\xe4\xb8\xad 3 n\nab 1.5 x\n", ""},
        ContentCase{"DictEmpty", &check_dictionary, "", "f.utf8:1: dictionary is empty"},
        ContentCase{"DictTwoFields", &check_dictionary, "a 1 n\nb 2\n",
                    "f.utf8:2: expected \"word weight tag\" separated by single spaces"},
        ContentCase{"DictTrailingSpaceDropsField", &check_dictionary, "a 1 \n",
                    "f.utf8:1: expected \"word weight tag\" separated by single spaces"},
        ContentCase{"DictDoubleSpace", &check_dictionary, "a  1 n\n",
                    "f.utf8:1: expected \"word weight tag\" separated by single spaces"},
        ContentCase{"DictEmptyLine", &check_dictionary, "a 1 n\n\nb 1 n\n",
                    "f.utf8:2: expected \"word weight tag\" separated by single spaces"},
        ContentCase{"DictZeroWeight", &check_dictionary, "a 0 n\n", "f.utf8:1: weight must be a number above zero"},
        ContentCase{"DictTextWeight", &check_dictionary, "a x n\n", "f.utf8:1: weight must be a number above zero"},
        ContentCase{"DictNanWeight", &check_dictionary, "a nan n\n", "f.utf8:1: weight must be a number above zero"},
        ContentCase{"DictUndecodableWord", &check_dictionary, "\xff 1 n\n", "f.utf8:1: word is not UTF-8 text"},
        ContentCase{"DictCutTwoByteWord", &check_dictionary, "a\xc3 1 n\n", "f.utf8:1: word is not UTF-8 text"},
        ContentCase{"DictCutThreeByteWord", &check_dictionary, "\xe4\xb8 1 n\n", "f.utf8:1: word is not UTF-8 text"},
        ContentCase{"DictCutFourByteWord", &check_dictionary, "\xf0\x9f\x98 1 n\n", "f.utf8:1: word is not UTF-8 text"},
        ContentCase{"HmmValid", &check_hmm_model, kHmmHead + kEmit + kEmit + "\n  " + kEmit + kEmit, ""},
        ContentCase{"HmmTrailingCommaAllowed", &check_hmm_model, kHmmHead + kEmit + kEmit + kEmit + "a:1,\n", ""},
        ContentCase{"HmmShortStart", &check_hmm_model, "0.1 0.2 0.3\n",
                    "f.utf8:1: expected 4 probabilities separated by single spaces"},
        ContentCase{"HmmMissingLines", &check_hmm_model, kHmmHead + kEmit, "f.utf8:9: HMM model ends after 6 of its 9 lines"},
        ContentCase{"HmmEmpty", &check_hmm_model, "", "f.utf8:1: HMM model ends after 0 of its 9 lines"},
        ContentCase{"HmmPairWithoutColon", &check_hmm_model, kHmmHead + kEmit + kEmit + kEmit + "a:1,b\n",
                    "f.utf8:11: expected \"character:probability\" pairs separated by \",\""},
        ContentCase{"HmmTwoCharacterKey", &check_hmm_model, kHmmHead + "ab:1\n" + kEmit + kEmit + kEmit,
                    "f.utf8:8: expected \"character:probability\" pairs separated by \",\""},
        ContentCase{"HmmEmptyPair", &check_hmm_model, kHmmHead + kEmit + ",a:1\n" + kEmit + kEmit,
                    "f.utf8:9: expected \"character:probability\" pairs separated by \",\""},
        ContentCase{"IdfValid", &check_idf, "a 1.5\nbad line here\n\nb 2\n", ""},
        ContentCase{"IdfEmpty", &check_idf, "", "f.utf8:1: IDF file is empty"},
        // The released library loads any values; only an assertion looks at their average.
        ContentCase{"IdfZeroAverage", &check_idf, "a 0\nb 0\n", ""},
        ContentCase{"IdfNegativeAverage", &check_idf, "a -1e1\nb 2\n", ""},
        ContentCase{"IdfOnlySkippedLines", &check_idf, "one\n", ""},
        // The library never finds a word of more than 512 code points, and frees its trie one
        // stack frame per code point.
        ContentCase{"DictLongestWord", &check_dictionary, std::string(512, 'a') + " 1 n\n", ""},
        ContentCase{"DictWordTooLong", &check_dictionary, "a 1 n\n" + std::string(513, 'a') + " 1 n\n",
                    "f.utf8:2: word is longer than 512 characters, which no cut produces"},
        ContentCase{"UserLongestWord", &check_user_dictionary, "\n" + kHan512 + "\n" + kHan512 + " 3 n\n", ""},
        ContentCase{"UserWordTooLong", &check_user_dictionary, "a\n\n" + kHan512 + "\xe4\xb8\xad nz\n",
                    "f.utf8:3: word is longer than 512 characters, which no cut produces"},
        // The library loads nothing from a line of four fields or more, or a word it cannot decode.
        ContentCase{"UserFourFieldsIgnored", &check_user_dictionary, std::string(600, 'a') + " 1 n x\n", ""},
        ContentCase{"UserUndecodableIgnored", &check_user_dictionary, std::string(600, 'a') + "\xff\n", ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(SegmenterChecks, SplitsUserDictionaryPathsLikeTheLibrary) {
  using Paths = std::vector<std::string>;
  EXPECT_EQ(split_user_dict_paths(""), Paths{});
  EXPECT_EQ(split_user_dict_paths("a|b;c"), (Paths{"a", "b", "c"}));
  EXPECT_EQ(split_user_dict_paths("a||b"), (Paths{"a", "", "b"}));
  EXPECT_EQ(split_user_dict_paths("a|"), (Paths{"a"}));
  EXPECT_EQ(split_user_dict_paths("|"), (Paths{""}));
}

TEST(SegmenterChecks, ReportsUnreadableFilesWithErrno) {
  for (const auto& [path, expected] : {std::pair<std::string, int>{"/nonexistent/dict.utf8", ENOENT},
                                       std::pair<std::string, int>{"/tmp", EISDIR},
                                       std::pair<std::string, int>{"", ENOENT}}) {
    try {
      read_file(path);
      FAIL() << path;
    } catch (const FileAccessError& error) {
      EXPECT_EQ(error.error_number(), expected) << path;
      EXPECT_EQ(error.path(), path);
    }
  }
  EXPECT_THROW(read_file(std::string("a\0b", 3)), std::invalid_argument);
}

TEST(SegmenterChecks, RefusesFifosWithoutWaitingAndReadsCharacterDevices) {
  const std::string fifo = ::testing::TempDir() + "segmenter_checks.fifo";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  try {
    read_file(fifo);  // no writer: a blocking open would never return
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(std::string(error.what()), fifo + ": a FIFO, not a regular file");
  }
  ::unlink(fifo.c_str());
  EXPECT_EQ(read_file("/dev/null"), "");
}

TEST(SegmenterChecks, BoundsUserDictionariesTogetherAndLoadsARepeatedOneOnce) {
  const std::string dict = kDictDir + "/jieba.dict.utf8";
  const std::string user = kDictDir + "/user.dict.utf8";
  const std::string extra = std::string(DUZUDAVIDA_TEST_DATA) + "/user_extra.utf8";
  const SegmenterFiles files = check_segmenter_files(dict, kDictDir + "/hmm_model.utf8", user + "|" + extra + ";" + user,
                                                     kDictDir + "/idf.utf8", kDictDir + "/stop_words.utf8");
  // The earlier copy of `user` is dropped: the later one redefines everything it defines.
  EXPECT_EQ(files.user_dicts, (std::vector<std::string>{read_file(extra), read_file(user)}));
  // 256 MiB (sparse: no disk), which alone is allowed, passes the bound after another file.
  const std::string large = ::testing::TempDir() + "segmenter_checks_large.utf8";
  const int descriptor = ::open(large.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(descriptor, 0);
  ASSERT_EQ(::ftruncate(descriptor, static_cast<off_t>(kMaxUserDictBytes)), 0);
  ::close(descriptor);
  try {
    check_segmenter_files(dict, kDictDir + "/hmm_model.utf8", user + "|" + large,
                          kDictDir + "/idf.utf8", kDictDir + "/stop_words.utf8");
    FAIL();
  } catch (const std::length_error& error) {
    EXPECT_EQ(std::string(error.what()), large + ": user dictionaries are larger than 256 MiB together");
  }
  ::unlink(large.c_str());
}

TEST(SegmenterChecks, InsertedWordsAreDecodedLikeTheLibraryAndBounded) {
  EXPECT_EQ(inserted_word_runes("a\xe4\xb8\xad"), std::u32string(U"a\u4e2d"));
  // The library reads only lead bytes: 0xc3 0x41 is one code point, U+00C1.
  EXPECT_EQ(inserted_word_runes("\xc3\x41"), std::u32string(U"\u00c1"));
  EXPECT_EQ(inserted_word_runes("\xff"), std::nullopt);
  EXPECT_EQ(inserted_word_runes(kHan512)->size(), 512u);
  for (const std::string& refused : {std::string(), std::string(" \t"), std::string("\xe3\x80\x80"),
                                     kHan512 + "a", std::string(2049, '\xff')}) {
    EXPECT_THROW(inserted_word_runes(refused), std::invalid_argument) << refused.size();
  }
}

TEST(SegmenterChecks, TellsUtf8AsPythonDecodesIt) {
  for (const char* valid : {"", "abc", "\xc2\x80", "\xe4\xb8\xad", "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_TRUE(is_utf8(valid)) << valid;
  }
  for (const char* invalid : {"\xff", "\xc0\x80", "\xc1\xbf", "\xc3\x41", "\xe0\x9f\xbf", "\xed\xa0\x80",
                              "\xe4\xb8", "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\x80"}) {
    EXPECT_FALSE(is_utf8(invalid)) << invalid;
  }
}

TEST(SegmenterChecks, FirstFailureFollowsLibraryReadOrder) {
  // A missing user dictionary is met before a missing HMM model.
  try {
    check_segmenter_files(kDictDir + "/jieba.dict.utf8", "/missing/hmm", kDictDir + "/user.dict.utf8|/missing/user",
                          kDictDir + "/idf.utf8", kDictDir + "/stop_words.utf8");
    FAIL();
  } catch (const FileAccessError& error) {
    EXPECT_EQ(error.path(), "/missing/user");
  }
}

}  // namespace
}  // namespace lumo::segmenter
