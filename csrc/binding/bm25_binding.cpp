// Registration of the Python class BM25. Calls hold the interpreter lock, which serialises calls
// on one model, except the sparse-row encoders, which release it while they count and weigh; a
// call that would change a model meanwhile raises instead of racing them.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bm25.h"
#include "file_path.h"
#include "initialized_caster.h"
#include "numpy_support.h"
#include "registrations.h"
#include "subclass_state.h"
#include "token_casters.h"

namespace py = pybind11;

template <>
struct pybind11::detail::type_caster<lumo::typing::text::BM25>
    : lumo::binding::InitializedCaster<lumo::typing::text::BM25> {};

namespace lumo::binding {
using Instance = AnyInstance<typing::text::BM25>;
}  // namespace lumo::binding

namespace lumo::binding {
namespace {

using typing::text::BM25;
using typing::text::Document;

// Models being read without the interpreter lock, with how many calls read each and in which
// process: a child of fork inherits the counts of threads it does not have, and ignores them.
// Only touched with the lock held.
struct Readers {
  std::size_t count = 0;
  pid_t process = 0;
};

std::unordered_map<const BM25*, Readers>& models_in_use() {
  static std::unordered_map<const BM25*, Readers> in_use;
  return in_use;
}

class ReadWithoutLock {
 public:
  explicit ReadWithoutLock(const BM25& model) : model_(&model), process_(getpid()) {
    Readers& readers = models_in_use()[model_];
    if (readers.process != process_) readers = Readers{0, process_};
    ++readers.count;
  }
  ReadWithoutLock(const ReadWithoutLock&) = delete;
  ReadWithoutLock& operator=(const ReadWithoutLock&) = delete;
  ~ReadWithoutLock() {
    auto found = models_in_use().find(model_);
    if (found == models_in_use().end() || found->second.process != process_) return;
    if (--found->second.count == 0) models_in_use().erase(found);
  }

