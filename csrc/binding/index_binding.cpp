// Registration of the Python class BM25Index. add and retrieve release the interpreter lock once
// their arguments are converted into bytes of their own; a call that would change an index while
// another thread works on it without the lock raises instead of racing it.
#include <pthread.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bm25_index.h"
#include "file_path.h"
#include "index_users.h"
#include "initialized_caster.h"
#include "numpy_support.h"
#include "registrations.h"
#include "subclass_state.h"
#include "token_casters.h"

namespace py = pybind11;

template <>
struct pybind11::detail::type_caster<lumo::typing::text::BM25Index>
    : lumo::binding::InitializedCaster<lumo::typing::text::BM25Index> {};

namespace lumo::binding {
using IndexInstance = AnyInstance<typing::text::BM25Index>;
}  // namespace lumo::binding

namespace lumo::binding {
namespace {

using typing::text::BM25;
using typing::text::BM25Index;
using typing::text::Document;

// A child of fork has none of the parent's other threads. The index it copied is whole unless a
// writer was inside the part of a change that alters the index (counting and checking a batch
// alter nothing); such a copy stays refused, with a message that says why.
void forget_users_in_child() {
  auto& table = users();
  for (auto it = table.begin(); it != table.end();) {
    if (it->second.writer && it->first->changing()) {
      it->second = Users{0, false, true};
      ++it;
    } else {
      it = table.erase(it);
    }
  }
}

// Token lists copied out of their Python objects as each token is read: a sequence's
// __getitem__ may change or free what an earlier item held, and nothing here still views it.
struct OwnedDocuments {
  std::vector<Document> docs;
  std::string text;
};

bool is_token_list(PyObject* object) {
  return PySequence_Check(object) && !PyBytes_Check(object) && !PyUnicode_Check(object);
}

// Appends the bytes of a str, bytes or bytearray item; false for anything else.
bool copy_token(PyObject* item, std::string& text, std::vector<std::size_t>& ends) {
  if (PyUnicode_Check(item)) {
    Py_ssize_t size = -1;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (data == nullptr) {
      PyErr_Clear();  // not encodable (a lone surrogate): not a text token
      return false;
    }
    text.append(data, static_cast<std::size_t>(size));
  } else if (PyBytes_Check(item)) {
    text.append(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
  } else if (PyByteArray_Check(item)) {
    text.append(PyByteArray_AS_STRING(item), static_cast<std::size_t>(PyByteArray_GET_SIZE(item)));
  } else {
    return false;
  }
  ends.push_back(text.size());
  return true;
}

// One token list as text, copied into `text`; false (with `text` as it was) when an item is not
// a text token.
bool copy_text_tokens(PyObject* sequence, std::string& text, std::vector<std::size_t>& ends) {
  const std::size_t text_mark = text.size();
  const std::size_t ends_mark = ends.size();
  const auto give_up = [&] {
    text.resize(text_mark);
    ends.resize(ends_mark);
    return false;
  };
  if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
    // No Python code runs while these items are read.
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
    PyObject** items = PySequence_Fast_ITEMS(sequence);
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (!copy_token(items[i], text, ends)) return give_up();
    }
    return true;
  }
  const Py_ssize_t size = PySequence_Size(sequence);
  if (size < 0) throw py::error_already_set();
  for (Py_ssize_t i = 0; i < size; ++i) {
    const auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(sequence, i));
    if (!item) throw py::error_already_set();
    if (!copy_token(item.ptr(), text, ends)) return give_up();
  }
  return true;
}

