// Segmenter: the segmentation library (cppjieba) behind a header of our own. Its headers say
// `using namespace`, so segmenter.cpp is the one file that includes them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumo::segmenter {

// A word of a segmented sentence: its bytes are sentence[offset, offset + size), and it covers
// `unicode_length` code points from code point `unicode_offset`.
struct WordSpan {
  std::uint32_t offset;
  std::uint32_t size;
  std::uint32_t unicode_offset;
  std::uint32_t unicode_length;
};
using WordSpans = std::vector<WordSpan>;

// The library's mixed mode (dictionary and HMM), and its search mode, which adds the shorter
// dictionary words inside long ones.
enum class CutMode { Mixed, Search };

// The five files, in the constructor's order: dict_path, hmm_path, user_dict_path, idf_path,
// stop_word_path.
using SegmenterPaths = std::array<std::string, 5>;

class Segmenter {
 public:
  // Reads and checks the five files (check_segmenter_files), then loads exactly the bytes that
  // were checked. Throws FileAccessError, std::invalid_argument or std::length_error.
  explicit Segmenter(const SegmenterPaths& paths);
  ~Segmenter();
  Segmenter(const Segmenter&) = delete;
  Segmenter& operator=(const Segmenter&) = delete;

  // The words of a UTF-8 sentence. A sentence the library cannot decode gives no words (and the
  // library's "decode failed" line on standard error). Throws std::length_error for a sentence
  // of 4 GiB or more, std::bad_alloc when memory runs out. Calls may overlap on one object.
  WordSpans cut(const std::string& sentence, CutMode mode) const;

  // Every sentence cut as by cut, on up to `threads` threads (0: as many as the process may run
  // on). Throws the first failure of any sentence, after every thread has finished.
  std::vector<WordSpans> cut_batch(const std::vector<const std::string*>& sentences, CutMode mode,
                                   unsigned threads) const;

  const SegmenterPaths& paths() const noexcept { return paths_; }

 private:
  struct Library;
  SegmenterPaths paths_;
  std::unique_ptr<Library> library_;
};

}  // namespace lumo::segmenter
