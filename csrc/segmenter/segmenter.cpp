// Our engine behind Segmenter, and batches over threads.
#include "segmenter.h"

#include <exception>

#include "engine.h"
#include "parallel_for.h"
#include "segmenter_checks.h"

namespace lumo::segmenter {

struct Segmenter::Library {
  explicit Library(std::unique_ptr<Engine> built) : owner(std::move(built)), engine(*owner) {}
  std::unique_ptr<Engine> owner;
  Engine& engine;
};

namespace {

// The five files read once each, in the order check_segmenter_files reads them, stopping at the
// first that cannot be read. Each is read once only: a FIFO serves its bytes once.
struct ReadFiles {
  SegmenterFiles files;
  std::exception_ptr failure;
  int failed_stage = -1;  // 0 dict, 1 user dictionaries, 2 HMM, 3 IDF, 4 stop words
};

ReadFiles read_files(const SegmenterPaths& paths) {
  ReadFiles read;
  int stage = 0;
  try {
    read.files.dict = read_file(paths[0]);
    stage = 1;
    for (const std::string& user_path : split_user_dict_paths(paths[2])) {
      read.files.user_dicts.push_back(read_file(user_path));
    }
    stage = 2;
    read.files.hmm = read_file(paths[1]);
    stage = 3;
    read.files.idf = read_file(paths[3]);
    stage = 4;
    read.files.stop_words = read_file(paths[4]);
  } catch (const std::exception&) {
    read.failure = std::current_exception();
    read.failed_stage = stage;
  }
  return read;
}

// check_segmenter_files over bytes already read: the same checks, the same first failure.
void check_read_files(const ReadFiles& read, const SegmenterPaths& paths) {
  const auto fail_at = [&read](int stage) {
    if (read.failure && read.failed_stage == stage) std::rethrow_exception(read.failure);
  };
  fail_at(0);
  check_dictionary(paths[0], read.files.dict);
  fail_at(1);
  fail_at(2);
  check_hmm_model(paths[1], read.files.hmm);
  fail_at(3);
  check_idf(paths[3], read.files.idf);
  fail_at(4);
}

}  // namespace

Segmenter::Segmenter(const SegmenterPaths& paths) : paths_(paths) {
  const ReadFiles read = read_files(paths);
  if (!read.failure) {
    key_ = dictionary_key(read.files);
    try {
      // Compiled from these bytes, which passed the checks then: no need to check them again.
      library_ = std::make_unique<Library>(Engine::load(paths[0] + kCompiledSuffix, key_));
      return;
    } catch (const std::exception&) {
      // absent, stale or damaged: built from the files below
    }
  }
  // The checks refuse what the library would have aborted on; the engine loads the very bytes
  // that were checked.
  check_read_files(read, paths);
  library_ = std::make_unique<Library>(std::make_unique<Engine>(read.files));
}

Segmenter::Segmenter(const SegmenterPaths& paths, const std::string& compiled_path) : paths_(paths) {
  const ReadFiles read = read_files(paths);
  if (read.failure) check_read_files(read, paths);  // raises the error the files' checks would
  key_ = dictionary_key(read.files);
  library_ = std::make_unique<Library>(Engine::load(compiled_path, key_));
}

void Segmenter::save_compiled(const std::string& path) const {
  {
    const std::shared_lock<std::shared_mutex> reading(lock_);
    if (inserted_.empty()) {
      library_->engine.save(path, key_);
      return;
    }
  }
  // Inserted words are not the files': compile the files afresh, provided they are unchanged.
  const ReadFiles read = read_files(paths_);
  check_read_files(read, paths_);
  const SegmenterFiles& files = read.files;
  if (dictionary_key(files) != key_) {
    throw std::invalid_argument("the dictionary files changed since this segmenter read them");
  }
  Engine(files).save(path, key_);
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
