// Checks of the segmenter's five files, run before the segmentation library loads them: the
// library ends the process on a file it cannot open or on content its own checks refuse.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lumo::segmenter {

// A file that cannot be opened or read; carries the errno value (ENOENT, EACCES, EISDIR, ...).
class FileAccessError : public std::runtime_error {
 public:
  FileAccessError(int error_number, std::string path);
  int error_number() const noexcept { return error_number_; }
  const std::string& path() const noexcept { return path_; }

 private:
  int error_number_;
  std::string path_;
};

// Malformed content is reported as std::invalid_argument with a message naming the file and the
// 1-based line: "<path>:<line>: <what is wrong>".

// Files are read whole, so a size beyond any real dictionary (or an endless device such as
// /dev/zero) is refused rather than read until memory runs out.
inline constexpr std::size_t kMaxFileBytes = std::size_t{256} << 20;

// All user dictionaries of one segmenter together, counted as named (a file named twice counts
// twice): a short list naming one large file many times is refused like one huge file.
inline constexpr std::size_t kMaxUserDictBytes = kMaxFileBytes;

// The longest word, in the library's code points, that a segmenter accepts into its dictionary.
// The library never looks further than 512 code points ahead for a dictionary word (its
// MAX_WORD_LENGTH, used by every cut mode), so no cut produces a longer one; and it frees its trie
// recursively, one stack frame per code point of the longest word, which this bound keeps to a
// few tens of KiB whatever the thread's stack.
inline constexpr std::size_t kMaxWordRunes = 512;

// Reads the whole file, once, without blocking: a regular file, or a character device read while
// it has data (/dev/null, /dev/zero). Throws FileAccessError (EAGAIN for a device with nothing to
// read yet), std::invalid_argument naming the file for anything else (a FIFO, a block device), or
// std::length_error naming the file when it holds more than kMaxFileBytes.
std::string read_file(const std::string& path);

// The paths the library reads from `user_dict_path`: split at every "|" and ";" exactly as the
// library splits it (an empty path names none; "a||b" names an empty path, which cannot open).
std::vector<std::string> split_user_dict_paths(const std::string& user_dict_path);

// Each takes the file's path (for messages) and content, and throws std::invalid_argument where
// the library would abort: a main dictionary line that is not "word weight tag" with a weight
// above zero, or an empty dictionary; a missing or malformed line among the HMM model's nine; an
// empty IDF file (it has no average); a dictionary word (main or user) longer than kMaxWordRunes.
// A stop-word file, and an IDF file's values, load whatever they hold.
void check_dictionary(const std::string& path, std::string_view content);
void check_user_dictionary(const std::string& path, std::string_view content);
void check_hmm_model(const std::string& path, std::string_view content);
void check_idf(const std::string& path, std::string_view content);

// The bytes of the segmenter's files as they were checked, each read exactly once.
struct SegmenterFiles {
  std::string dict;
  // The user dictionaries to load, in order: one per path of the list, except that a content
  // named again later is loaded only there. The library lets the last line of a word win, so
  // the earlier copy could change nothing.
  std::vector<std::string> user_dicts;
  std::string hmm;
  std::string idf;
  std::string stop_words;
};

// Reads and checks all five files as the segmenter's constructor would read them, and returns
// their bytes, which the library can load. Throws FileAccessError, std::invalid_argument or
// std::length_error.
SegmenterFiles check_segmenter_files(const std::string& dict_path, const std::string& hmm_path,
                           const std::string& user_dict_path, const std::string& idf_path,
                           const std::string& stop_word_path);

// The same bytes as check_segmenter_files, read with the same refusals (what read_file refuses,
// user dictionaries beyond kMaxUserDictBytes) but not parsed: for a key to look a compiled
// dictionary up by, which was only written from bytes that passed the checks. Throws
// FileAccessError, std::invalid_argument or std::length_error.
SegmenterFiles read_segmenter_files(const std::string& dict_path, const std::string& hmm_path,
                                    const std::string& user_dict_path, const std::string& idf_path,
                                    const std::string& stop_word_path);

// The library keeps byte offsets in 32 bits: longer sentences would wrap. Throws
// std::length_error for a sentence of 4 GiB or more.
void check_sentence(std::string_view sentence);

// The code points of a word given to insert_user_word, as the library decodes them (it reads
// lead bytes only), or nothing where the library's decoder gives up. Throws std::invalid_argument
// for a word refused: empty, only whitespace (as Python's str.isspace), or longer than
// kMaxWordRunes.
std::optional<std::u32string> inserted_word_runes(std::string_view word);

// Whether the bytes are UTF-8 as Python decodes it strictly (no surrogates, no overlong forms).
bool is_utf8(std::string_view text) noexcept;

}  // namespace lumo::segmenter
