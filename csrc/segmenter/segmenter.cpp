// The segmentation library behind Segmenter, and batches over threads.
#include "segmenter.h"

#include <cppjieba/Jieba.hpp>

#include "memory_file.h"
#include "parallel_for.h"
#include "segmenter_checks.h"

namespace lumo::segmenter {

struct Segmenter::Library {
  explicit Library(const MemoryFiles& files)
      : jieba(files.dict_path(), files.hmm_path(), files.user_dict_path(), files.idf_path(), files.stop_word_path()) {}
  cppjieba::Jieba jieba;
};

Segmenter::Segmenter(const SegmenterPaths& paths) : paths_(paths) {
  // The library aborts the process on a file it cannot load; the checks raise first, and the
  // library then loads the very bytes that were checked.
  const MemoryFiles files(check_segmenter_files(paths[0], paths[1], paths[2], paths[3], paths[4]));
  library_ = std::make_unique<Library>(files);
}

Segmenter::~Segmenter() = default;

WordSpans Segmenter::cut(const std::string& sentence, CutMode mode) const {
  check_sentence(sentence);
  // The library's words with offsets; it only reads its trie and model, so calls may overlap.
  std::vector<cppjieba::Word> words;
  if (mode == CutMode::Mixed) {
    library_->jieba.Cut(sentence, words, true);
  } else {
    library_->jieba.CutForSearch(sentence, words, true);
  }
  WordSpans spans;
  spans.reserve(words.size());
  for (const cppjieba::Word& word : words) {
    spans.push_back(WordSpan{word.offset, static_cast<std::uint32_t>(word.word.size()), word.unicode_offset,
                             word.unicode_length});
  }
  return spans;
}

std::vector<WordSpans> Segmenter::cut_batch(const std::vector<const std::string*>& sentences, CutMode mode,
                                            unsigned threads) const {
  std::vector<WordSpans> results(sentences.size());
  parallel::parallel_for(sentences.size(), threads,
                         [&](std::size_t index) { results[index] = cut(*sentences[index], mode); });
  return results;
}

}  // namespace lumo::segmenter
