// The names the bucket operations hand to the host on every call.
#pragma once

#include <nanobind/nanobind.h>

#include "external/calls.hpp"

namespace zarnel::buckets {

namespace nb = nanobind;

// Made once when the operations are bound and owned by the bound functions.
struct Names {
  explicit Names(nb::handle module_name);

  external::Namespace imported;
  nb::object s3_error;
  // The instance, the storage client and the logger.
  nb::object engine, log, warning, bucket_exists, make_bucket, remove_bucket,
      list_buckets, get_bucket_policy, list_objects;
  // The soft answers' messages.
  nb::object exists, missing, no_policy;
  // Keyword names of the calls that take keywords.
  nb::object kw_make_bucket, kw_list_objects;
};

}  // namespace zarnel::buckets