 private:
  const BM25* model_;
  pid_t process_;
};

// Every change to a model happens after its arguments are converted (conversion may run Python
// code, and with it other threads), with the interpreter lock held from this check to the last
// change: no sparse-row encoder can start reading in between.
BM25& changeable(BM25& model) {
  const auto found = models_in_use().find(&model);
  if (found != models_in_use().end()) {
    if (found->second.process == getpid()) {
      throw std::runtime_error("BM25 cannot change while another thread encodes with it");
    }
    models_in_use().erase(found);
  }
  return model;
}

// The documents of a batch: a list or tuple of token lists, each what train takes. The converted
// token lists are kept (`texts`): they hold the items that the views need alive and the copies
// of bytearrays, so that what the views point at can neither change nor go away, whatever Python
// code later documents run and while the interpreter lock is released.
struct Documents {
  std::vector<Document> docs;
  std::vector<py::detail::make_caster<StringTokens>> texts;
};

// Calls on_text(caster) or on_ids(caster) for each item of a batch, in order: a list or tuple of
// what train takes. Anything else is a TypeError naming the batch or the item. With `copied`,
// every text item is kept alive by its caster (see StringTokens::keep_items).
template <class OnText, class OnIds>
void for_each_document(py::handle docs, OnText on_text, OnIds on_ids,
                       std::unordered_map<PyObject*, std::string_view>* copied = nullptr) {
  if (!PyList_Check(docs.ptr()) && !PyTuple_Check(docs.ptr())) {
    throw py::type_error("docs must be a list or tuple of token lists, not " + std::string(Py_TYPE(docs.ptr())->tp_name));
  }
  // A subclass's __len__ and __getitem__ are Python code.
  const bool plain = PyList_CheckExact(docs.ptr()) || PyTuple_CheckExact(docs.ptr());
  const auto items = py::reinterpret_borrow<py::sequence>(docs);
  for (std::size_t index = 0; index < items.size(); ++index) {
    py::object item = items[index];
    if (copied != nullptr && !plain) copied->clear();
    py::detail::make_caster<StringTokens> as_text;
    if (copied != nullptr) as_text.keep_items(*copied);
    if (as_text.load(item, false)) {
      on_text(as_text);
      continue;
    }
    // The copies that a refused text conversion made go with its caster.
    if (copied != nullptr) copied->clear();
    py::detail::make_caster<IdTokens> as_ids;
    if (as_ids.load(item, true)) {
      // The id conversion of a generic sequence runs Python code.
      if (copied != nullptr) copied->clear();
      on_ids(as_ids);
      continue;
    }
    throw py::type_error("docs[" + std::to_string(index) + "] is not a list of str, bytes or int tokens");
  }
}

// Every document converted before the model is read or changed.
Documents load_documents(py::handle source) {
  Documents documents;
  std::unordered_map<PyObject*, std::string_view> copied;
  for_each_document(
      source,
      [&](py::detail::make_caster<StringTokens>& as_text) {
        StringTokens& tokens = as_text;
        documents.docs.emplace_back(std::move(tokens.views));
        documents.texts.push_back(std::move(as_text));
      },
      [&](py::detail::make_caster<IdTokens>& as_ids) {
        documents.docs.emplace_back(std::move(static_cast<IdTokens&>(as_ids).ids));
      },
      &copied);
  return documents;
}

// Documents between two updates of a progress bar.
constexpr std::size_t kProgressStep = 8192;

// A progress bar over a batch of documents (duzudavida._progress.bar: tqdm when installed), or
// nothing; closed with the call, however it ends.
class Progress {
 public:
  // `total`: the count of documents, or None when unknown.
  Progress(bool show, py::object total, const char* call) {
    if (show) bar_ = py::module_::import("duzudavida._progress").attr("bar")(total, call, "docs");
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() {
    if (bar_.is_none()) return;
    try {
      if (pending_ != 0) bar_.attr("update")(pending_);
      bar_.attr("close")();
    } catch (py::error_already_set& error) {
      error.discard_as_unraisable(__func__);
    }
  }
  void count(std::size_t documents) const {
    if (bar_.is_none()) return;
    bar_.attr("update")(documents);
  }
  // One more document, shown a step at a time.
  void count_one() const {
    if (bar_.is_none() || ++pending_ < kProgressStep) return;
    bar_.attr("update")(pending_);
    pending_ = 0;
  }
  bool shown() const noexcept { return !bar_.is_none(); }

 private:
  py::object bar_ = py::none();
  mutable std::size_t pending_ = 0;
};

// Encodes each document as the single-document call does, into a list of dicts; `encode` takes
// text tokens or ids.
template <class Encode>
py::list encode_each(py::handle docs, Encode encode, bool show_progress, const char* call) {
  py::list result;
  // A batch that is not a list or tuple is refused by for_each_document, with its message.
  const bool sized = PyList_Check(docs.ptr()) || PyTuple_Check(docs.ptr());
  const Progress progress(show_progress, sized ? py::object(py::int_(py::len(docs))) : py::object(py::none()), call);
  for_each_document(
      docs,
      [&](const StringTokens& tokens) {
        result.append(py::cast(WeightsDict<std::string_view>{encode(tokens.views), tokens.views, tokens.sources}));
        progress.count_one();
      },
      [&](const IdTokens& tokens) {
        result.append(py::cast(WeightsDict<std::int64_t>{encode(tokens.ids), tokens.ids, tokens.sources}));
        progress.count_one();
      });
  return result;
}

template <class Value>
py::array_t<Value> to_array(std::vector<Value>&& values) {
  auto owned = std::make_unique<std::vector<Value>>(std::move(values));
  py::capsule owner(owned.get(), [](void* vector) { delete static_cast<std::vector<Value>*>(vector); });
  std::vector<Value>* kept = owned.release();
  return py::array_t<Value>({static_cast<py::ssize_t>(kept->size())}, {static_cast<py::ssize_t>(sizeof(Value))},
                            kept->data(), owner);
}

using CsrEncode = typing::text::CsrRows (BM25::*)(const std::vector<Document>&, unsigned) const;

// A scipy.sparse.csr_array of shape (len(docs), 2**32 - 1), float32.
template <CsrEncode encode>
py::object encode_csr(const BM25& self, py::handle docs, bool show_progress) {
  py::object sparse;
  try {
    sparse = py::module_::import("scipy.sparse");
  } catch (const py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    throw py::import_error("sparse rows need scipy: pip install 'duzudavida[sparse]'");
  }
  require_numpy("sparse rows need scipy: pip install 'duzudavida[sparse]'");
  const Documents documents = load_documents(docs);
  typing::text::CsrRows rows;
  {
    const ReadWithoutLock reading(self);
    const Progress progress(show_progress, py::int_(documents.docs.size()), encode == &BM25::encode_documents_csr ? "encode_documents_csr"
                                                                                        : "encode_queries_csr");
    if (!progress.shown()) {
      py::gil_scoped_release unlocked;
      rows = (self.*encode)(documents.docs, 0);
    } else {
      // A step of documents at a time, the rows appended: the same rows as one call.
      const std::vector<Document>& all = documents.docs;
      rows.indptr.push_back(0);
      for (std::size_t begin = 0; begin < all.size(); begin += kProgressStep) {
        const std::size_t end = std::min(all.size(), begin + kProgressStep);
        {
          py::gil_scoped_release unlocked;
          const std::vector<Document> step(all.begin() + static_cast<std::ptrdiff_t>(begin),
                                           all.begin() + static_cast<std::ptrdiff_t>(end));
          const typing::text::CsrRows part = (self.*encode)(step, 0);
          const std::int64_t base = rows.indptr.back();
          for (std::size_t row = 1; row < part.indptr.size(); ++row) rows.indptr.push_back(base + part.indptr[row]);
          rows.indices.insert(rows.indices.end(), part.indices.begin(), part.indices.end());
          rows.data.insert(rows.data.end(), part.data.begin(), part.data.end());
        }
        progress.count(end - begin);
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      }
    }
  }
  const auto shape = py::make_tuple(documents.docs.size(), typing::text::kMaxColumn + 1);
  return sparse.attr("csr_array")(
      py::make_tuple(to_array(std::move(rows.data)), to_array(std::move(rows.indices)), to_array(std::move(rows.indptr))),
      py::arg("shape") = shape);
}

// The state: the model's bytes; for an instance of a subclass that holds attributes, the bytes
// and its __dict__.
py::object state_of(Instance instance) {
  const BM25& self = py::cast<const BM25&>(instance.self);
  auto state = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(self.state_size())));
  if (!state) throw py::error_already_set();
  self.write_state(PyBytes_AS_STRING(state.ptr()));
  return with_attributes<BM25>(instance.self, std::move(state));
}

using BM25Class = py::class_<BM25, std::shared_ptr<BM25>>;

// Gives an instance its model: a new instance gets one built; a live one has its model replaced,
// as Python's own types do on a second __init__ or a __setstate__ (refused while another thread
// encodes with it).
void put_model(py::handle self, BM25&& model) {
  py::detail::type_info* type = py::detail::get_type_info(typeid(BM25));
  auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
  py::detail::value_and_holder holder = instance->get_value_and_holder(type);
  if (holder.holder_constructed()) {
    changeable(*holder.value_ptr<BM25>()) = std::move(model);
    return;
  }
  py::detail::initimpl::construct<BM25Class>(holder, std::make_shared<BM25>(std::move(model)), false);
}

BM25 model_of_state(const py::bytes& state) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(state.ptr(), &data, &size) != 0) throw py::error_already_set();
  return BM25::from_state(std::string_view(data, static_cast<std::size_t>(size)));
}

