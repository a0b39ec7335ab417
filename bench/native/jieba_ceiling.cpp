// cppjieba called directly: construction time (with and without the module's file checks),
// segmentation time over the lines of a text and over the whole text, and two threads cutting
// lines. Prints one JSON object of timings in seconds.
#include <chrono>
#include <cppjieba/Jieba.hpp>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "memory_file.h"
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
    const lumo::segmenter::MemoryFiles files(
        lumo::segmenter::check_segmenter_files(paths[0], paths[1], paths[2], paths[3], paths[4]));
    cppjieba::Jieba warm(paths[0], paths[1], paths[2], paths[3], paths[4]);
  }
  for (int r = 0; r < repeats; ++r) {
    // The checks as the module runs them: read once, check, copy into memory files.
    auto start = std::chrono::steady_clock::now();
    {
      const lumo::segmenter::MemoryFiles files(
          lumo::segmenter::check_segmenter_files(paths[0], paths[1], paths[2], paths[3], paths[4]));
    }
    checks.push_back(seconds_since(start));
    start = std::chrono::steady_clock::now();
    cppjieba::Jieba probe(paths[0], paths[1], paths[2], paths[3], paths[4]);
    construct.push_back(seconds_since(start));
  }
  cppjieba::Jieba jieba(paths[0], paths[1], paths[2], paths[3], paths[4]);

  // Each mode through both of the library's output forms (strings, or words with offsets); the
  // faster one is the ceiling.
  std::map<std::string, std::vector<double>> times;
  std::size_t words = 0;
  auto run = [&](const std::string& name, auto&& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    times[name].push_back(seconds_since(start));
  };
  auto pass = [&](bool timed) {
    std::vector<std::string> strings;
    std::vector<cppjieba::Word> offsets;
    auto maybe = [&](const std::string& name, auto&& body) {
      if (timed) {
        run(name, body);
      } else {
        body();
      }
    };
    maybe("cut_lines", [&] { for (const auto& l : lines) { jieba.Cut(l, strings, true); words += strings.size(); } });
    maybe("cut_lines_words", [&] { for (const auto& l : lines) { jieba.Cut(l, offsets, true); words += offsets.size(); } });
    maybe("search_lines", [&] { for (const auto& l : lines) { jieba.CutForSearch(l, strings, true); words += strings.size(); } });
    maybe("search_lines_words", [&] { for (const auto& l : lines) { jieba.CutForSearch(l, offsets, true); words += offsets.size(); } });
    maybe("cut_whole", [&] { jieba.Cut(text, strings, true); words += strings.size(); });
    maybe("cut_whole_words", [&] { jieba.Cut(text, offsets, true); words += offsets.size(); });
    maybe("search_whole", [&] { jieba.CutForSearch(text, strings, true); words += strings.size(); });
    maybe("search_whole_words", [&] { jieba.CutForSearch(text, offsets, true); words += offsets.size(); });
  };
  pass(false);  // untimed, as the Python side is measured on a warmed-up object too
  for (int r = 0; r < repeats; ++r) {
    pass(true);
    // The machine's own scaling: two threads on one object, every other line each.
    run("cut_lines_two_threads", [&] {
      std::vector<std::thread> threads;
      for (std::size_t part = 0; part < 2; ++part) {
        threads.emplace_back([&, part] {
          std::vector<std::string> out;
          for (std::size_t i = part; i < lines.size(); i += 2) jieba.Cut(lines[i], out, true);
        });
      }
      for (auto& thread : threads) thread.join();
    });
  }
  times["construct"] = construct;
  times["checks"] = checks;
  std::string out = "{";
  for (const auto& [name, values] : times) {
    out += "\"" + name + "\": [";
    for (std::size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + std::to_string(values[i]);
    out += "], ";
  }
  std::printf("%s\"words\": %zu}\n", out.c_str(), words);
  return 0;
}
