#include "upload/paths.hpp"

#include <algorithm>
#include <cstring>

#include "host.hpp"

namespace zarnel::upload {

namespace {

// os.stat(path) for an exact text or byte string, without making a
// stat_result. Sets `handled` to false for other kinds of value (the host
// must be asked). Returns false where os.stat would raise OSError or
// ValueError, which isdir and isfile answer with false.
bool stat_string(nb::handle path, struct stat& status, bool& handled) {
  PyObject* value = path.ptr();
  nb::object encoded;
  if (PyUnicode_CheckExact(value)) {
    PyObject* bytes = PyUnicode_EncodeFSDefault(value);
    if (bytes == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
      PyErr_Clear();
      handled = true;
      return false;
    }
    encoded = nb::steal(bytes);
    value = bytes;
  } else if (!PyBytes_CheckExact(value)) {
    handled = false;
    return false;
  }
  handled = true;
  const char* chars = PyBytes_AS_STRING(value);
  // An embedded NUL is the host's ValueError.
  if (std::strlen(chars) != static_cast<size_t>(PyBytes_GET_SIZE(value))) {
    return false;
  }
  nb::gil_scoped_release unlocked;  // as os.stat does
  return ::stat(chars, &status) == 0;
}

// `test` is the host's own function and still calls the host's own os.stat.
bool genuine(const Names& names, nb::handle test, nb::handle own) {
  if (!own.is_valid() || test.ptr() != own.ptr()) return false;
  nb::object stat =
      external::dict_item(PyModule_GetDict(names.host_os.ptr()), names.stat);
  return stat.is(names.host_stat);
}

}  // namespace

bool is_dir(const Names& names, nb::handle test, nb::handle path,
            struct stat& status, bool& stated) {
  stated = false;
  if (genuine(names, test, names.host_isdir)) {
    bool handled;
    bool found = stat_string(path, status, handled);
    if (handled) {
      stated = found;
      return found && S_ISDIR(status.st_mode);
    }
  }
  return host::truth(call(test, {}, path));
}

bool is_file(const Names& names, nb::handle test, nb::handle path) {
  if (genuine(names, test, names.host_isfile)) {
    bool handled;
    struct stat status;
    bool found = stat_string(path, status, handled);
    if (handled) return found && S_ISREG(status.st_mode);
  }
  return host::truth(call(test, {}, path));
}

nb::object join_with(const Names& names, nb::handle join, nb::handle a,
                     nb::handle b) {
  PyObject* head = a.ptr();
  PyObject* tail = b.ptr();
  if (!names.host_join.is_valid() || join.ptr() != names.host_join.ptr() ||
      !PyUnicode_CheckExact(head) || !PyUnicode_CheckExact(tail)) {
    return call(join, {}, a, b);
  }
  // posixpath.join for two texts: an absolute tail replaces the head, and
  // "/" goes between unless the head is empty or already ends with it.
  Py_ssize_t head_length = PyUnicode_GET_LENGTH(head);
  Py_ssize_t tail_length = PyUnicode_GET_LENGTH(tail);
  if (tail_length > 0 && PyUnicode_READ_CHAR(tail, 0) == '/') {
    return nb::borrow(b);
  }
  if (head_length == 0 || PyUnicode_READ_CHAR(head, head_length - 1) == '/') {
    return checked(PyUnicode_Concat(head, tail));
  }
  Py_UCS4 widest = std::max<Py_UCS4>(PyUnicode_MAX_CHAR_VALUE(head),
                                     PyUnicode_MAX_CHAR_VALUE(tail));
  nb::object joined =
      checked(PyUnicode_New(head_length + 1 + tail_length, widest));
  PyObject* out = joined.ptr();
  if (PyUnicode_CopyCharacters(out, 0, head, 0, head_length) < 0 ||
      PyUnicode_WriteChar(out, head_length, '/') < 0 ||
      PyUnicode_CopyCharacters(out, head_length + 1, tail, 0, tail_length) <
          0) {
    throw nb::python_error();
  }
  return joined;
}

bool stat_any(nb::handle path, struct stat& status) {
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(path.ptr(), &converted)) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
    PyErr_Clear();
    return false;
  }
  nb::object bytes = nb::steal(converted);
  nb::gil_scoped_release unlocked;
  return ::stat(PyBytes_AS_STRING(bytes.ptr()), &status) == 0;
}

}  // namespace zarnel::upload
