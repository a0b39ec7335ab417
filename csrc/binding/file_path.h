// File paths as the operating system takes them, for every call that names a file: a str encoded
// as os.fsencode does (so a path os.fsdecode made from any bytes comes back to them), bytes and
// bytearray as they are, and any os.PathLike through os.fspath. A str that cannot be encoded
// raises the interpreter's UnicodeEncodeError, never pybind11's bare cast error.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <utility>

namespace lumo::binding {

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

// The path's bytes; for an object that is not a path, os.fspath's TypeError.
inline std::string required_path_bytes(pybind11::handle source) {
  std::optional<std::string> bytes = path_bytes(source);
  if (!bytes) {
    PyOS_FSPath(source.ptr());  // sets "expected str, bytes or os.PathLike object, not ..."
    throw pybind11::error_already_set();
  }
  return std::move(*bytes);
}

}  // namespace lumo::binding

template <>
struct pybind11::detail::type_caster<lumo::binding::FilePath> {
  PYBIND11_TYPE_CASTER(lumo::binding::FilePath, const_name("str"));
  bool load(handle source, bool) {
    std::optional<std::string> bytes = lumo::binding::path_bytes(source);
    if (!bytes) return false;
    value.bytes = std::move(*bytes);
    return true;
  }
};
