// Registration of the Python class BM25. Every call holds the interpreter lock throughout, which
// also serialises calls on one model.
#include <pybind11/stl.h>

#include "bm25.h"
#include "registrations.h"

namespace py = pybind11;

namespace lumo::binding {

using typing::text::BM25;
using StringTokens = std::vector<std::string>;
using IdTokens = std::vector<std::int64_t>;

void register_bm25(py::module_& module) {
  py::class_<BM25, std::shared_ptr<BM25>>(module, "BM25")
      .def(py::init<double, double>(), py::arg("b") = 0.75, py::arg("k1") = 1.2)
      // Overloads are tried in this order; parameters have no keyword names.
      .def("b", py::overload_cast<>(&BM25::b, py::const_))
      .def("b", py::overload_cast<double>(&BM25::b))
      .def("k1", py::overload_cast<>(&BM25::k1, py::const_))
      .def("k1", py::overload_cast<double>(&BM25::k1))
      .def("train", py::overload_cast<const StringTokens&>(&BM25::train))
      .def("train", py::overload_cast<const IdTokens&>(&BM25::train))
      .def("load", &BM25::load)
      .def("dump", &BM25::dump)
      .def("encode_document", py::overload_cast<const StringTokens&>(&BM25::encode_document, py::const_))
      .def("encode_document", py::overload_cast<const IdTokens&>(&BM25::encode_document, py::const_))
      .def("encode_query", py::overload_cast<const StringTokens&>(&BM25::encode_query, py::const_))
      .def("encode_query", py::overload_cast<const IdTokens&>(&BM25::encode_query, py::const_));
}

}  // namespace lumo::binding
