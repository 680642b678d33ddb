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

// PyDict_GetItemRef and PyEval_GetFrameBuiltins are 3.13's; before it the
// borrowed result is owned at once, before anything else can run.
nb::object dict_item(nb::handle dict, nb::handle key) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict.ptr(), key.ptr(), &value) < 0) {
    throw nb::python_error();
  }
  return nb::steal(value);
#else
  PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
  if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
  return nb::borrow(value);
#endif
}

nb::object builtins() {
#if PY_VERSION_HEX >= 0x030D0000
  nb::object found = nb::steal(PyEval_GetFrameBuiltins());
#else
  nb::object found = nb::borrow(PyEval_GetBuiltins());
#endif
  if (!found.is_valid()) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "no builtins namespace");
    }
    throw nb::python_error();
  }
  return found;
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
    module = dict_item(PyImport_GetModuleDict(), module_name_);
    if (!module.is_valid()) {
      PyErr_Format(PyExc_ImportError, "module %U is no longer loaded",
                   module_name_.ptr());
      throw nb::python_error();
    }
    module_ref_ = checked(PyWeakref_NewRef(module.ptr(), nullptr));
  }
  return member(module, name);
}

nb::object Namespace::operator()(const char* name) const {
  return (*this)(nb::str(name));
}

nb::object member(nb::handle obj, nb::handle name) {
  if (PyModule_CheckExact(obj.ptr())) {
    nb::object value = dict_item(PyModule_GetDict(obj.ptr()), name);
    if (value.is_valid()) return value;
  }
  // Missing names (module __getattr__) and stand-ins that are no modules.
  return attribute(obj, name);
}

nb::object path_text(nb::handle os, nb::handle path) {
  PyObject* value = path.ptr();
  if (PyUnicode_Check(value)) return nb::borrow(path);
  if (!PyBytes_Check(value) &&
      PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)),
                             "__fspath__") == 0) {
    return nb::borrow(path);
  }
  return call(attribute(os, nb::str("fsdecode")), {}, path);
}

}  // namespace zarnel::external
