// What cppjieba itself gives for each line of a text, for the differential test of the module:
// full mode, mixed mode without the HMM, tagging and keywords (top 5), one JSON object a line.
#include <cppjieba/Jieba.hpp>
#include <cstdio>
#include <fstream>
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: jieba_reference DICT_DIR TEXT\n");
    return 2;
  }
  const std::string dir = argv[1];
  cppjieba::Jieba jieba(dir + "/jieba.dict.utf8", dir + "/hmm_model.utf8", dir + "/user.dict.utf8",
                        dir + "/idf.utf8", dir + "/stop_words.utf8");
  std::ifstream in(argv[2]);
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
