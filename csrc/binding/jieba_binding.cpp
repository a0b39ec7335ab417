// Registration of the Python class Jieba over the native Segmenter: conversions of sentences and
// word lists, and the interpreter lock released around the library's work.
#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
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

// A file path as the operating system takes it: a str encoded as os.fsencode does (so a path
// os.fsdecode made from any bytes comes back to them), bytes and bytearray as they are, and any
// os.PathLike through os.fspath.
struct FilePath {
  std::string bytes;
};

// The path's bytes, or nothing for an object that is not a path (an error is then not set).
inline std::optional<std::string> path_bytes(pybind11::handle source) {
  namespace py = pybind11;
  py::object path = py::reinterpret_borrow<py::object>(source);
  if (!PyUnicode_Check(path.ptr()) && !PyBytes_Check(path.ptr()) && !PyByteArray_Check(path.ptr())) {
    if (PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(path.ptr())), "__fspath__") == 0) return std::nullopt;
    path = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
    if (!path) throw py::error_already_set();
  }
  if (PyUnicode_Check(path.ptr())) {
    path = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!path) throw py::error_already_set();
  }
  if (PyByteArray_Check(path.ptr())) {
    return std::string(PyByteArray_AS_STRING(path.ptr()), static_cast<std::size_t>(PyByteArray_GET_SIZE(path.ptr())));
  }
  return std::string(PyBytes_AS_STRING(path.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(path.ptr())));
}

// A path as the state holds it: os.fsdecode of its bytes.
inline pybind11::str path_text(const std::string& path) {
  PyObject* text = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  if (text == nullptr) throw pybind11::error_already_set();
  return pybind11::reinterpret_steal<pybind11::str>(text);
}

}  // namespace lumo::binding

namespace pybind11::detail {

template <>
struct type_caster<lumo::segmenter::Segmenter> : lumo::binding::InitializedCaster<lumo::segmenter::Segmenter> {};

// Reads a sentence as a pybind11 str parameter does: a str as UTF-8, bytes and bytearray as
// they are. False for anything else; a str that UTF-8 cannot encode (a lone surrogate) raises the
// interpreter's UnicodeEncodeError, which says what is wrong where "incompatible arguments" would not.
inline bool load_sentence(handle source, lumo::binding::Sentence& sentence) {
  make_caster<std::string> text;
  if (!text.load(source, false)) {
    if (PyUnicode_Check(source.ptr()) && reinterpret_steal<object>(PyUnicode_AsUTF8String(source.ptr())).ptr() == nullptr) {
      throw error_already_set();
    }
    return false;
  }
  sentence.bytes = cast_op<std::string&&>(std::move(text));
  sentence.text = PyUnicode_Check(source.ptr()) ? source.ptr() : nullptr;
  return true;
}

// Adds where a UnicodeError of a batch arose to its reason ("... surrogates not allowed in
// sentences[1]"), keeping its type and fields.
inline void name_batch_item(error_already_set& error, const std::string& where) {
  if (!error.matches(PyExc_UnicodeEncodeError) && !error.matches(PyExc_UnicodeDecodeError)) return;
  PyObject* value = error.value().ptr();
  const bool encoding = error.matches(PyExc_UnicodeEncodeError);
  object reason = reinterpret_steal<object>(encoding ? PyUnicodeEncodeError_GetReason(value)
                                                     : PyUnicodeDecodeError_GetReason(value));
  if (!reason) throw error_already_set();
  const std::string named = reason.cast<std::string>() + " " + where;
  if ((encoding ? PyUnicodeEncodeError_SetReason(value, named.c_str())
                : PyUnicodeDecodeError_SetReason(value, named.c_str())) != 0) {
    throw error_already_set();
  }
}

template <>
struct type_caster<lumo::binding::FilePath> {
  PYBIND11_TYPE_CASTER(lumo::binding::FilePath, const_name("str"));
  bool load(handle source, bool) {
    std::optional<std::string> bytes = lumo::binding::path_bytes(source);
    if (!bytes) return false;
    value.bytes = std::move(*bytes);
    return true;
  }
};

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
      bool loaded = false;
      try {
        loaded = load_sentence(item, value.items[index]);
      } catch (error_already_set& error) {
        name_batch_item(error, "in sentences[" + std::to_string(index) + "]");
        throw;
      }
      if (!loaded) {
        throw type_error("sentences[" + std::to_string(index) + "] is " + std::string(Py_TYPE(item.ptr())->tp_name) +
                         ", not str, bytes or bytearray");
      }
      value.owners.push_back(std::move(item));
    }
    return true;
  }
};

