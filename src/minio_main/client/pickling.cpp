// Pickling and copying: an instance travels as its class, the configuration
// the caller gave (before any tunnel) and whether it was connected. The copy
// is a new construction through the class, so a subclass's overrides run, a
// tunnelled client opens its own tunnel, and no storage client, logger or
// tunnel state crosses.
#include "host.hpp"
#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;

namespace {

// Whether `_engine` is set (and not None); an error other than
// AttributeError from a subclass's property propagates.
bool connected(nb::handle self) {
  try {
    return !self.attr("_engine").is_none();
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_AttributeError)) throw;
    return false;
  }
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
  // A fresh copy each time (a mapping was kept as a plain dict): the
  // construction that unpickling runs adds the tunnel defaults to it.
  nb::object given = instance->given;
  if (nb::isinstance<nb::dict>(given)) given = given.attr("copy")();
  nb::tuple arguments = nb::make_tuple(given);
  if (!connected(self)) return nb::make_tuple(self.type(), arguments);
  nb::dict state;
  state["connected"] = true;
  return nb::make_tuple(self.type(), arguments, state);
}

void set_state(nb::handle self, nb::handle state) {
  if (host::truth(state.attr("get")("connected"))) self.attr("_connect")();
}

}  // namespace

void bind_pickling(Class& cls) {
  cls.def("__reduce__", &reduce,
          nb::sig("def __reduce__(self) -> tuple[typing.Any, ...]"),
          "Pickle as (class, (configuration as given,), connected?); "
          "the secrets of the configuration travel with it.");
  cls.def("__setstate__", &set_state, "state"_a,
          nb::sig("def __setstate__(self, state: "
                  "collections.abc.Mapping[str, object]) -> None"),
          "Connect the copy when the original was connected.");
}

}  // namespace zarnel
