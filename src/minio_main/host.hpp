// Small steps that several operations take exactly as the host would.
#pragma once

#include <nanobind/nanobind.h>

namespace zarnel::host {

namespace nb = nanobind;

// The host's truth test; an error raised by __bool__ or __len__ propagates.
inline bool truth(nb::handle value) {
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw nb::python_error();
  return result != 0;
}

// The host's str(); a text value comes back as itself.
inline nb::str text(nb::handle value) {
  return nb::steal<nb::str>([&] {
    PyObject* s = PyObject_Str(value.ptr());
    if (s == nullptr) throw nb::python_error();
    return s;
  }());
}

// `item in container`, with the host's equality.
inline bool contains(nb::handle container, nb::handle item) {
  int result = PySequence_Contains(container.ptr(), item.ptr());
  if (result < 0) throw nb::python_error();
  return result != 0;
}

}  // namespace zarnel::host
