// The default dictionary's paths, checked to exist.
#include "default_dictionary.h"

#include <sys/stat.h>

#include <cerrno>

#include "segmenter_checks.h"

namespace lumo::segmenter {

DictionaryPaths default_dictionary_paths(const std::string& folder) {
  DictionaryPaths paths{{{"dict_path", "jieba.dict.utf8"},
                         {"hmm_path", "hmm_model.utf8"},
                         {"user_dict_path", "user.dict.utf8"},
                         {"idf_path", "idf.utf8"},
                         {"stop_word_path", "stop_words.utf8"}}};
  for (auto& [name, path] : paths) {
    path = folder + "/" + path;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) throw FileAccessError(errno, path);
    if (!S_ISREG(status.st_mode)) throw FileAccessError(S_ISDIR(status.st_mode) ? EISDIR : ENOENT, path);
  }
  return paths;
}

}  // namespace lumo::segmenter
