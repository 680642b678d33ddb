// _upload_file: one local file.
#include "external/imports.hpp"
#include "upload/upload.hpp"

namespace zarnel::upload {

using namespace nb::literals;

void upload_file(nb::handle self, nb::handle bucket_name,
                 nb::handle object_name, nb::handle file_name,
                 nb::handle parallel) {
  // The type comes from the name as given, backslashes included.
  nb::object content_type = external::imported("get_content_type")(object_name);
  nb::object engine = self.attr("_engine");
  engine.attr("fput_object")(bucket_name, forward_slashes(object_name),
                             file_name, "content_type"_a = content_type,
                             "num_parallel_uploads"_a = parallel);
}

}  // namespace zarnel::upload
