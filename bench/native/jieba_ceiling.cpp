// cppjieba called directly: construction time (with and without the module's file checks) and
// segmentation time over the lines of a text and over the whole text. Prints one JSON object.
#include <chrono>
#include <cppjieba/Jieba.hpp>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "segmenter_checks.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: jieba_ceiling DICT_DIR TEXT REPEATS\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int repeats = std::stoi(argv[3]);
  std::ifstream in(argv[2]);
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  std::vector<std::string> lines;
  std::string line;
  for (std::istringstream stream(text); std::getline(stream, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  const std::string paths[5] = {dir + "/jieba.dict.utf8", dir + "/hmm_model.utf8", dir + "/user.dict.utf8",
                                dir + "/idf.utf8", dir + "/stop_words.utf8"};

  std::vector<double> construct, checks;
  {
    // An untimed first construction, as the Python side is measured in a warmed-up process.
    lumo::segmenter::check_segmenter_files(paths[0], paths[1], paths[2], paths[3], paths[4]);
    cppjieba::Jieba warm(paths[0], paths[1], paths[2], paths[3], paths[4]);
  }
  for (int r = 0; r < repeats; ++r) {
    auto start = std::chrono::steady_clock::now();
    lumo::segmenter::check_segmenter_files(paths[0], paths[1], paths[2], paths[3], paths[4]);
    checks.push_back(seconds_since(start));
    start = std::chrono::steady_clock::now();
    cppjieba::Jieba probe(paths[0], paths[1], paths[2], paths[3], paths[4]);
    construct.push_back(seconds_since(start));
  }
  cppjieba::Jieba jieba(paths[0], paths[1], paths[2], paths[3], paths[4]);

  std::vector<double> cut_lines, search_lines, cut_whole, search_whole;
  std::size_t words = 0;
  {
    // One untimed pass, as the Python side is measured on a warmed-up object too.
    std::vector<std::string> out;
    for (const auto& l : lines) jieba.CutForSearch(l, out, true);
    jieba.Cut(text, out, true);
  }
  for (int r = 0; r < repeats; ++r) {
    std::vector<std::string> out;
    auto start = std::chrono::steady_clock::now();
    for (const auto& l : lines) { jieba.Cut(l, out, true); words += out.size(); }
    cut_lines.push_back(seconds_since(start));
    start = std::chrono::steady_clock::now();
    for (const auto& l : lines) { jieba.CutForSearch(l, out, true); words += out.size(); }
    search_lines.push_back(seconds_since(start));
    start = std::chrono::steady_clock::now();
    jieba.Cut(text, out, true);
    cut_whole.push_back(seconds_since(start));
    start = std::chrono::steady_clock::now();
    jieba.CutForSearch(text, out, true);
    search_whole.push_back(seconds_since(start));
    words += out.size();
  }
  auto list = [](const std::vector<double>& values) {
    std::string s = "[";
    for (std::size_t i = 0; i < values.size(); ++i) s += (i ? ", " : "") + std::to_string(values[i]);
    return s + "]";
  };
  std::printf("{\"construct\": %s, \"checks\": %s, \"cut_lines\": %s, \"search_lines\": %s, "
              "\"cut_whole\": %s, \"search_whole\": %s, \"words\": %zu}\n",
              list(construct).c_str(), list(checks).c_str(), list(cut_lines).c_str(), list(search_lines).c_str(),
              list(cut_whole).c_str(), list(search_whole).c_str(), words);
  return 0;
}
