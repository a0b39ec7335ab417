// The default dictionary that ships beside the module: its five files, by constructor argument.
#pragma once

#include <array>
#include <string>
#include <utility>

namespace lumo::segmenter {

// (constructor argument name, absolute path), in the constructor's order.
using DictionaryPaths = std::array<std::pair<const char*, std::string>, 5>;

// The five paths inside `folder`, which must be absolute. Throws FileAccessError for a file that
// is missing or is not a regular file (a broken install).
DictionaryPaths default_dictionary_paths(const std::string& folder);

}  // namespace lumo::segmenter
