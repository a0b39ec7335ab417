// Replays, over each file's bytes, the parsing steps at which the segmentation library (cppjieba
// 5.0.3 with limonp) would abort, so that the binding can raise instead.
#include "segmenter_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_set>

namespace lumo::segmenter {
namespace {

// The library's line reader is std::getline: a final line feed does not start another line.
template <class Visit>
void for_each_line(std::string_view content, Visit visit) {
  std::size_t start = 0;
  std::size_t number = 1;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    visit(content.substr(start, end - start), number++);
    start = end + 1;
  }
}

// limonp::Split on one separator byte: the fields between separators, empty ones kept, except
// that nothing follows a separator at the very end. memchr keeps it cheap over the hundreds of
// thousands of dictionary lines.
std::size_t split_fields(std::string_view line, char separator, std::string_view* fields, std::size_t capacity) {
  std::size_t count = 0;
  const char* start = line.data();
  const char* const end = line.data() + line.size();
  while (start < end) {
    const void* found = std::memchr(start, separator, static_cast<std::size_t>(end - start));
    const char* stop = found != nullptr ? static_cast<const char*>(found) : end;
    if (count < capacity) fields[count] = std::string_view(start, static_cast<std::size_t>(stop - start));
    ++count;
    start = stop + 1;
  }
  return count;
}

// The library's UTF-8 decoder, which only looks at lead bytes. Returns the number of code points,
// or -1 where it gives up.
long decoded_length(std::string_view text) {
  long runes = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t left = text.size() - i;
    std::size_t length;
    if (lead < 0x80) {
      length = 1;
    } else if (lead <= 0xdf && left > 1) {
      length = 2;
    } else if (lead <= 0xef && left > 2) {
      length = 3;
    } else if (lead <= 0xf7 && left > 3) {
      length = 4;
    } else {
      return -1;
    }
    i += length;
    ++runes;
  }
  return runes;
}

// std::atof over the field, as the library converts it (in the process locale, like it).
double field_as_double(std::string_view field, std::string& scratch) {
  scratch.assign(field.data(), field.size());
  return std::atof(scratch.c_str());
}

// Whether atof gives a number above zero, and whether the sign could be read off the text
// alone: true for plain decimals ("12", "0.5", ".5") short enough never to underflow. Most
// dictionary lines take this path, which keeps the checks far cheaper than the load itself.
struct PlainSign {
  bool plain;
  bool positive;
};

PlainSign plain_decimal_sign(std::string_view field, bool point_is_dot) {
  if (field.empty() || field.size() > 20) return {false, false};
  bool digits = false;
  bool nonzero = false;
  bool point = false;
  for (char c : field) {
    if (c >= '0' && c <= '9') {
      digits = true;
      nonzero = nonzero || c != '0';
    } else if (c == '.' && !point && point_is_dot) {
      point = true;
    } else {
      return {false, false};
    }
  }
  return {digits, nonzero};
}

bool locale_point_is_dot() { return std::localeconv()->decimal_point[0] == '.' && std::localeconv()->decimal_point[1] == 0; }

bool atof_positive(std::string_view field, bool point_is_dot, std::string& scratch) {
  const PlainSign sign = plain_decimal_sign(field, point_is_dot);
  if (sign.plain) return sign.positive;
  // Not `> 0.0` fails for NaN as well, like the library's assertion.
  return field_as_double(field, scratch) > 0.0;
}

// limonp's Trim: std::isspace in the process locale.
bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view trim(std::string_view line) {
  while (!line.empty() && is_space(line.front())) line.remove_prefix(1);
  while (!line.empty() && is_space(line.back())) line.remove_suffix(1);
  return line;
}

std::string too_long_word() {
  return "word is longer than " + std::to_string(kMaxWordRunes) + " characters, which no cut produces";
}

[[noreturn]] void malformed(const std::string& path, std::size_t line, const std::string& what) {
  throw std::invalid_argument(path + ":" + std::to_string(line) + ": " + what);
}

