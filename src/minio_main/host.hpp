// Small steps that several operations take exactly as the host would.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace zarnel::host {

namespace nb = nanobind;

// The host's truth test; an error raised by __bool__ or __len__ propagates.
inline bool truth(nb::handle value) {
  return nb::bool_(value).ptr() == Py_True;
}

// The host's str(). It takes a handle so that an attribute or item is read
// first: nb::str() of one would take its value as a str, not convert it.
inline nb::str text(nb::handle value) { return nb::str(value); }

// `item in container`, for a container of any kind.
inline bool contains(nb::handle container, nb::handle item) {
  int result = PySequence_Contains(container.ptr(), item.ptr());
  if (result < 0) throw nb::python_error();
  return result != 0;
}

// A str's UTF-8 bytes; the host's UnicodeEncodeError for a lone surrogate.
inline std::string utf8(nb::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw nb::python_error();
  return std::string(data, static_cast<std::size_t>(size));
}

// An object name with every backslash turned into "/" by the value's own
// replace(), so a value that is not text fails as the host's replace() does.
inline nb::object forward_slashes(nb::handle name) {
  return name.attr("replace")("\\", "/");
}

}  // namespace zarnel::host