// A new reference to the str of a word: cut from a str sentence by code point (the library counts
// them for each word), which skips decoding its UTF-8 again; decoded strictly from a bytes one, so
// bytes that are not UTF-8 raise UnicodeDecodeError. Null with the error set on failure.
inline PyObject* new_word_str(const lumo::binding::Sentence& sentence, const lumo::segmenter::WordSpan& word) {
  if (sentence.text != nullptr) {
    return PyUnicode_Substring(sentence.text, word.unicode_offset, word.unicode_offset + word.unicode_length);
  }
  return PyUnicode_DecodeUTF8(sentence.bytes.data() + word.offset, static_cast<Py_ssize_t>(word.size), nullptr);
}

// The strs of words of one or two code points, kept from call to call and shared by equal words:
// 94% of the novel's words are that short, and sharing them made cut on it, line by line, 12%
// faster than making each anew; a table kept only for one call would find little in the short
// sentences of queries. Direct-mapped by key: the code points of a str sentence's word, or the
// bytes (7 at most, with their count) of a bytes one's, so a key only ever finds what new_word_str
// made from equal input. Every caller holds the interpreter lock, which guards the table. Its
// references live as long as the process: 16384 short strs at most, about 1.5 MB with the table,
// which misses 9% of the novel's short words (4096 slots missed 19%, and were 5% slower).
class ShortWords {
 public:
  // What new_word_str returns, for any word.
  PyObject* word_str(const lumo::binding::Sentence& sentence, const lumo::segmenter::WordSpan& word) {
    if (word.unicode_length > 2 || word.size > 7) return new_word_str(sentence, word);
    std::uint64_t key = 0;
    if (sentence.text != nullptr) {
      // The count, then up to two code points of 21 bits each.
      key = (std::uint64_t{word.unicode_length} << 42) | PyUnicode_READ_CHAR(sentence.text, word.unicode_offset);
      if (word.unicode_length == 2) {
        key |= std::uint64_t{PyUnicode_READ_CHAR(sentence.text, word.unicode_offset + 1)} << 21;
      }
    } else {
      // A bytes word: the top bit, the count of bytes, then the bytes.
      std::uint64_t packed = 0;
      std::memcpy(&packed, sentence.bytes.data() + word.offset, word.size);
      key = (std::uint64_t{1} << 63) | (std::uint64_t{word.size} << 56) | packed;
    }
    Slot& slot = slots_[static_cast<std::size_t>((key * 0x9e3779b97f4a7c15u) >> (64 - kSlotBits))];
    if (slot.word == nullptr || slot.key != key) {
      PyObject* made = new_word_str(sentence, word);
      if (made == nullptr) return nullptr;  // bytes that are not UTF-8 are never kept
      Py_XDECREF(slot.word);
      slot = Slot{key, made};
    }
    Py_INCREF(slot.word);
    return slot.word;
  }

  static ShortWords& instance() {
    static ShortWords* const words = new ShortWords();  // never freed: its strs outlive every call
    return *words;
  }

  // Empties the table without releasing its strs: for the module's initialisation, when any str
  // left in it belongs to an interpreter that was finalised (an embedding program may start
  // another in the same process).
  void forget() noexcept {
    for (Slot& slot : slots_) slot = Slot{};
  }

 private:
  static constexpr unsigned kSlotBits = 14;
  struct Slot {
    std::uint64_t key;
    PyObject* word;  // owned
  };
  Slot slots_[std::size_t{1} << kSlotBits] = {};
};

// A new list of str, the words of the sentence.
inline object word_list(const lumo::binding::Sentence& sentence, const lumo::segmenter::WordSpans& words) {
  const auto size = static_cast<Py_ssize_t>(words.size());
  object result = reinterpret_steal<object>(PyList_New(size));
  if (!result) throw error_already_set();
  ShortWords& short_words = ShortWords::instance();
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = short_words.word_str(sentence, words[static_cast<std::size_t>(i)]);
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
      try {
        PyList_SET_ITEM(result.ptr(), i, word_list(lists.sentences->items[index], lists.words[index]).release().ptr());
      } catch (error_already_set& error) {
        name_batch_item(error, "in a word of sentences[" + std::to_string(index) + "]");
        throw;
      }
    }
    return result.release();
  }
};

}  // namespace pybind11::detail

