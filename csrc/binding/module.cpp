// The module entry: PYBIND11_MODULE checks the interpreter version, creates the single-phase
// module and turns registration failures into ImportError.
#include "registrations.h"

PYBIND11_MODULE(duzudavida, module) {
  lumo::binding::register_bm25(module);
  lumo::binding::register_jieba(module);
  lumo::binding::register_index(module);
  lumo::binding::register_package(module);
}
