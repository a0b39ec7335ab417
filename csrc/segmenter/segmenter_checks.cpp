// Replays, over each file's bytes, the parsing steps at which the segmentation library (cppjieba
// 5.0.3 with limonp) would abort, so that the binding can raise instead.
#include "segmenter_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
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

// limonp::Split: fields between any of the separator bytes; empty fields are kept, except that
// nothing follows a separator at the very end.
std::size_t split_fields(std::string_view line, std::string_view separators, std::string_view* fields,
                         std::size_t capacity) {
  std::size_t count = 0;
  std::size_t start = 0;
  while (start < line.size()) {
    std::size_t end = line.find_first_of(separators, start);
    if (end == std::string_view::npos) end = line.size();
    if (count < capacity) fields[count] = line.substr(start, end - start);
    ++count;
    start = end + 1;
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

bool is_ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim(std::string_view line) {
  while (!line.empty() && is_ascii_space(line.front())) line.remove_prefix(1);
  while (!line.empty() && is_ascii_space(line.back())) line.remove_suffix(1);
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

std::string read_file(const std::string& path) {
  check_path_bytes(path);
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) throw FileAccessError(errno, path);
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) {
    const int error_number = errno;
    ::close(descriptor);
    throw FileAccessError(error_number, path);
  }
  if (S_ISDIR(status.st_mode)) {
    ::close(descriptor);
    throw FileAccessError(EISDIR, path);
  }
  std::string content;
  if (S_ISREG(status.st_mode)) content.reserve(static_cast<std::size_t>(status.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      const int error_number = errno;
      ::close(descriptor);
      throw FileAccessError(error_number, path);
    }
    content.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(descriptor);
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
  bool any = false;
  for_each_line(content, [&](std::string_view line, std::size_t number) {
    std::string_view fields[3];
    if (split_fields(line, " ", fields, 3) != 3) {
      malformed(path, number, "expected \"word weight tag\" separated by single spaces");
    }
    // An undecodable word would make the library reuse the previous line's word and weight.
    if (decoded_length(fields[0]) < 0) malformed(path, number, "word is not UTF-8 text");
    // Not `> 0.0` fails for NaN as well, like the library's assertion.
    if (!(field_as_double(fields[1], scratch) > 0.0)) {
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
      if (split_fields(line, " ", fields, 4) != 4) {
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
        if (split_fields(pair, ":", parts, 2) != 2 || decoded_length(parts[0]) != 1) {
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
  std::string scratch;
  std::size_t lines = 0;
  double idf_sum = 0.0;
  for_each_line(content, [&](std::string_view line, std::size_t) {
    ++lines;
    std::string_view fields[2];
    // The library skips other lines, but counts them in the average.
    if (!line.empty() && split_fields(line, " ", fields, 2) == 2) {
      idf_sum += field_as_double(fields[1], scratch);
    }
  });
  if (lines == 0) malformed(path, 1, "IDF file is empty");
  if (!(idf_sum / static_cast<double>(lines) > 0.0)) {
    malformed(path, lines, "average IDF must be above zero");
  }
}

void check_stop_words(const std::string& path, std::string_view content) {
  if (content.empty()) malformed(path, 1, "stop-word file is empty");
}

void check_segmenter_files(const std::string& dict_path, const std::string& hmm_path,
                           const std::string& user_dict_path, const std::string& idf_path,
                           const std::string& stop_word_path) {
  // The order the library reads them in, so the first failure is the one it would meet.
  check_dictionary(dict_path, read_file(dict_path));
  for (const std::string& user_path : split_user_dict_paths(user_dict_path)) {
    read_file(user_path);  // any content loads; only opening can fail
  }
  check_hmm_model(hmm_path, read_file(hmm_path));
  check_idf(idf_path, read_file(idf_path));
  check_stop_words(stop_word_path, read_file(stop_word_path));
}

void check_sentence(std::string_view sentence) {
  if (sentence.size() >= std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("sentence is too long to segment: at most 4294967294 bytes");
  }
}

}  // namespace lumo::segmenter
