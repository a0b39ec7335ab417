// The segmenter's file checks: they accept what the library loads and refuse what would abort it.
#include "segmenter_checks.h"

#include <gtest/gtest.h>

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
        ContentCase{"IdfOnlySkippedLines", &check_idf, "one\n", ""}),
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
