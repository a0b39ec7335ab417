// The segmentation library behind Segmenter, and batches over threads.
#include "segmenter.h"

#include <pthread.h>

#include <algorithm>
#include <cppjieba/Jieba.hpp>
#include <new>
#include <system_error>
#include <unordered_set>

#include "memory_file.h"
#include "parallel_for.h"
#include "segmenter_checks.h"

namespace lumo::segmenter {

// The bound on inserted and dictionary words is the library's own look-ahead.
static_assert(kMaxWordRunes == cppjieba::MAX_WORD_LENGTH, "a longer word could be found, or a shorter one refused");

struct Segmenter::Library {
  explicit Library(const MemoryFiles& files)
      : jieba(files.dict_path(), files.hmm_path(), files.user_dict_path(), files.idf_path(), files.stop_word_path()) {}
  cppjieba::Jieba jieba;
};

// Every live Segmenter, for the fork handlers: before a fork, wait for the changes in progress
// (so the child's dictionary is whole); in the child, give each segmenter a free lock, since the
// threads that held it (inside cut_batch, say) do not exist there.
struct ForkGuard {
  static std::mutex& registry_lock() {
    static auto* lock = new std::mutex;  // never destroyed: a fork may follow static destruction
    return *lock;
  }
  static std::unordered_set<Segmenter*>& registry() {
    static auto* segmenters = new std::unordered_set<Segmenter*>;
    return *segmenters;
  }
  static void prepare() {
    registry_lock().lock();
    for (Segmenter* segmenter : registry()) segmenter->changing_.lock();
  }
  static void parent() {
    for (Segmenter* segmenter : registry()) segmenter->changing_.unlock();
    registry_lock().unlock();
  }
  static void child() {
    for (Segmenter* segmenter : registry()) {
      new (&segmenter->lock_) std::shared_mutex;  // the old one has no owner left to release it
      segmenter->changing_.unlock();
    }
    registry_lock().unlock();
  }
  static void add(Segmenter* segmenter) {
    static const int installed = pthread_atfork(&prepare, &parent, &child);
    if (installed != 0) throw std::system_error(installed, std::generic_category(), "pthread_atfork");
    const std::lock_guard<std::mutex> guard(registry_lock());
    registry().insert(segmenter);
  }
  static void remove(Segmenter* segmenter) noexcept {
    const std::lock_guard<std::mutex> guard(registry_lock());
    registry().erase(segmenter);
  }
};

Segmenter::Segmenter(const SegmenterPaths& paths) : paths_(paths) {
  // The library aborts the process on a file it cannot load; the checks raise first, and the
  // library then loads the very bytes that were checked.
  const MemoryFiles files(check_segmenter_files(paths[0], paths[1], paths[2], paths[3], paths[4]));
  library_ = std::make_unique<Library>(files);
  ForkGuard::add(this);
}

Segmenter::~Segmenter() { ForkGuard::remove(this); }

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
  if (freq && *freq <= 0) throw std::invalid_argument("freq must be above zero, not " + std::to_string(*freq));
  if (tag && !is_utf8(*tag)) throw std::invalid_argument("tag is not UTF-8 text");
  std::optional<std::u32string> runes = inserted_word_runes(word);
  const std::string word_tag = tag.value_or(cppjieba::UNKNOWN_TAG);
  const auto insert = [&] {
    return freq ? library_->jieba.InsertUserWord(word, *freq, word_tag) : library_->jieba.InsertUserWord(word, word_tag);
  };
  // Everything that can fail comes before the library's insertion; recording it then cannot.
  InsertedWord record{word, freq, tag};
  const std::unique_lock<std::shared_mutex> writing(lock_);
  const std::lock_guard<std::mutex> changing(changing_);
  if (!runes) return insert();  // false, with the library's own log line
  auto found = inserted_index_.find(*runes);
  if (found != inserted_index_.end()) {
    InsertedWord& known = inserted_[found->second];
    // The library would only add an equal entry; its list of entries grows with every insertion.
    const bool same = known.freq == freq && known.tag == tag;
    if (!same && !insert()) return false;
    known = std::move(record);
    return true;
  }
  if (inserted_.size() == inserted_.capacity()) inserted_.reserve(std::max<std::size_t>(16, 2 * inserted_.size()));
  found = inserted_index_.emplace(std::move(*runes), inserted_.size()).first;
  bool inserted = false;
  try {
    inserted = insert();
  } catch (...) {
    inserted_index_.erase(found);
    throw;
  }
  if (!inserted) {
    inserted_index_.erase(found);
    return false;
  }
  inserted_.push_back(std::move(record));  // within capacity: cannot throw
  return true;
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
