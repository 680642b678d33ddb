// _upload_file: one local file, in parts inside the storage client.
#include "external/imports.hpp"
#include "host.hpp"
#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;

namespace {

void upload_file(nb::handle self, nb::handle bucket_name,
                 nb::handle object_name, nb::handle file_name,
                 nb::handle parallel) {
  // The type comes from the name as given, backslashes included.
  nb::object content_type = external::imported("get_content_type")(object_name);
  nb::object engine = self.attr("_engine");
  engine.attr("fput_object")(bucket_name, host::forward_slashes(object_name),
                             file_name, "content_type"_a = content_type,
                             "num_parallel_uploads"_a = parallel);
}

}  // namespace

void bind_upload_file(Class& cls) {
  cls.def("_upload_file", &upload_file, "bucket_name"_a.none(),
          "object_name"_a.none(), "file_name"_a.none(), "parallel"_a.none() = 3,
          "Store the local file `file_name` as `object_name` (backslashes "
          "become \"/\"), with up to `parallel` part uploads at once.");
}

}  // namespace zarnel
