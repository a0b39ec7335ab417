// Conversions for the hot BM25 calls: token lists read as views of the bytes that the Python
// objects already hold, and weight maps written straight into a dict. They accept and produce
// exactly what pybind11's List[str] and Dict[..., float] conversions do, without the copies.
#pragma once

#include <pybind11/pybind11.h>

#include "bm25.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace lumo::binding {

// Views of each token's bytes, valid for as long as this object lives, whatever Python code runs
// meanwhile: str and bytes are immutable and each one viewed is kept alive here (`owners`) unless
// no Python code can run before the views are used (one plain list or tuple, converted and used
// at once); a bytearray, which Python code may resize or free, is viewed through a copy of its
// contents (`copies`).
struct StringTokens {
  std::vector<std::string_view> views;
  // The item each view came from: a list's or tuple's own item array, or `generic_sources`.
  PyObject* const* sources = nullptr;
  std::vector<pybind11::object> owners;
  std::vector<PyObject*> generic_sources;
  std::vector<std::unique_ptr<char[]>> copies;
  // Set before loading by a caller that converts more Python objects before it uses the views.
  bool keep_items = false;
  // Copies of bytearrays already met, shared by the documents of one batch, so that one bytearray
  // named many times is copied once; emptied whenever Python code may have run.
  std::unordered_map<PyObject*, std::string_view>* copied = nullptr;
};

// Integer ids; a plain list or tuple of plain ints is read directly, anything else through
// pybind11's own List[int] conversion, so that both accept exactly the same values.
struct IdTokens {
  std::vector<std::int64_t> ids;
  PyObject* const* sources = nullptr;  // the item each id came from, when read directly
};

// Weights in ascending key order, to become a dict filled in that order. Each entry names the
// position of its token in the converted list; an input item that is exactly a str (or an int)
// serves as the key itself, with no new object.
template <class Key>
struct WeightsDict {
  typing::text::SparseWeights entries;
  const std::vector<Key>& tokens;
  PyObject* const* sources;  // the item each token came from; may be null
};

}  // namespace lumo::binding

namespace pybind11::detail {

template <>
struct type_caster<lumo::binding::StringTokens> {
  PYBIND11_TYPE_CASTER(lumo::binding::StringTokens, const_name("List[str]"));

  // For a caller that converts more objects before it uses the views: every item is kept alive,
  // and bytearrays already copied in `copied` are not copied again.
  void keep_items(std::unordered_map<PyObject*, std::string_view>& copied) {
    value.keep_items = true;
    value.copied = &copied;
  }

  // Any sequence except str and bytes; every item a str (as UTF-8), bytes or bytearray.
  bool load(handle source, bool /*convert: str items never convert*/) {
    PyObject* sequence = source.ptr();
    if (!PySequence_Check(sequence) || PyBytes_Check(sequence) || PyUnicode_Check(sequence)) return false;
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
      // No Python code runs while a plain list or tuple converts.
      const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
      PyObject** items = PySequence_Fast_ITEMS(sequence);
      value.views.reserve(static_cast<std::size_t>(size));
      if (value.keep_items) value.owners.reserve(static_cast<std::size_t>(size));
      for (Py_ssize_t i = 0; i < size; ++i) {
        if (!append(items[i])) return false;
        if (value.keep_items) value.owners.push_back(reinterpret_borrow<object>(items[i]));
      }
      // The list's own item array, read only before Python code can change the list.
      value.sources = items;
      return true;
    }
    // Other sequences are read item by item, as pybind11 reads them; their errors propagate.
    // Each __getitem__ runs Python code, which may change any bytearray met before.
    forget_copies();
    const Py_ssize_t size = PySequence_Size(sequence);
    if (size < 0) throw error_already_set();
    value.views.reserve(static_cast<std::size_t>(size));
    value.owners.reserve(static_cast<std::size_t>(size));
    value.generic_sources.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      object item = reinterpret_steal<object>(PySequence_GetItem(sequence, i));
      forget_copies();
      if (!item) throw error_already_set();
      if (!append(item.ptr())) return false;
      value.generic_sources.push_back(item.ptr());
      value.owners.push_back(std::move(item));
    }
    value.sources = value.generic_sources.data();
    return true;
  }

 private:
  void forget_copies() {
    if (value.copied != nullptr) value.copied->clear();
  }

  bool append(PyObject* item) {
    if (PyUnicode_Check(item)) {
      Py_ssize_t size = -1;
      const char* data = PyUnicode_AsUTF8AndSize(item, &size);  // cached in the str object
      if (data == nullptr) {
        PyErr_Clear();  // not encodable (a lone surrogate): this overload does not match
        return false;
      }
      value.views.emplace_back(data, static_cast<std::size_t>(size));
      return true;
    }
    if (PyBytes_Check(item)) {
      value.views.emplace_back(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
      return true;
    }
    if (PyByteArray_Check(item)) {
      if (value.copied != nullptr) {
        const auto found = value.copied->find(item);
        if (found != value.copied->end()) {
          value.views.push_back(found->second);
          return true;
        }
      }
      const auto size = static_cast<std::size_t>(PyByteArray_GET_SIZE(item));
      auto copy = std::make_unique<char[]>(size + 1);
      std::memcpy(copy.get(), PyByteArray_AS_STRING(item), size);
      const std::string_view view(copy.get(), size);
      value.copies.push_back(std::move(copy));
      // Only while the bytearray is kept alive can its address not name another object.
      if (value.copied != nullptr && value.keep_items) value.copied->emplace(item, view);
      value.views.push_back(view);
      return true;
    }
    return false;
  }
};