// A list or tuple of token lists, each what train (or encode_query) takes: str, bytes or
// bytearray tokens, or int ids. Anything else is a TypeError naming the batch or the item.
OwnedDocuments load_owned(py::handle source, const char* name) {
  if (!PyList_Check(source.ptr()) && !PyTuple_Check(source.ptr())) {
    throw py::type_error(std::string(name) + " must be a list or tuple of token lists, not " +
                         Py_TYPE(source.ptr())->tp_name);
  }
  // Held by a reference of our own: a generic item's __getitem__ may empty the outer list.
  const auto outer = py::reinterpret_borrow<py::object>(source);
  OwnedDocuments owned;
  std::vector<std::vector<std::size_t>> text_ends;  // per document, its tokens' ends; empty for ids
  std::vector<bool> is_text;
  for (Py_ssize_t index = 0; index < PySequence_Size(outer.ptr()); ++index) {
    const auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(outer.ptr(), index));
    if (!item) throw py::error_already_set();
    std::vector<std::size_t> ends;
    if (is_token_list(item.ptr()) && copy_text_tokens(item.ptr(), owned.text, ends)) {
      owned.docs.emplace_back(typing::text::TokenViews{});
      text_ends.push_back(std::move(ends));
      is_text.push_back(true);
      continue;
    }
    py::detail::make_caster<IdTokens> as_ids;
    if (as_ids.load(item, true)) {
      owned.docs.emplace_back(std::move(static_cast<IdTokens&>(as_ids).ids));
      text_ends.emplace_back();
      is_text.push_back(false);
      continue;
    }
    throw py::type_error(std::string(name) + "[" + std::to_string(index) +
                         "] is not a list of str, bytes or int tokens");
  }
  if (PyErr_Occurred()) throw py::error_already_set();  // a list subclass's __len__ raised
  // The text no longer grows: views into it stay valid.
  std::size_t start_at = 0;
  for (std::size_t index = 0; index < owned.docs.size(); ++index) {
    if (!is_text[index]) continue;
    auto& views = std::get<typing::text::TokenViews>(owned.docs[index]);
    views.reserve(text_ends[index].size());
    for (const std::size_t end : text_ends[index]) {
      views.emplace_back(owned.text.data() + start_at, end - start_at);
      start_at = end;
    }
  }
  return owned;
}

}  // namespace

// Calls take(value, id) for each item of a sequence of int ids (`name` in messages), in order,
// while it returns true: `value` is the item as an int, `id` the same as int64, or nothing beyond
// int64 (such an id names no document).
template <class Take>
void for_each_id(py::handle source, const char* name, const Take& take) {
  if (!PySequence_Check(source.ptr()) || PyUnicode_Check(source.ptr()) || PyBytes_Check(source.ptr())) {
    throw py::type_error(std::string(name) + " must be a sequence of int ids, not " + Py_TYPE(source.ptr())->tp_name);
  }
  const auto outer = py::reinterpret_borrow<py::object>(source);
  for (Py_ssize_t index = 0; index < PySequence_Size(outer.ptr()); ++index) {
    const auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(outer.ptr(), index));
    if (!item) throw py::error_already_set();
    const auto value = py::reinterpret_steal<py::object>(PyNumber_Index(item.ptr()));
    if (!value) {
      PyErr_Clear();
      throw py::type_error(std::string(name) + "[" + std::to_string(index) + "] is not an int, but " +
                           Py_TYPE(item.ptr())->tp_name);
    }
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (!take(value, overflow == 0 ? std::optional<std::int64_t>(id) : std::nullopt)) return;
  }
  if (PyErr_Occurred()) throw py::error_already_set();
}

// The distinct ids of a delete. All or nothing needs no id after the first that is not live: it
// raises KeyError at once, so a huge range over a small index costs what the index holds.
std::vector<std::int64_t> doomed_ids(const BM25Index& index, py::handle ids) {
  std::vector<std::uint8_t> seen;  // per id; grows with the index, which Python code may grow meanwhile
  std::vector<std::int64_t> doomed;
  for_each_id(ids, "ids", [&](py::handle value, std::optional<std::int64_t> id) {
    if (!id || !index.live(*id)) {
      PyErr_SetObject(PyExc_KeyError, value.ptr());
      throw py::error_already_set();
    }
    const auto at = static_cast<std::size_t>(*id);
    if (at >= seen.size()) seen.resize(std::max<std::size_t>(at + 1, index.next_id()), 0);
    if (seen[at] == 0) {
      seen[at] = 1;
      doomed.push_back(*id);
    }
    return true;
  });
  return doomed;
}

