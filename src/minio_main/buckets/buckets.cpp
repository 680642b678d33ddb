// Bucket lifecycle, contents listing and policy query.
#include <nanobind/nanobind.h>

#include "buckets/listing.hpp"
#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;

void bind_buckets(Class& cls) {
  cls.def("_bucket_list_files", &buckets::list_files,
          "bucket_name"_a.none(), "prefix"_a.none() = "",
          "List the objects of `bucket_name` whose names begin with `prefix`, "
          "at every depth, as records with the keys bucket_name, "
          "object_name, last_modified (text), etag, size, content_type.");
}

}  // namespace zarnel
