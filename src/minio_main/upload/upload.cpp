// Operations of this subsystem are bound here, in the order of the operation table.
#include "upload/upload.hpp"

#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;

void bind_upload(Class& cls) {
  cls.def("_upload_flow", &upload::upload_flow, "bucket_name"_a.none(),
          "object_name"_a.none(), "data"_a.none(),
          "Store `data` (a file path, a byte string or a value with a text "
          "form) as one object; log a warning and store nothing when it has "
          "no usable form.");
  cls.def("_upload_file", &upload::upload_file, "bucket_name"_a.none(),
          "object_name"_a.none(), "file_name"_a.none(),
          "parallel"_a.none() = 3,
          "Store the local file `file_name` as `object_name` (backslashes "
          "become \"/\"), with up to `parallel` part uploads at once.");
  cls.def("_upload_dir", &upload::upload_dir, "bucket_name"_a.none(),
          "dir_path"_a.none(), "parallel"_a.none() = 3,
          "base_dir"_a.none() = nb::none(),
          "Store every file under `dir_path` as `base_dir` (by default the "
          "directory's own name) plus its relative path.");
}

}  // namespace zarnel
