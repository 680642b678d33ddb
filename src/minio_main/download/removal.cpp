// Removal of one object and of a batch of objects.
#include "external/imports.hpp"
#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;

namespace {

void remove_objects(nb::handle self, nb::handle bucket_name,
                    nb::handle object_list) {
  // A string is iterable too: "report.csv" would remove "r", "e", "p", ...
  if (nb::isinstance<nb::str>(object_list) ||
      nb::isinstance<nb::bytes>(object_list) ||
      nb::isinstance<nb::bytearray>(object_list)) {
    PyErr_Format(PyExc_TypeError,
                 "object_list must be a collection of object names, not %s",
                 Py_TYPE(object_list.ptr())->tp_name);
    throw nb::python_error();
  }
  // Every request is built before the store is contacted, so a bad name list
  // deletes nothing.
  nb::object delete_object = external::imported("DeleteObject");
  nb::list requests;
  for (nb::handle name : object_list) requests.append(delete_object(name));
  nb::object errors = self.attr("_engine").attr("remove_objects")(
      bucket_name, nb::iter(requests));
  // The deletions happen while this result is consumed: it is read to its
  // end, and a failed object is a warning, not an error.
  for (nb::handle error : errors) self.attr("_log").attr("warning")(error);
}

}  // namespace

void bind_removal(Class& cls) {
  cls.def(
      "_remove_object",
      [](nb::handle self, nb::handle bucket_name, nb::handle object_name) {
        self.attr("_engine").attr("remove_object")(bucket_name, object_name);
      },
      "bucket_name"_a.none(), "object_name"_a.none(),
      nb::sig("def _remove_object(self, bucket_name: str, object_name: str) "
              "-> None"),
      "Remove one object.");
  cls.def("_remove_objects", &remove_objects, "bucket_name"_a.none(),
          "object_list"_a.none(),
          nb::sig("def _remove_objects(self, bucket_name: str, object_list: "
                  "collections.abc.Iterable[str]) -> None"),
          "Remove the objects named in `object_list` in one batch (a single "
          "str, bytes or bytearray is refused with TypeError); log each "
          "object that was not removed as a warning.");
}

}  // namespace zarnel