void check_path_bytes(const std::string& path) {
  // The library would open the shorter path before the NUL byte.
  if (path.find('\0') != std::string::npos) {
    throw std::invalid_argument("segmenter file path contains a NUL byte");
  }
}

}  // namespace

FileAccessError::FileAccessError(int error_number, std::string path)
    : std::runtime_error("cannot read " + path), error_number_(error_number), path_(std::move(path)) {}

namespace {

// Owns an open file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int descriptor) noexcept : descriptor_(descriptor) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (descriptor_ >= 0) ::close(descriptor_);
  }
  int get() const noexcept { return descriptor_; }

 private:
  int descriptor_;
};

}  // namespace

namespace {

const char* file_kind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// Reads at most `limit` bytes; a file holding more throws std::length_error(too_large).
std::string read_bounded(const std::string& path, std::size_t limit, const std::string& too_large) {
  check_path_bytes(path);
  // O_NONBLOCK: opening a FIFO without a writer (or a device waiting for a carrier) would block
  // for ever; reading a device stays non-blocking, so one with nothing to give is refused.
  const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) throw FileAccessError(errno, path);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) throw FileAccessError(errno, path);
  if (S_ISDIR(status.st_mode)) throw FileAccessError(EISDIR, path);
  // A FIFO's bytes depend on a writer's timing; a block device is a disk. Character devices stay
  // readable (/dev/null is an empty file, /dev/zero meets the size bound).
  if (!S_ISREG(status.st_mode) && !S_ISCHR(status.st_mode)) {
    throw std::invalid_argument(path + ": " + file_kind(status.st_mode) + ", not a regular file");
  }
  if (S_ISREG(status.st_mode) && static_cast<std::size_t>(status.st_size) > limit) throw std::length_error(too_large);
  // Read straight into the result; grow past the reported size for files that lie about it, up
  // to one byte past the limit, which tells a file at the limit from a larger one.
  std::size_t wanted = S_ISREG(status.st_mode) ? static_cast<std::size_t>(status.st_size) + 1 : std::size_t{1} << 16;
  std::string content(std::min(wanted, limit + 1), '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size()) {
      if (filled > limit) throw std::length_error(too_large);
      content.resize(std::min(content.size() * 2, limit + 1));
    }
    const ssize_t got = ::read(file.get(), &content[filled], content.size() - filled);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      throw FileAccessError(errno, path);
    }
    filled += static_cast<std::size_t>(got);
  }
  if (filled > limit) throw std::length_error(too_large);
  content.resize(filled);
  return content;
}

std::string larger_than(const std::string& path, std::size_t limit) {
  return path + ": file is larger than " + std::to_string(limit >> 20) + " MiB";
}

}  // namespace

std::string read_file(const std::string& path) { return read_bounded(path, kMaxFileBytes, larger_than(path, kMaxFileBytes)); }

std::vector<std::string> split_user_dict_paths(const std::string& user_dict_path) {
  std::vector<std::string> paths;
  std::string_view rest(user_dict_path);
  std::size_t start = 0;
  while (start < rest.size()) {
    std::size_t end = rest.find_first_of("|;", start);
    if (end == std::string_view::npos) end = rest.size();
    paths.emplace_back(rest.substr(start, end - start));
    start = end + 1;
  }
  return paths;
}

void check_dictionary(const std::string& path, std::string_view content) {
  std::string scratch;
  const bool point_is_dot = locale_point_is_dot();
  bool any = false;
  for_each_line(content, [&](std::string_view line, std::size_t number) {
    std::string_view fields[3];
    if (split_fields(line, ' ', fields, 3) != 3) {
      malformed(path, number, "expected \"word weight tag\" separated by single spaces");
    }
    // An undecodable word would make the library reuse the previous line's word and weight.
    const long runes = decoded_length(fields[0]);
    if (runes < 0) malformed(path, number, "word is not UTF-8 text");
    if (static_cast<std::size_t>(runes) > kMaxWordRunes) malformed(path, number, too_long_word());
    if (!atof_positive(fields[1], point_is_dot, scratch)) {
      malformed(path, number, "weight must be a number above zero");
    }
    any = true;
  });
  if (!any) malformed(path, 1, "dictionary is empty");
}

