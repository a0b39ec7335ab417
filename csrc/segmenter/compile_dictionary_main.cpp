// Build-time tool: compiles the five dictionary files into the file the module maps.
// Usage: compile_dictionary OUT DICT HMM USER_DICT IDF STOP_WORDS
#include <cstdio>
#include <exception>

#include "engine.h"
#include "segmenter_checks.h"

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: compile_dictionary OUT DICT HMM USER_DICT IDF STOP_WORDS\n");
    return 2;
  }
  try {
    const lumo::segmenter::SegmenterFiles files =
        lumo::segmenter::check_segmenter_files(argv[2], argv[3], argv[4], argv[5], argv[6]);
    lumo::segmenter::Engine(files).save(argv[1], lumo::segmenter::dictionary_key(files));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "compile_dictionary: %s\n", error.what());
    return 1;
  }
  return 0;
}
