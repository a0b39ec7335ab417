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

WordSpans Segmenter::cut(const std::string& sentence, CutMode mode, bool hmm) const {
  check_sentence(sentence);
  std::vector<cppjieba::Word> words;
  {
    const std::shared_lock<std::shared_mutex> reading(lock_);
    switch (mode) {
      case CutMode::Mixed: library_->jieba.Cut(sentence, words, hmm); break;
      case CutMode::Search: library_->jieba.CutForSearch(sentence, words, hmm); break;
      case CutMode::Full: library_->jieba.CutAll(sentence, words); break;
    }
  }
  WordSpans spans;
  spans.reserve(words.size());
  for (const cppjieba::Word& word : words) {
    spans.push_back(WordSpan{word.offset, static_cast<std::uint32_t>(word.word.size()), word.unicode_offset,
                             word.unicode_length});
  }
  return spans;
}

std::vector<std::pair<std::string, std::string>> Segmenter::tag(const std::string& sentence) const {
  check_sentence(sentence);
  std::vector<std::pair<std::string, std::string>> tagged;
  const std::shared_lock<std::shared_mutex> reading(lock_);
  library_->jieba.Tag(sentence, tagged);
  return tagged;
}

std::vector<std::pair<std::string, double>> Segmenter::extract_keywords(const std::string& sentence,
                                                                        std::size_t top_k) const {
  check_sentence(sentence);
  std::vector<std::pair<std::string, double>> keywords;
  const std::shared_lock<std::shared_mutex> reading(lock_);
  library_->jieba.extractor.Extract(sentence, keywords, top_k);
  return keywords;
}

bool Segmenter::insert_user_word(const std::string& word, std::optional<int> freq,
                                 const std::optional<std::string>& tag) {
  check_sentence(word);
  const std::string word_tag = tag.value_or(cppjieba::UNKNOWN_TAG);
  InsertedWord record{word, freq, tag};
  const std::unique_lock<std::shared_mutex> writing(lock_);
  inserted_.reserve(inserted_.size() + 1);  // so that recording the word cannot fail once it is in
  const bool inserted = freq ? library_->jieba.InsertUserWord(word, *freq, word_tag)
                             : library_->jieba.InsertUserWord(word, word_tag);
  if (inserted) inserted_.push_back(std::move(record));
  return inserted;
}

std::vector<InsertedWord> Segmenter::inserted_words() const {
  const std::shared_lock<std::shared_mutex> reading(lock_);
  return inserted_;
}

std::vector<WordSpans> Segmenter::cut_batch(const std::vector<const std::string*>& sentences, CutMode mode,
                                            unsigned threads) const {
  std::vector<WordSpans> results(sentences.size());
  parallel::parallel_for(sentences.size(), threads,
                         [&](std::size_t index) { results[index] = cut(*sentences[index], mode); });
  return results;
}

}  // namespace lumo::segmenter
