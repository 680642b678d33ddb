// Removal of one object and of a batch of objects.
#include "download/download.hpp"
#include "external/imports.hpp"

namespace zarnel::download {

void remove_object(nb::handle self, nb::handle bucket_name,
                   nb::handle object_name) {
  nb::object engine = self.attr("_engine");
  engine.attr("remove_object")(bucket_name, object_name);
}

void remove_objects(nb::handle self, nb::handle bucket_name,
                    nb::handle object_list) {
  // Every request is built before the store is contacted, so a bad name list
  // deletes nothing.
  nb::object delete_object = external::imported("DeleteObject");
  nb::list requests;
  for (nb::handle name : nb::iter(object_list)) {
    requests.append(delete_object(name));
  }
  nb::object engine = self.attr("_engine");
  nb::object errors =
      engine.attr("remove_objects")(bucket_name, nb::iter(requests));
  // The deletions happen while this result is consumed: it is read to its
  // end, and a failed object is a warning, not an error.
  for (nb::handle error : nb::iter(errors)) {
    self.attr("_log").attr("warning")(error);
  }
}

}  // namespace zarnel::download
