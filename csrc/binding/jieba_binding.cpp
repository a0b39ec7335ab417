// Registration of the Python class Jieba over the native Segmenter: conversions of sentences and
// word lists, and the interpreter lock released around the library's work.
#include <pybind11/stl.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "initialized_caster.h"
#include "registrations.h"
#include "segmenter.h"
#include "segmenter_checks.h"

namespace py = pybind11;

namespace lumo::binding {

// A sentence's bytes for the library, and the str it came from, if any.
struct Sentence {
  std::string bytes;
  PyObject* text = nullptr;  // borrowed: the call's own argument, or an item `Sentences` holds
};

// The sentences of a batch: a list or tuple whose items are what a single sentence may be.
struct Sentences {
  std::vector<Sentence> items;
  std::vector<py::object> owners;  // the items, kept alive while the lock is released
};

// The library's words, with their places in the sentence.
struct WordList {
  const Sentence* sentence;
  segmenter::WordSpans words;
};

struct WordLists {
  const Sentences* sentences;
  std::vector<segmenter::WordSpans> words;
};

}  // namespace lumo::binding

namespace pybind11::detail {

template <>
struct type_caster<lumo::segmenter::Segmenter> : lumo::binding::InitializedCaster<lumo::segmenter::Segmenter> {};

// Reads a sentence as a pybind11 str parameter does: a str as UTF-8, bytes and bytearray as
// they are. False for anything else.
inline bool load_sentence(handle source, lumo::binding::Sentence& sentence) {
  make_caster<std::string> text;
  if (!text.load(source, false)) return false;
  sentence.bytes = cast_op<std::string&&>(std::move(text));
  sentence.text = PyUnicode_Check(source.ptr()) ? source.ptr() : nullptr;
  return true;
}

template <>
struct type_caster<lumo::binding::Sentence> {
  PYBIND11_TYPE_CASTER(lumo::binding::Sentence, const_name("str"));
  bool load(handle source, bool) { return load_sentence(source, value); }
};

template <>
struct type_caster<lumo::binding::Sentences> {
  PYBIND11_TYPE_CASTER(lumo::binding::Sentences, const_name("List[str]"));

  // A list or tuple; an item that is not a sentence is a TypeError naming its index.
  bool load(handle source, bool) {
    if (!PyList_Check(source.ptr()) && !PyTuple_Check(source.ptr())) return false;
    const auto items = reinterpret_borrow<sequence>(source);
    const std::size_t size = items.size();
    value.items.resize(size);
    value.owners.reserve(size);
    for (std::size_t index = 0; index < size; ++index) {
      object item = items[index];
      if (!load_sentence(item, value.items[index])) {
        throw type_error("sentences[" + std::to_string(index) + "] is " + std::string(Py_TYPE(item.ptr())->tp_name) +
                         ", not str, bytes or bytearray");
      }
      value.owners.push_back(std::move(item));
    }
    return true;
  }
};

// A new list of str. Words of a str sentence are cut from it by code point (the library counts
// them for each word), which skips decoding their UTF-8 again; words of a bytes sentence are
// decoded strictly, so bytes that are not UTF-8 raise UnicodeDecodeError.
inline object word_list(const lumo::binding::Sentence& sentence, const lumo::segmenter::WordSpans& words) {
  const auto size = static_cast<Py_ssize_t>(words.size());
  object result = reinterpret_steal<object>(PyList_New(size));
  if (!result) throw error_already_set();
  for (Py_ssize_t i = 0; i < size; ++i) {
    const lumo::segmenter::WordSpan& word = words[static_cast<std::size_t>(i)];
    PyObject* item =
        sentence.text != nullptr
            ? PyUnicode_Substring(sentence.text, word.unicode_offset, word.unicode_offset + word.unicode_length)
            : PyUnicode_DecodeUTF8(sentence.bytes.data() + word.offset, static_cast<Py_ssize_t>(word.size), nullptr);
    if (item == nullptr) throw error_already_set();
    PyList_SET_ITEM(result.ptr(), i, item);
  }
  return result;
}

template <>
struct type_caster<lumo::binding::WordList> {
  static constexpr auto name = const_name("List[str]");
  static handle cast(const lumo::binding::WordList& list, return_value_policy, handle) {
    return word_list(*list.sentence, list.words).release();
  }
};

template <>
struct type_caster<lumo::binding::WordLists> {
  static constexpr auto name = const_name("List[List[str]]");
  static handle cast(const lumo::binding::WordLists& lists, return_value_policy, handle) {
    const auto size = static_cast<Py_ssize_t>(lists.words.size());
    object result = reinterpret_steal<object>(PyList_New(size));
    if (!result) throw error_already_set();
    for (Py_ssize_t i = 0; i < size; ++i) {
      const auto index = static_cast<std::size_t>(i);
      PyList_SET_ITEM(result.ptr(), i, word_list(lists.sentences->items[index], lists.words[index]).release().ptr());
    }
    return result.release();
  }
};

}  // namespace pybind11::detail