py::object owned(PyObject* made) {
  if (made == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(made);
}

// The items of a range in [0, end), as a range in the same order; ranges slice in constant time.
py::object within(py::handle ids, std::uint64_t end) {
  const py::object start = ids.attr("start");
  const py::object step = ids.attr("step");
  const py::object zero = py::int_(0);
  const py::object one = py::int_(1);
  const py::object limit = py::int_(end);
  const auto at_least_zero = [&](const py::object& count) {
    return PyObject_RichCompareBool(count.ptr(), zero.ptr(), Py_LT) == 1 ? zero : count;
  };
  py::object first;  // how many items lie before [0, end)
  py::object last;   // how many items lie before [0, end) or inside it
  if (PyObject_RichCompareBool(step.ptr(), zero.ptr(), Py_GT) == 1) {
    // Items below x: ceil((x - start) / step) = (x - start + step - 1) // step.
    const py::object less_one = owned(PyNumber_Subtract(step.ptr(), one.ptr()));
    first = owned(PyNumber_FloorDivide(owned(PyNumber_Add(owned(PyNumber_Subtract(zero.ptr(), start.ptr())).ptr(),
                                                          less_one.ptr())).ptr(), step.ptr()));
    last = owned(PyNumber_FloorDivide(owned(PyNumber_Add(owned(PyNumber_Subtract(limit.ptr(), start.ptr())).ptr(),
                                                         less_one.ptr())).ptr(), step.ptr()));
  } else {
    // Items at or above x: (start - x) // -step + 1.
    const py::object down = owned(PyNumber_Negative(step.ptr()));
    first = owned(PyNumber_Add(
        owned(PyNumber_FloorDivide(owned(PyNumber_Subtract(start.ptr(), limit.ptr())).ptr(), down.ptr())).ptr(), one.ptr()));
    last = owned(PyNumber_Add(owned(PyNumber_FloorDivide(start.ptr(), down.ptr())).ptr(), one.ptr()));
  }
  const py::object slice = owned(PySlice_New(at_least_zero(first).ptr(), at_least_zero(last).ptr(), nullptr));
  return owned(PyObject_GetItem(ids.ptr(), slice.ptr()));
}

// The ids of allow that name a document of the index, in order; the rest are skipped without
// being kept, and a range is first cut to the index's ids, so range(10**12) costs what the index
// holds.
std::vector<std::int64_t> allowed_ids(const BM25Index& index, py::handle allow) {
  const py::object source = PyRange_Check(allow.ptr()) ? within(allow, index.next_id())
                                                       : py::reinterpret_borrow<py::object>(allow);
  std::vector<std::int64_t> ids;
  for_each_id(source, "allow", [&](py::handle, std::optional<std::int64_t> id) {
    // next_id() read each time: Python code that an item runs may add documents.
    if (id && *id >= 0 && static_cast<std::uint64_t>(*id) < index.next_id()) ids.push_back(*id);
    return true;
  });
  return ids;
}

// `threads` as retrieve reads it: 0 or more, a count beyond any machine meaning every processor.
unsigned thread_count(py::handle threads_value) {
  const auto index = py::reinterpret_steal<py::int_>(PyNumber_Index(threads_value.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  long threads = PyLong_AsLongAndOverflow(index.ptr(), &overflow);
  if (overflow > 0) threads = 1L << 16;  // more than any machine has: as many as it has
  if (threads < 0 || overflow < 0) {
    throw py::value_error("threads must be 0 (every usable processor) or more, not " + std::string(py::str(index.ptr())));
  }
  return static_cast<unsigned>(std::min(threads, 1L << 16));
}

// `k` as retrieve reads it: 1 or more, a count beyond 64 bits meaning every document.
std::uint64_t top_k(py::handle k) {
  const auto value = py::reinterpret_steal<py::int_>(PyNumber_Index(k.ptr()));
  if (!value) throw py::error_already_set();
  if (PyObject_RichCompareBool(value.ptr(), py::int_(1).ptr(), Py_LT) == 1) {
    throw py::value_error("k must be at least 1, not " + std::string(py::str(value.ptr())));
  }
  unsigned long long wanted = PyLong_AsUnsignedLongLong(value.ptr());
  if (wanted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();  // beyond 64 bits: as many as there are
    wanted = std::numeric_limits<unsigned long long>::max();
  }
  return wanted;
}

namespace {

std::string path_text(py::handle path) {
  std::string bytes = required_path_bytes(path);
  if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return bytes;
}

[[noreturn]] void raise_os_error(const std::system_error& error, const std::string& path) {
  errno = error.code().value();
  PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  throw py::error_already_set();
}

// A count of the corpus statistics (`name` in messages): an int from 0 to 2^63 - 1.
std::int64_t count_value(py::handle item, const std::string& name) {
  const auto value = py::reinterpret_steal<py::object>(PyNumber_Index(item.ptr()));
  if (!value) {
    PyErr_Clear();
    throw py::type_error(name + " must be an int, not " + Py_TYPE(item.ptr())->tp_name);
  }
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow < 0 || (overflow == 0 && count < 0)) {
    throw py::value_error(name + " must be 0 or more, not " + std::string(py::str(value)));
  }
  if (overflow > 0) throw py::value_error(name + " is beyond 2**63 - 1: " + std::string(py::str(value)));
  return static_cast<std::int64_t>(count);
}

// retrieve's `corpus`: (doc_count, doc_length_total, token_counts), as corpus_statistics gives
// them or summed over shards; token_counts an int64 array or any sequence of ints.
typing::text::CorpusStatistics corpus_of(py::handle source) {
  if (!PyTuple_Check(source.ptr()) && !PyList_Check(source.ptr())) {
    throw py::type_error(std::string("corpus must be a tuple (doc_count, doc_length_total, token_counts), not ") +
                         Py_TYPE(source.ptr())->tp_name);
  }
  const auto outer = py::reinterpret_borrow<py::sequence>(source);
  if (py::len(outer) != 3) {
    throw py::value_error("corpus must hold 3 items (doc_count, doc_length_total, token_counts), not " +
                          std::to_string(py::len(outer)));
  }
  const py::object doc_count = outer[0];
  const py::object total = outer[1];
  const py::object counts = outer[2];
  typing::text::CorpusStatistics corpus;
  corpus.doc_count = count_value(doc_count, "corpus doc_count");
  corpus.doc_length_total = count_value(total, "corpus doc_length_total");
  if (py::array_t<std::int64_t, py::array::c_style>::check_(counts)) {
    const auto array = py::reinterpret_borrow<py::array_t<std::int64_t, py::array::c_style>>(counts);
    if (array.ndim() != 1) {
      throw py::value_error("corpus token_counts must be one-dimensional, not of " + std::to_string(array.ndim()) +
                            " dimensions");
    }
    corpus.token_counts.assign(array.data(), array.data() + array.size());
    for (std::size_t at = 0; at < corpus.token_counts.size(); ++at) {
      if (corpus.token_counts[at] < 0) {
        throw py::value_error("corpus token_counts[" + std::to_string(at) + "] must be 0 or more, not " +
                              std::to_string(corpus.token_counts[at]));
      }
    }
    return corpus;
  }
  if (!PySequence_Check(counts.ptr()) || PyUnicode_Check(counts.ptr()) || PyBytes_Check(counts.ptr())) {
    throw py::type_error(std::string("corpus token_counts must be a sequence of ints, not ") +
                         Py_TYPE(counts.ptr())->tp_name);
  }
  // Each item read afresh: a sequence's __getitem__ may change its length as it goes.
  for (Py_ssize_t index = 0; index < PySequence_Size(counts.ptr()); ++index) {
    const auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(counts.ptr(), index));
    if (!item) throw py::error_already_set();
    corpus.token_counts.push_back(count_value(item, "corpus token_counts[" + std::to_string(index) + "]"));
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return corpus;
}

py::tuple retrieve(const BM25Index& self, py::handle queries, py::handle k, py::handle threads_value, py::handle allow,
                   py::handle corpus_value) {
  require_numpy("retrieve needs numpy: pip install 'duzudavida[search]'");
  const std::uint64_t wanted = top_k(k);
  const unsigned threads = thread_count(threads_value);
  const OwnedDocuments owned = load_owned(queries, "queries");
  std::vector<std::int64_t> allowed;
  if (!allow.is_none()) allowed = allowed_ids(self, allow);
  typing::text::CorpusStatistics corpus;
  if (!corpus_value.is_none()) corpus = corpus_of(corpus_value);
  typing::text::SearchResults results;
  {
    const UseWithoutLock reading(self, false);
    self.prepare();
    py::gil_scoped_release unlocked;
    if (corpus_value.is_none()) {
      results = self.retrieve(owned.docs, wanted, threads, allow.is_none() ? nullptr : &allowed);
    } else {
      results = self.retrieve(owned.docs, wanted, threads, allow.is_none() ? nullptr : &allowed, corpus);
    }
  }
  const std::size_t rows = results.rows;
  const std::size_t columns = results.columns;
  return py::make_tuple(to_matrix(std::move(results.ids), rows, columns),
                        to_matrix(std::move(results.scores), rows, columns));
}

py::tuple corpus_statistics(const BM25Index& self, py::handle queries) {
  require_numpy("corpus_statistics needs numpy: pip install 'duzudavida[search]'");
  const OwnedDocuments owned = load_owned(queries, "queries");
  typing::text::CorpusStatistics corpus;
  {
    const UseWithoutLock reading(self, false);
    py::gil_scoped_release unlocked;
    corpus = self.corpus_statistics(owned.docs);
  }
  // Strides given: pybind11 2.11 derives default ones from a descriptor field that NumPy 2 moved,
  // which gives every item the first one's place.
  const py::array_t<std::int64_t> counts({static_cast<py::ssize_t>(corpus.token_counts.size())},
                                         {static_cast<py::ssize_t>(sizeof(std::int64_t))}, corpus.token_counts.data());
  return py::make_tuple(corpus.doc_count, corpus.doc_length_total, counts);
}

// The state: the index file's bytes; for an instance of a subclass that holds attributes, the
// bytes and its __dict__.
py::object state_of(IndexInstance instance) {
  const BM25Index& self = py::cast<const BM25Index&>(instance.self);
  check_readable(self);
  const std::string bytes = self.serialize();
  return with_attributes<BM25Index>(instance.self, py::bytes(bytes.data(), bytes.size()));
}

BM25Index index_of_state(const py::bytes& state) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(state.ptr(), &data, &size) != 0) throw py::error_already_set();
  return BM25Index::from_bytes(std::string_view(data, static_cast<std::size_t>(size)));
}

using IndexClass = py::class_<BM25Index, std::shared_ptr<BM25Index>>;

// Gives an instance its index: a new instance gets one built; a live one has its index replaced,
// as Python's own types do on a second __init__ or a __setstate__ (refused while another thread
// uses it).
void put_index(py::handle self, BM25Index&& index) {
  py::detail::type_info* type = py::detail::get_type_info(typeid(BM25Index));
  auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
  py::detail::value_and_holder holder = instance->get_value_and_holder(type);
  if (holder.holder_constructed()) {
    BM25Index& live = *holder.value_ptr<BM25Index>();
    check_changeable(live);
    live = std::move(index);
    return;
  }
  py::detail::initimpl::construct<IndexClass>(holder, std::make_shared<BM25Index>(std::move(index)), false);
}

// pybind11 treats a method named __init__ or __setstate__ as a constructor and silently ignores
// it on a live instance; these are plain methods that build or replace the index themselves.
void as_plain_method(py::handle cls, const char* name) {
  const py::object method = cls.attr(name);
  const py::handle function = py::detail::get_function(method);
  auto records = py::reinterpret_borrow<py::capsule>(PyCFunction_GET_SELF(function.ptr()));
  for (auto* record = records.get_pointer<py::detail::function_record>(); record != nullptr; record = record->next) {
    record->is_constructor = false;
  }
}

}  // namespace

