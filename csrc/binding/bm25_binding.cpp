// Registration of the Python class BM25. Every call holds the interpreter lock throughout, which
// also serialises calls on one model.
#include <pybind11/stl.h>

#include "bm25.h"
#include "initialized_caster.h"
#include "registrations.h"
#include "token_casters.h"

namespace py = pybind11;

template <>
struct pybind11::detail::type_caster<lumo::typing::text::BM25>
    : lumo::binding::InitializedCaster<lumo::typing::text::BM25> {};

namespace lumo::binding {

using typing::text::BM25;

void register_bm25(py::module_& module) {
  py::class_<BM25, std::shared_ptr<BM25>>(module, "BM25")
      .def(py::init<double, double>(), py::arg("b") = 0.75, py::arg("k1") = 1.2)
      // Overloads are tried in this order; parameters have no keyword names.
      .def("b", py::overload_cast<>(&BM25::b, py::const_))
      .def("b", py::overload_cast<double>(&BM25::b))
      .def("k1", py::overload_cast<>(&BM25::k1, py::const_))
      .def("k1", py::overload_cast<double>(&BM25::k1))
      .def("train", [](BM25& self, const StringTokens& tokens) { self.train(tokens.views); })
      .def("train", [](BM25& self, const IdTokens& tokens) { self.train(tokens.ids); })
      .def("load", &BM25::load)
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
      .def("encode_query", [](const BM25& self, const IdTokens& tokens) {
        return WeightsDict<std::int64_t>{self.encode_query(tokens.ids), tokens.ids, tokens.sources};
      });
}

}  // namespace lumo::binding
