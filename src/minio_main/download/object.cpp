// Single-object download: as text and to a local file.
#include "download/download.hpp"

namespace zarnel::download {

namespace {

// The response is released on a failure too; the caller still gets the first
// failure unchanged, with a note when the close failed as well.
void close_after_failure(nb::handle response, nb::python_error& failure) {
  try {
    response.attr("close")();
  } catch (nb::python_error& close_failure) {
    try {
      nb::str note = nb::str("closing the response failed too: {!r}")
                         .format(close_failure.value());
      failure.value().attr("add_note")(note);
    } catch (nb::python_error&) {
      // An exception that takes no note still travels unchanged.
    }
  }
}

}  // namespace

nb::object download_flow(nb::handle self, nb::handle bucket_name,
                         nb::handle object_name) {
  nb::object engine = self.attr("_engine");
  nb::object response = engine.attr("get_object")(bucket_name, object_name);
  nb::object text;
  try {
    // Plain strict "utf-8": a byte-order mark stays in the text.
    text = response.attr("data").attr("decode")("utf-8");
  } catch (nb::python_error& failure) {
    close_after_failure(response, failure);
    throw;
  }
  response.attr("close")();
  return text;
}

bool download_file(nb::handle self, nb::handle bucket_name,
                   nb::handle object_name, nb::handle file_name) {
  nb::object engine = self.attr("_engine");
  engine.attr("fget_object")(bucket_name, object_name, file_name);
  return true;
}

}  // namespace zarnel::download
