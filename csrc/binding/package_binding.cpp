// What the module says about its package: __version__, and default_paths() to the dictionary
// installed beside the module file.
#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "default_dictionary.h"
#include "registrations.h"

namespace py = pybind11;

namespace lumo::binding {
namespace {

// The folder of this shared object, made absolute while the working directory is still the one
// it was loaded from (a relative sys.path entry gives a relative file name).
std::string module_folder() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&module_folder), &info) == 0 || info.dli_fname == nullptr) {
    throw std::runtime_error("cannot locate the duzudavida module file");
  }
  return std::filesystem::absolute(info.dli_fname).parent_path().lexically_normal().string();
}

}  // namespace

void register_package(py::module_& module) {
  module.attr("__version__") = DUZUDAVIDA_VERSION;
  const std::string folder = module_folder() + "/" DUZUDAVIDA_DICT_FOLDER;
  module.def("default_paths", [folder]() {
    py::dict paths;
    for (const auto& [name, path] : segmenter::default_dictionary_paths(folder)) {
      // File names as the file system encodes them, like os.fsdecode.
      auto text = py::reinterpret_steal<py::object>(
          PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
      if (!text) throw py::error_already_set();
      paths[name] = text;
    }
    return paths;
  });
}

}  // namespace lumo::binding
