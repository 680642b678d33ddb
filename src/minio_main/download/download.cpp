// Download, directory download, removal and presigned URLs, bound in the order
// of the operation table.
#include "download/download.hpp"

#include <memory>

#include "minio_main.hpp"

namespace zarnel {

namespace download {

using external::interned;
using external::keywords;

Names::Names(nb::handle qualified)
    : imported(qualified),
      os(interned("os")),
      delete_object(interned("DeleteObject")),
      timedelta(interned("timedelta")),
      transfers(interned("Transfers")),
      engine(interned("_engine")),
      log(interned("_log")),
      warning(interned("warning")),
      get_object(interned("get_object")),
      data(interned("data")),
      decode(interned("decode")),
      close(interned("close")),
      fget_object(interned("fget_object")),
      remove_object(interned("remove_object")),
      remove_objects(interned("remove_objects")),
      presigned_get_object(interned("presigned_get_object")),
      bucket_list_files(interned("_bucket_list_files")),
      download_file(interned("_download_file")),
      get(interned("get")),
      object_name(interned("object_name")),
      download(interned("download")),
      size(interned("size")),
      utf_8(interned("utf-8")),
      kw_days(keywords("days")),
      kw_expires(keywords("expires")) {}

}  // namespace download

using namespace nb::literals;
using download::Names;

void bind_download(Class& cls) {
  // Shared by the bound functions and released with the last of them.
  auto names = std::make_shared<const Names>(cls.attr("__module__"));

  cls.def(
      "_download_flow",
      [names](nb::handle self, nb::handle bucket_name, nb::handle object_name) {
        return download::download_flow(*names, self, bucket_name, object_name);
      },
      "bucket_name"_a.none(), "object_name"_a.none(),
      "Return the object's content decoded as UTF-8 (strict).");
  cls.def(
      "_download_file",
      [names](nb::handle self, nb::handle bucket_name, nb::handle object_name,
              nb::handle file_name) {
        return download::download_file(*names, self, bucket_name, object_name,
                                       file_name);
      },
      "bucket_name"_a.none(), "object_name"_a.none(), "file_name"_a.none(),
      "Write the object to the local file `file_name`; return True.");
  // The engine serves a tree download only while these are the instance's.
  auto originals =
      std::make_shared<transfer::Originals>(cls.attr("__module__"));
  originals->download_file = cls.attr("_download_file");
  originals->bucket_list_files = cls.attr("_bucket_list_files");
  cls.def(
      "_download_dir",
      [names, originals](nb::handle self, nb::handle bucket_name,
                         nb::handle object_path, nb::handle dir_path,
                         nb::handle workers, nb::handle progress) {
        download::download_dir(*names, *originals, self, bucket_name,
                               object_path, dir_path, workers, progress);
      },
      "bucket_name"_a.none(), "object_path"_a.none(), "dir_path"_a.none(),
      nb::kw_only(), "workers"_a.none() = 1, "progress"_a.none() = nb::none(),
      "Download the objects lying directly under `object_path` into "
      "`dir_path`, one file per object, up to `workers` at once; "
      "`progress(object_name, size)` is called after each file.");
  cls.def(
      "_remove_object",
      [names](nb::handle self, nb::handle bucket_name, nb::handle object_name) {
        download::remove_object(*names, self, bucket_name, object_name);
      },
      "bucket_name"_a.none(), "object_name"_a.none(), "Remove one object.");
  cls.def(
      "_remove_objects",
      [names](nb::handle self, nb::handle bucket_name, nb::handle object_list) {
        download::remove_objects(*names, self, bucket_name, object_list);
      },
      "bucket_name"_a.none(), "object_list"_a.none(),
      "Remove the objects named in `object_list` in one batch (a single "
      "str, bytes or bytearray is refused with TypeError); log each "
      "object that was not removed as a warning.");
  cls.def(
      "_get_url",
      [names](nb::handle self, nb::handle bucket, nb::handle object_name,
              nb::handle days) {
        return download::get_url(*names, self, bucket, object_name, days);
      },
      "bucket"_a.none(), "object_name"_a.none(), "days"_a.none() = 7,
      "Return a presigned download URL valid for `days` days.");
}

}  // namespace zarnel