template <>
struct type_caster<lumo::binding::IdTokens> {
  PYBIND11_TYPE_CASTER(lumo::binding::IdTokens, const_name("List[int]"));

  bool load(handle source, bool convert) {
    PyObject* sequence = source.ptr();
    // A bytearray is text, as bytes is, not a sequence of ids.
    if (PyByteArray_Check(sequence)) return false;
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
      const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
      PyObject** items = PySequence_Fast_ITEMS(sequence);
      value.ids.resize(static_cast<std::size_t>(size));
      bool plain = true;
      for (Py_ssize_t i = 0; i < size && plain; ++i) {
        int overflow = 0;
        // Exact ints only; bools, other int subclasses and index objects take the general path.
        plain = PyLong_CheckExact(items[i]) != 0;
        if (plain) {
          const long long id = PyLong_AsLongLongAndOverflow(items[i], &overflow);
          plain = overflow == 0 && !(id == -1 && PyErr_Occurred());
          value.ids[static_cast<std::size_t>(i)] = id;
        }
      }
      if (plain) {
        value.sources = items;
        return true;
      }
      PyErr_Clear();
    }
    make_caster<std::vector<std::int64_t>> general;
    if (!general.load(source, convert)) return false;
    value.ids = cast_op<std::vector<std::int64_t>&&>(std::move(general));
    return true;
  }
};

template <class Key>
struct weights_dict_caster {
  using Weights = lumo::binding::WeightsDict<Key>;
  static constexpr auto name =
      const_name<std::is_same<Key, std::string_view>::value>(const_name("Dict[str, float]"),
                                                             const_name("Dict[int, float]"));

  // A key that does not decode (bytes that are not UTF-8) raises its UnicodeDecodeError, as
  // pybind11's own string conversion does.
  static handle cast(const Weights& weights, return_value_policy, handle) {
    object result = reinterpret_steal<object>(_PyDict_NewPresized(static_cast<Py_ssize_t>(weights.entries.size())));
    if (!result) throw error_already_set();
    for (const auto& entry : weights.entries) {
      object key = reinterpret_steal<object>(make_key(weights.tokens[entry.position], source_of(weights, entry.position)));
      if (!key) throw error_already_set();
      object number = reinterpret_steal<object>(PyFloat_FromDouble(entry.weight));
      if (!number || PyDict_SetItem(result.ptr(), key.ptr(), number.ptr()) != 0) throw error_already_set();
    }
    return result.release();
  }

 private:
  static PyObject* source_of(const Weights& weights, std::uint32_t position) {
    return weights.sources != nullptr ? weights.sources[position] : nullptr;
  }
  static PyObject* make_key(std::string_view token, PyObject* source) {
    if (source != nullptr && PyUnicode_CheckExact(source)) return Py_NewRef(source);
    return PyUnicode_DecodeUTF8(token.data(), static_cast<Py_ssize_t>(token.size()), nullptr);
  }
  static PyObject* make_key(std::int64_t id, PyObject* source) {
    if (source != nullptr && PyLong_CheckExact(source)) return Py_NewRef(source);
    return PyLong_FromLongLong(id);
  }
};

template <>
struct type_caster<lumo::binding::WeightsDict<std::string_view>> : weights_dict_caster<std::string_view> {};
template <>
struct type_caster<lumo::binding::WeightsDict<std::int64_t>> : weights_dict_caster<std::int64_t> {};

}  // namespace pybind11::detail
