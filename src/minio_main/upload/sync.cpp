// _sync_up and _sync_down: the logic is Python's (zarnel/sync.py), which
// merges the walk with the listing; these only hand the call over. So do the
// clean-ups after interrupted transfers (zarnel/cleanup.py).
#include "external/imports.hpp"
#include "minio_main.hpp"

namespace zarnel {

namespace {

// The operation as zarnel.sync's function `name`, which takes the instance
// and the arguments as given.
auto forward(const char* name) {
  return
      [name](nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
        return external::imported(name)(self, *args, **kwargs);
      };
}

// The same, to zarnel.cleanup's function `name`.
auto clean_up(const char* name) {
  return
      [name](nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
        return external::support("cleanup", name)(self, *args, **kwargs);
      };
}

}  // namespace

void bind_sync(Class& cls) {
  cls.def(
      "_sync_up", forward("sync_up"),
      nb::sig("def _sync_up(self, bucket_name: str, dir_path: str | bytes | "
              "os.PathLike[str] | os.PathLike[bytes], base_dir: str | None = "
              "None, *, compare: typing.Literal['mtime', 'checksum'] = "
              "'mtime', delete: bool = False, max_delete: int | None = None, "
              "dry_run: bool = False, workers: int = 8, progress: "
              "collections.abc.Callable[[str, int], object] | None = None, "
              "resume: bool = False) -> zarnel.sync.SyncReport"),
      "Bring the objects under the names that `_upload_dir` gives the files\n"
      "under `dir_path` (every level) up to date: copy each file that is\n"
      "missing or changed (`compare`: 'mtime', a new size or a newer file;\n"
      "'checksum', a new size or content against the ETag). `delete`\n"
      "removes the objects under that prefix that have no file, only after\n"
      "every copy succeeded and at most `max_delete` of them; `dry_run`\n"
      "changes nothing and lists the plan. Returns a zarnel.SyncReport;\n"
      "raises zarnel.SyncError (with the report) when a file could not be\n"
      "moved, the first failure its __cause__. `resume` as for `_upload_dir`\n"
      "(on the transfer engine).");
  cls.def(
      "_sync_down", forward("sync_down"),
      nb::sig("def _sync_down(self, bucket_name: str, object_path: str, "
              "dir_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], "
              "*, compare: typing.Literal['mtime', 'checksum'] = 'mtime', "
              "delete: bool = False, max_delete: int | None = None, dry_run: "
              "bool = False, workers: int = 8, progress: "
              "collections.abc.Callable[[str, int], object] | None = None, "
              "resume: bool = False) -> zarnel.sync.SyncReport"),
      "Bring the files under `dir_path` up to date with every object under\n"
      "the prefix `object_path` (every depth, at the same relative path;\n"
      "folders made as needed, names no file can have skipped with a\n"
      "warning), each file given its object's time. `compare`, `delete`,\n"
      "`max_delete`, `dry_run`, the report and SyncError as for _sync_up;\n"
      "`resume` as for `_download_dir`.");
  cls.def(
      "_abort_uploads", clean_up("abort_uploads"),
      nb::sig("def _abort_uploads(self, bucket_name: str, prefix: str = '', "
              "older_than: datetime.timedelta | float = "
              "datetime.timedelta(days=1), dry_run: bool = False) -> "
              "list[zarnel.cleanup.AbortedUpload]"),
      "Abort the unfinished uploads in parts of the names under `prefix`\n"
      "that began more than `older_than` (a timedelta, or seconds) ago: what\n"
      "a transfer with `resume` leaves on the store when nothing resumes it.\n"
      "Returns them (object_name, upload_id, initiated); `dry_run` only\n"
      "lists them.");
  cls.def("_clean_partials", clean_up("clean_partials"),
          nb::sig("def _clean_partials(self, dir_path: str | bytes | "
                  "os.PathLike[str] | os.PathLike[bytes], older_than: "
                  "datetime.timedelta | float = datetime.timedelta(days=1), "
                  "dry_run: bool = False) -> list[str]"),
          "Remove the temporary files of downloads (.zarnel-*.part) and the\n"
          "journals of resumed ones (.zarnel-*.part.resume) under `dir_path`,\n"
          "every level, last written more than `older_than` (a timedelta, or\n"
          "seconds) ago, except those a running download holds. Returns their\n"
          "paths; `dry_run` only lists them.");
}

}  // namespace zarnel
