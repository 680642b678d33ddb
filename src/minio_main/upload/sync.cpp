// _sync_up and _sync_down: the logic is Python's (zarnel/sync.py), which
// merges the walk with the listing; these only hand the call over.
#include "external/imports.hpp"
#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;
using external::imported;

void bind_sync(Class& cls) {
  cls.def(
      "_sync_up",
      [](nb::handle self, nb::handle bucket_name, nb::handle dir_path,
         nb::handle base_dir, nb::handle compare, nb::handle remove_extras,
         nb::handle max_delete, nb::handle dry_run, nb::handle workers,
         nb::handle progress) {
        return imported("sync_up")(
            self, bucket_name, dir_path, base_dir, "compare"_a = compare,
            "delete"_a = remove_extras, "max_delete"_a = max_delete,
            "dry_run"_a = dry_run, "workers"_a = workers,
            "progress"_a = progress);
      },
      "bucket_name"_a.none(), "dir_path"_a.none(),
      "base_dir"_a.none() = nb::none(), nb::kw_only(),
      "compare"_a.none() = "mtime", "delete"_a.none() = false,
      "max_delete"_a.none() = nb::none(), "dry_run"_a.none() = false,
      "workers"_a.none() = 8, "progress"_a.none() = nb::none(),
      nb::sig("def _sync_up(self, bucket_name: str, dir_path: str | bytes | "
              "os.PathLike[str] | os.PathLike[bytes], base_dir: str | None = "
              "None, *, compare: typing.Literal['mtime', 'checksum'] = "
              "'mtime', delete: bool = False, max_delete: int | None = None, "
              "dry_run: bool = False, workers: int = 8, progress: "
              "collections.abc.Callable[[str, int], object] | None = None) "
              "-> zarnel.sync.SyncReport"),
      "Bring the objects under the names that `_upload_dir` gives the files\n"
      "under `dir_path` (every level) up to date: copy each file that is\n"
      "missing or changed (`compare`: 'mtime', a new size or a newer file;\n"
      "'checksum', a new size or content against the ETag). `delete`\n"
      "removes the objects under that prefix that have no file, only after\n"
      "every copy succeeded and at most `max_delete` of them; `dry_run`\n"
      "changes nothing and lists the plan. Returns a zarnel.SyncReport;\n"
      "raises zarnel.SyncError (with the report) when a file could not be\n"
      "moved, the first failure its __cause__.");
  cls.def(
      "_sync_down",
      [](nb::handle self, nb::handle bucket_name, nb::handle object_path,
         nb::handle dir_path, nb::handle compare, nb::handle remove_extras,
         nb::handle max_delete, nb::handle dry_run, nb::handle workers,
         nb::handle progress) {
        return imported("sync_down")(
            self, bucket_name, object_path, dir_path, "compare"_a = compare,
            "delete"_a = remove_extras, "max_delete"_a = max_delete,
            "dry_run"_a = dry_run, "workers"_a = workers,
            "progress"_a = progress);
      },
      "bucket_name"_a.none(), "object_path"_a.none(), "dir_path"_a.none(),
      nb::kw_only(), "compare"_a.none() = "mtime", "delete"_a.none() = false,
      "max_delete"_a.none() = nb::none(), "dry_run"_a.none() = false,
      "workers"_a.none() = 8, "progress"_a.none() = nb::none(),
      nb::sig("def _sync_down(self, bucket_name: str, object_path: str, "
              "dir_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], "
              "*, compare: typing.Literal['mtime', 'checksum'] = 'mtime', "
              "delete: bool = False, max_delete: int | None = None, dry_run: "
              "bool = False, workers: int = 8, progress: "
              "collections.abc.Callable[[str, int], object] | None = None) "
              "-> zarnel.sync.SyncReport"),
      "Bring the files under `dir_path` up to date with every object under\n"
      "the prefix `object_path` (every depth, at the same relative path;\n"
      "folders made as needed, names no file can have skipped with a\n"
      "warning), each file given its object's time. `compare`, `delete`,\n"
      "`max_delete`, `dry_run`, the report and SyncError as for _sync_up.");
}

}  // namespace zarnel
