// The pickled state of BM25 and BM25Index: the object's bytes, and for an instance of a subclass
// that holds attributes, (bytes, __dict__), or (bytes, __dict__ or None, slot values) when it has
// slots set, as copyreg's protocol keeps them for Python classes.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <typeinfo>
#include <utility>

namespace lumo::binding {

// What object.__getstate__ gives for `self`: None, its __dict__, or (__dict__ or None, slots).
inline pybind11::object python_state(pybind11::handle self) {
  const auto object_type = pybind11::reinterpret_borrow<pybind11::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  return object_type.attr("__getstate__")(self);
}

// `state`, or `state` with the attributes `self` holds; `T` is the bound class, whose own instances
// hold none (they skip the call of object.__getstate__, which took 40% of a small model's pickle).
template <class T>
pybind11::object with_attributes(pybind11::handle self, pybind11::bytes state) {
  const pybind11::detail::type_info* own = pybind11::detail::get_type_info(typeid(T));
  if (own != nullptr && Py_TYPE(self.ptr()) == own->type) return std::move(state);
  pybind11::object attributes = python_state(self);
  if (PyDict_Check(attributes.ptr())) return pybind11::make_tuple(std::move(state), attributes);
  if (PyTuple_Check(attributes.ptr()) && PyTuple_GET_SIZE(attributes.ptr()) == 2) {
    return pybind11::make_tuple(std::move(state), pybind11::handle(PyTuple_GET_ITEM(attributes.ptr(), 0)),
                                pybind11::handle(PyTuple_GET_ITEM(attributes.ptr(), 1)));
  }
  return std::move(state);
}

// __setstate__ from (bytes, dict) or (bytes, dict or None, dict): `build` makes the object from the
// bytes and `put` gives it to `self`, whose __dict__ then takes the attributes and whose slots
// take their values. `name` is the class's, for the messages.
template <class Build, class Put>
void restore_with_attributes(pybind11::handle self, const pybind11::tuple& state, const std::string& name,
                             const Build& build, const Put& put) {
  const std::size_t size = state.size();
  const bool has_dict = size >= 2 && PyDict_Check(state[1].ptr());
  bool well_formed = size >= 2 && size <= 3 && PyBytes_Check(state[0].ptr()) &&
                     (size == 2 ? has_dict : (has_dict || state[1].is_none()) && PyDict_Check(state[2].ptr()));
  if (well_formed && size == 3) {
    // Slot names checked before the object is replaced, so that a bad one changes nothing.
    for (const auto& item : pybind11::reinterpret_borrow<pybind11::dict>(state[2])) {
      well_formed = well_formed && PyUnicode_Check(item.first.ptr());
    }
  }
  if (!well_formed) {
    throw pybind11::type_error("a " + name +
                               " state is bytes, or bytes with a dict of attributes and, after it, a dict of slot values");
  }
  auto made = build(pybind11::reinterpret_borrow<pybind11::bytes>(state[0]));
  if (has_dict && !pybind11::hasattr(self, "__dict__")) throw pybind11::type_error(name + " instances hold no attributes");
  put(self, std::move(made));
  if (has_dict) self.attr("__dict__").attr("update")(state[1]);
  if (size == 3) {
    for (const auto& [slot, value] : pybind11::reinterpret_borrow<pybind11::dict>(state[2])) {
      if (PyObject_SetAttr(self.ptr(), slot.ptr(), value.ptr()) != 0) throw pybind11::error_already_set();
    }
  }
}

}  // namespace lumo::binding
