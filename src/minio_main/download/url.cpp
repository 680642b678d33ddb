// Presigned download URLs.
#include "external/imports.hpp"
#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;

void bind_url(Class& cls) {
  cls.def(
      "_get_url",
      [](nb::handle self, nb::handle bucket, nb::handle object_name,
         nb::handle days) {
        nb::object engine = self.attr("_engine");
        nb::object expires = external::imported("timedelta")("days"_a = days);
        return engine.attr("presigned_get_object")(bucket, object_name,
                                                   "expires"_a = expires);
      },
      "bucket"_a.none(), "object_name"_a.none(), "days"_a.none() = 7,
      "Return a presigned download URL valid for `days` days.");
}

}  // namespace zarnel
