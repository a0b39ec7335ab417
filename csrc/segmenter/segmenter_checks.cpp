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

std::string read_file(const std::string& path) {
  check_path_bytes(path);
  const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) throw FileAccessError(errno, path);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) throw FileAccessError(errno, path);
  if (S_ISDIR(status.st_mode)) throw FileAccessError(EISDIR, path);
  const auto too_large = [&path] {
    return std::length_error(path + ": file is larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB");
  };
  if (S_ISREG(status.st_mode) && static_cast<std::size_t>(status.st_size) > kMaxFileBytes) throw too_large();
  // Read straight into the result; grow past the reported size for files that lie about it, up
  // to one byte past the limit, which tells a file at the limit from a larger one.
  std::size_t wanted = S_ISREG(status.st_mode) ? static_cast<std::size_t>(status.st_size) + 1 : std::size_t{1} << 16;
  std::string content(std::min(wanted, kMaxFileBytes + 1), '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size()) {
      if (filled > kMaxFileBytes) throw too_large();
      content.resize(std::min(content.size() * 2, kMaxFileBytes + 1));
    }
    const ssize_t got = ::read(file.get(), &content[filled], content.size() - filled);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      throw FileAccessError(errno, path);
    }
    filled += static_cast<std::size_t>(got);
  }
  if (filled > kMaxFileBytes) throw too_large();
  content.resize(filled);
  return content;
}

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
    if (decoded_length(fields[0]) < 0) malformed(path, number, "word is not UTF-8 text");
    if (!atof_positive(fields[1], point_is_dot, scratch)) {
      malformed(path, number, "weight must be a number above zero");
    }
    any = true;
  });
  if (!any) malformed(path, 1, "dictionary is empty");
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

SegmenterFiles check_segmenter_files(const std::string& dict_path, const std::string& hmm_path,
                                     const std::string& user_dict_path, const std::string& idf_path,
                                     const std::string& stop_word_path) {
  // The order the library reads them in, so the first failure is the one it would meet.
  SegmenterFiles files;
  files.dict = read_file(dict_path);
  check_dictionary(dict_path, files.dict);
  for (const std::string& user_path : split_user_dict_paths(user_dict_path)) {
    files.user_dicts.push_back(read_file(user_path));  // any content loads; only opening can fail
  }
  files.hmm = read_file(hmm_path);
  check_hmm_model(hmm_path, files.hmm);
  files.idf = read_file(idf_path);
  check_idf(idf_path, files.idf);
  files.stop_words = read_file(stop_word_path);
  return files;
}

void check_sentence(std::string_view sentence) {
  if (sentence.size() >= std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("sentence is too long to segment: at most 4294967294 bytes");
  }
}

}  // namespace lumo::segmenter
