// Presigned download URLs.
#include "download/download.hpp"

namespace zarnel::download {

using external::call;
using external::call_method;

nb::object get_url(const Names& names, nb::handle self, nb::handle bucket,
                   nb::handle object_name, nb::handle days) {
  nb::object engine = external::attribute(self, names.engine);
  nb::object lifetime =
      call(names.imported(names.timedelta), names.kw_days, days);
  return call_method(engine, names.presigned_get_object, names.kw_expires,
                     bucket, object_name, lifetime);
}

}  // namespace zarnel::download
