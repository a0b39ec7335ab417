// What cppjieba itself gives, for the differential tests of the module. Two forms:
//   jieba_reference DICT_DIR TEXT
//     for each line of TEXT: full mode, mixed mode without the HMM, tagging and keywords (top 5),
//     one JSON object a line;
//   jieba_reference DICT HMM USER_DICT IDF STOP_WORDS < CASES
//     CASES is text of hex-encoded bytes (so that any bytes pass): a line with top_k, a line with
//     the count of words to insert, one line per word "xHEXWORD FREQ|- xHEXTAG|-", then one sentence
//     per line. Out: a JSON object with the insertions' results and what the library logged while
//     loading and inserting, then one JSON object per sentence: every mode's words as flat
//     [byte offset, byte length, code point offset, code point length, ...] lists, the tags and
//     keywords hex-encoded (weights as %a), and the library's log lines of each call, hex-encoded.
#include <cppjieba/Jieba.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      continue;
    }
    out += c;
  }
  return out + "\"";
}

std::string list_of(const std::vector<std::string>& words) {
  std::string out = "[";
  for (std::size_t i = 0; i < words.size(); ++i) out += (i ? ", " : "") + quoted(words[i]);
  return out + "]";
}

int lines_of_text(const std::string& dir, const char* text_path) {
  cppjieba::Jieba jieba(dir + "/jieba.dict.utf8", dir + "/hmm_model.utf8", dir + "/user.dict.utf8",
                        dir + "/idf.utf8", dir + "/stop_words.utf8");
  std::ifstream in(text_path);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> all, nohmm, search_nohmm;
    jieba.CutAll(line, all);
    jieba.Cut(line, nohmm, false);
    jieba.CutForSearch(line, search_nohmm, false);
    std::vector<std::pair<std::string, std::string>> tagged;
    jieba.Tag(line, tagged);
    std::vector<std::pair<std::string, double>> keywords;
    jieba.extractor.Extract(line, keywords, 5);
    std::string tags = "[", keys = "[";
    for (std::size_t i = 0; i < tagged.size(); ++i) {
      tags += (i ? ", [" : "[") + quoted(tagged[i].first) + ", " + quoted(tagged[i].second) + "]";
    }
    for (std::size_t i = 0; i < keywords.size(); ++i) {
      char weight[32];
      std::snprintf(weight, sizeof weight, "%.17g", keywords[i].second);
      keys += (i ? ", [" : "[") + quoted(keywords[i].first) + ", " + weight + "]";
    }
    std::printf("{\"all\": %s, \"nohmm\": %s, \"search_nohmm\": %s, \"tag\": %s], \"keywords\": %s]}\n",
                list_of(all).c_str(), list_of(nohmm).c_str(), list_of(search_nohmm).c_str(), tags.c_str(),
                keys.c_str());
  }
  return 0;
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : bytes) {
    out += digits[static_cast<unsigned char>(c) >> 4];
    out += digits[static_cast<unsigned char>(c) & 15];
  }
  return out + "\"";
}

