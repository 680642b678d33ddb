// Single-object uploads: _upload_flow (a file path, a byte string or a text
// form) and _upload_file (one local file, in parts inside the storage client).
#include "external/imports.hpp"
#include "host.hpp"
#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;
using external::imported;

namespace {

// `data` as a stream and its length in bytes: a byte string as it is, other
// values as str(data) in strict UTF-8. False when the value has no such text
// form (an ordinary error on the way); KeyboardInterrupt and the like pass.
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

void upload_flow(nb::handle self, nb::handle bucket_name,
                 nb::handle object_name, nb::handle data) {
  nb::object os = imported("os");
  // The host's file test takes an integer (bool, anything with __index__) as
  // an open file descriptor: it would upload whatever the process has open
  // under that number and close it under its owner. Here it is a value.
  if (!PyIndex_Check(data.ptr()) &&
      host::truth(os.attr("path").attr("isfile")(data))) {
    nb::object content_type = imported("get_content_type")(data);
    nb::object length = os.attr("stat")(data).attr("st_size");
    // open() from the builtins that a Python caller would see.
    nb::dict builtins = nb::borrow<nb::dict>(PyEval_GetBuiltins());
    if (!builtins.contains("open")) {
      PyErr_SetString(PyExc_NameError, "name 'open' is not defined");
      throw nb::python_error();
    }
    nb::object file = builtins["open"](data, "rb");
    try {
      put(self, bucket_name, object_name, file, length, content_type);
    } catch (...) {
      try {  // the upload's failure is the one the caller sees
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
    external::warn(self, "DATA_REJECTED");
    return;
  }
  put(self, bucket_name, object_name, stream, length, content_type);
}

void upload_file(nb::handle self, nb::handle bucket_name,
                 nb::handle object_name, nb::handle file_name,
                 nb::handle parallel) {
  // The type comes from the name as given, backslashes included.
  nb::object content_type = imported("get_content_type")(object_name);
  nb::object engine = self.attr("_engine");
  try {
    engine.attr("fput_object")(bucket_name, host::forward_slashes(object_name),
                               file_name, "content_type"_a = content_type,
                               "num_parallel_uploads"_a = parallel);
  } catch (nb::python_error& failure) {
    // The storage client leaves an upload in parts unfinished on Ctrl-C,
    // and its part threads waiting after any failure. The caller sees the
    // upload's failure whatever the clean-up meets.
    try {
      external::support("leftovers", "after_upload")(failure.value(), engine);
    } catch (nb::python_error&) {
    }
    throw;
  }
}

}  // namespace

void bind_upload_flow(Class& cls) {
  cls.def("_upload_flow", &upload_flow, "bucket_name"_a.none(),
          "object_name"_a.none(), "data"_a.none(),
          nb::sig("def _upload_flow(self, bucket_name: str, object_name: str, "
                  "data: str | bytes | int | os.PathLike[str] | "
                  "os.PathLike[bytes]) -> None"),
          "Store `data` as one object: the regular file it names (text, bytes "
          "or a path-like value), a byte string as it is, or str(data) as "
          "UTF-8 for other text, path-like values and integers. Other kinds "
          "fail the file test with TypeError; when str(data) fails or is not "
          "UTF-8, log a warning and store nothing.");
  cls.def("_upload_file", &upload_file, "bucket_name"_a.none(),
          "object_name"_a.none(), "file_name"_a.none(), "parallel"_a.none() = 3,
          nb::sig("def _upload_file(self, bucket_name: str, object_name: str, "
                  "file_name: str | os.PathLike[str], parallel: int = 3) -> "
                  "None"),
          "Store the local file `file_name` as `object_name` (backslashes "
          "become \"/\"), with up to `parallel` part uploads at once.");
}

}  // namespace zarnel
