// How the upload operations reach the host: the names they look up and the
// calls they make, on every request.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace zarnel::upload {

namespace nb = nanobind;

// Text objects that the operations hand to the host on every call, made once
// when the operations are bound and owned by the bound functions (so none
// outlives the interpreter). They are interned, so attribute lookups hit the
// host's caches as a Python module's would, and keyword calls reuse one tuple
// of keyword names.
struct Names {
  explicit Names(nb::handle module_name);

  // A name of the module namespace, looked up at call time as
  // external::imported does, so a host or a test can substitute it. The
  // module is found through sys.modules once and then kept by a weak
  // reference: its namespace is read directly, as a Python function reads
  // its globals.
  nb::object imported(nb::handle name) const;

  nb::object module_name;
  mutable nb::object module_ref;  // a weak reference, made by the first call
  // The module namespace.
  nb::object os, io, get_content_type;
  // The host's facilities.
  nb::object path, isfile, isdir, join, listdir, stat, st_size, bytes_io, open,
      close, replace, split;
  // The instance, the storage client and the logger.
  nb::object engine, log, warning, put_object, fput_object, upload_dir,
      upload_file;
  // Constant arguments.
  nb::object backslash, slash, read_binary, rejected;
  // Keyword names of the calls that take keywords.
  nb::object kw_content_type, kw_fput, kw_parallel;
  // The host's own os module, os.stat and POSIX path functions, as they
  // were when the module was loaded; invalid where os.path is not posixpath
  // (see paths.hpp).
  nb::object host_os, host_stat, host_isfile, host_isdir, host_join;
};

inline nb::object checked(PyObject* result) {
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

// callable(*positional, **keywords): the last len(kwnames) arguments are the
// values of the keywords named in `kwnames` (an invalid handle for none).
template <typename... Args>
nb::object call(nb::handle callable, nb::handle kwnames, Args&&... args) {
  PyObject* argv[] = {nullptr, nb::handle(args).ptr()...};
  std::size_t keywords =
      kwnames.is_valid() ? PyTuple_GET_SIZE(kwnames.ptr()) : 0;
  return checked(PyObject_Vectorcall(
      callable.ptr(), argv + 1,
      (sizeof...(Args) - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET,
      kwnames.ptr()));
}

// obj.name(*positional, **keywords), without making a bound method.
template <typename... Args>
nb::object call_method(nb::handle obj, nb::handle name, nb::handle kwnames,
                       Args&&... args) {
  PyObject* argv[] = {obj.ptr(), nb::handle(args).ptr()...};
  std::size_t keywords =
      kwnames.is_valid() ? PyTuple_GET_SIZE(kwnames.ptr()) : 0;
  return checked(PyObject_VectorcallMethod(
      name.ptr(), argv,
      (1 + sizeof...(Args) - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET,
      kwnames.ptr()));
}

inline nb::object attribute(nb::handle obj, nb::handle name) {
  return checked(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

// obj.name where obj is usually a module (os, os.path, io): its namespace is
// read directly; anything else, and a missing name, goes the host's way.
nb::object member(nb::handle obj, nb::handle name);

}  // namespace zarnel::upload
