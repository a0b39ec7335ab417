// Engine: our own segmentation engine, giving word for word, tag for tag and keyword weight for
// keyword weight what cppjieba 5.0.3 gives over the same five files.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "rune_trie.h"
#include "segmenter.h"
#include "segmenter_checks.h"

namespace lumo::segmenter {

// The longest dictionary match a cut looks for, in code points (the library's MAX_WORD_LENGTH).
inline constexpr std::size_t kMaxMatchRunes = 512;

// The HMM's four states in the library's order: Begin, End, Middle, Single.
inline constexpr std::size_t kHmmStates = 4;

class Engine {
 public:
  // Builds the engine from files that check_segmenter_files accepted. Throws std::bad_alloc, or
  // std::length_error for a dictionary beyond the trie's node ids.
  explicit Engine(const SegmenterFiles& files);

  // Appends the words of `sentence` to `words` (cleared first), as the library cuts it in `mode`.
  // An undecodable sentence gives none, and the library's "decode failed. " line on standard error.
  void cut(std::string_view sentence, CutMode mode, bool hmm, WordSpans& words) const;

  // Mixed-mode words with the library's part-of-speech tags, into `tagged` (cleared first). An
  // undecodable sentence gives none, as cut.
  void tag(std::string_view sentence, TaggedWords& tagged) const;
  // The same as (word, tag) pairs of bytes, as the library's Tag gives them.
  std::vector<std::pair<std::string, std::string>> tag(std::string_view sentence) const;

  // The library's TF-IDF keywords, best first, at most `top_k`.
  std::vector<std::pair<std::string, double>> extract_keywords(std::string_view sentence, std::size_t top_k) const;

  // The stop words file's lines; fixed once the engine is built.
  const std::unordered_set<std::string>& stop_words() const noexcept { return stop_words_; }

  // The library's InsertUserWord: false (and its log line) for a word it cannot decode.
  bool insert_user_word(std::string_view word, std::optional<int> freq, const std::string& tag);

  // Writes the engine as a compiled dictionary file under `key` (see dictionary_key), through a
  // temporary file renamed into place. Throws FileAccessError, std::invalid_argument for a path
  // with a NUL byte or that names something other than a regular file.
  void save(const std::string& path, std::uint64_t key) const;

  // Maps a compiled dictionary read-only and uses its tables in place. Throws FileAccessError for
  // a file that cannot be opened, std::invalid_argument for one that is not a compiled dictionary
  // of this version, is damaged, or was compiled from other files than `key` names.
  static std::unique_ptr<Engine> load(const std::string& path, std::uint64_t key);

 private:
  Engine() = default;
  struct Scratch;
  static Scratch& thread_scratch();
  struct Emission {
    double weight[kHmmStates];
  };

  std::int32_t tag_id(const std::string& tag);
  void load_dictionary(const std::string& content);
  void load_user_dictionary(const std::string& content, std::vector<std::uint32_t>& runes);
  void load_hmm(const std::string& content);
  void load_idf(const std::string& content);
  void load_stop_words(const std::string& content);
  void set_emission(std::size_t state, std::uint32_t rune, double weight);
  const Emission& emission(std::uint32_t rune) const noexcept {
    if (rune < RuneTrie::kDirectRunes) return emissions_[emission_index_[rune]];
    const auto found = emission_astral_.find(rune);
    return emissions_[found == emission_astral_.end() ? 0 : found->second];
  }
  bool is_user_single(std::uint32_t rune) const noexcept {
    if (rune < RuneTrie::kDirectRunes) return ((user_single_bits_[rune >> 6] >> (rune & 63)) & 1u) != 0;
    return std::binary_search(user_singles_.begin(), user_singles_.end(), rune);
  }
  void index_user_singles() noexcept;

  // Segmentation of one range of runes (no separator inside) into [start, length) words.
  void cut_range(Scratch& scratch, std::size_t begin, std::size_t end, CutMode mode, bool hmm) const;
  void best_path(Scratch& scratch, std::size_t begin, std::size_t end) const;
  void mixed_range(Scratch& scratch, std::size_t begin, std::size_t end, bool hmm) const;
  void hmm_range(Scratch& scratch, std::size_t begin, std::size_t end) const;
  void viterbi(Scratch& scratch, std::size_t begin, std::size_t end) const;
  void full_range(Scratch& scratch, std::size_t begin, std::size_t end) const;
  void search_range(Scratch& scratch, std::size_t begin, std::size_t end, bool hmm) const;
  // tag on the given buffers. Not inlined: where the compiler sees that `scratch` is the
  // thread_local, it looks its address up again (__tls_get_addr) at uses inside the loops, which
  // made tag 4% slower.
  [[gnu::noinline]] void tag(Scratch& scratch, std::string_view sentence, TaggedWords& tagged) const;
  // Decodes and cuts; false for an undecodable sentence (after the log line).
  bool cut_words(std::string_view sentence, CutMode mode, bool hmm, Scratch& scratch) const;

  RuneTrie trie_;
  std::vector<std::string> tags_;
  std::unordered_map<std::string, std::int32_t> tag_ids_;
  double freq_sum_ = 0.0;
  double min_weight_ = 0.0;
  double user_word_default_weight_ = 0.0;
  std::vector<std::uint32_t> user_singles_;  // sorted: single code points of the user dictionary files
  // The BMP ones of user_singles_, a bit each: mixed cuts ask about every single-rune word, and
  // a bit test is a few instructions where the binary search was a loop.
  std::array<std::uint64_t, RuneTrie::kDirectRunes / 64> user_single_bits_ = {};

  double start_[kHmmStates] = {};
  double transition_[kHmmStates][kHmmStates] = {};
  // The previous states Viterbi tries for each state, in the library's order (plan_transitions).
  std::uint8_t from_count_[kHmmStates] = {kHmmStates, kHmmStates, kHmmStates, kHmmStates};
  std::uint8_t from_states_[kHmmStates][kHmmStates] = {{0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3}};
  // Whether that plan is the library model's (B and S from E or S, E and M from B or M), for
  // which Viterbi has a loop of its own.
  bool library_plan_ = false;
  void plan_transitions() noexcept;
  std::vector<std::uint32_t> emission_index_;  // by BMP code point; 0: no emission in any state
  std::unordered_map<std::uint32_t, std::uint32_t> emission_astral_;
  std::vector<Emission> emissions_;

  // The IDF table, sorted by word: idf_count_ words, word i at idf_blob_[idf_offsets_[i],
  // idf_offsets_[i + 1]). Owned, or in the mapping.
  const double* find_idf(std::string_view word) const noexcept;
  std::size_t idf_count_ = 0;
  const std::uint32_t* idf_offsets_ = nullptr;
  const char* idf_blob_ = nullptr;
  const double* idf_values_ = nullptr;
  std::vector<std::uint32_t> idf_offsets_storage_;
  std::string idf_blob_storage_;
  std::vector<double> idf_values_storage_;
  double idf_average_ = 0.0;
  std::shared_ptr<const void> mapping_;  // the compiled dictionary the tables above may point into
  std::unordered_set<std::string> stop_words_;
};

// The key of a compiled dictionary: a hash of the five files' bytes (each user dictionary on its
// own), so that a file compiled from other bytes is never used.
std::uint64_t dictionary_key(const SegmenterFiles& files);

}  // namespace lumo::segmenter
