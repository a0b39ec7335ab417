// The module entry: PYBIND11_MODULE checks the interpreter version, creates the single-phase
// module and turns registration failures into ImportError.
#include "registrations.h"

namespace py = pybind11;

PYBIND11_MODULE(_native, module) {
  // The package re-exports every name: classes and functions made while the module holds this
  // attribute name the package as theirs (in pickles, reprs and messages), not this private module.
  module.attr("__module__") = "duzudavida";
  lumo::binding::register_bm25(module);
  lumo::binding::register_jieba(module);
  lumo::binding::register_index(module);
  lumo::binding::register_text(module);
  lumo::binding::register_package(module);
  py::delattr(module, "__module__");
}
