// A listing is the one operation whose cost grows with the bucket: its records
// are built here, and the common date-time is formatted in C rather than by a
// strftime call per item. On 200k records (bench/overhead.py) that makes it
// about six times as fast as the same loop written in Python.
#include <Python.h>
#include <datetime.h>

#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;

namespace {

// The text of value.strftime("%Y-%m-%d %H:%M:%S.%f"). A plain datetime with
// a four-digit year is formatted here (the pattern ignores the zone); any
// other value (None, a subclass with its own strftime, a year below 1000 that
// strftime pads its own way) is asked, so one without strftime raises the
// host's AttributeError.
nb::object time_text(nb::handle value) {
  PyObject* t = value.ptr();
  if (!PyDateTime_CheckExact(t) || PyDateTime_GET_YEAR(t) < 1000) {
    return value.attr("strftime")("%Y-%m-%d %H:%M:%S.%f");
  }
  // "2024-03-05 07:08:09.000120": each field right-aligned, zero-padded.
  char out[] = "0000-00-00 00:00:00.000000";
  auto put = [&out](int value, int end, int width) {
    for (int i = end - 1; i >= end - width; --i, value /= 10) {
      out[i] = static_cast<char>('0' + value % 10);
    }
  };
  put(PyDateTime_GET_YEAR(t), 4, 4);
  put(PyDateTime_GET_MONTH(t), 7, 2);
  put(PyDateTime_GET_DAY(t), 10, 2);
  put(PyDateTime_DATE_GET_HOUR(t), 13, 2);
  put(PyDateTime_DATE_GET_MINUTE(t), 16, 2);
  put(PyDateTime_DATE_GET_SECOND(t), 19, 2);
  put(PyDateTime_DATE_GET_MICROSECOND(t), 26, 6);
  return nb::str(out, sizeof(out) - 1);
}

// Any error (of the listing call, of its iteration, of an item lacking an
// attribute) propagates unchanged, and the records built so far are dropped.
nb::list list_files(nb::handle self, nb::handle bucket_name,
                    nb::handle prefix) {
  nb::object items = self.attr("_engine").attr("list_objects")(
      "bucket_name"_a = bucket_name, "prefix"_a = prefix, "recursive"_a = true);
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) throw nb::python_error();
  }
  // The attributes are read in record order (a missing one fails in it).
  nb::list records;
  for (nb::handle item : items) {
    nb::dict record;
    record["bucket_name"] = item.attr("bucket_name");
    record["object_name"] = item.attr("object_name");
    record["last_modified"] = time_text(item.attr("last_modified"));
    record["etag"] = item.attr("etag");
    record["size"] = item.attr("size");
    record["content_type"] = item.attr("content_type");
    records.append(record);
  }
  return records;
}

}  // namespace

void bind_listing(Class& cls) {
  cls.def("_bucket_list_files", &list_files, "bucket_name"_a.none(),
          "prefix"_a.none() = "",
          nb::sig("def _bucket_list_files(self, bucket_name: str, prefix: str "
                  "| None = '') -> list[zarnel.records.ObjectRecord]"),
          "List the objects of `bucket_name` whose names begin with `prefix`, "
          "at every depth, as records with the keys bucket_name, "
          "object_name, last_modified (text), etag, size, content_type.");
}

}  // namespace zarnel
