// Registration of the Python class Jieba over cppjieba's segmenter. The library's headers
// (which say `using namespace`) are included here only.
#include <pybind11/stl.h>

#include <cppjieba/Jieba.hpp>
#include <cstring>

#include "segmenter_checks.h"
#include "registrations.h"

namespace py = pybind11;

namespace lumo::binding {
namespace {

using Segmenter = cppjieba::Jieba;
using Words = std::vector<std::string>;

std::shared_ptr<Segmenter> make_segmenter(const std::string& dict_path, const std::string& hmm_path,
                                          const std::string& user_dict_path, const std::string& idf_path,
                                          const std::string& stop_word_path) {
  // The library aborts the process on a file it cannot load; these checks raise first.
  segmenter::check_segmenter_files(dict_path, hmm_path, user_dict_path, idf_path, stop_word_path);
  return std::make_shared<Segmenter>(dict_path, hmm_path, user_dict_path, idf_path, stop_word_path);
}

// The library only reads its trie and model while cutting, so calls on one object may overlap.
Words cut(const Segmenter& self, const std::string& sentence) {
  segmenter::check_sentence(sentence);
  Words words;
  {
    py::gil_scoped_release unlocked;
    self.Cut(sentence, words, true);
  }
  return words;
}

Words cut_for_search(const Segmenter& self, const std::string& sentence) {
  segmenter::check_sentence(sentence);
  Words words;
  {
    py::gil_scoped_release unlocked;
    self.CutForSearch(sentence, words, true);
  }
  return words;
}

// OSError(errno, strerror, path) becomes FileNotFoundError, PermissionError, IsADirectoryError...
void translate_file_access_error(std::exception_ptr pending) {
  try {
    if (pending) std::rethrow_exception(pending);
  } catch (const segmenter::FileAccessError& error) {
    py::object path = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(error.path().data(), static_cast<Py_ssize_t>(error.path().size())));
    if (!path) return;  // the decoding error stays set
    PyErr_SetObject(PyExc_OSError,
                    py::make_tuple(error.error_number(), std::strerror(error.error_number()), path).ptr());
  }
}

}  // namespace

void register_jieba(py::module_& module) {
  py::register_exception_translator(&translate_file_access_error);
  py::class_<Segmenter, std::shared_ptr<Segmenter>>(module, "Jieba")
      .def(py::init(&make_segmenter), py::arg("dict_path"), py::arg("hmm_path"), py::arg("user_dict_path"),
           py::arg("idf_path"), py::arg("stop_word_path"))
      .def("cut", &cut, py::arg("sentence"))
      .def("cut_for_search", &cut_for_search, py::arg("sentence"));
}

}  // namespace lumo::binding
