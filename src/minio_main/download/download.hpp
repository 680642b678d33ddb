// Reading objects back, removing them and sharing them by presigned URL.
#pragma once

#include <nanobind/nanobind.h>

#include "external/calls.hpp"
#include "transfer/tree.hpp"

namespace zarnel::download {

namespace nb = nanobind;

// The names the operations hand to the host on every call, made once when
// the operations are bound and owned by the bound functions.
struct Names {
  explicit Names(nb::handle module_name);

  external::Namespace imported;
  // The module namespace.
  nb::object os, delete_object, timedelta, transfers;
  // The instance, the storage client, its answers and the logger.
  nb::object engine, log, warning, get_object, data, decode, close, fget_object,
      remove_object, remove_objects, presigned_get_object, bucket_list_files,
      download_file, get, object_name;
  // The transfers of a directory download on workers.
  nb::object download, size;
  // Constant arguments.
  nb::object utf_8;
  // Keyword names of the calls that take keywords.
  nb::object kw_days, kw_expires;
};

// One object: its content as UTF-8 text, or written to a local file.
nb::object download_flow(const Names& names, nb::handle self,
                         nb::handle bucket_name, nb::handle object_name);
bool download_file(const Names& names, nb::handle self, nb::handle bucket_name,
                   nb::handle object_name, nb::handle file_name);

// The objects directly under an object path, one file each; with `workers`
// above 1 (or a `progress` callable) on a Transfers.
void download_dir(const Names& names, const transfer::Originals& originals,
                  nb::handle self, nb::handle bucket_name,
                  nb::handle object_path, nb::handle dir_path,
                  nb::handle workers, nb::handle progress);

void remove_object(const Names& names, nb::handle self, nb::handle bucket_name,
                   nb::handle object_name);
void remove_objects(const Names& names, nb::handle self, nb::handle bucket_name,
                    nb::handle object_list);

nb::object get_url(const Names& names, nb::handle self, nb::handle bucket,
                   nb::handle object_name, nb::handle days);

}  // namespace zarnel::download
