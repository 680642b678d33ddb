// zarnel.minio_main: a client for buckets and objects on a MinIO store.
#include "external/imports.hpp"
#include "minio_main.hpp"

namespace {

const char* const class_doc =
    "A client for the buckets and objects of one S3-compatible store.\n"
    "\n"
    "Built from a configuration mapping: host, port, user and password;\n"
    "secure, only validated (the connection is always plain HTTP); ssh and\n"
    "the ssh_* keys for an SSH tunnel, opened during construction.\n"
    "`_connect()` then creates the storage client (the minio SDK's) in\n"
    "`_engine`; each operation is one or a few calls on it.\n"
    "\n"
    "The expected wrong states (a bucket that exists on create or is missing\n"
    "on remove, a bucket without a policy) are warnings on the `zarnel`\n"
    "logger and a False or None result. A bad configuration raises one\n"
    "Exception listing every problem; every other error reaches the caller\n"
    "unchanged (the SDK's S3Error, transport and file errors). Operations\n"
    "that use others (construction, the tree calls) call them through\n"
    "`self`, so a subclass's overrides take part.";

}  // namespace

NB_MODULE(minio_main, m) {
  using namespace zarnel;
  m.doc() = "Buckets and objects on a MinIO (S3-compatible) store.";
#ifndef ZARNEL_LEAK_CHECK
  // Python does not free what its interpreter state still reaches at exit. A
  // function of __main__ kept by a module that registered a fork hook (a
  // logging filter: logging's hook keeps its globals, so the root logger and
  // its filters) keeps __main__'s globals alive, with any client in them, and
  // nanobind would report that client as leaked. Only the test build, which
  // looks for real leaks, reports them.
  nb::set_leak_warnings(false);
#endif
  external::import_into(m);

  Class cls(m, "ZarnelMinioMain", nb::dynamic_attr(), class_doc);
  bind_client(cls);
  bind_buckets(cls);
  bind_upload_flow(cls);
  bind_upload_dir(cls);
  bind_download_object(cls);
  bind_download_dir(cls);
  bind_removal(cls);
  bind_url(cls);
  bind_sync(cls);
}
