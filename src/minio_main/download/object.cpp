// Single-object download: as text, to a local file, by presigned URL.
#include "external/imports.hpp"
#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;

namespace {

nb::object download_flow(nb::handle self, nb::handle bucket_name,
                         nb::handle object_name) {
  nb::object response =
      self.attr("_engine").attr("get_object")(bucket_name, object_name);
  nb::object text;
  try {
    // Plain strict "utf-8": a byte-order mark stays in the text.
    text = response.attr("data").attr("decode")("utf-8");
  } catch (nb::python_error& failure) {
    // The response is released on a failure too; the caller still gets the
    // first failure unchanged, with a note when the close failed as well.
    try {
      response.attr("close")();
    } catch (nb::python_error& close_failure) {
      try {
        failure.value().attr("add_note")(
            nb::str("closing the response failed too: {!r}")
                .format(close_failure.value()));
      } catch (nb::python_error&) {
        // An exception that takes no note still travels unchanged.
      }
    }
    throw;
  }
  response.attr("close")();
  return text;
}

}  // namespace

void bind_download_object(Class& cls) {
  cls.def("_download_flow", &download_flow, "bucket_name"_a.none(),
          "object_name"_a.none(),
          nb::sig("def _download_flow(self, bucket_name: str, object_name: "
                  "str) -> str"),
          "Return the object's content decoded as UTF-8 (strict).");
  cls.def(
      "_download_file",
      [](nb::handle self, nb::handle bucket_name, nb::handle object_name,
         nb::handle file_name) {
        try {
          self.attr("_engine").attr("fget_object")(bucket_name, object_name,
                                                   file_name);
        } catch (nb::python_error& failure) {
          // The storage client's partial file (its next call starts anew);
          // the caller sees the download's failure whatever happens here.
          try {
            external::support("leftovers", "after_download")(failure.value());
          } catch (nb::python_error&) {
          }
          throw;
        }
        return true;
      },
      "bucket_name"_a.none(), "object_name"_a.none(), "file_name"_a.none(),
      nb::sig("def _download_file(self, bucket_name: str, object_name: str, "
              "file_name: str | os.PathLike[str]) -> bool"),
      "Write the object to the local file `file_name`; return True.");
}

void bind_url(Class& cls) {
  cls.def(
      "_get_url",
      [](nb::handle self, nb::handle bucket, nb::handle object_name,
         nb::handle days) {
        nb::object engine = self.attr("_engine");
        nb::object expires = external::imported("timedelta")("days"_a = days);
        return engine.attr("presigned_get_object")(bucket, object_name,
                                                   "expires"_a = expires);
      },
      "bucket"_a.none(), "object_name"_a.none(), "days"_a.none() = 7,
      nb::sig("def _get_url(self, bucket: str, object_name: str, days: int = "
              "7) -> str"),
      "Return a presigned download URL for the object, valid for `days` "
      "whole days, 1 to 7 (the SDK raises ValueError outside). It names the "
      "endpoint that the client reaches: through an SSH tunnel "
      "http://127.0.0.1:<local port>/..., usable only on this machine while "
      "the tunnel is open.");
}

}  // namespace zarnel