int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool unhex(const std::string& text, std::string& bytes) {
  if (text.size() % 2) return false;
  bytes.resize(text.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = nibble(text[2 * i]), low = nibble(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<char>(high * 16 + low);
  }
  return true;
}

// Where every word lies; a word that is not the bytes at its place would make the flat form lie.
std::string spans(const std::string& sentence, const std::vector<cppjieba::Word>& words) {
  std::string out = "[";
  char item[64];
  for (std::size_t i = 0; i < words.size(); ++i) {
    const cppjieba::Word& word = words[i];
    if (sentence.compare(word.offset, word.word.size(), word.word) != 0) {
      std::fprintf(stdout, "word at %u is not the sentence's bytes\n", word.offset);
      std::exit(3);
    }
    std::snprintf(item, sizeof item, "%s%u,%zu,%u,%u", i ? "," : "", word.offset, word.word.size(),
                  word.unicode_offset, word.unicode_length);
    out += item;
  }
  return out + "]";
}

// The library logs to std::cerr; each call's lines are kept apart to be compared one by one.
std::ostringstream logged;
std::string take_log() {
  std::string text = logged.str();
  logged.str("");
  return hex(text);
}

int cases(char** paths) {
  std::streambuf* const standard_error = std::cerr.rdbuf(logged.rdbuf());
  cppjieba::Jieba jieba(paths[0], paths[1], paths[2], paths[3], paths[4]);
  std::string line, bytes;
  std::getline(std::cin, line);
  const std::size_t top_k = std::strtoul(line.c_str(), nullptr, 10);
  std::getline(std::cin, line);
  const std::size_t insertions = std::strtoul(line.c_str(), nullptr, 10);
  std::string header = "{\"load_log\": " + take_log() + ", \"inserted\": [";
  for (std::size_t i = 0; i < insertions && std::getline(std::cin, line); ++i) {
    std::istringstream fields(line);
    std::string word_hex, freq, tag_hex, word, tag;
    fields >> word_hex >> freq >> tag_hex;
    if (word_hex.empty() || !unhex(word_hex.substr(1), word)) return 2;
    if (tag_hex != "-" && (tag_hex.empty() || !unhex(tag_hex.substr(1), tag))) return 2;
    if (tag_hex == "-") tag = cppjieba::UNKNOWN_TAG;
    const bool inserted = freq == "-" ? jieba.InsertUserWord(word, tag)
                                      : jieba.InsertUserWord(word, std::atoi(freq.c_str()), tag);
    header += std::string(i ? ", " : "") + (inserted ? "true" : "false");
  }
  header += "], \"insert_log\": " + take_log() + "}\n";
  std::fwrite(header.data(), 1, header.size(), stdout);

  std::vector<cppjieba::Word> words;
  while (std::getline(std::cin, line)) {
    if (!unhex(line, bytes)) return 2;
    std::string out = "{";
    const auto add = [&](const char* name, const std::string& value) {
      out += std::string(out.size() > 1 ? ", \"" : "\"") + name + "\": " + value;
    };
    jieba.Cut(bytes, words, true);
    add("cut", spans(bytes, words));
    add("cut_log", take_log());
    jieba.Cut(bytes, words, false);
    add("cut_nohmm", spans(bytes, words));
    add("cut_nohmm_log", take_log());
    jieba.CutForSearch(bytes, words, true);
    add("search", spans(bytes, words));
    add("search_log", take_log());
    jieba.CutForSearch(bytes, words, false);
    add("search_nohmm", spans(bytes, words));
    add("search_nohmm_log", take_log());
    jieba.CutAll(bytes, words);
    add("all", spans(bytes, words));
    add("all_log", take_log());
    std::vector<std::pair<std::string, std::string>> tagged;
    jieba.Tag(bytes, tagged);
    std::string tags = "[";
    for (std::size_t i = 0; i < tagged.size(); ++i) {
      tags += (i ? ", [" : "[") + hex(tagged[i].first) + ", " + hex(tagged[i].second) + "]";
    }
    add("tag", tags + "]");
    add("tag_log", take_log());
    std::vector<std::pair<std::string, double>> keywords;
    jieba.extractor.Extract(bytes, keywords, top_k);
    std::string keys = "[";
    for (std::size_t i = 0; i < keywords.size(); ++i) {
      char weight[48];
      std::snprintf(weight, sizeof weight, "\"%a\"", keywords[i].second);
      keys += (i ? ", [" : "[") + hex(keywords[i].first) + ", " + weight + "]";
    }
    add("keywords", keys + "]");
    add("keywords_log", take_log());
    out += "}\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
  }
  std::cerr.rdbuf(standard_error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3) return lines_of_text(argv[1], argv[2]);
  if (argc == 6) return cases(argv + 1);
  std::fprintf(stderr, "usage: jieba_reference DICT_DIR TEXT | jieba_reference DICT HMM USER_DICT IDF STOP_WORDS\n");
  return 2;
}
