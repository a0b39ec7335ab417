// Registration of the Python class BM25. Calls hold the interpreter lock, which serialises calls
// on one model, except the sparse-row encoders, which release it while they count and weigh; a
// call that would change a model meanwhile raises instead of racing them.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bm25.h"
#include "initialized_caster.h"
#include "registrations.h"
#include "token_casters.h"

namespace py = pybind11;

template <>
struct pybind11::detail::type_caster<lumo::typing::text::BM25>
    : lumo::binding::InitializedCaster<lumo::typing::text::BM25> {};

namespace lumo::binding {
namespace {

using typing::text::BM25;
using typing::text::Document;

// Models being read without the interpreter lock, with how many calls read each. Only touched
// with the lock held.
std::unordered_map<const BM25*, std::size_t>& models_in_use() {
  static std::unordered_map<const BM25*, std::size_t> in_use;
  return in_use;
}

class ReadWithoutLock {
 public:
  explicit ReadWithoutLock(const BM25& model) : model_(&model) { ++models_in_use()[model_]; }
  ReadWithoutLock(const ReadWithoutLock&) = delete;
  ReadWithoutLock& operator=(const ReadWithoutLock&) = delete;
  ~ReadWithoutLock() {
    auto found = models_in_use().find(model_);
    if (--found->second == 0) models_in_use().erase(found);
  }

 private:
  const BM25* model_;
};

BM25& changeable(BM25& model) {
  if (models_in_use().count(&model) != 0) {
    throw std::runtime_error("BM25 cannot change while another thread encodes with it");
  }
  return model;
}

// The documents of a batch: a list or tuple of token lists, each what train takes. Text tokens
// are copied into one buffer, so that what they view can neither change nor go away while the
// interpreter lock is released.
struct Documents {
  std::vector<Document> docs;
  std::unique_ptr<char[]> text;  // on the heap, so that moving the batch keeps the views valid
};

// Calls on_text(caster) or on_ids(caster) for each item of a batch, in order: a list or tuple of
// what train takes. Anything else is a TypeError naming the batch or the item.
template <class OnText, class OnIds>
void for_each_document(py::handle docs, OnText on_text, OnIds on_ids) {
  if (!PyList_Check(docs.ptr()) && !PyTuple_Check(docs.ptr())) {
    throw py::type_error("docs must be a list or tuple of token lists, not " + std::string(Py_TYPE(docs.ptr())->tp_name));
  }
  const auto items = py::reinterpret_borrow<py::sequence>(docs);
  for (std::size_t index = 0; index < items.size(); ++index) {
    py::object item = items[index];
    py::detail::make_caster<StringTokens> as_text;
    if (as_text.load(item, false)) {
      on_text(as_text);
      continue;
    }
    py::detail::make_caster<IdTokens> as_ids;
    if (as_ids.load(item, true)) {
      on_ids(as_ids);
      continue;
    }
    throw py::type_error("docs[" + std::to_string(index) + "] is not a list of str, bytes or int tokens");
  }
}

Documents load_documents(py::handle source, bool copy_text) {
  Documents documents;
  std::vector<py::detail::make_caster<StringTokens>> texts;  // keep generic sequences' items alive
  std::size_t text_size = 0;
  for_each_document(
      source,
      [&](py::detail::make_caster<StringTokens>& as_text) {
        StringTokens& tokens = as_text;
        for (const std::string_view token : tokens.views) text_size += token.size();
        documents.docs.emplace_back(std::move(tokens.views));
        texts.push_back(std::move(as_text));
      },
      [&](py::detail::make_caster<IdTokens>& as_ids) {
        documents.docs.emplace_back(std::move(static_cast<IdTokens&>(as_ids).ids));
      });
  if (copy_text) {
    documents.text = std::make_unique<char[]>(text_size + 1);
    char* at = documents.text.get();
    for (Document& doc : documents.docs) {
      if (auto* views = std::get_if<typing::text::TokenViews>(&doc)) {
        for (std::string_view& token : *views) {
          std::memcpy(at, token.data(), token.size());
          token = std::string_view(at, token.size());
          at += token.size();
        }
      }
    }
  }
  return documents;
}

// Encodes each document as the single-document call does, into a list of dicts; `encode` takes
// text tokens or ids.
template <class Encode>
py::list encode_each(py::handle docs, Encode encode) {
  py::list result;
  for_each_document(
      docs,
      [&](const StringTokens& tokens) {
        result.append(py::cast(WeightsDict<std::string_view>{encode(tokens.views), tokens.views, tokens.sources}));
      },
      [&](const IdTokens& tokens) {
        result.append(py::cast(WeightsDict<std::int64_t>{encode(tokens.ids), tokens.ids, tokens.sources}));
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
py::object encode_csr(const BM25& self, py::handle docs) {
  py::object sparse;
  try {
    sparse = py::module_::import("scipy.sparse");
  } catch (const py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    throw py::import_error("sparse rows need scipy: pip install 'duzudavida[sparse]'");
  }
  const Documents documents = load_documents(docs, true);
  typing::text::CsrRows rows;
  {
    const ReadWithoutLock reading(self);
    py::gil_scoped_release unlocked;
    rows = (self.*encode)(documents.docs, 0);
  }
  const auto shape = py::make_tuple(documents.docs.size(), typing::text::kMaxColumn + 1);
  return sparse.attr("csr_array")(
      py::make_tuple(to_array(std::move(rows.data)), to_array(std::move(rows.indices)), to_array(std::move(rows.indptr))),
      py::arg("shape") = shape);
}

py::bytes state_of(const BM25& self) {
  auto state = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(self.state_size())));
  if (!state) throw py::error_already_set();
  self.write_state(PyBytes_AS_STRING(state.ptr()));
  return state;
}

std::shared_ptr<BM25> from_state(const py::bytes& state) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(state.ptr(), &data, &size) != 0) throw py::error_already_set();
  return std::make_shared<BM25>(BM25::from_state(std::string_view(data, static_cast<std::size_t>(size))));
}

}  // namespace

