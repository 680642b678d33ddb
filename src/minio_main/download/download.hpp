// Reading objects back, removing them and sharing them by presigned URL.
#pragma once

#include <nanobind/nanobind.h>

#include "transfer/tree.hpp"

namespace zarnel::download {

namespace nb = nanobind;

// One object: its content as UTF-8 text, or written to a local file.
nb::object download_flow(nb::handle self, nb::handle bucket_name,
                         nb::handle object_name);
bool download_file(nb::handle self, nb::handle bucket_name,
                   nb::handle object_name, nb::handle file_name);

// The objects directly under an object path, one file each; with `workers`
// above 1 (or a `progress` callable) on the transfer engine or a Transfers.
void download_dir(const transfer::Originals& originals, nb::handle self,
                  nb::handle bucket_name, nb::handle object_path,
                  nb::handle dir_path, nb::handle workers, nb::handle progress);

void remove_object(nb::handle self, nb::handle bucket_name,
                   nb::handle object_name);
void remove_objects(nb::handle self, nb::handle bucket_name,
                    nb::handle object_list);

nb::object get_url(nb::handle self, nb::handle bucket, nb::handle object_name,
                   nb::handle days);

}  // namespace zarnel::download
