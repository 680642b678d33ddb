// _upload_flow: one object from a file path, a byte string or a text form.
#include <utility>

#include "external/imports.hpp"
#include "host.hpp"
#include "upload/upload.hpp"

namespace zarnel::upload {

using namespace nb::literals;

namespace {

constexpr const char* kRejected =
    "data 必须为 文件 / bytes / 可直接转化为字符串的对象";

// The host's file test takes an integer (bool and anything with __index__
// included) as an open file descriptor: it would upload whatever the process
// has open under that number and then close it under its owner. An integer
// is a value with a text form here, never a file.
bool names_a_file(nb::handle os, nb::handle data) {
  if (PyIndex_Check(data.ptr())) return false;
  return host::truth(os.attr("path").attr("isfile")(data));
}

// The host's open(path, "rb"), from the builtins a Python caller would see.
nb::object open_for_reading(nb::handle path) {
  PyObject* builtins = PyEval_GetBuiltins();
  PyObject* open =
      builtins == nullptr ? nullptr : PyDict_GetItemString(builtins, "open");
  if (open == nullptr) {
    PyErr_SetString(PyExc_NameError, "name 'open' is not defined");
    throw nb::python_error();
  }
  return nb::borrow(open)(path, "rb");
}

// Holds the opened file for the upload and closes it on every way out. On
// the normal path close() reports its own failure; when the upload already
// failed, that failure is the one the caller sees.
class OpenedFile {
 public:
  explicit OpenedFile(nb::object file) : file_(std::move(file)) {}
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;
  ~OpenedFile() {
    if (!file_.is_valid()) return;
    try {
      close();
    } catch (...) {
    }
  }

  nb::handle get() const { return file_; }

  void close() {
    nb::object file = std::move(file_);
    file.attr("close")();
  }

 private:
  nb::object file_;
};

// The text form encoded as strict UTF-8, as a stream and its length in
// bytes. Returns false when the value has no usable text form; errors that
// are not ordinary ones (KeyboardInterrupt, SystemExit) pass through.
bool text_stream(nb::handle data, nb::object& stream, nb::object& length) {
  try {
    nb::object text =
        PyUnicode_Check(data.ptr()) ? nb::borrow(data) : host::text(data);
    PyObject* encoded = PyUnicode_AsUTF8String(text.ptr());
    if (encoded == nullptr) throw nb::python_error();
    nb::object bytes = nb::steal(encoded);
    length = nb::int_(PyBytes_GET_SIZE(encoded));
    stream = external::imported("io").attr("BytesIO")(bytes);
    return true;
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return false;
  }
}

void put(nb::handle self, nb::handle bucket_name, nb::handle object_name,
         nb::handle stream, nb::handle length, nb::handle content_type) {
  self.attr("_engine").attr("put_object")(bucket_name, object_name, stream,
                                          length,
                                          "content_type"_a = content_type);
}

}  // namespace

void upload_flow(nb::handle self, nb::handle bucket_name,
                 nb::handle object_name, nb::handle data) {
  nb::object os = external::imported("os");
  if (names_a_file(os, data)) {
    nb::object content_type = external::imported("get_content_type")(data);
    nb::object length = os.attr("stat")(data).attr("st_size");
    OpenedFile file(open_for_reading(data));
    put(self, bucket_name, object_name, file.get(), length, content_type);
    file.close();
    return;
  }

  // Looked up before the data is examined, so even rejected data asks.
  nb::object content_type =
      external::imported("get_content_type")(object_name);
  nb::object stream, length;
  if (PyBytes_Check(data.ptr())) {
    length = nb::int_(PyBytes_GET_SIZE(data.ptr()));
    stream = external::imported("io").attr("BytesIO")(data);
  } else if (!text_stream(data, stream, length)) {
    self.attr("_log").attr("warning")(kRejected);
    return;
  }
  put(self, bucket_name, object_name, stream, length, content_type);
}

}  // namespace zarnel::upload
