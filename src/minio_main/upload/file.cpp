// _upload_file and the object-name rewrite that the upload operations share.
#include "external/imports.hpp"
#include "upload/upload.hpp"

namespace zarnel::upload {

using namespace nb::literals;

nb::object forward_slashes(nb::handle name) {
  PyObject* text = name.ptr();
  if (!PyUnicode_CheckExact(text)) {
    return name.attr("replace")("\\", "/");
  }
  // Most names hold no backslash: hand the same object on.
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  Py_ssize_t at = PyUnicode_FindChar(text, '\\', 0, length, 1);
  if (at == -2) throw nb::python_error();
  if (at == -1) return nb::borrow(name);
  nb::str backslash("\\"), slash("/");
  PyObject* replaced = PyUnicode_Replace(text, backslash.ptr(), slash.ptr(), -1);
  if (replaced == nullptr) throw nb::python_error();
  return nb::steal(replaced);
}

void upload_file(nb::handle self, nb::handle bucket_name,
                 nb::handle object_name, nb::handle file_name,
                 nb::handle parallel) {
  // The type comes from the name as given, backslashes included.
  nb::object content_type = external::imported("get_content_type")(object_name);
  nb::object engine = self.attr("_engine");
  nb::object name = forward_slashes(object_name);
  engine.attr("fput_object")(bucket_name, name, file_name,
                             "content_type"_a = content_type,
                             "num_parallel_uploads"_a = parallel);
}

}  // namespace zarnel::upload
