// Registration of BM25Index's text calls, add_texts and search: texts are copied out of their
// Python objects chunk by chunk, then cut, filtered and indexed (or searched) natively with the
// interpreter lock released.
#include <pybind11/numpy.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index_users.h"
#include "numpy_support.h"
#include "registrations.h"
#include "segmenter.h"
#include "text_search.h"
#include "text_words.h"

namespace py = pybind11;

namespace lumo::binding {
namespace {

using segmenter::CutMode;
using segmenter::Segmenter;
using text_search::TextError;
using text_search::WordFilter;
using text_search::WordOptions;

// A chunk of add_texts: at most this many texts, and no more bytes than this once a text has
// made it larger, so that a corpus of any size is held a chunk at a time. Each chunk is one
// BM25Index::add, whose cost also grows with the index's count of tokens: chunks must stay large.
constexpr std::size_t kChunkTexts = 65536;
constexpr std::size_t kChunkBytes = std::size_t{2} << 20;

// The C++ object of an initialised instance of `T` (or a subclass); TypeError otherwise. The
// methods take their objects as handles, so that this file needs no caster of their classes.
template <class T>
T& native_of(py::handle object, const char* name, const char* role) {
  py::detail::type_info* type = py::detail::get_type_info(typeid(T));
  if (type == nullptr || !PyObject_TypeCheck(object.ptr(), type->type)) {
    throw py::type_error(std::string(role) + " must be a duzudavida." + name + ", not " + Py_TYPE(object.ptr())->tp_name);
  }
  py::detail::value_and_holder holder = reinterpret_cast<py::detail::instance*>(object.ptr())->get_value_and_holder(type);
  if (!holder.holder_constructed()) {
    throw py::type_error(std::string("duzudavida.") + name + " object is not initialized: its __init__ was never called");
  }
  return *holder.value_ptr<T>();
}

WordOptions word_options(const std::string& mode, bool hmm, bool drop_punctuation, bool drop_stop_words) {
  WordOptions options;
  if (mode == "default") {
    options.mode = CutMode::Mixed;
  } else if (mode == "search") {
    options.mode = CutMode::Search;
  } else if (mode == "full") {
    options.mode = CutMode::Full;
  } else {
    throw py::value_error("mode must be \"default\", \"search\" or \"full\", not \"" + mode + "\"");
  }
  options.hmm = hmm;
  options.drop_punctuation = drop_punctuation;
  options.drop_stop_words = drop_stop_words;
  return options;
}

// Texts copied out of their Python objects into one buffer: the objects may change or go once
// read (a generator's items do), and nothing here still views them.
struct TextChunk {
  std::string bytes;
  std::vector<std::size_t> ends;