void check_user_dictionary(const std::string& path, std::string_view content) {
  // The library skips empty lines and loads the first field of a line of one to three fields (a
  // word it cannot decode loads as nothing).
  for_each_line(content, [&](std::string_view line, std::size_t number) {
    if (line.empty()) return;
    std::string_view fields[3];
    const std::size_t count = split_fields(line, ' ', fields, 3);
    if (count > 3) return;
    const long runes = decoded_length(fields[0]);
    if (runes > 0 && static_cast<std::size_t>(runes) > kMaxWordRunes) malformed(path, number, too_long_word());
  });
}

void check_hmm_model(const std::string& path, std::string_view content) {
  // The model's significant lines, trimmed; empty lines and "#" comments are skipped.
  std::size_t found = 0;
  bool done = false;
  for_each_line(content, [&](std::string_view raw, std::size_t number) {
    if (done) return;
    const std::string_view line = trim(raw);
    if (line.empty() || line.front() == '#') return;
    ++found;
    if (found <= 5) {
      // The start probabilities, then one line of transition probabilities per state.
      std::string_view fields[4];
      if (split_fields(line, ' ', fields, 4) != 4) {
        malformed(path, number, "expected 4 probabilities separated by single spaces");
      }
    } else {
      // One line of emission probabilities per state: "char:prob" pairs separated by ",".
      std::size_t start = 0;
      while (start < line.size()) {
        std::size_t end = line.find(',', start);
        if (end == std::string_view::npos) end = line.size();
        const std::string_view pair = line.substr(start, end - start);
        std::string_view parts[2];
        if (split_fields(pair, ':', parts, 2) != 2 || decoded_length(parts[0]) != 1) {
          malformed(path, number, "expected \"character:probability\" pairs separated by \",\"");
        }
        start = end + 1;
      }
    }
    done = found == 9;
  });
  if (found < 9) {
    malformed(path, static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')) + 1,
              "HMM model ends after " + std::to_string(found) + " of its 9 lines");
  }
}

void check_idf(const std::string& path, std::string_view content) {
  // The library divides the sum of the values by the number of lines: without a line there is no
  // average. Any values load, whatever the average they give.
  if (content.empty()) malformed(path, 1, "IDF file is empty");
}

namespace {

// Reads the five files, refusing what read_file refuses and user dictionaries beyond their bound;
// `check` adds the parse checks, each as soon as its file is read.
SegmenterFiles segmenter_files(const std::string& dict_path, const std::string& hmm_path,
                               const std::string& user_dict_path, const std::string& idf_path,
                               const std::string& stop_word_path, bool check) {
  // The order the library reads them in, so the first failure is the one it would meet.
  SegmenterFiles files;
  files.dict = read_file(dict_path);
  if (check) check_dictionary(dict_path, files.dict);
  std::vector<std::string> user_dicts;
  std::size_t user_bytes = 0;
  for (const std::string& user_path : split_user_dict_paths(user_dict_path)) {
    const std::string too_large =
        user_bytes == 0 ? larger_than(user_path, kMaxFileBytes)
                        : user_path + ": user dictionaries are larger than " +
                              std::to_string(kMaxUserDictBytes >> 20) + " MiB together";
    user_dicts.push_back(read_bounded(user_path, kMaxUserDictBytes - user_bytes, too_large));
    user_bytes += user_dicts.back().size();
  }
  // Checked once all are read, so that a list past the bound is refused before any is parsed.
  const std::vector<std::string> user_paths = split_user_dict_paths(user_dict_path);
  for (std::size_t index = 0; index < user_dicts.size() && check; ++index) {
    check_user_dictionary(user_paths[index], user_dicts[index]);
  }
  // Each content where it is named last: what an earlier copy defines, the later one redefines.
  std::unordered_set<std::string_view> later;
  std::vector<bool> kept(user_dicts.size());
  for (std::size_t index = user_dicts.size(); index-- > 0;) kept[index] = later.insert(user_dicts[index]).second;
  for (std::size_t index = 0; index < user_dicts.size(); ++index) {
    if (kept[index]) files.user_dicts.push_back(std::move(user_dicts[index]));
  }
  files.hmm = read_file(hmm_path);
  if (check) check_hmm_model(hmm_path, files.hmm);
  files.idf = read_file(idf_path);
  if (check) check_idf(idf_path, files.idf);
  files.stop_words = read_file(stop_word_path);
  return files;
}

}  // namespace

