// _upload_flow: one object from a file path, a byte string or a text form.
#include "external/imports.hpp"
#include "host.hpp"
#include "upload/upload.hpp"

namespace zarnel::upload {

using namespace nb::literals;
using external::imported;

namespace {

// The host's file test takes an integer (bool and anything with __index__
// included) as an open file descriptor: it would upload whatever the process
// has open under that number and then close it under its owner. An integer
// is a value with a text form here, never a file.
bool names_a_file(nb::handle os, nb::handle data) {
  return !PyIndex_Check(data.ptr()) &&
         host::truth(os.attr("path").attr("isfile")(data));
}

// The host's open(path, "rb"), from the builtins a Python caller would see.
nb::object open_for_reading(nb::handle path) {
  nb::dict builtins = nb::borrow<nb::dict>(PyEval_GetBuiltins());
  if (!builtins.contains("open")) {
    PyErr_SetString(PyExc_NameError, "name 'open' is not defined");
    throw nb::python_error();
  }
  return builtins["open"](path, "rb");
}

// `data` as a stream and its length in bytes: a byte string as it is, other
// values as str(data) in strict UTF-8. False when the value has no such text
// form (an ordinary error on its way); other errors (KeyboardInterrupt,
// SystemExit) pass through.
bool byte_stream(nb::handle data, nb::object& stream, nb::object& length) {
  bool is_text = !nb::isinstance<nb::bytes>(data);
  try {
    nb::object bytes =
        is_text ? nb::str(data).attr("encode")("utf-8") : nb::borrow(data);
    length = nb::int_(nb::borrow<nb::bytes>(bytes).size());
    stream = imported("io").attr("BytesIO")(bytes);
    return true;
  } catch (nb::python_error& e) {
    if (!is_text || !e.matches(PyExc_Exception)) throw;
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
  nb::object os = imported("os");
  if (names_a_file(os, data)) {
    nb::object content_type = imported("get_content_type")(data);
    nb::object length = os.attr("stat")(data).attr("st_size");
    nb::object file = open_for_reading(data);
    try {
      put(self, bucket_name, object_name, file, length, content_type);
    } catch (...) {
      // The upload's failure is the one the caller sees, not the close's.
      try {
        file.attr("close")();
      } catch (nb::python_error&) {
      }
      throw;
    }
    file.attr("close")();
    return;
  }

  // Asked before the data is examined, so even rejected data asks.
  nb::object content_type = imported("get_content_type")(object_name);
  nb::object stream, length;
  if (!byte_stream(data, stream, length)) {
    self.attr("_log").attr("warning")(external::message("DATA_REJECTED"));
    return;
  }
  put(self, bucket_name, object_name, stream, length, content_type);
}

}  // namespace zarnel::upload
