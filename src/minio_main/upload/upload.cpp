// The upload operations, bound in the order of the operation table.
#include "upload/upload.hpp"

#include <memory>

#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;

void bind_upload(Class& cls) {
  cls.def("_upload_flow", &upload::upload_flow, "bucket_name"_a.none(),
          "object_name"_a.none(), "data"_a.none(),
          "Store `data` as one object: the regular file it names (text, bytes "
          "or a path-like value), a byte string as it is, or str(data) as "
          "UTF-8 for other text, path-like values and integers. Other kinds "
          "fail the file test with TypeError; when str(data) fails or is not "
          "UTF-8, log a warning and store nothing.");
  cls.def("_upload_file", &upload::upload_file, "bucket_name"_a.none(),
          "object_name"_a.none(), "file_name"_a.none(), "parallel"_a.none() = 3,
          "Store the local file `file_name` as `object_name` (backslashes "
          "become \"/\"), with up to `parallel` part uploads at once.");
  // The engine serves a tree upload only while this is the instance's.
  auto originals =
      std::make_shared<transfer::Originals>(cls.attr("__module__"));
  originals->upload_file = cls.attr("_upload_file");
  cls.def(
      "_upload_dir",
      [originals](nb::handle self, nb::handle bucket_name, nb::handle dir_path,
                  nb::handle parallel, nb::handle base_dir, nb::handle workers,
                  nb::handle progress) {
        upload::upload_dir(*originals, self, bucket_name, dir_path, parallel,
                           base_dir, workers, progress);
      },
      "bucket_name"_a.none(), "dir_path"_a.none(), "parallel"_a.none() = 3,
      "base_dir"_a.none() = nb::none(), nb::kw_only(), "workers"_a.none() = 1,
      "progress"_a.none() = nb::none(),
      "Store every file under `dir_path` as `base_dir` (by default the "
      "directory's own name) plus its relative path, up to `workers` files "
      "at once; `progress(object_name, size)` is called after each file.");
}

}  // namespace zarnel
