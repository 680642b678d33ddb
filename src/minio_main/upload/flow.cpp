// _upload_flow: one object from a file path, a byte string or a text form.
#include <utility>

#include "host.hpp"
#include "upload/paths.hpp"
#include "upload/upload.hpp"

namespace zarnel::upload {

namespace {

// The host's file test takes an integer (bool and anything with __index__
// included) as an open file descriptor: it would upload whatever the process
// has open under that number and then close it under its owner. An integer
// is a value with a text form here, never a file.
bool names_a_file(const Names& names, nb::handle os, nb::handle data) {
  if (PyIndex_Check(data.ptr())) return false;
  nb::object path = member(os, names.path);
  return is_file(names, member(path, names.isfile), data);
}

// The host's open(path, "rb"), from the builtins a Python caller would see.
nb::object open_for_reading(const Names& names, nb::handle path) {
  nb::object open = external::dict_item(external::builtins(), names.open);
  if (!open.is_valid()) {
    PyErr_SetString(PyExc_NameError, "name 'open' is not defined");
    throw nb::python_error();
  }
  return call(open, {}, path, names.read_binary);
}

// Holds the opened file for the upload and closes it on every way out. On
// the normal path close() reports its own failure; when the upload already
// failed, that failure is the one the caller sees.
class OpenedFile {
 public:
  OpenedFile(const Names& names, nb::object file)
      : names_(names), file_(std::move(file)) {}
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
    call_method(file, names_.close, {});
  }

 private:
  const Names& names_;
  nb::object file_;
};

// The text form encoded as strict UTF-8, as a stream and its length in
// bytes. Returns false when the value has no usable text form, an ordinary
// error (the common rejection is handled without a C++ throw); errors that
// are not ordinary ones (KeyboardInterrupt, SystemExit) pass through.
bool text_stream(const Names& names, nb::handle data, nb::object& stream,
                 nb::object& length) {
  auto made = [](PyObject* result) {
    if (result == nullptr && PyErr_ExceptionMatches(PyExc_Exception)) {
      PyErr_Clear();
    }
    return nb::steal(result);
  };
  auto rejected = [] {
    if (PyErr_Occurred()) throw nb::python_error();
    return false;
  };
  // A subclass of str has its text form from its own __str__, as str() has.
  nb::object text = PyUnicode_CheckExact(data.ptr())
                        ? nb::borrow(data)
                        : made(PyObject_Str(data.ptr()));
  if (!text.is_valid()) return rejected();
  nb::object bytes = made(PyUnicode_AsUTF8String(text.ptr()));
  if (!bytes.is_valid()) return rejected();
  try {
    length = nb::int_(PyBytes_GET_SIZE(bytes.ptr()));
    nb::object io = names.imported(names.io);
    stream = call(member(io, names.bytes_io), {}, bytes);
    return true;
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return false;
  }
}

void put(const Names& names, nb::handle self, nb::handle bucket_name,
         nb::handle object_name, nb::handle stream, nb::handle length,
         nb::handle content_type) {
  nb::object engine = attribute(self, names.engine);
  call_method(engine, names.put_object, names.kw_content_type, bucket_name,
              object_name, stream, length, content_type);
}

}  // namespace

void upload_flow(const Names& names, nb::handle self, nb::handle bucket_name,
                 nb::handle object_name, nb::handle data) {
  nb::object os = names.imported(names.os);
  if (names_a_file(names, os, data)) {
    nb::object content_type =
        call(names.imported(names.get_content_type), {}, data);
    nb::object status = call(member(os, names.stat), {}, data);
    nb::object length = attribute(status, names.st_size);
    OpenedFile file(names, open_for_reading(names, data));
    put(names, self, bucket_name, object_name, file.get(), length,
        content_type);
    file.close();
    return;
  }

  // Asked before the data is examined, so even rejected data asks.
  nb::object content_type =
      call(names.imported(names.get_content_type), {}, object_name);
  nb::object stream, length;
  if (PyBytes_Check(data.ptr())) {
    length = nb::int_(PyBytes_GET_SIZE(data.ptr()));
    nb::object io = names.imported(names.io);
    stream = call(member(io, names.bytes_io), {}, data);
  } else if (!text_stream(names, data, stream, length)) {
    nb::object log = attribute(self, names.log);
    call_method(log, names.warning, {}, names.rejected);
    return;
  }
  put(names, self, bucket_name, object_name, stream, length, content_type);
}

}  // namespace zarnel::upload