namespace lumo::binding {
namespace {

using segmenter::CutMode;
using segmenter::Segmenter;

std::shared_ptr<Segmenter> make_segmenter(const FilePath& dict_path, const FilePath& hmm_path,
                                          const FilePath& user_dict_path, const FilePath& idf_path,
                                          const FilePath& stop_word_path) {
  const segmenter::SegmenterPaths paths{dict_path.bytes, hmm_path.bytes, user_dict_path.bytes, idf_path.bytes,
                                        stop_word_path.bytes};
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

// The (word, tag) tuples. Each distinct tag's str is made once per call, at its first word (so a
// tag that is not UTF-8 raises where it did when every tag was decoded).
py::list tag(const Segmenter& self, const Sentence& sentence) {
  segmenter::TaggedWords tagged;
  {
    py::gil_scoped_release unlocked;
    tagged = self.tag(sentence.bytes);
  }
  std::vector<py::object> names(tagged.names.size());
  const auto size = static_cast<Py_ssize_t>(tagged.words.size());
  py::list result = py::reinterpret_steal<py::list>(PyList_New(size));
  if (!result) throw py::error_already_set();
  py::detail::ShortWords& short_words = py::detail::ShortWords::instance();
  for (Py_ssize_t i = 0; i < size; ++i) {
    const auto index = static_cast<std::size_t>(i);
    py::object word = py::reinterpret_steal<py::object>(short_words.word_str(sentence, tagged.words[index]));
    if (!word) throw py::error_already_set();
    py::object& name = names[tagged.tags[index]];
    if (!name) name = decoded(tagged.names[tagged.tags[index]]);
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) throw py::error_already_set();
    PyTuple_SET_ITEM(pair, 0, word.release().ptr());
    PyTuple_SET_ITEM(pair, 1, py::object(name).release().ptr());
    // Two strs cannot be part of a cycle: the collector need not track the tuple (it would untrack
    // it itself at its first pass over it). Its passes took 8% of the time of tag.
    PyObject_GC_UnTrack(pair);
    PyList_SET_ITEM(result.ptr(), i, pair);
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

// The five paths (os.fsdecode of their bytes) and the words added at run time, in order.
py::tuple state_of(const Segmenter& self) {
  py::list words;
  for (const segmenter::InsertedWord& word : self.inserted_words()) {
    words.append(py::make_tuple(py::bytes(word.word), word.freq, word.tag));
  }
  const auto& paths = self.paths();
  return py::make_tuple(path_text(paths[0]), path_text(paths[1]), path_text(paths[2]), path_text(paths[3]),
                        path_text(paths[4]), words);
}

[[noreturn]] void bad_state(const std::string& what) { throw py::value_error("Jieba state: " + what); }

// A state's added word, converted with the interpreter lock held; a message for each wrong part.
segmenter::InsertedWord state_word(py::handle entry, std::size_t index) {
  const std::string where = "words[" + std::to_string(index) + "]";
  if (!PyTuple_Check(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) != 3) {
    bad_state(where + " is not a (word, freq, tag) tuple");
  }
  const py::handle word = PyTuple_GET_ITEM(entry.ptr(), 0);
  const py::handle freq = PyTuple_GET_ITEM(entry.ptr(), 1);
  const py::handle tag = PyTuple_GET_ITEM(entry.ptr(), 2);
  segmenter::InsertedWord converted;
  if (!PyBytes_Check(word.ptr())) bad_state(where + ": the word must be bytes");
  converted.word = word.cast<std::string>();
  if (!freq.is_none()) {
    int overflow = 0;
    const long value = PyLong_Check(freq.ptr()) ? PyLong_AsLongAndOverflow(freq.ptr(), &overflow) : 0;
    if (!PyLong_Check(freq.ptr()) || PyBool_Check(freq.ptr()) || overflow != 0 || value > INT_MAX || value < INT_MIN) {
      bad_state(where + ": freq must be an int of 32 bits or None");
    }
    converted.freq = static_cast<int>(value);
  }
  if (!tag.is_none()) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(tag.ptr()) ? PyUnicode_AsUTF8AndSize(tag.ptr(), &size) : nullptr;
    if (text == nullptr) {
      PyErr_Clear();
      bad_state(where + ": tag must be a str (UTF-8 text) or None");
    }
    converted.tag = std::string(text, static_cast<std::size_t>(size));
  }
  return converted;
}

// Loads the files again where it runs, then adds the words in order, the interpreter lock released
// (the new segmenter is not yet seen by any other thread).
std::shared_ptr<Segmenter> from_state(const py::tuple& state) {
  if (state.size() != 6) throw std::invalid_argument("not a Jieba state");
  segmenter::SegmenterPaths paths;
  for (std::size_t index = 0; index < paths.size(); ++index) {
    std::optional<std::string> bytes = path_bytes(state[index]);
    if (!bytes) bad_state("paths must be str or bytes");
    paths[index] = std::move(*bytes);
  }
  if (!PyList_Check(state[5].ptr())) bad_state("the added words must be a list");
  const auto listed = py::reinterpret_borrow<py::list>(state[5]);
  std::vector<segmenter::InsertedWord> words;
  words.reserve(listed.size());
  for (std::size_t index = 0; index < listed.size(); ++index) words.push_back(state_word(listed[index], index));
  std::shared_ptr<Segmenter> segmenter;
  std::string refused;
  {
    py::gil_scoped_release unlocked;
    segmenter = std::make_shared<Segmenter>(paths);
    for (std::size_t index = 0; index < words.size() && refused.empty(); ++index) {
      const std::string where = "words[" + std::to_string(index) + "]: ";
      try {
        if (!segmenter->insert_user_word(words[index].word, words[index].freq, words[index].tag)) {
          refused = where + "the segmenter cannot decode the word";
        }
      } catch (const std::invalid_argument& error) {
        refused = where + error.what();
      }
    }
  }
  if (!refused.empty()) bad_state(refused);
  return segmenter;
}

// Segmenter::cut_batch with the interpreter lock released; with show_progress, a chunk at a time,
// a progress bar (duzudavida._progress.bar: tqdm when installed) updated between chunks.
std::vector<segmenter::WordSpans> cut_with_progress(const Segmenter& self, const std::vector<const std::string*>& texts,
                                                    CutMode mode, unsigned threads, bool hmm, bool show_progress,
                                                    const char* call) {
  py::object bar = py::none();
  if (show_progress) {
    bar = py::module_::import("duzudavida._progress").attr("bar")(texts.size(), call, "sentences");
  }
  if (bar.is_none()) {
    py::gil_scoped_release unlocked;
    return self.cut_batch(texts, mode, threads, hmm);
  }
  constexpr std::size_t kStep = 8192;  // sentences between two updates of the bar
  std::vector<segmenter::WordSpans> words;
  words.reserve(texts.size());
  try {
    for (std::size_t start = 0; start < texts.size(); start += kStep) {
      const std::vector<const std::string*> part(
          texts.begin() + static_cast<std::ptrdiff_t>(start),
          texts.begin() + static_cast<std::ptrdiff_t>(std::min(texts.size(), start + kStep)));
      {
        py::gil_scoped_release unlocked;
        std::vector<segmenter::WordSpans> cut = self.cut_batch(part, mode, threads, hmm);
        for (segmenter::WordSpans& spans : cut) words.push_back(std::move(spans));
      }
      bar.attr("update")(part.size());
    }
  } catch (...) {
    bar.attr("close")();
    throw;
  }
  bar.attr("close")();
  return words;
}

template <CutMode mode>
WordLists cut_batch(const Segmenter& self, const Sentences& sentences, long threads, bool show_progress) {
  if (threads < 0) throw py::value_error("threads must be 0 (every usable processor) or more, not " +
                                         std::to_string(threads));
  std::vector<const std::string*> texts;
  texts.reserve(sentences.items.size());
  for (const Sentence& sentence : sentences.items) texts.push_back(&sentence.bytes);
  WordLists lists{&sentences, {}};
  lists.words = cut_with_progress(self, texts, mode, static_cast<unsigned>(std::min(threads, 1L << 16)), true,
                                  show_progress, mode == CutMode::Mixed ? "cut_batch" : "cut_for_search_batch");
  return lists;
}

// A vector handed to numpy without a copy: the array's capsule owns it.
py::array_t<std::int64_t> to_array(std::vector<std::int64_t>&& values) {
  auto owned = std::make_unique<std::vector<std::int64_t>>(std::move(values));
  py::capsule owner(owned.get(), [](void* vector) { delete static_cast<std::vector<std::int64_t>*>(vector); });
  std::vector<std::int64_t>* kept = owned.release();
  return py::array_t<std::int64_t>({static_cast<py::ssize_t>(kept->size())},
                                   {static_cast<py::ssize_t>(sizeof(std::int64_t))}, kept->data(), owner);
}

// The words of every sentence as offsets, no str made: word j of sentence i spans
// [starts[j], ends[j]) for indptr[i] <= j < indptr[i + 1], in code points of a str sentence (as
// tokenize gives them) and in bytes of a bytes or bytearray one (its words may not be UTF-8).
py::tuple tokenize_batch(const Segmenter& self, const Sentences& sentences, const std::string& mode, bool hmm,
                         long threads, bool show_progress) {
  try {
    py::module_::import("numpy");
  } catch (const py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    throw py::import_error("tokenize_batch needs numpy: pip install 'duzudavida[search]'");
  }
  if (mode != "default" && mode != "search") {
    throw py::value_error("mode must be \"default\" or \"search\", not \"" + mode + "\"");
  }
  if (threads < 0) throw py::value_error("threads must be 0 (every usable processor) or more, not " +
                                         std::to_string(threads));
  std::vector<const std::string*> texts;
  std::vector<bool> by_code_point;
  texts.reserve(sentences.items.size());
  by_code_point.reserve(sentences.items.size());
  for (const Sentence& sentence : sentences.items) {
    texts.push_back(&sentence.bytes);
    by_code_point.push_back(sentence.text != nullptr);
  }
  std::vector<std::int64_t> starts;
  std::vector<std::int64_t> ends;
  std::vector<std::int64_t> indptr;
  {
    const std::vector<segmenter::WordSpans> words =
        cut_with_progress(self, texts, mode == "default" ? CutMode::Mixed : CutMode::Search,
                          static_cast<unsigned>(std::min(threads, 1L << 16)), hmm, show_progress, "tokenize_batch");
    py::gil_scoped_release unlocked;
    std::size_t total = 0;
    for (const segmenter::WordSpans& spans : words) total += spans.size();
    starts.reserve(total);
    ends.reserve(total);
    indptr.reserve(words.size() + 1);
    indptr.push_back(0);
    for (std::size_t index = 0; index < words.size(); ++index) {
      for (const segmenter::WordSpan& word : words[index]) {
        const std::uint32_t start = by_code_point[index] ? word.unicode_offset : word.offset;
        starts.push_back(start);
        ends.push_back(static_cast<std::int64_t>(start) + (by_code_point[index] ? word.unicode_length : word.size));
      }
      indptr.push_back(static_cast<std::int64_t>(starts.size()));
    }
  }
  return py::make_tuple(to_array(std::move(starts)), to_array(std::move(ends)), to_array(std::move(indptr)));
}

// ValueError, as pybind11 gives it, but with the bytes of a path that is not UTF-8 kept as
// os.fsdecode keeps them, where a strict decoding would replace the message by a UnicodeDecodeError.
void set_value_error(const char* message) {
  PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "surrogateescape");
  if (text == nullptr) return;  // the decoding error stays set
  PyErr_SetObject(PyExc_ValueError, text);
  Py_DECREF(text);
}

// OSError(errno, strerror, path) becomes FileNotFoundError, PermissionError, IsADirectoryError...
void translate_segmenter_errors(std::exception_ptr pending) {
  try {
    if (pending) std::rethrow_exception(pending);
  } catch (const segmenter::FileAccessError& error) {
    py::object path = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(error.path().data(), static_cast<Py_ssize_t>(error.path().size())));
    if (!path) return;  // the decoding error stays set
    PyErr_SetObject(PyExc_OSError,
                    py::make_tuple(error.error_number(), std::strerror(error.error_number()), path).ptr());
  } catch (const std::logic_error& error) {
    // Only these two exactly: a subclass may have a translator of its own further on.
    if (typeid(error) != typeid(std::invalid_argument) && typeid(error) != typeid(std::length_error)) throw;
    set_value_error(error.what());
  }
}

// pybind11 skips __init__ and __setstate__ on an object already made, silently: they would have to
// replace its C++ object under the calls in progress. These Python-level wrappers refuse them with
// TypeError instead, and carry a subclass's instance attributes through pickle and copy (a
// seventh item of the state, there only when the object has attributes).
constexpr const char* kLifecycle = R"(
def __init__(self, dict_path, hmm_path, user_dict_path, idf_path, stop_word_path):
    if initialized(self):
        raise TypeError("Jieba object is already initialized: __init__ cannot load it again")
    init(self, dict_path, hmm_path, user_dict_path, idf_path, stop_word_path)

def __getstate__(self):
    state = getstate(self)
    attributes = getattr(self, "__dict__", None)
    return state + (attributes,) if attributes else state

def __setstate__(self, state, /):
    if initialized(self):
        raise TypeError("Jieba object is already initialized: __setstate__ cannot replace it")
    if type(state) is tuple and len(state) == 7:
        if type(state[6]) is not dict or not hasattr(self, "__dict__"):
            raise ValueError("not a Jieba state")
        setstate(self, state[:6])
        self.__dict__.update(state[6])
    else:
        setstate(self, state)

__init__.__doc__, __getstate__.__doc__, __setstate__.__doc__ = init.__doc__, getstate.__doc__, setstate.__doc__
)";

