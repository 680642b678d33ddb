// Bucket lifecycle, contents listing and policy query. The expected "wrong
// state" answers (bucket exists on create, missing on remove, no policy) are
// soft: a warning through _log and a result value; every other error of the
// storage client reaches the caller unchanged.
#include "external/imports.hpp"
#include "host.hpp"
#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;
using external::warn;

namespace {

bool create_bucket(nb::handle self, nb::handle bucket_name, nb::handle location,
                   nb::handle object_lock) {
  nb::object engine = self.attr("_engine");
  if (host::truth(engine.attr("bucket_exists")(bucket_name))) {
    warn(self, "BUCKET_EXISTS");
    return false;
  }
  engine.attr("make_bucket")(bucket_name, "location"_a = location,
                             "object_lock"_a = object_lock);
  return true;
}

// The bucket is not emptied first: a store that refuses to remove a bucket
// holding objects answers with its own error, which reaches the caller.
bool remove_bucket(nb::handle self, nb::handle bucket_name) {
  nb::object engine = self.attr("_engine");
  if (!host::truth(engine.attr("bucket_exists")(bucket_name))) {
    warn(self, "BUCKET_MISSING");
    return false;
  }
  engine.attr("remove_bucket")(bucket_name);
  return true;
}

// Every error the store answers with (S3Error or a subclass, whatever its
// code) reads as "no policy"; transport and other errors pass through.
nb::object bucket_policy(nb::handle self, nb::handle bucket_name) {
  try {
    return self.attr("_engine").attr("get_bucket_policy")(bucket_name);
  } catch (nb::python_error& e) {
    if (!e.matches(external::imported("S3Error"))) throw;
  }
  warn(self, "NO_POLICY");
  return nb::none();
}

}  // namespace

void bind_buckets(Class& cls) {
  cls.def("_create_bucket", &create_bucket, "bucket_name"_a.none(),
          "location"_a.none() = "cn-north-1", "object_lock"_a.none() = false,
          nb::sig("def _create_bucket(self, bucket_name: str, location: str | "
                  "None = 'cn-north-1', object_lock: bool = False) -> bool"),
          "Create `bucket_name` in `location`, with object locking when "
          "`object_lock` is true; return False with a warning when it "
          "exists already.");
  cls.def("_remove_bucket", &remove_bucket, "bucket_name"_a.none(),
          nb::sig("def _remove_bucket(self, bucket_name: str) -> bool"),
          "Remove the bucket `bucket_name` (not emptied first); return False "
          "with a warning when it does not exist.");
  cls.def(
      "_bucket_list",
      [](nb::handle self) {
        return self.attr("_engine").attr("list_buckets")();
      },
      nb::sig("def _bucket_list(self) -> list[minio.datatypes.Bucket]"),
      "Return the storage client's list of buckets unchanged.");
  bind_listing(cls);
  cls.def("_bucket_policy", &bucket_policy, "bucket_name"_a.none(),
          nb::sig("def _bucket_policy(self, bucket_name: str) -> str | None"),
          "Return the policy of `bucket_name`, or None with a warning when "
          "the store answers with an error.");
}

}  // namespace zarnel
