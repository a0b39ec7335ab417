// Our engine behind Segmenter, and batches over threads.
#include "segmenter.h"

#include "engine.h"
#include "parallel_for.h"
#include "segmenter_checks.h"

namespace lumo::segmenter {

struct Segmenter::Library {
  explicit Library(const SegmenterFiles& files) : engine(files) {}
  Engine engine;
};

Segmenter::Segmenter(const SegmenterPaths& paths) : paths_(paths) {
  // The checks refuse what the library would have aborted on; the engine loads the very bytes
  // that were checked.
  library_ = std::make_unique<Library>(check_segmenter_files(paths[0], paths[1], paths[2], paths[3], paths[4]));
}

Segmenter::~Segmenter() = default;

WordSpans Segmenter::cut(const std::string& sentence, CutMode mode, bool hmm) const {
  check_sentence(sentence);
  WordSpans spans;
  const std::shared_lock<std::shared_mutex> reading(lock_);
  library_->engine.cut(sentence, mode, hmm, spans);
  return spans;
}

std::vector<std::pair<std::string, std::string>> Segmenter::tag(const std::string& sentence) const {
  check_sentence(sentence);
  const std::shared_lock<std::shared_mutex> reading(lock_);
  return library_->engine.tag(sentence);
}

std::vector<std::pair<std::string, double>> Segmenter::extract_keywords(const std::string& sentence,
                                                                        std::size_t top_k) const {
  check_sentence(sentence);
  const std::shared_lock<std::shared_mutex> reading(lock_);
  return library_->engine.extract_keywords(sentence, top_k);
}

bool Segmenter::insert_user_word(const std::string& word, std::optional<int> freq,
                                 const std::optional<std::string>& tag) {
  check_sentence(word);
  const std::string word_tag = tag.value_or("");  // the library's UNKNOWN_TAG
  InsertedWord record{word, freq, tag};
  const std::unique_lock<std::shared_mutex> writing(lock_);
  inserted_.reserve(inserted_.size() + 1);  // so that recording the word cannot fail once it is in
  const bool inserted = library_->engine.insert_user_word(word, freq, word_tag);
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