// Whether a Jieba's C++ object exists; TypeError for an object that is not a Jieba.
bool initialized(py::handle self) {
  py::detail::type_info* type = py::detail::get_type_info(typeid(Segmenter));
  if (type == nullptr || !PyObject_TypeCheck(self.ptr(), type->type)) {
    throw py::type_error("descriptor requires a duzudavida.Jieba object");
  }
  return reinterpret_cast<py::detail::instance*>(self.ptr())->get_value_and_holder(type).holder_constructed();
}

}  // namespace

void register_jieba(py::module_& module) {
  py::detail::ShortWords::instance().forget();
  py::register_exception_translator(&translate_segmenter_errors);
  py::class_<Segmenter, std::shared_ptr<Segmenter>> jieba(module, "Jieba");
  jieba
      .def(py::init(&make_segmenter), py::arg("dict_path"), py::arg("hmm_path"), py::arg("user_dict_path"),
           py::arg("idf_path"), py::arg("stop_word_path"))
      .def("cut", &cut<CutMode::Mixed>, py::arg("sentence"))
      .def("cut_for_search", &cut<CutMode::Search>, py::arg("sentence"))
      .def("cut_batch", &cut_batch<CutMode::Mixed>, py::arg("sentences"), py::arg("threads") = 0, py::kw_only(),
           py::arg("show_progress") = false)
      .def("cut_for_search_batch", &cut_batch<CutMode::Search>, py::arg("sentences"), py::arg("threads") = 0,
           py::kw_only(), py::arg("show_progress") = false)
      .def("cut_all", &cut<CutMode::Full>, py::arg("sentence"))
      .def("tokenize", &tokenize, py::arg("sentence"), py::arg("mode") = "default", py::arg("hmm") = true)
      .def("tokenize_batch", &tokenize_batch, py::arg("sentences"), py::arg("mode") = "default",
           py::arg("hmm") = true, py::arg("threads") = 0, py::kw_only(), py::arg("show_progress") = false)
      .def("tag", &tag, py::arg("sentence"))
      .def("extract_keywords", &extract_keywords, py::arg("sentence"), py::arg("top_k") = 20)
      .def("insert_user_word", &insert_user_word, py::arg("word"), py::arg("freq") = py::none(),
           py::arg("tag") = py::none())
      .def("save_compiled", &save_compiled, py::arg("path"))
      .def_static("load_compiled", &load_compiled, py::arg("path"), py::arg("dict_path"), py::arg("hmm_path"),
                  py::arg("user_dict_path"), py::arg("idf_path"), py::arg("stop_word_path"))
      // Pickled as its five paths and its added words: unpickling loads (and checks) the files
      // again where it runs, then adds the words in order.
      .def(py::pickle(&state_of, &from_state));
  py::dict scope;
  scope["__builtins__"] = py::module_::import("builtins");
  scope["__name__"] = jieba.attr("__module__");
  scope["initialized"] = py::cpp_function(&initialized);
  scope["init"] = jieba.attr("__init__");
  scope["getstate"] = jieba.attr("__getstate__");
  scope["setstate"] = jieba.attr("__setstate__");
  py::exec(kLifecycle, scope);
  for (const char* name : {"__init__", "__getstate__", "__setstate__"}) {
    py::object method = scope[name];
    method.attr("__qualname__") = std::string("Jieba.") + name;
    jieba.attr(name) = method;
  }
}

}  // namespace lumo::binding