void register_index(py::module_& module) {
  pthread_atfork(nullptr, nullptr, &forget_users_in_child);
  IndexClass cls(module, "BM25Index", R"(An exact, incremental top-k index: a BM25 model and the postings of its documents.

score(q, d) = sum over t of encode_query(q)[t] * encode_document(d)[t], both with the model as it
stands at query time, so that add and delete re-weight every document.)");
  cls.def(
         "__init__", [](IndexInstance self, double b, double k1) { put_index(self.self, BM25Index(b, k1)); },
         py::arg("b") = 0.75, py::arg("k1") = 1.2)
      .def(
          "add",
          [](BM25Index& self, py::handle docs) {
            check_changeable(self);
            const OwnedDocuments owned = load_owned(docs, "docs");
            const UseWithoutLock writing(self, true);
            py::gil_scoped_release unlocked;
            return self.add(owned.docs);
          },
          py::arg("docs"),
          "Trains the model with the token lists and indexes them under consecutive ids; returns "
          "the id of docs[0]. All or nothing, with train_batch's errors.")
      .def(
          "delete",
          [](BM25Index& self, py::handle ids) {
            check_changeable(self);
            const std::vector<std::int64_t> converted = doomed_ids(self, ids);
            std::int64_t unknown = 0;
            bool found = true;
            {
              const UseWithoutLock writing(self, true);
              py::gil_scoped_release unlocked;
              try {
                self.remove(converted);
              } catch (const typing::text::UnknownDocument& error) {
                unknown = error.id();
                found = false;
              }
            }
            if (!found) {
              PyErr_SetObject(PyExc_KeyError, py::int_(unknown).ptr());
              throw py::error_already_set();
            }
          },
          py::arg("ids"),
          "Removes the documents; the model becomes that of the rest. All or nothing: KeyError "
          "for an id that is not live.")
      .def("retrieve", &retrieve, py::arg("queries"), py::arg("k") = 10, py::arg("threads") = 0,
           py::arg("allow") = py::none(), py::arg("corpus") = py::none(),
           "(ids, scores): per query the min(k, n) best live documents (of allow, when given), "
           "best first, ties to the lower id; int64 and float64 arrays. With corpus, a "
           "(doc_count, doc_length_total, token_counts) summed over the shards of a corpus, the "
           "documents are scored as one index of the whole corpus scores them, bit for bit.")
      .def("corpus_statistics", &corpus_statistics, py::arg("queries"),
           "(doc_count, doc_length_total, token_counts) of the live documents for a batch of "
           "queries: token_counts (int64) holds, per query in turn, each distinct token's "
           "occurrences, in ascending token order. Summed over shards, retrieve's corpus.")
      .def("__len__",
           [](const BM25Index& self) {
             check_readable(self);
             return self.size();
           })
      .def(
          "model",
          [](const BM25Index& self) {
            check_readable(self);
            return std::make_shared<BM25>(self.model());
          },
          "A new BM25 equal to the index's model.")
      .def(
          "merge",
          [](BM25Index& self, const BM25Index& other) {
            check_changeable(self);
            check_readable(other);
            self.merge(other);
          },
          py::arg("other"), "Appends other's documents, ids shifted by this index's next id.")
      .def(
          "save",
          [](const BM25Index& self, py::handle path) {
            // The path first: its __fspath__ may run code that starts a change.
            const std::string target = path_text(path);
            try {
              const UseWithoutLock reading(self, false);
              py::gil_scoped_release unlocked;
              self.save(target);
            } catch (const std::system_error& error) {
              raise_os_error(error, target);
            }
          },
          py::arg("path"), "Writes the index to one file (through a temporary name and a rename).")
      .def_static(
          "load",
          [](py::handle path, bool map) {
            const std::string source = path_text(path);
            try {
              py::gil_scoped_release unlocked;
              return std::make_shared<BM25Index>(BM25Index::load(source, map));
            } catch (const std::system_error& error) {
              raise_os_error(error, source);
            }
          },
          py::arg("path"), py::arg("mmap") = false,
          "Reads an index file; with mmap=True its postings are mapped read-only and paged in on demand.")
      .def("__getstate__", &state_of)
      .def("__setstate__", [](IndexInstance self, const py::bytes& state) { put_index(self.self, index_of_state(state)); })
      .def("__setstate__", [](IndexInstance self, const py::tuple& state) {
        restore_with_attributes(self.self, state, "BM25Index", index_of_state, put_index);
      });
  as_plain_method(cls, "__init__");
  as_plain_method(cls, "__setstate__");
}

}  // namespace lumo::binding
