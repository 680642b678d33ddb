// _upload_file and the object-name rewrite that the upload operations share.
#include <cstring>

#include "upload/upload.hpp"

namespace zarnel::upload {

nb::object forward_slashes(const Names& names, nb::handle name) {
  PyObject* text = name.ptr();
  if (!PyUnicode_CheckExact(text)) {
    return call_method(name, names.replace, {}, names.backslash, names.slash);
  }
  // Most names hold no backslash: hand the same object on.
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) {
    if (std::memchr(PyUnicode_1BYTE_DATA(text), '\\', length) == nullptr) {
      return nb::borrow(name);
    }
  } else {
    Py_ssize_t at = PyUnicode_FindChar(text, '\\', 0, length, 1);
    if (at == -2) throw nb::python_error();
    if (at == -1) return nb::borrow(name);
  }
  return checked(
      PyUnicode_Replace(text, names.backslash.ptr(), names.slash.ptr(), -1));
}

void upload_file(const Names& names, nb::handle self, nb::handle bucket_name,
                 nb::handle object_name, nb::handle file_name,
                 nb::handle parallel) {
  // The type comes from the name as given, backslashes included.
  nb::object content_type =
      call(names.imported(names.get_content_type), {}, object_name);
  nb::object engine = attribute(self, names.engine);
  nb::object name = forward_slashes(names, object_name);
  call_method(engine, names.fput_object, names.kw_fput, bucket_name, name,
              file_name, content_type, parallel);
}

}  // namespace zarnel::upload
