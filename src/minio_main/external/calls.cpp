#include "external/calls.hpp"

namespace zarnel::external {

nb::object interned(const char* text) {
  return checked(PyUnicode_InternFromString(text));
}

nb::object interned(nb::handle text) {
  // A fresh copy: interning in place must not touch the caller's object.
  PyObject* copy = PyUnicode_FromObject(text.ptr());
  if (copy == nullptr) throw nb::python_error();
  PyUnicode_InternInPlace(&copy);
  return nb::steal(copy);
}

namespace {

// The referent of a weak reference, or an invalid object once it is gone.
nb::object referent(nb::handle ref) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* target = nullptr;
  if (PyWeakref_GetRef(ref.ptr(), &target) < 0) throw nb::python_error();
  return nb::steal(target);
#else
  PyObject* target = PyWeakref_GetObject(ref.ptr());
  if (target == nullptr) throw nb::python_error();
  return target == Py_None ? nb::object() : nb::borrow(target);
#endif
}

}  // namespace

Namespace::Namespace(nb::handle module_name)
    : module_name_(interned(module_name)) {}

nb::object Namespace::operator()(nb::handle name) const {
  nb::object module;
  if (module_ref_.is_valid()) module = referent(module_ref_);
  if (!module.is_valid()) {
    PyObject* found =
        PyDict_GetItemWithError(PyImport_GetModuleDict(), module_name_.ptr());
    if (found == nullptr) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "module %U is no longer loaded",
                     module_name_.ptr());
      }
      throw nb::python_error();
    }
    module = nb::borrow(found);
    module_ref_ = checked(PyWeakref_NewRef(found, nullptr));
  }
  return member(module, name);
}

nb::object Namespace::operator()(const char* name) const {
  return (*this)(nb::str(name));
}

nb::object member(nb::handle obj, nb::handle name) {
  if (PyModule_CheckExact(obj.ptr())) {
    PyObject* value =
        PyDict_GetItemWithError(PyModule_GetDict(obj.ptr()), name.ptr());
    if (value != nullptr) return nb::borrow(value);
    if (PyErr_Occurred()) throw nb::python_error();
  }
  // Missing names (module __getattr__) and stand-ins that are no modules.
  return attribute(obj, name);
}

}  // namespace zarnel::external
