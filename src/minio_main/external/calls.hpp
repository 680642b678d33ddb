// How the operations reach the host on every request: names looked up in the
// module namespace at call time, and calls made without the temporaries
// (argument tuples, bound methods, fresh name strings) that generic calls
// would build each time.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace zarnel::external {

namespace nb = nanobind;

inline nb::object checked(PyObject* result) {
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

// An interned text: attribute lookups with it hit the host's caches as a
// Python module's names do. Made when the operations are bound and owned by
// the bound functions, so none outlives the interpreter.
nb::object interned(const char* text);
nb::object interned(nb::handle text);

// A tuple of interned keyword names, for call() and call_method().
template <typename... Texts>
nb::object keywords(Texts... texts) {
  return nb::make_tuple(interned(texts)...);
}

// The module namespace, for names looked up when an operation runs (so a
// host or a test can substitute them: monkeypatch.setattr(minio_main, ...)).
// The module is found through sys.modules once and then kept by a weak
// reference; its namespace is read directly, as a Python function reads its
// globals. A module that is no longer loaded is an ImportError.
class Namespace {
 public:
  explicit Namespace(nb::handle module_name);
  nb::object operator()(nb::handle name) const;
  // For names looked up once per construction, not per request.
  nb::object operator()(const char* name) const;

 private:
  nb::object module_name_;
  mutable nb::object module_ref_;  // a weak reference, made by the first call
};

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

// dict[key] as a reference of our own; an invalid object when the key is
// absent. A borrowed result is never kept: whatever the host runs next (a
// finaliser, another thread) may drop the entry and with it the value.
nb::object dict_item(nb::handle dict, nb::handle key);

// The builtins namespace that a Python caller of the operation sees.
nb::object builtins();

// obj.name where obj is usually a module (os, os.path, io): its namespace is
// read directly; anything else, and a missing name, goes the host's way.
nb::object member(nb::handle obj, nb::handle name);

// A tree operation's local path as text: text (a str or a subclass) as it
// is; bytes and os.PathLike values through `os`.fsdecode, so they name the
// same place that the os functions would; anything else as it is (it fails
// where the operation uses it, as it always did).
nb::object path_text(nb::handle os, nb::handle path);

}  // namespace zarnel::external
