// Files in memory that hand the segmentation library exactly the bytes our checks read: the
// library opens its files by path, so a path on disk could change (or a FIFO run dry) between
// our read and its own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "segmenter_checks.h"

namespace lumo::segmenter {

// An anonymous file (memfd) holding `content`, opened by the library through /proc/self/fd/N
// while this object lives. Throws std::system_error when the file cannot be made.
class MemoryFile {
 public:
  explicit MemoryFile(std::string_view content);
  MemoryFile(MemoryFile&& other) noexcept;
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  MemoryFile& operator=(MemoryFile&&) = delete;
  ~MemoryFile();

  const std::string& path() const noexcept { return path_; }

 private:
  int descriptor_;
  std::string path_;
};

// The checked files as memory files, with the paths to give the segmenter's constructor.
class MemoryFiles {
 public:
  explicit MemoryFiles(const SegmenterFiles& files);

  const std::string& dict_path() const noexcept { return dict_.path(); }
  const std::string& hmm_path() const noexcept { return hmm_.path(); }
  // The user dictionaries' paths joined with "|", as the library splits them.
  const std::string& user_dict_path() const noexcept { return user_dict_path_; }
  const std::string& idf_path() const noexcept { return idf_.path(); }
  const std::string& stop_word_path() const noexcept { return stop_words_.path(); }

 private:
  MemoryFile dict_;
  std::vector<MemoryFile> user_dicts_;
  std::string user_dict_path_;
  MemoryFile hmm_;
  MemoryFile idf_;
  MemoryFile stop_words_;
};

}  // namespace lumo::segmenter
