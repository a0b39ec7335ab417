// The per-class registrations that the module entry calls.
#pragma once

#include <pybind11/pybind11.h>

namespace lumo::binding {

void register_bm25(pybind11::module_& module);
void register_jieba(pybind11::module_& module);
void register_index(pybind11::module_& module);
// BM25Index.add_texts and BM25Index.search, after both classes.
void register_text(pybind11::module_& module);
// __version__ and default_paths().
void register_package(pybind11::module_& module);

}  // namespace lumo::binding