void register_bm25(py::module_& module) {
  py::class_<BM25, std::shared_ptr<BM25>>(module, "BM25")
      .def(py::init<double, double>(), py::arg("b") = 0.75, py::arg("k1") = 1.2)
      // Overloads are tried in this order; parameters have no keyword names.
      .def("b", py::overload_cast<>(&BM25::b, py::const_))
      .def("b", [](BM25& self, double value) { changeable(self).b(value); })
      .def("k1", py::overload_cast<>(&BM25::k1, py::const_))
      .def("k1", [](BM25& self, double value) { changeable(self).k1(value); })
      .def("train", [](BM25& self, const StringTokens& tokens) { changeable(self).train(tokens.views); })
      .def("train", [](BM25& self, const IdTokens& tokens) { changeable(self).train(tokens.ids); })
      .def("load", [](BM25& self, const std::string& json_text) { changeable(self).load(json_text); })
      .def("dump", &BM25::dump)
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
          [](BM25& self, py::handle docs) { changeable(self).train_batch(load_documents(docs, false).docs); },
          py::arg("docs"))
      .def(
          "encode_documents",
          [](const BM25& self, py::handle docs) {
            return encode_each(docs, [&](const auto& tokens) { return self.encode_document(tokens); });
          },
          py::arg("docs"))
      .def(
          "encode_queries",
          [](const BM25& self, py::handle docs) {
            return encode_each(docs, [&](const auto& tokens) { return self.encode_query(tokens); });
          },
          py::arg("docs"))
      .def("encode_documents_csr", &encode_csr<&BM25::encode_documents_csr>, py::arg("docs"))
      .def("encode_queries_csr", &encode_csr<&BM25::encode_queries_csr>, py::arg("docs"))
      .def_static("token_index", [](std::string_view token) { return BM25::token_index(token); }, py::arg("token"))
      .def(
          "merge", [](BM25& self, const BM25& other) { changeable(self).merge(other); }, py::arg("other"))
      .def(py::pickle(&state_of, &from_state));
}

}  // namespace lumo::binding
