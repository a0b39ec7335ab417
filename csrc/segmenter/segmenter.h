// Segmenter: the segmentation library (cppjieba) behind a header of our own. Its headers say
// `using namespace`, so segmenter.cpp is the one file that includes them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
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

// Words with their part-of-speech tags: words[i] has the tag names[tags[i]]; each tag used is
// named once, in the order of its first word.
struct TaggedWords {
  WordSpans words;
  std::vector<std::uint32_t> tags;
  std::vector<std::string> names;
};

// The library's mixed mode (dictionary, and the HMM for words it lacks), its search mode, which
// adds the shorter dictionary words inside long ones, and its full mode: every dictionary word.
enum class CutMode { Mixed, Search, Full };

// A word added at run time, as given, so that a copy of the segmenter can add it again.
struct InsertedWord {
  std::string word;
  std::optional<int> freq;
  std::optional<std::string> tag;
};

// The five files, in the constructor's order: dict_path, hmm_path, user_dict_path, idf_path,
// stop_word_path.
using SegmenterPaths = std::array<std::string, 5>;

class Segmenter {
 public:
  // Reads and checks the five files (check_segmenter_files), then loads exactly the bytes that
  // were checked. Throws FileAccessError, std::invalid_argument or std::length_error. A compiled
  // dictionary beside the main one (its path + kCompiledSuffix) made from these very bytes is
  // mapped instead; one made from other bytes, or damaged, is ignored.
  explicit Segmenter(const SegmenterPaths& paths);
  // Maps the compiled dictionary at `compiled_path`, which must have been made from the five
  // files' present bytes. Throws as above, and std::invalid_argument for a compiled file that
  // does not match them or is damaged.
  Segmenter(const SegmenterPaths& paths, const std::string& compiled_path);
  ~Segmenter();
  Segmenter(const Segmenter&) = delete;
  Segmenter& operator=(const Segmenter&) = delete;

  // The words of a UTF-8 sentence; `hmm` false leaves out the words the HMM would find (full
  // mode never uses it). A sentence the library cannot decode gives no words (and the library's
  // "decode failed" line on standard error). Throws std::length_error for a sentence of 4 GiB or
  // more, std::bad_alloc when memory runs out. Every call may overlap with any other on one
  // object: reads share its dictionary, and insert_user_word waits for them.
  WordSpans cut(const std::string& sentence, CutMode mode, bool hmm = true) const;
  // cut into `words` (cleared first), whose memory a caller cutting many sentences reuses.
  void cut(std::string_view sentence, CutMode mode, bool hmm, WordSpans& words) const;

  // Each word of the mixed mode with its part-of-speech tag, as the library tags it. Throws as cut.
  TaggedWords tag(const std::string& sentence) const;

  // The library's TF-IDF keywords over the loaded IDF table and stop words, best first.
  std::vector<std::pair<std::string, double>> extract_keywords(const std::string& sentence, std::size_t top_k) const;

  // Adds a word to the dictionary for every later call (the library's InsertUserWord, with its
  // default weight and tag when none is given); returns what the library returns (false for a
  // word its decoder refuses). Waits for the calls in progress. The library records an added word
  // of one character only in its trie, not among the single characters that mixed mode keeps from
  // the HMM: there, such a word may still be joined with its neighbours. Throws
  // std::invalid_argument for a word check_inserted_word refuses, a freq of 0 or less, or a tag
  // that is not UTF-8 (tag() returns it as text).
  bool insert_user_word(const std::string& word, std::optional<int> freq, const std::optional<std::string>& tag);
  // Every word added, once each, in the order of its first insertion, with its latest bytes,
  // freq and tag: replaying them gives the same dictionary (the library keeps the last insertion
  // of a word, words being equal when their decoded code points are).
  std::vector<InsertedWord> inserted_words() const;

  // Every sentence cut as by cut, on up to `threads` threads (0: as many as the process may run
  // on). Throws the first failure of any sentence, after every thread has finished.
  std::vector<WordSpans> cut_batch(const std::vector<const std::string*>& sentences, CutMode mode,
                                   unsigned threads, bool hmm = true) const;

  const SegmenterPaths& paths() const noexcept { return paths_; }

  // The lines of the stop words file (split at '\n' only), as extract_keywords leaves them out.
  // Fixed for the segmenter's life: insert_user_word does not change them.
  const std::unordered_set<std::string>& stop_words() const noexcept;

  // Writes the dictionary of the five files (without the words inserted since) as a compiled
  // dictionary. Throws FileAccessError, or what reading the files again throws.
  void save_compiled(const std::string& path) const;

  static constexpr const char* kCompiledSuffix = ".compiled";

 private:
  struct Library;
  friend struct ForkGuard;
  SegmenterPaths paths_;
  std::uint64_t key_ = 0;  // dictionary_key of the five files' bytes
  std::unique_ptr<Library> library_;
  // The library's trie is not safe to change under readers: reads share, an insertion is alone.
  // After a fork the child gets a new lock: the threads that held it stayed in the parent.
  mutable std::shared_mutex lock_;
  // Held around every change of the dictionary, inside lock_; a fork waits for it, so a child
  // never inherits a trie half changed (a fork does not wait for readers, who change nothing).
  std::mutex changing_;
  std::vector<InsertedWord> inserted_;  // guarded by lock_ and changing_
  std::unordered_map<std::u32string, std::size_t> inserted_index_;  // code points -> index in inserted_
};

}  // namespace lumo::segmenter
