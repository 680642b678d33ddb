// Download, directory download, removal and presigned URLs, bound in the order
// of the operation table.
#include "download/download.hpp"

#include <memory>

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
  // The engine serves a tree download only while these are the instance's.
  auto originals =
      std::make_shared<transfer::Originals>(cls.attr("__module__"));
  originals->download_file = cls.attr("_download_file");
  originals->bucket_list_files = cls.attr("_bucket_list_files");
  cls.def(
      "_download_dir",
      [originals](nb::handle self, nb::handle bucket_name,
                  nb::handle object_path, nb::handle dir_path,
                  nb::handle workers, nb::handle progress) {
        download::download_dir(*originals, self, bucket_name, object_path,
                               dir_path, workers, progress);
      },
      "bucket_name"_a.none(), "object_path"_a.none(), "dir_path"_a.none(),
      nb::kw_only(), "workers"_a.none() = 1, "progress"_a.none() = nb::none(),
      "Download the objects lying directly under `object_path` into "
      "`dir_path`, one file per object, up to `workers` at once; "
      "`progress(object_name, size)` is called after each file.");
  cls.def("_remove_object", &download::remove_object, "bucket_name"_a.none(),
          "object_name"_a.none(), "Remove one object.");
  cls.def("_remove_objects", &download::remove_objects, "bucket_name"_a.none(),
          "object_list"_a.none(),
          "Remove the objects named in `object_list` in one batch (a single "
          "str, bytes or bytearray is refused with TypeError); log each "
          "object that was not removed as a warning.");
  cls.def("_get_url", &download::get_url, "bucket"_a.none(),
          "object_name"_a.none(), "days"_a.none() = 7,
          "Return a presigned download URL valid for `days` days.");
}

}  // namespace zarnel
