// The conversion through which every method reaches its C++ object. pybind11 hands a method the
// storage of an instance made by cls.__new__(cls) without __init__, unconstructed; this caster
// refuses such an instance with TypeError instead.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <typeinfo>

namespace lumo::binding {

template <class T>
struct InitializedCaster : pybind11::detail::type_caster_base<T> {
  bool load(pybind11::handle source, bool convert) {
    namespace detail = pybind11::detail;
    detail::type_info* type = detail::get_type_info(typeid(T));
    if (type != nullptr && PyObject_TypeCheck(source.ptr(), type->type)) {
      auto* instance = reinterpret_cast<detail::instance*>(source.ptr());
      if (!instance->get_value_and_holder(type).holder_constructed()) {
        throw pybind11::type_error(std::string(type->type->tp_name) +
                                   " object is not initialized: its __init__ was never called");
      }
    }
    return detail::type_caster_base<T>::load(source, convert);
  }
};

// The instance that __init__ or __setstate__ is called on, initialised or not: those two calls
// build or replace the C++ object themselves.
template <class T>
struct AnyInstance {
  pybind11::handle self;
};

}  // namespace lumo::binding

template <class T>
struct pybind11::detail::type_caster<lumo::binding::AnyInstance<T>> {
  // Named as the class, so that signatures read as those of any other method.
  PYBIND11_TYPE_CASTER(lumo::binding::AnyInstance<T>, const_name<T>());
  bool load(handle source, bool /*convert*/) {
    const detail::type_info* type = get_type_info(typeid(T));
    if (type == nullptr || !PyObject_TypeCheck(source.ptr(), type->type)) return false;
    value.self = source;
    return true;
  }
};
