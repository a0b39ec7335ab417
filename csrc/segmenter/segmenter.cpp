// Our engine behind Segmenter, and batches over threads.
#include "segmenter.h"

#include <pthread.h>

#include <algorithm>
#include <new>
#include <system_error>
#include <unordered_set>

#include "engine.h"
#include "parallel_for.h"
#include "segmenter_checks.h"

namespace lumo::segmenter {

// The bound on inserted and dictionary words is the library's own look-ahead.
static_assert(kMaxWordRunes == kMaxMatchRunes, "a longer word could be found, or a shorter one refused");

struct Segmenter::Library {
  explicit Library(std::unique_ptr<Engine> built) : owner(std::move(built)), engine(*owner) {}
  std::unique_ptr<Engine> owner;
  Engine& engine;
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

namespace {

SegmenterFiles checked_files(const SegmenterPaths& paths) {
  return check_segmenter_files(paths[0], paths[1], paths[2], paths[3], paths[4]);
}

}  // namespace

namespace {

// The compiled dictionary at `compiled_path` made from the five files' present bytes, found by
// their key without parsing them: it was only written from bytes that passed the checks, so they
// would pass again. Nothing (and `key` untouched) for a file absent, stale or damaged, or a read
// that fails; the caller then reads and checks the files as they come, for the library's first
// failure in its order.
std::unique_ptr<Engine> compiled_for(const SegmenterPaths& paths, const std::string& compiled_path,
                                     std::uint64_t& key) {
  try {
    const std::uint64_t read_key =
        dictionary_key(read_segmenter_files(paths[0], paths[1], paths[2], paths[3], paths[4]));
    std::unique_ptr<Engine> engine = Engine::load(compiled_path, read_key);
    key = read_key;
    return engine;
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace

Segmenter::Segmenter(const SegmenterPaths& paths) : paths_(paths) {
  // The checks refuse what the library would have aborted on; the engine maps the dictionary
  // compiled from exactly the files' bytes beside them, or loads the very bytes that were checked.
  std::unique_ptr<Engine> engine = compiled_for(paths, paths[0] + kCompiledSuffix, key_);
  if (!engine) {
    const SegmenterFiles files = checked_files(paths);
    key_ = dictionary_key(files);
    engine = std::make_unique<Engine>(files);
  }
  library_ = std::make_unique<Library>(std::move(engine));
  ForkGuard::add(this);
}

Segmenter::Segmenter(const SegmenterPaths& paths, const std::string& compiled_path) : paths_(paths) {
  std::unique_ptr<Engine> engine = compiled_for(paths, compiled_path, key_);
  if (!engine) {
    // The failure as the checks, then the loader, meet it.
    key_ = dictionary_key(checked_files(paths));
    engine = Engine::load(compiled_path, key_);
  }
  library_ = std::make_unique<Library>(std::move(engine));
  ForkGuard::add(this);
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
  const SegmenterFiles files = checked_files(paths_);
  if (dictionary_key(files) != key_) {
    throw std::invalid_argument("the dictionary files changed since this segmenter read them");
  }
  Engine(files).save(path, key_);
}

Segmenter::~Segmenter() { ForkGuard::remove(this); }

WordSpans Segmenter::cut(const std::string& sentence, CutMode mode, bool hmm) const {
  check_sentence(sentence);
  WordSpans spans;
  const std::shared_lock<std::shared_mutex> reading(lock_);
  library_->engine.cut(sentence, mode, hmm, spans);
  return spans;
}

void Segmenter::cut(std::string_view sentence, CutMode mode, bool hmm, WordSpans& words) const {
  check_sentence(sentence);
  const std::shared_lock<std::shared_mutex> reading(lock_);
  library_->engine.cut(sentence, mode, hmm, words);
}

const std::unordered_set<std::string>& Segmenter::stop_words() const noexcept { return library_->engine.stop_words(); }

TaggedWords Segmenter::tag(const std::string& sentence) const {
  check_sentence(sentence);
  TaggedWords tagged;
  const std::shared_lock<std::shared_mutex> reading(lock_);
  library_->engine.tag(sentence, tagged);
  return tagged;
}

std::vector<std::pair<std::string, double>> Segmenter::extract_keywords(const std::string& sentence,
                                                                        std::size_t top_k) const {
  check_sentence(sentence);
  const std::shared_lock<std::shared_mutex> reading(lock_);
  return library_->engine.extract_keywords(sentence, top_k);
}

bool Segmenter::insert_user_word(const std::string& word, std::optional<int> freq,
                                 const std::optional<std::string>& tag) {
  if (freq && *freq <= 0) throw std::invalid_argument("freq must be above zero, not " + std::to_string(*freq));
  if (tag && !is_utf8(*tag)) throw std::invalid_argument("tag is not UTF-8 text");
  std::optional<std::u32string> runes = inserted_word_runes(word);
  const std::string word_tag = tag.value_or("");  // the library's UNKNOWN_TAG
  const auto insert = [&] { return library_->engine.insert_user_word(word, freq, word_tag); };
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
                                            unsigned threads, bool hmm) const {
  std::vector<WordSpans> results(sentences.size());
  parallel::parallel_for(sentences.size(), threads,
                         [&](std::size_t index) { results[index] = cut(*sentences[index], mode, hmm); });
  return results;
}

}  // namespace lumo::segmenter
