// Bucket lifecycle, contents listing and policy query. The expected "wrong
// state" answers (bucket exists on create, missing on remove, no policy) are
// soft: a warning through _log and a result value; every other error of the
// storage client reaches the caller unchanged.
#include <nanobind/nanobind.h>

#include <memory>

#include "buckets/listing.hpp"
#include "buckets/names.hpp"
#include "external/calls.hpp"
#include "host.hpp"
#include "minio_main.hpp"

namespace zarnel {

namespace buckets {

using external::interned;
using external::keywords;

Names::Names(nb::handle qualified)
    : imported(qualified),
      s3_error(interned("S3Error")),
      engine(interned("_engine")),
      log(interned("_log")),
      warning(interned("warning")),
      bucket_exists(interned("bucket_exists")),
      make_bucket(interned("make_bucket")),
      remove_bucket(interned("remove_bucket")),
      list_buckets(interned("list_buckets")),
      get_bucket_policy(interned("get_bucket_policy")),
      list_objects(interned("list_objects")),
      exists(nb::str("桶已存在")),
      missing(nb::str("桶不存在，删除失败")),
      no_policy(nb::str("桶策略不存在")),
      kw_make_bucket(keywords("location", "object_lock")),
      kw_list_objects(keywords("bucket_name", "prefix", "recursive")) {}

}  // namespace buckets

using namespace nb::literals;
using buckets::Names;
using external::attribute;
using external::call_method;

namespace {

bool bucket_exists(const Names& names, nb::handle engine,
                   nb::handle bucket_name) {
  return host::truth(call_method(engine, names.bucket_exists, {}, bucket_name));
}

void warn(const Names& names, nb::handle self, nb::handle message) {
  call_method(attribute(self, names.log), names.warning, {}, message);
}

bool create_bucket(const Names& names, nb::handle self, nb::handle bucket_name,
                   nb::handle location, nb::handle object_lock) {
  nb::object engine = attribute(self, names.engine);
  if (bucket_exists(names, engine, bucket_name)) {
    warn(names, self, names.exists);
    return false;
  }
  call_method(engine, names.make_bucket, names.kw_make_bucket, bucket_name,
              location, object_lock);
  return true;
}

// The bucket is not emptied first: a store that refuses to remove a bucket
// holding objects answers with its own error, which reaches the caller.
bool remove_bucket(const Names& names, nb::handle self,
                   nb::handle bucket_name) {
  nb::object engine = attribute(self, names.engine);
  if (!bucket_exists(names, engine, bucket_name)) {
    warn(names, self, names.missing);
    return false;
  }
  call_method(engine, names.remove_bucket, {}, bucket_name);
  return true;
}

nb::object bucket_list(const Names& names, nb::handle self) {
  return call_method(attribute(self, names.engine), names.list_buckets, {});
}

// Every error the store answers with (S3Error or a subclass, whatever its
// code) reads as "no policy"; transport and other errors pass through.
nb::object bucket_policy(const Names& names, nb::handle self,
                         nb::handle bucket_name) {
  try {
    return call_method(attribute(self, names.engine), names.get_bucket_policy,
                       {}, bucket_name);
  } catch (nb::python_error& e) {
    if (!e.matches(names.imported(names.s3_error))) throw;
  }
  warn(names, self, names.no_policy);
  return nb::none();
}

}  // namespace

void bind_buckets(Class& cls) {
  // Shared by the bound functions and released with the last of them.
  auto names = std::make_shared<const Names>(cls.attr("__module__"));

  cls.def(
      "_create_bucket",
      [names](nb::handle self, nb::handle bucket_name, nb::handle location,
              nb::handle object_lock) {
        return create_bucket(*names, self, bucket_name, location, object_lock);
      },
      "bucket_name"_a.none(), "location"_a.none() = "cn-north-1",
      "object_lock"_a.none() = false,
      "Create `bucket_name` in `location`, with object locking when "
      "`object_lock` is true; return False with a warning when it "
      "exists already.");
  cls.def(
      "_remove_bucket",
      [names](nb::handle self, nb::handle bucket_name) {
        return remove_bucket(*names, self, bucket_name);
      },
      "bucket_name"_a.none(),
      "Remove the bucket `bucket_name` (not emptied first); return False "
      "with a warning when it does not exist.");
  cls.def(
      "_bucket_list",
      [names](nb::handle self) { return bucket_list(*names, self); },
      "Return the storage client's list of buckets unchanged.");
  cls.def(
      "_bucket_list_files",
      [names](nb::handle self, nb::handle bucket_name, nb::handle prefix) {
        return buckets::list_files(*names, self, bucket_name, prefix);
      },
      "bucket_name"_a.none(), "prefix"_a.none() = "",
      "List the objects of `bucket_name` whose names begin with `prefix`, "
      "at every depth, as records with the keys bucket_name, "
      "object_name, last_modified (text), etag, size, content_type.");
  cls.def(
      "_bucket_policy",
      [names](nb::handle self, nb::handle bucket_name) {
        return bucket_policy(*names, self, bucket_name);
      },
      "bucket_name"_a.none(),
      "Return the policy of `bucket_name`, or None with a warning when "
      "the store answers with an error.");
}

}  // namespace zarnel