namespace lumo::binding {
namespace {

using segmenter::CutMode;
using segmenter::Segmenter;

std::shared_ptr<Segmenter> make_segmenter(const std::string& dict_path, const std::string& hmm_path,
                                          const std::string& user_dict_path, const std::string& idf_path,
                                          const std::string& stop_word_path) {
  const segmenter::SegmenterPaths paths{dict_path, hmm_path, user_dict_path, idf_path, stop_word_path};
  py::gil_scoped_release unlocked;  // loading touches no Python object and takes a good part of a second
  return std::make_shared<Segmenter>(paths);
}

std::shared_ptr<Segmenter> load_compiled(const std::string& path, const std::string& dict_path,
                                         const std::string& hmm_path, const std::string& user_dict_path,
                                         const std::string& idf_path, const std::string& stop_word_path) {
  const segmenter::SegmenterPaths paths{dict_path, hmm_path, user_dict_path, idf_path, stop_word_path};
  py::gil_scoped_release unlocked;
  return std::make_shared<Segmenter>(paths, path);
}

void save_compiled(const Segmenter& self, const std::string& path) {
  py::gil_scoped_release unlocked;
  self.save_compiled(path);
}

template <CutMode mode>
WordList cut(const Segmenter& self, const Sentence& sentence) {
  WordList words{&sentence, {}};
  py::gil_scoped_release unlocked;
  words.words = self.cut(sentence.bytes, mode);
  return words;
}

// A word the library made, decoded strictly (bytes that are not UTF-8 raise UnicodeDecodeError).
py::str decoded(const std::string& word) {
  PyObject* text = PyUnicode_DecodeUTF8(word.data(), static_cast<Py_ssize_t>(word.size()), nullptr);
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

// Each word with its start and end in code points of the sentence, as Python indexes it.
py::list tokenize(const Segmenter& self, const Sentence& sentence, const std::string& mode, bool hmm) {
  if (mode != "default" && mode != "search") {
    throw py::value_error("mode must be \"default\" or \"search\", not \"" + mode + "\"");
  }
  segmenter::WordSpans spans;
  {
    py::gil_scoped_release unlocked;
    spans = self.cut(sentence.bytes, mode == "default" ? CutMode::Mixed : CutMode::Search, hmm);
  }
  const py::list words = py::detail::word_list(sentence, spans);
  py::list result(spans.size());
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const auto start = static_cast<Py_ssize_t>(spans[i].unicode_offset);
    result[i] = py::make_tuple(words[i], start, start + static_cast<Py_ssize_t>(spans[i].unicode_length));
  }
  return result;
}

py::list tag(const Segmenter& self, const Sentence& sentence) {
  std::vector<std::pair<std::string, std::string>> tagged;
  {
    py::gil_scoped_release unlocked;
    tagged = self.tag(sentence.bytes);
  }
  py::list result(tagged.size());
  for (std::size_t i = 0; i < tagged.size(); ++i) {
    result[i] = py::make_tuple(decoded(tagged[i].first), decoded(tagged[i].second));
  }
  return result;
}

py::list extract_keywords(const Segmenter& self, const Sentence& sentence, long top_k) {
  if (top_k < 0) throw py::value_error("top_k must be 0 or more, not " + std::to_string(top_k));
  std::vector<std::pair<std::string, double>> keywords;
  {
    py::gil_scoped_release unlocked;
    keywords = self.extract_keywords(sentence.bytes, static_cast<std::size_t>(top_k));
  }
  py::list result(keywords.size());
  for (std::size_t i = 0; i < keywords.size(); ++i) {
    result[i] = py::make_tuple(decoded(keywords[i].first), keywords[i].second);
  }
  return result;
}

bool insert_user_word(Segmenter& self, const Sentence& word, std::optional<int> freq, std::optional<std::string> tag) {
  py::gil_scoped_release unlocked;  // waits for the cuts in progress on other threads
  return self.insert_user_word(word.bytes, freq, tag);
}

// The five paths and the words added at run time, in order.
py::tuple state_of(const Segmenter& self) {
  py::list words;
  for (const segmenter::InsertedWord& word : self.inserted_words()) {
    words.append(py::make_tuple(py::bytes(word.word), word.freq, word.tag));
  }
  const auto& paths = self.paths();
  return py::make_tuple(paths[0], paths[1], paths[2], paths[3], paths[4], words);
}

template <CutMode mode>
WordLists cut_batch(const Segmenter& self, const Sentences& sentences, long threads) {
  if (threads < 0) throw py::value_error("threads must be 0 (every usable processor) or more, not " +
                                         std::to_string(threads));
  std::vector<const std::string*> texts;
  texts.reserve(sentences.items.size());
  for (const Sentence& sentence : sentences.items) texts.push_back(&sentence.bytes);
  WordLists lists{&sentences, {}};
  py::gil_scoped_release unlocked;
  lists.words = self.cut_batch(texts, mode, static_cast<unsigned>(std::min(threads, 1L << 16)));
  return lists;
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
      .def("cut", &cut<CutMode::Mixed>, py::arg("sentence"))
      .def("cut_for_search", &cut<CutMode::Search>, py::arg("sentence"))
      .def("cut_batch", &cut_batch<CutMode::Mixed>, py::arg("sentences"), py::arg("threads") = 0)
      .def("cut_for_search_batch", &cut_batch<CutMode::Search>, py::arg("sentences"), py::arg("threads") = 0)
      .def("cut_all", &cut<CutMode::Full>, py::arg("sentence"))
      .def("tokenize", &tokenize, py::arg("sentence"), py::arg("mode") = "default", py::arg("hmm") = true)
      .def("tag", &tag, py::arg("sentence"))
      .def("extract_keywords", &extract_keywords, py::arg("sentence"), py::arg("top_k") = 20)
      .def("insert_user_word", &insert_user_word, py::arg("word"), py::arg("freq") = py::none(),
           py::arg("tag") = py::none())
      .def("save_compiled", &save_compiled, py::arg("path"))
      .def_static("load_compiled", &load_compiled, py::arg("path"), py::arg("dict_path"), py::arg("hmm_path"),
                  py::arg("user_dict_path"), py::arg("idf_path"), py::arg("stop_word_path"))
      // Pickled as its five paths and its added words: unpickling loads (and checks) the files
      // again where it runs, then adds the words in order.
      .def(py::pickle(&state_of, [](const py::tuple& state) {
        if (state.size() != 6) throw std::invalid_argument("not a Jieba state");
        auto segmenter = make_segmenter(state[0].cast<std::string>(), state[1].cast<std::string>(),
                                        state[2].cast<std::string>(), state[3].cast<std::string>(),
                                        state[4].cast<std::string>());
        for (const py::handle word : state[5].cast<py::list>()) {
          const auto entry = word.cast<py::tuple>();
          segmenter->insert_user_word(entry[0].cast<std::string>(), entry[1].cast<std::optional<int>>(),
                                      entry[2].cast<std::optional<std::string>>());
        }
        return segmenter;
      }));
}

}  // namespace lumo::binding