// pybind11 treats a method named __init__ or __setstate__ as a constructor and silently ignores
// it on a live instance; these are plain methods that build or replace the model themselves.
void as_plain_method(py::handle cls, const char* name) {
  const py::object method = cls.attr(name);
  const py::handle function = py::detail::get_function(method);
  auto records = py::reinterpret_borrow<py::capsule>(PyCFunction_GET_SELF(function.ptr()));
  for (auto* record = records.get_pointer<py::detail::function_record>(); record != nullptr; record = record->next) {
    record->is_constructor = false;
  }
}

// A path with a NUL byte reaches BM25::dump, which refuses it as a file it cannot open.
void dump(const BM25& self, py::handle path) { self.dump(required_path_bytes(path)); }

}  // namespace

void register_bm25(py::module_& module) {
  BM25Class cls(module, "BM25");
  cls.def(
         "__init__", [](Instance self, double b, double k1) { put_model(self.self, BM25(b, k1)); }, py::arg("b") = 0.75,
         py::arg("k1") = 1.2)
      // Overloads are tried in this order; parameters have no keyword names.
      .def("b", py::overload_cast<>(&BM25::b, py::const_))
      .def("b", [](BM25& self, double value) { changeable(self).b(value); })
      .def("k1", py::overload_cast<>(&BM25::k1, py::const_))
      .def("k1", [](BM25& self, double value) { changeable(self).k1(value); })
      .def("train", [](BM25& self, const StringTokens& tokens) { changeable(self).train(tokens.views); })
      .def("train", [](BM25& self, const IdTokens& tokens) { changeable(self).train(tokens.ids); })
      .def("load", [](BM25& self, const std::string& json_text) { changeable(self).load(json_text); })
      .def("dump", &dump)
      .def("encode_document",
           [](const BM25& self, const StringTokens& tokens) {
             return WeightsDict<std::string_view>{self.encode_document(tokens.views), tokens.views, tokens.sources};
           })
      .def("encode_document",
           [](const BM25& self, const IdTokens& tokens) {
             return WeightsDict<std::int64_t>{self.encode_document(tokens.ids), tokens.ids, tokens.sources};
           })
      .def("encode_query",
           [](const BM25& self, const StringTokens& tokens) {
             return WeightsDict<std::string_view>{self.encode_query(tokens.views), tokens.views, tokens.sources};
           })
      .def("encode_query",
           [](const BM25& self, const IdTokens& tokens) {
             return WeightsDict<std::int64_t>{self.encode_query(tokens.ids), tokens.ids, tokens.sources};
           })
      .def(
          "train_batch",
          [](BM25& self, py::handle docs) {
            const Documents documents = load_documents(docs);
            changeable(self).train_batch(documents.docs);
          },
          py::arg("docs"))
      .def(
          "encode_documents",
          [](const BM25& self, py::handle docs, bool show_progress) {
            return encode_each(
                docs, [&](const auto& tokens) { return self.encode_document(tokens); }, show_progress,
                "encode_documents");
          },
          py::arg("docs"), py::kw_only(), py::arg("show_progress") = false)
      .def(
          "encode_queries",
          [](const BM25& self, py::handle docs, bool show_progress) {
            return encode_each(
                docs, [&](const auto& tokens) { return self.encode_query(tokens); }, show_progress, "encode_queries");
          },
          py::arg("docs"), py::kw_only(), py::arg("show_progress") = false)
      .def("encode_documents_csr", &encode_csr<&BM25::encode_documents_csr>, py::arg("docs"), py::kw_only(),
           py::arg("show_progress") = false)
      .def("encode_queries_csr", &encode_csr<&BM25::encode_queries_csr>, py::arg("docs"), py::kw_only(),
           py::arg("show_progress") = false)
      .def_static("token_index", [](std::string_view token) { return BM25::token_index(token); }, py::arg("token"))
      .def(
          "merge", [](BM25& self, const BM25& other) { changeable(self).merge(other); }, py::arg("other"))
      .def("__getstate__", &state_of)
      .def("__setstate__", [](Instance self, const py::bytes& state) { put_model(self.self, model_of_state(state)); })
      .def("__setstate__", [](Instance self, const py::tuple& state) {
        restore_with_attributes(self.self, state, "BM25", model_of_state, put_model);
      });
  as_plain_method(cls, "__init__");
  as_plain_method(cls, "__setstate__");
}

}  // namespace lumo::binding
