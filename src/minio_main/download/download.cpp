// Download, directory download, removal and presigned URLs, bound in the order
// of the operation table.
#include "download/download.hpp"

#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;

void bind_download(Class& cls) {
  cls.def("_download_flow", &download::download_flow, "bucket_name"_a.none(),
          "object_name"_a.none(),
          "Return the object's content decoded as UTF-8 (strict).");
  cls.def("_download_file", &download::download_file, "bucket_name"_a.none(),
          "object_name"_a.none(), "file_name"_a.none(),
          "Write the object to the local file `file_name`; return True.");
  cls.def("_download_dir", &download::download_dir, "bucket_name"_a.none(),
          "object_path"_a.none(), "dir_path"_a.none(),
          "Download the objects lying directly under `object_path` into "
          "`dir_path`, one file per object.");
  cls.def("_remove_object", &download::remove_object, "bucket_name"_a.none(),
          "object_name"_a.none(), "Remove one object.");
  cls.def("_remove_objects", &download::remove_objects, "bucket_name"_a.none(),
          "object_list"_a.none(),
          "Remove the named objects in one batch; log each object that was "
          "not removed as a warning.");
  cls.def("_get_url", &download::get_url, "bucket"_a.none(),
          "object_name"_a.none(), "days"_a.none() = 7,
          "Return a presigned download URL valid for `days` days.");
}

}  // namespace zarnel