SegmenterFiles check_segmenter_files(const std::string& dict_path, const std::string& hmm_path,
                                     const std::string& user_dict_path, const std::string& idf_path,
                                     const std::string& stop_word_path) {
  return segmenter_files(dict_path, hmm_path, user_dict_path, idf_path, stop_word_path, true);
}

SegmenterFiles read_segmenter_files(const std::string& dict_path, const std::string& hmm_path,
                                    const std::string& user_dict_path, const std::string& idf_path,
                                    const std::string& stop_word_path) {
  return segmenter_files(dict_path, hmm_path, user_dict_path, idf_path, stop_word_path, false);
}

void check_sentence(std::string_view sentence) {
  if (sentence.size() >= std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("sentence is too long to segment: at most 4294967294 bytes");
  }
}

}  // namespace lumo::segmenter

namespace lumo::segmenter {

namespace {

std::optional<std::u32string> library_runes(std::string_view text) {
  std::u32string runes;
  runes.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&](std::size_t at) { return static_cast<char32_t>(static_cast<unsigned char>(text[i + at])); };
    const char32_t lead = byte(0);
    const std::size_t left = text.size() - i;
    char32_t rune;
    std::size_t length;
    // Continuation bytes contribute their low six bits, whatever their high two.
    if (lead < 0x80) {
      rune = lead;
      length = 1;
    } else if (lead <= 0xdf && left > 1) {
      rune = ((lead & 0x1f) << 6) | (byte(1) & 0x3f);
      length = 2;
    } else if (lead <= 0xef && left > 2) {
      rune = ((lead & 0x0f) << 12) | ((byte(1) & 0x3f) << 6) | (byte(2) & 0x3f);
      length = 3;
    } else if (lead <= 0xf7 && left > 3) {
      rune = ((lead & 0x07) << 18) | ((byte(1) & 0x3f) << 12) | ((byte(2) & 0x3f) << 6) | (byte(3) & 0x3f);
      length = 4;
    } else {
      return std::nullopt;
    }
    runes.push_back(rune);
    i += length;
  }
  return runes;
}

// Python's str.isspace: bidirectional class WS, B or S, or general category Zs.
bool is_python_space(char32_t rune) {
  return (rune >= 0x09 && rune <= 0x0d) || (rune >= 0x1c && rune <= 0x20) || rune == 0x85 || rune == 0xa0 ||
         rune == 0x1680 || (rune >= 0x2000 && rune <= 0x200a) || rune == 0x2028 || rune == 0x2029 ||
         rune == 0x202f || rune == 0x205f || rune == 0x3000;
}

}  // namespace

std::optional<std::u32string> inserted_word_runes(std::string_view word) {
  if (word.empty()) throw std::invalid_argument("word is empty");
  // A code point takes at most 4 bytes: a longer word is refused before it is decoded.
  if (word.size() > 4 * kMaxWordRunes) throw std::invalid_argument(too_long_word());
  std::optional<std::u32string> runes = library_runes(word);
  if (!runes) return runes;
  if (runes->size() > kMaxWordRunes) throw std::invalid_argument(too_long_word());
  if (std::all_of(runes->begin(), runes->end(), is_python_space)) throw std::invalid_argument("word is only whitespace");
  return runes;
}

bool is_utf8(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    unsigned char low = 0x80;  // the range of the second byte, which rules out overlong forms,
    unsigned char high = 0xbf;  // surrogates and code points above U+10FFFF
    if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3;
      if (lead == 0xe0) low = 0xa0;
      if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4;
      if (lead == 0xf0) low = 0x90;
      if (lead == 0xf4) high = 0x8f;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if (second < low || second > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace lumo::segmenter
