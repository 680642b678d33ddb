// Stream, file and directory upload.
#pragma once

#include <nanobind/nanobind.h>

#include "transfer/tree.hpp"

namespace zarnel::upload {

namespace nb = nanobind;

// One object from a file path, a byte string, or the text form of a text,
// path-like or integer value.
void upload_flow(nb::handle self, nb::handle bucket_name,
                 nb::handle object_name, nb::handle data);

// One local file, with parallel part uploads inside the storage client.
void upload_file(nb::handle self, nb::handle bucket_name,
                 nb::handle object_name, nb::handle file_name,
                 nb::handle parallel);

// A local tree, one object per file, through the instance's _upload_dir and
// _upload_file; with `workers` above 1 (or a `progress` callable) the files
// move on the transfer engine, or on a Transfers (see transfer/tree.hpp), that
// the nested calls of the walk share.
void upload_dir(const transfer::Originals& originals, nb::handle self,
                nb::handle bucket_name, nb::handle dir_path,
                nb::handle parallel, nb::handle base_dir, nb::handle workers,
                nb::handle progress);

// `name` with every backslash turned into "/" by the value's own replace(),
// so a value that is not text fails as the host's replace() fails.
inline nb::object forward_slashes(nb::handle name) {
  return name.attr("replace")("\\", "/");
}

}  // namespace zarnel::upload
