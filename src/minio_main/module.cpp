// zarnel.minio_main: a client for buckets and objects on a MinIO store.
#include "external/imports.hpp"
#include "minio_main.hpp"

NB_MODULE(minio_main, m) {
  using namespace zarnel;
  m.doc() = "Buckets and objects on a MinIO (S3-compatible) store.";
  external::import_into(m);

  Class cls(m, "ZarnelMinioMain", nb::dynamic_attr());
  bind_client(cls);
  bind_buckets(cls);
  bind_upload_flow(cls);
  bind_upload_dir(cls);
  bind_download_object(cls);
  bind_download_dir(cls);
  bind_removal(cls);
  bind_url(cls);
}
