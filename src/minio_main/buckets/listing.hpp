// The object listing records of a bucket's contents.
#pragma once

#include <nanobind/nanobind.h>

namespace zarnel::buckets {

namespace nb = nanobind;

// Lists `bucket_name` under `prefix` at every depth and returns one record
// (bucket_name, object_name, last_modified as text, etag, size, content_type)
// per item, in the client's order. Any error, raised by the listing call, by
// its iteration or by an item lacking an attribute, propagates unchanged and
// the records built so far are dropped.
nb::list list_files(nb::handle self, nb::handle bucket_name, nb::handle prefix);

}  // namespace zarnel::buckets
