// Presigned download URLs.
#include "download/download.hpp"
#include "external/imports.hpp"

namespace zarnel::download {

using namespace nb::literals;

nb::object get_url(nb::handle self, nb::handle bucket, nb::handle object_name,
                   nb::handle days) {
  nb::object engine = self.attr("_engine");
  nb::object lifetime = external::imported("timedelta")("days"_a = days);
  return engine.attr("presigned_get_object")(bucket, object_name,
                                             "expires"_a = lifetime);
}

}  // namespace zarnel::download
