// Our engine against cppjieba, both called directly in C++: the novel cut line by line in mixed,
// search and full modes, rounds interleaved. Prints one JSON object: for each mode, the seconds
// of every round of each.
#include <algorithm>
#include <chrono>
#include <cppjieba/Jieba.hpp>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine.h"
#include "memory_file.h"
#include "segmenter_checks.h"

namespace {

using Clock = std::chrono::steady_clock;
using lumo::segmenter::CutMode;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: engine_speed DICT_DIR TEXT ROUNDS\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int rounds = std::stoi(argv[3]);
  std::ifstream in(argv[2]);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  const lumo::segmenter::SegmenterFiles files = lumo::segmenter::check_segmenter_files(
      dir + "/jieba.dict.utf8", dir + "/hmm_model.utf8", dir + "/user.dict.utf8", dir + "/idf.utf8",
      dir + "/stop_words.utf8");
  const lumo::segmenter::MemoryFiles memory(files);
  // Construction from the same bytes, interleaved: the library's load against the engine's build.
  std::vector<double> library_loads, engine_builds;
  for (int round = 0; round < 3; ++round) {
    auto start = Clock::now();
    { const cppjieba::Jieba loaded(memory.dict_path(), memory.hmm_path(), memory.user_dict_path(), memory.idf_path(),
                                   memory.stop_word_path()); }
    library_loads.push_back(seconds_since(start));
    start = Clock::now();
    { const lumo::segmenter::Engine built(files); }
    engine_builds.push_back(seconds_since(start));
  }
  std::sort(library_loads.begin(), library_loads.end());
  std::sort(engine_builds.begin(), engine_builds.end());
  const cppjieba::Jieba library(memory.dict_path(), memory.hmm_path(), memory.user_dict_path(), memory.idf_path(),
                                memory.stop_word_path());
  const lumo::segmenter::Engine engine(files);

  const struct {
    CutMode mode;
    const char* name;
  } modes[] = {{CutMode::Mixed, "mixed"}, {CutMode::Search, "search"}, {CutMode::Full, "full"}};
  std::printf("{\"lines\": %zu, \"construct\": {\"cppjieba\": %.4f, \"engine\": %.4f}", lines.size(),
              library_loads[1], engine_builds[1]);
  for (const auto& mode : modes) {
    std::vector<double> theirs, ours;
    std::size_t checksum = 0;
    for (int round = 0; round < rounds; ++round) {
      std::vector<cppjieba::Word> words;
      auto start = Clock::now();
      for (const std::string& line : lines) {
        switch (mode.mode) {
          case CutMode::Mixed: library.Cut(line, words, true); break;
          case CutMode::Search: library.CutForSearch(line, words, true); break;
          case CutMode::Full: library.CutAll(line, words); break;
        }
        checksum += words.size();
      }
      theirs.push_back(seconds_since(start));
      lumo::segmenter::WordSpans spans;
      start = Clock::now();
      for (const std::string& line : lines) {
        engine.cut(line, mode.mode, true, spans);
        checksum -= spans.size();
      }
      ours.push_back(seconds_since(start));
    }
    const auto list = [](const std::vector<double>& times) {
      std::string text = "[";
      for (std::size_t i = 0; i < times.size(); ++i) text += (i ? ", " : "") + std::to_string(times[i]);
      return text + "]";
    };
    std::printf(", \"%s\": {\"cppjieba\": %s, \"engine\": %s, \"same_word_count\": %s}", mode.name,
                list(theirs).c_str(), list(ours).c_str(), checksum == 0 ? "true" : "false");
  }
  std::printf("}\n");
  return 0;
}
