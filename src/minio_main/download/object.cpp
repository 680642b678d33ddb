// Single-object download: as text and to a local file.
#include "download/download.hpp"

namespace zarnel::download {

using external::attribute;
using external::call_method;

namespace {

// The response is released on a failure too; the caller still gets the first
// failure unchanged, with a note when the close failed as well.
void close_after_failure(const Names& names, nb::handle response,
                         nb::python_error& failure) {
  try {
    external::call_method(response, names.close, {});
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

nb::object download_flow(const Names& names, nb::handle self,
                         nb::handle bucket_name, nb::handle object_name) {
  nb::object engine = attribute(self, names.engine);
  nb::object response =
      call_method(engine, names.get_object, {}, bucket_name, object_name);
  nb::object text;
  try {
    // Plain strict "utf-8": a byte-order mark stays in the text.
    text = call_method(attribute(response, names.data), names.decode, {},
                       names.utf_8);
  } catch (nb::python_error& failure) {
    close_after_failure(names, response, failure);
    throw;
  }
  call_method(response, names.close, {});
  return text;
}

bool download_file(const Names& names, nb::handle self, nb::handle bucket_name,
                   nb::handle object_name, nb::handle file_name) {
  call_method(attribute(self, names.engine), names.fget_object, {}, bucket_name,
              object_name, file_name);
  return true;
}

}  // namespace zarnel::download
