#include "upload/calls.hpp"

namespace zarnel::upload {

namespace {

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

template <typename... Texts>
nb::object keywords(Texts... texts) {
  return nb::make_tuple(interned(texts)...);
}

}  // namespace

Names::Names(nb::handle qualified)
    : module_name(interned(qualified)),
      os(interned("os")),
      io(interned("io")),
      get_content_type(interned("get_content_type")),
      path(interned("path")),
      isfile(interned("isfile")),
      isdir(interned("isdir")),
      join(interned("join")),
      listdir(interned("listdir")),
      stat(interned("stat")),
      st_size(interned("st_size")),
      bytes_io(interned("BytesIO")),
      open(interned("open")),
      close(interned("close")),
      replace(interned("replace")),
      split(interned("split")),
      engine(interned("_engine")),
      log(interned("_log")),
      warning(interned("warning")),
      put_object(interned("put_object")),
      fput_object(interned("fput_object")),
      upload_dir(interned("_upload_dir")),
      upload_file(interned("_upload_file")),
      backslash(interned("\\")),
      slash(interned("/")),
      read_binary(interned("rb")),
      rejected(nb::str("data 必须为 文件 / bytes / 可直接转化为字符串的对象")),
      kw_content_type(keywords("content_type")),
      kw_fput(keywords("content_type", "num_parallel_uploads")),
      kw_parallel(keywords("parallel")) {
  nb::object os_module = nb::module_::import_("os");
  nb::object os_path = os_module.attr("path");
  if (nb::str(os_path.attr("__name__")).equal(nb::str("posixpath"))) {
    host_os = os_module;
    host_stat = os_module.attr("stat");
    host_isfile = os_path.attr("isfile");
    host_isdir = os_path.attr("isdir");
    host_join = os_path.attr("join");
  }
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

nb::object Names::imported(nb::handle name) const {
  nb::object module;
  if (module_ref.is_valid()) module = referent(module_ref);
  if (!module.is_valid()) {
    PyObject* found =
        PyDict_GetItemWithError(PyImport_GetModuleDict(), module_name.ptr());
    if (found == nullptr) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "module %U is no longer loaded",
                     module_name.ptr());
      }
      throw nb::python_error();
    }
    module = nb::borrow(found);
    module_ref = checked(PyWeakref_NewRef(found, nullptr));
  }
  return member(module, name);
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

}  // namespace zarnel::upload
