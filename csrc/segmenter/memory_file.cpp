// Memory files for the segmentation library.
#include "memory_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace lumo::segmenter {

MemoryFile::MemoryFile(std::string_view content) : descriptor_(::memfd_create("duzudavida", MFD_CLOEXEC)) {
  if (descriptor_ < 0) throw std::system_error(errno, std::generic_category(), "memfd_create");
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t count = ::write(descriptor_, content.data() + written, content.size() - written);
    if (count < 0) {
      if (errno == EINTR) continue;
      const int error_number = errno;
      ::close(descriptor_);
      throw std::system_error(error_number, std::generic_category(), "writing a memory file");
    }
    written += static_cast<std::size_t>(count);
  }
  path_ = "/proc/self/fd/" + std::to_string(descriptor_);
}

MemoryFile::MemoryFile(MemoryFile&& other) noexcept : descriptor_(other.descriptor_), path_(std::move(other.path_)) {
  other.descriptor_ = -1;
}

MemoryFile::~MemoryFile() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

MemoryFiles::MemoryFiles(const SegmenterFiles& files)
    : dict_(files.dict), hmm_(files.hmm), idf_(files.idf), stop_words_(files.stop_words) {
  user_dicts_.reserve(files.user_dicts.size());
  for (const std::string& content : files.user_dicts) {
    user_dicts_.emplace_back(content);
    if (!user_dict_path_.empty()) user_dict_path_ += '|';
    user_dict_path_ += user_dicts_.back().path();
  }
}

}  // namespace lumo::segmenter
