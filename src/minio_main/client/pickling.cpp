// Pickling and copying: an instance travels as its class, the configuration
// the caller gave (before any tunnel) and whether it was connected. The copy
// is a new construction through the class, so a subclass's overrides run, a
// tunnelled client opens its own tunnel, and no storage client, logger or
// tunnel state crosses.
#include <nanobind/nanobind.h>

#include "host.hpp"
#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;

namespace {

// Whether `_engine` is set (and not None); an error other than
// AttributeError from a subclass's property propagates.
bool connected(nb::handle self) {
  PyObject* engine = PyObject_GetAttrString(self.ptr(), "_engine");
  if (engine == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return false;
  }
  return !nb::steal(engine).is_none();
}

nb::tuple reduce(nb::handle self) {
  ZarnelMinioMain* instance = nullptr;
  if (nb::isinstance<ZarnelMinioMain>(self) && nb::inst_ready(self)) {
    instance = nb::inst_ptr<ZarnelMinioMain>(self);
  }
  if (instance == nullptr || !instance->given.is_valid()) {
    PyErr_Format(PyExc_TypeError,
                 "cannot pickle '%s' object: it was never constructed",
                 Py_TYPE(self.ptr())->tp_name);
    throw nb::python_error();
  }
  // A fresh copy each time: the construction that unpickling runs adds the
  // tunnel defaults to the mapping it is given.
  nb::object given = instance->given;
  if (PyDict_CheckExact(given.ptr())) {
    given = nb::steal(PyDict_Copy(given.ptr()));
    if (!given.is_valid()) throw nb::python_error();
  }
  nb::handle cls = reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()));
  nb::tuple arguments = nb::make_tuple(given);
  if (!connected(self)) return nb::make_tuple(cls, arguments);
  nb::dict state;
  state["connected"] = true;
  return nb::make_tuple(cls, arguments, state);
}

void set_state(nb::handle self, nb::handle state) {
  if (host::truth(state.attr("get")("connected"))) self.attr("_connect")();
}

}  // namespace

void bind_pickling(Class& cls) {
  cls.def("__reduce__", &reduce,
          "Pickle as (class, (configuration as given,), connected?); "
          "the secrets of the configuration travel with it.");
  cls.def("__setstate__", &set_state, "state"_a,
          "Connect the copy when the original was connected.");
}

}  // namespace zarnel