  std::size_t size() const noexcept { return ends.size(); }
  void clear() noexcept {
    bytes.clear();
    ends.clear();
  }
  std::vector<std::string_view> views() const {
    std::vector<std::string_view> texts;
    texts.reserve(ends.size());
    std::size_t start = 0;
    for (const std::size_t end : ends) {
      texts.emplace_back(bytes.data() + start, end - start);
      start = end;
    }
    return texts;
  }
};

// Appends the UTF-8 of a str's code points, read from its own storage (Unit: its kind); false,
// with `bytes` as it was, for a surrogate, which UTF-8 cannot encode. Python's encoder took 26
// instructions a character of the novel, and a bytes object per text (6% of add_texts).
template <class Unit>
bool append_utf8(const Unit* units, std::size_t count, std::string& bytes) {
  constexpr std::size_t kMostBytes = sizeof(Unit) == 1 ? 2 : sizeof(Unit) == 2 ? 3 : 4;  // per code point
  const std::size_t start = bytes.size();
  // Two more: a code point of two or three bytes is written as four, the rest overwritten after.
  bytes.resize(start + count * kMostBytes + 2);
  char* out = bytes.data() + start;
  const auto put = [](char* at, std::uint32_t four) { std::memcpy(at, &four, 4); };
  for (std::size_t at = 0; at < count; ++at) {
    const std::uint32_t code_point = units[at];
    // Three bytes first: CJK characters and their punctuation (U+0800 to U+FFFF, surrogates aside).
    if (code_point - 0x800u < 0xD800u - 0x800u || (code_point - 0xE000u < 0x10000u - 0xE000u)) {
      put(out, 0xE0u | code_point >> 12 | (0x80u | (code_point >> 6 & 0x3Fu)) << 8 | (0x80u | (code_point & 0x3Fu)) << 16);
      out += 3;
    } else if (code_point < 0x80) {
      *out++ = static_cast<char>(code_point);
    } else if (code_point < 0x800) {
      put(out, (0xC0u | code_point >> 6) | (0x80u | (code_point & 0x3Fu)) << 8);
      out += 2;
    } else if (code_point >= 0x10000) {
      put(out, (0xF0u | code_point >> 18) | (0x80u | (code_point >> 12 & 0x3Fu)) << 8 |
                   (0x80u | (code_point >> 6 & 0x3Fu)) << 16 | (0x80u | (code_point & 0x3Fu)) << 24);
      out += 4;
    } else {
      bytes.resize(start);  // a surrogate
      return false;
    }
  }
  bytes.resize(static_cast<std::size_t>(out - bytes.data()));
  return true;
}

// Appends a str (as UTF-8), bytes or bytearray; false for any other object. A str that UTF-8
// cannot encode (a lone surrogate) raises UnicodeEncodeError, as cut does.
bool append_text(PyObject* item, std::string& bytes) {
  if (PyUnicode_Check(item)) {
    const void* data = PyUnicode_DATA(item);
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
    if (PyUnicode_IS_COMPACT_ASCII(item)) {
      bytes.append(static_cast<const char*>(data), length);
      return true;
    }
    bool appended = false;
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {  // append_utf8 writes four bytes in memory order
      switch (PyUnicode_KIND(item)) {
        case PyUnicode_1BYTE_KIND: appended = append_utf8(static_cast<const Py_UCS1*>(data), length, bytes); break;
        case PyUnicode_2BYTE_KIND: appended = append_utf8(static_cast<const Py_UCS2*>(data), length, bytes); break;
        default: appended = append_utf8(static_cast<const Py_UCS4*>(data), length, bytes); break;
      }
    }
    if (appended) return true;
    // A surrogate (or a big-endian machine): Python's encoder, which raises UnicodeEncodeError for
    // a surrogate. Encoded anew rather than through PyUnicode_AsUTF8AndSize, which would keep a
    // UTF-8 copy in every str of the caller's list for as long as the list lives.
    const auto encoded = py::reinterpret_steal<py::object>(PyUnicode_AsUTF8String(item));
    if (!encoded) throw py::error_already_set();
    bytes.append(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
  } else if (PyBytes_Check(item)) {
    bytes.append(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
  } else if (PyByteArray_Check(item)) {
    bytes.append(PyByteArray_AS_STRING(item), static_cast<std::size_t>(PyByteArray_GET_SIZE(item)));
  } else {
    return false;
  }
  return true;
}

// numpy, or ImportError naming the extra that brings it (the message a literal: search, called
// once per query, builds nothing for it).
#define NUMPY_MISSING(call) call " needs numpy: pip install 'duzudavida[search]'"

// What add_texts says after a failure about the texts it added: "texts[0:3] were added as ids 7
// to 9", and how many of them it skipped for having no words.
std::string added_note(std::size_t count, std::int64_t first, std::int64_t next, std::size_t skipped) {
  if (count == 0) return "no text of this call was added";
  std::string note = "texts[0:" + std::to_string(count) + "] were added";
  if (next > first) note += " as ids " + std::to_string(first) + " to " + std::to_string(next - 1);
  if (skipped > 0) note += " (" + std::to_string(skipped) + " of them skipped, without words)";
  return note + "; nothing after them";
}

void add_note(const py::error_already_set& error, const std::string& note) {
  py::object value = error.value();
  if (py::hasattr(value, "add_note")) value.attr("add_note")(note);
}

// A progress bar (duzudavida._progress.bar: tqdm when installed), or None.
py::object progress_bar(bool show, py::handle items, const char* description, const char* unit) {
  if (!show) return py::none();
  const Py_ssize_t hint = PyObject_LengthHint(items.ptr(), 0);
  if (hint < 0) throw py::error_already_set();
  py::object total = hint > 0 ? py::object(py::int_(hint)) : py::object(py::none());
  return py::module_::import("duzudavida._progress").attr("bar")(total, description, unit);
}

py::object add_texts(py::handle self_object, py::handle texts, py::handle jieba, const std::string& mode, bool hmm,
                     bool drop_punctuation, bool drop_stop_words, py::handle threads_value, bool show_progress,
                     bool skip_empty) {
  auto& self = native_of<typing::text::BM25Index>(self_object, "BM25Index", "self");
  const Segmenter& segmenter = native_of<Segmenter>(jieba, "Jieba", "jieba");
  const WordOptions options = word_options(mode, hmm, drop_punctuation, drop_stop_words);
  const unsigned threads = thread_count(threads_value);
  if (PyUnicode_Check(texts.ptr()) || PyBytes_Check(texts.ptr()) || PyByteArray_Check(texts.ptr())) {
    throw py::type_error("texts must be an iterable of texts, not one " + std::string(Py_TYPE(texts.ptr())->tp_name) +
                         ": put it in a list");
  }
  const auto iterator = py::reinterpret_steal<py::object>(PyObject_GetIter(texts.ptr()));
  if (!iterator) throw py::error_already_set();
  // The index is this call's from here to its end, between chunks too: its ids stay consecutive.
  const UseWithoutLock writing(self, true);
  const WordFilter filter(segmenter, options);
  if (skip_empty) require_numpy(NUMPY_MISSING("add_texts(skip_empty=True)"));
  const py::object bar = progress_bar(show_progress, texts, "add_texts", "texts");
  const std::int64_t first = static_cast<std::int64_t>(self.next_id());
  std::size_t done = 0;  // texts of the call added (or skipped)
  std::vector<std::int64_t> ids;  // with skip_empty, each text's id, -1 for one skipped
  std::vector<std::size_t> skipped;
  std::size_t skipped_count = 0;
  const auto record_ids = [&](std::size_t count, std::uint64_t before) {
    if (!skip_empty) return;
    auto next = static_cast<std::int64_t>(before);
    auto skip = skipped.begin();
    for (std::size_t at = 0; at < count; ++at) {
      if (skip != skipped.end() && *skip == at) {
        ids.push_back(-1);
        ++skip;
      } else {
        ids.push_back(next++);
      }
    }
    skipped_count += skipped.size();
  };
  TextChunk chunk;
  // The failure met while reading the texts, kept until the texts before it are indexed.
  std::unique_ptr<py::error_already_set> pending;
  bool exhausted = false;
  try {
    while (!exhausted && !pending) {
      chunk.clear();
      while (chunk.size() < kChunkTexts && chunk.bytes.size() < kChunkBytes) {
        // Named only when something goes wrong with the item.
        const auto position = [&] { return "texts[" + std::to_string(done + chunk.size()) + "]"; };
        const auto item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
        if (!item) {
          if (PyErr_Occurred()) {
            pending = std::make_unique<py::error_already_set>();
            add_note(*pending, "raised while add_texts read " + position());
          }
          exhausted = true;
          break;
        }
        try {
          if (!append_text(item.ptr(), chunk.bytes)) {
            throw py::type_error(position() + " is " + std::string(Py_TYPE(item.ptr())->tp_name) +
                                 ", not str, bytes or bytearray");
          }
          chunk.ends.push_back(chunk.bytes.size());
        } catch (const std::bad_alloc&) {
          // No room for this text's copy: a MemoryError in its place, the texts before it added
          // as for any other bad item, rather than the whole chunk dropped without a note.
          chunk.bytes.resize(chunk.ends.empty() ? 0 : chunk.ends.back());
          PyErr_NoMemory();
          pending = std::make_unique<py::error_already_set>();
          add_note(*pending, "in " + position());
          break;
        } catch (py::error_already_set& error) {
          chunk.bytes.resize(chunk.ends.empty() ? 0 : chunk.ends.back());
          pending = std::make_unique<py::error_already_set>(std::move(error));
          add_note(*pending, "in " + position());
          break;
        } catch (const py::builtin_exception& error) {
          chunk.bytes.resize(chunk.ends.empty() ? 0 : chunk.ends.back());
          error.set_error();
          pending = std::make_unique<py::error_already_set>();
          break;
        }
      }
      if (chunk.size() == 0) break;
      const std::uint64_t before = self.next_id();
      skipped.clear();
      try {
        const std::vector<std::string_view> views = chunk.views();
        py::gil_scoped_release unlocked;
        text_search::add_texts(self, segmenter, views, filter, threads, skip_empty ? &skipped : nullptr);
      } catch (const TextError& error) {
        record_ids(error.index(), before);
        done += error.index();  // the texts before the bad one
        throw py::value_error("texts[" + std::to_string(done) + "]: " + error.what());
      } catch (const std::length_error& error) {
        throw py::value_error(error.what());  // the index's ids would run out: nothing of the chunk added
      } catch (const text_search::NoMemoryAfter& error) {
        record_ids(error.index(), before);
        done += error.index();  // the parts of the chunk added before memory ran out
        PyErr_NoMemory();
        throw py::error_already_set();
      } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw py::error_already_set();
      }
      record_ids(chunk.size(), before);
      done += chunk.size();
      if (!bar.is_none()) bar.attr("update")(chunk.size());
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
  } catch (py::error_already_set& error) {
    add_note(error, added_note(done, first, static_cast<std::int64_t>(self.next_id()), skipped_count));
    if (!bar.is_none()) bar.attr("close")();
    throw;
  } catch (const py::builtin_exception& error) {
    error.set_error();
    py::error_already_set raised;
    add_note(raised, added_note(done, first, static_cast<std::int64_t>(self.next_id()), skipped_count));
    if (!bar.is_none()) bar.attr("close")();
    throw raised;
  }
  if (!bar.is_none()) bar.attr("close")();
  if (pending) {
    add_note(*pending, added_note(done, first, static_cast<std::int64_t>(self.next_id()), skipped_count));
    throw std::move(*pending);
  }
  if (!skip_empty) return py::int_(first);
  const std::size_t count = ids.size();
  return to_matrix(std::move(ids), 1, count)[py::int_(0)];
}

py::tuple search(py::handle self_object, py::handle queries, py::handle jieba, py::handle k, const std::string& mode,
                 bool hmm, bool drop_punctuation, bool drop_stop_words, py::handle threads_value, py::handle allow) {
  const auto& self = native_of<typing::text::BM25Index>(self_object, "BM25Index", "self");
  const Segmenter& segmenter = native_of<Segmenter>(jieba, "Jieba", "jieba");
  require_numpy(NUMPY_MISSING("search"));
  const std::uint64_t wanted = top_k(k);
  const WordOptions options = word_options(mode, hmm, drop_punctuation, drop_stop_words);
  const unsigned threads = thread_count(threads_value);
  if (!PyList_Check(queries.ptr()) && !PyTuple_Check(queries.ptr())) {
    throw py::type_error("queries must be a list or tuple of texts, not " + std::string(Py_TYPE(queries.ptr())->tp_name));
  }
  // Held by a reference of our own: an item's encoding runs no code, but the list may be shared.
  const auto outer = py::reinterpret_borrow<py::object>(queries);
  TextChunk chunk;
  for (Py_ssize_t index = 0; index < PySequence_Size(outer.ptr()); ++index) {
    const auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(outer.ptr(), index));
    if (!item) throw py::error_already_set();
    // Named only when something goes wrong with the item.
    const auto position = [index] { return "queries[" + std::to_string(index) + "]"; };
    try {
      if (!append_text(item.ptr(), chunk.bytes)) {
        throw py::type_error(position() + " is " + std::string(Py_TYPE(item.ptr())->tp_name) +
                             ", not str, bytes or bytearray");
      }
    } catch (py::error_already_set& error) {
      add_note(error, "in " + position());
      throw;
    }
    chunk.ends.push_back(chunk.bytes.size());
  }
  if (PyErr_Occurred()) throw py::error_already_set();  // a list subclass's __len__ raised
  std::vector<std::int64_t> allowed;
  if (!allow.is_none()) allowed = allowed_ids(self, allow);
  const WordFilter filter(segmenter, options);
  typing::text::SearchResults results;
  {
    const UseWithoutLock reading(self, false);
    self.prepare();
    const std::vector<std::string_view> views = chunk.views();
    py::gil_scoped_release unlocked;
    try {
      results = text_search::search_texts(self, segmenter, views, filter, wanted, threads,
                                          allow.is_none() ? nullptr : &allowed);
    } catch (const TextError& error) {
      throw py::value_error("queries[" + std::to_string(error.index()) + "]: " + error.what());
    }
  }
  const std::size_t rows = results.rows;
  const std::size_t columns = results.columns;
  return py::make_tuple(to_matrix(std::move(results.ids), rows, columns),
                        to_matrix(std::move(results.scores), rows, columns));
}

}  // namespace

void register_text(py::module_& module) {
  // Methods of BM25Index registered beside the rest of its class: each checks its instance itself.
  auto cls = py::reinterpret_borrow<py::class_<typing::text::BM25Index, std::shared_ptr<typing::text::BM25Index>>>(
      module.attr("BM25Index"));
  cls.def("add_texts", &add_texts, py::arg("texts"), py::arg("jieba"), py::kw_only(), py::arg("mode") = "search",
          py::arg("hmm") = true, py::arg("drop_punctuation") = true, py::arg("drop_stop_words") = false,
          py::arg("threads") = 0, py::arg("show_progress") = false, py::arg("skip_empty") = false,
          "Segments each text with jieba and indexes its kept words as add does, under consecutive ids; "
          "returns the id of the first text. Reads any iterable a chunk at a time. A bad text raises, "
          "naming its position, with exactly the texts before it added (the exception's note says which ids). "
          "With skip_empty=True a text without words is skipped instead, and the result is each text's id "
          "(an int64 array, -1 for a text skipped).");
  cls.def("search", &search, py::arg("queries"), py::arg("jieba"), py::arg("k") = 10, py::kw_only(),
          py::arg("mode") = "search", py::arg("hmm") = true, py::arg("drop_punctuation") = true,
          py::arg("drop_stop_words") = false, py::arg("threads") = 0, py::arg("allow") = py::none(),
          "(ids, scores) as retrieve gives them for each query's kept words, segmented with jieba and "
          "filtered as add_texts does.");
}

}  // namespace lumo::binding
