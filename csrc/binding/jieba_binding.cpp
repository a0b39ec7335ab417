// Registration of the Python class Jieba over cppjieba's segmenter. The library's headers
// (which say `using namespace`) are included here only.
#include <pybind11/stl.h>

#include <cppjieba/Jieba.hpp>
#include <cstring>

#include "initialized_caster.h"
#include "memory_file.h"
#include "registrations.h"
#include "segmenter_checks.h"

namespace py = pybind11;

namespace lumo::binding {

// A sentence's bytes for the library, and the str it came from, if any.
struct Sentence {
  std::string bytes;
  PyObject* text = nullptr;  // borrowed: the call's own argument
};

// The library's words, with their places in the sentence.
struct WordList {
  const Sentence* sentence;
  std::vector<cppjieba::Word> words;
};

}  // namespace lumo::binding

namespace pybind11::detail {

template <>
struct type_caster<cppjieba::Jieba> : lumo::binding::InitializedCaster<cppjieba::Jieba> {};

// Converts as a pybind11 str parameter: a str as UTF-8, bytes and bytearray as they are.
template <>
struct type_caster<lumo::binding::Sentence> {
  PYBIND11_TYPE_CASTER(lumo::binding::Sentence, const_name("str"));

  bool load(handle source, bool convert) {
    make_caster<std::string> text;
    if (!text.load(source, convert)) return false;
    value.bytes = cast_op<std::string&&>(std::move(text));
    value.text = PyUnicode_Check(source.ptr()) ? source.ptr() : nullptr;
    return true;
  }
};

// A new list of str. Words of a str sentence are cut from it by code point (the library counts
// them for each word), which skips decoding their UTF-8 again; words of a bytes sentence are
// decoded strictly, so bytes that are not UTF-8 raise UnicodeDecodeError.
template <>
struct type_caster<lumo::binding::WordList> {
  static constexpr auto name = const_name("List[str]");

  static handle cast(const lumo::binding::WordList& list, return_value_policy, handle) {
    const auto size = static_cast<Py_ssize_t>(list.words.size());
    object result = reinterpret_steal<object>(PyList_New(size));
    if (!result) throw error_already_set();
    PyObject* text = list.sentence->text;
    for (Py_ssize_t i = 0; i < size; ++i) {
      const cppjieba::Word& word = list.words[static_cast<std::size_t>(i)];
      PyObject* item = text != nullptr
                           ? PyUnicode_Substring(text, word.unicode_offset, word.unicode_offset + word.unicode_length)
                           : PyUnicode_DecodeUTF8(word.word.data(), static_cast<Py_ssize_t>(word.word.size()), nullptr);
      if (item == nullptr) throw error_already_set();
      PyList_SET_ITEM(result.ptr(), i, item);
    }
    return result.release();
  }
};

}  // namespace pybind11::detail

namespace lumo::binding {
namespace {

using Segmenter = cppjieba::Jieba;

std::shared_ptr<Segmenter> make_segmenter(const std::string& dict_path, const std::string& hmm_path,
                                          const std::string& user_dict_path, const std::string& idf_path,
                                          const std::string& stop_word_path) {
  // Loading touches no Python object and takes a good part of a second.
  py::gil_scoped_release unlocked;
  // The library aborts the process on a file it cannot load; these checks raise first, and the
  // library then loads the very bytes that were checked.
  const segmenter::MemoryFiles files(
      segmenter::check_segmenter_files(dict_path, hmm_path, user_dict_path, idf_path, stop_word_path));
  return std::make_shared<Segmenter>(files.dict_path(), files.hmm_path(), files.user_dict_path(), files.idf_path(),
                                     files.stop_word_path());
}

// The library only reads its trie and model while cutting, so calls on one object may overlap.
template <class Segment>
WordList segment(const Segmenter& self, const Sentence& sentence, Segment cut) {
  segmenter::check_sentence(sentence.bytes);
  WordList words{&sentence, {}};
  {
    py::gil_scoped_release unlocked;
    (self.*cut)(sentence.bytes, words.words, true);
  }
  return words;
}

using WordCut = void (Segmenter::*)(const std::string&, std::vector<cppjieba::Word>&, bool) const;

WordList cut(const Segmenter& self, const Sentence& sentence) {
  return segment(self, sentence, static_cast<WordCut>(&Segmenter::Cut));
}

WordList cut_for_search(const Segmenter& self, const Sentence& sentence) {
  return segment(self, sentence, static_cast<WordCut>(&Segmenter::CutForSearch));
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
