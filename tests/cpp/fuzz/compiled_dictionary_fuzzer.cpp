// Fuzzes the compiled-dictionary loader and a cut over what it loads. An input is either a whole
// file (even first byte) or, since a real compiled file is megabytes long, a set of byte patches
// and a truncation applied to a valid file compiled once from a tiny dictionary (odd first byte).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "engine.h"

namespace {

using lumo::segmenter::CutMode;
using lumo::segmenter::Engine;

const lumo::segmenter::SegmenterFiles& tiny_files() {
  static const lumo::segmenter::SegmenterFiles files = [] {
    lumo::segmenter::SegmenterFiles made;
    made.dict = "\xe4\xb8\xad 3 n\n\xe4\xb8\xad\xe5\x9b\xbd 5 ns\n\xe5\x9b\xbd\xe4\xba\xba 2 n\n\xf0\x9f\x98\x80\xe4\xba\xba 2 x\nab 1 eng\n";
    made.user_dicts = {"\xe4\xba\xba\n\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba 9 nz\n"};
    made.hmm =
        "-0.26 -3.14e+100 -3.14e+100 -1.46\n-3.14e+100 -0.51 -0.91 -3.14e+100\n-0.58 -3.14e+100 -3.14e+100 -0.81\n"
        "-3.14e+100 -0.33 -1.26 -3.14e+100\n-0.72 -3.14e+100 -3.14e+100 -0.66\n"
        "\xe4\xb8\xad:-1.0,\xe5\x9b\xbd:-2.0\n\xe4\xb8\xad:-1.5,\xe5\x9b\xbd:-2.5\n\xe4\xb8\xad:-3.0,\xe5\x9b\xbd:-1.0\n"
        "\xe4\xb8\xad:-2.0,\xe4\xba\xba:-1.0,\xf0\x9f\x98\x80:-3\n";
    made.idf = "\xe4\xb8\xad\xe5\x9b\xbd 3.5\n\xe5\x9b\xbd\xe4\xba\xba 1.25\n";
    made.stop_words = "\xe7\x9a\x84\n";
    return made;
  }();
  return files;
}

const std::string& valid_file() {
  static const std::string bytes = [] {
    const std::string path = "/tmp/compiled_dictionary_fuzzer." + std::to_string(::getpid());
    Engine(tiny_files()).save(path, 7);
    std::string content;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
      char buffer[65536];
      for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) content.append(buffer, got);
      std::fclose(file);
    }
    ::unlink(path.c_str());
    return content;
  }();
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string file;
  if (data[0] % 2 == 0) {
    file.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  } else {
    file = valid_file();
    std::size_t at = 1;
    if (size >= 5) {
      std::uint32_t keep;
      std::memcpy(&keep, data + 1, 4);
      if (keep % 4 == 0) file.resize(keep / 4 % (file.size() + 1));  // a truncation now and then
      at = 5;
    }
    for (; at + 5 <= size && !file.empty(); at += 5) {
      std::uint32_t offset;
      std::memcpy(&offset, data + at, 4);
      // Most patches land in the header, the section table and the small sections after the
      // root table; some anywhere.
      const std::size_t place = offset % 2 == 0 ? offset / 2 % std::min<std::size_t>(file.size(), 4096)
                                                : offset / 2 % file.size();
      file[place] = static_cast<char>(data[at + 4]);
    }
  }
  const int descriptor = ::memfd_create("compiled", MFD_CLOEXEC);
  if (descriptor < 0) return 0;
  if (::write(descriptor, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
    ::close(descriptor);
    return 0;
  }
  // The key the file claims, so that the fuzzer gets past the key check.
  std::uint64_t key = 7;
  if (file.size() >= 24) std::memcpy(&key, file.data() + 16, 8);
  try {
    const auto engine = Engine::load("/proc/self/fd/" + std::to_string(descriptor), key);
    lumo::segmenter::WordSpans spans;
    const std::string sentence = "\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba\xf0\x9f\x98\x80\xe4\xba\xba ab12 \xe4\xb8\xad";
    for (CutMode mode : {CutMode::Mixed, CutMode::Search, CutMode::Full}) {
      engine->cut(sentence, mode, true, spans);
      for (const auto& span : spans) {
        if (span.offset + span.size > sentence.size()) __builtin_trap();
      }
    }
    engine->cut(sentence, CutMode::Mixed, false, spans);
    engine->tag(sentence);
    engine->extract_keywords(sentence, 3);
    engine->insert_user_word("\xe4\xba\xba\xe4\xb8\xad", 4, "q");
    engine->cut(sentence, CutMode::Search, true, spans);
  } catch (const std::invalid_argument&) {
  } catch (const std::length_error&) {
  } catch (const lumo::segmenter::FileAccessError&) {
  }
  ::close(descriptor);
  return 0;
}
