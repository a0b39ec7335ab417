// The pickled state of BM25 and BM25Index: the object's bytes, and for an instance of a subclass
// that holds attributes, the pair (bytes, __dict__).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace lumo::binding {

// `state`, or (state, __dict__) when `self` holds attributes.
inline pybind11::object with_attributes(pybind11::handle self, pybind11::bytes state) {
  if (pybind11::hasattr(self, "__dict__")) {
    pybind11::object attributes = self.attr("__dict__");
    if (PyDict_Check(attributes.ptr()) && PyDict_Size(attributes.ptr()) > 0) {
      return pybind11::make_tuple(std::move(state), attributes);
    }
  }
  return std::move(state);
}

// __setstate__ from a (bytes, dict) pair: `build` makes the object from the bytes and `put` gives
// it to `self`, whose __dict__ then takes the attributes. `name` is the class's, for the messages.
template <class Build, class Put>
void restore_with_attributes(pybind11::handle self, const pybind11::tuple& state, const std::string& name,
                             const Build& build, const Put& put) {
  if (state.size() != 2 || !PyBytes_Check(state[0].ptr()) || !PyDict_Check(state[1].ptr())) {
    throw pybind11::type_error("a " + name + " state is bytes, or a pair of bytes and a dict of attributes");
  }
  auto made = build(pybind11::reinterpret_borrow<pybind11::bytes>(state[0]));
  if (!pybind11::hasattr(self, "__dict__")) throw pybind11::type_error(name + " instances hold no attributes");
  put(self, std::move(made));
  self.attr("__dict__").attr("update")(state[1]);
}

}  // namespace lumo::binding
