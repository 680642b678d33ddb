// Directory download: the objects lying directly under an object path, each
// into a file of the target directory.
#include <memory>
#include <string>

#include "external/imports.hpp"
#include "host.hpp"
#include "minio_main.hpp"
#include "transfer/names.hpp"
#include "transfer/plan.hpp"

namespace zarnel {

using namespace nb::literals;
using external::imported;

namespace {

// `path` itself when its last item is "/", else str(path) + "/". The last
// item is read by indexing as the host does, so an empty text fails with
// IndexError "string index out of range".
nb::object with_trailing_slash(nb::handle path) {
  nb::object last = path[nb::int_(-1)];
  return last.equal(nb::str("/")) ? nb::borrow(path)
                                  : host::text(path) + nb::str("/");
}

// Text as UTF-8, for the name rule; what the codec cannot take (a lone
// surrogate) passes as it is, since only "/", "." and NUL count there.
std::string name_bytes(nb::handle text) {
  nb::object encoded = nb::steal(
      PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
  if (!encoded.is_valid()) throw nb::python_error();
  return {PyBytes_AS_STRING(encoded.ptr()),
          static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr()))};
}

// The listing of `prefix` through `self._bucket_list_files`, and each object
// directly under it handed to `executor` as a file of `directory`.
void hand_over_listing(transfer::Executor& executor, nb::handle self,
                       nb::handle bucket_name, nb::handle prefix,
                       nb::handle directory) {
  // Only objects under the prefix can be chosen, so only they are listed.
  nb::object records = self.attr("_bucket_list_files")(bucket_name, prefix);
  std::string under = name_bytes(prefix);
  nb::object join = imported("os").attr("path").attr("join");
  for (nb::handle record : records) {
    nb::object get = record.attr("get");
    nb::object name = get("object_name");
    if (!PyUnicode_Check(name.ptr())) {
      PyErr_Format(PyExc_TypeError, "object name must be text, not %s",
                   Py_TYPE(name.ptr())->tp_name);
      throw nb::python_error();
    }
    transfer::Listed taken = transfer::listed_name(under, name_bytes(name));
    if (taken == transfer::Listed::kPass) continue;
    if (taken == transfer::Listed::kRefuse) {
      external::warn(self, "NAME_SKIPPED", name);
      continue;
    }
    nb::object rest =
        name[nb::slice(nb::int_(nb::len(prefix)), nb::none(), nb::none())];
    executor.download(bucket_name, name, join(directory, rest), get("size"),
                      get("etag"));
  }
}

// A download of `prefix` into `directory` on `executor`: listed by the
// executor itself where it lists (the engine, one level, page by page while
// it downloads), else here.
void download_prefix(transfer::Executor& executor, nb::handle self,
                     nb::handle bucket_name, nb::handle prefix,
                     nb::handle directory) {
  transfer::serve(executor, [&] {
    if (!executor.download_listed(bucket_name, prefix, directory)) {
      hand_over_listing(executor, self, bucket_name, prefix, directory);
    }
  });
}

}  // namespace

void bind_download_dir(Class& cls) {
  // The engine serves a tree download only while these are the class's.
  auto originals = transfer::originals_of(cls);
  cls.def(
      "_download_dir",
      [originals](nb::handle self, nb::handle bucket_name,
                  nb::handle object_path, nb::handle dir_path,
                  nb::handle workers, nb::handle progress, bool resume) {
        nb::object prefix = with_trailing_slash(object_path);
        nb::object directory =
            with_trailing_slash(external::path_text(dir_path));
        auto executor =
            transfer::executor_for(*originals,
                                   {"_download_dir", false, true, self, workers,
                                    progress, nb::none(), resume},
                                   {bucket_name, prefix, directory});
        download_prefix(*executor, self, bucket_name, prefix, directory);
      },
      "bucket_name"_a.none(), "object_path"_a.none(), "dir_path"_a.none(),
      nb::kw_only(), "workers"_a.none() = 1, "progress"_a.none() = nb::none(),
      "resume"_a = false,
      nb::sig("def _download_dir(self, bucket_name: str, object_path: str, "
              "dir_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], "
              "*, workers: int = 1, progress: collections.abc.Callable[[str, "
              "int], object] | None = None, resume: bool = False) -> None"),
      transfer::tree_doc(
          "Download the objects lying directly under `object_path` into\n"
          "`dir_path`, one file per object; deeper objects and the folder\n"
          "marker are not downloaded, and a name that would leave `dir_path` "
          "is\n"
          "skipped with a warning.\n"
          "\n"
          "With `resume`, on the transfer engine, a file fetched in pieces\n"
          "keeps its temporary file (.zarnel-*.part) and a journal of the\n"
          "pieces that came whole (.zarnel-*.part.resume) beside it after a\n"
          "failure, a stop or Ctrl-C; the next call with `resume` fetches "
          "only\n"
          "the missing pieces, with If-Match the journal's ETag, or the whole\n"
          "file when the object changed. The per-file operations (one worker,\n"
          "or threads) ignore it.",
          "listing")
          .c_str());
  cls.def(
      "_plan_download_dir",
      [](nb::handle self, nb::handle bucket_name, nb::handle object_path,
         nb::handle dir_path, nb::handle add) {
        nb::object prefix = with_trailing_slash(object_path);
        nb::object directory =
            with_trailing_slash(external::path_text(dir_path));
        std::unique_ptr<transfer::Executor> plan = transfer::collector(add);
        download_prefix(*plan, self, bucket_name, prefix, directory);
      },
      "bucket_name"_a.none(), "object_path"_a.none(), "dir_path"_a.none(),
      nb::kw_only(), "add"_a.none(),
      nb::sig("def _plan_download_dir(self, bucket_name: str, object_path: "
              "str, dir_path: str | bytes | os.PathLike[str] | "
              "os.PathLike[bytes], *, add: "
              "collections.abc.Callable[[zarnel.records.DownloadItem], "
              "object]) -> None"),
      "List the objects that `_download_dir(bucket_name, object_path,\n"
      "dir_path)` takes, through `self._bucket_list_files`, and hand each\n"
      "to `add` as (object_name, file_name, size, etag) instead of\n"
      "downloading it (size and ETag as listed, None where the listing has\n"
      "none). Nothing moves; a failure of the listing or of `add` ends it.");
  cls.def(
      "_downloads_on_engine",
      [originals](nb::handle self, nb::handle workers) {
        // The rule of every tree call (transfer/tree.cpp), asked without
        // moving anything.
        std::string why;
        return transfer::Tree::for_download(*originals, "_downloads_on_engine",
                                            self, workers, nb::none(),
                                            nb::none(), false, why) != nullptr;
      },
      "workers"_a.none(),
      nb::sig("def _downloads_on_engine(self, workers: int) -> bool"),
      "Whether `_download_files` with `workers` moves its files on the\n"
      "transfer engine (else through `_download_file`): what a caller that\n"
      "checks the files of the thread path itself needs to know.");
  cls.def(
      "_download_files",
      [originals](nb::handle self, nb::handle bucket_name, nb::handle files,
                  nb::handle workers, nb::handle progress, nb::handle failed,
                  bool resume) {
        auto executor =
            transfer::executor_for(*originals,
                                   {"_download_files", false, false, self,
                                    workers, progress, failed, resume},
                                   {bucket_name});
        transfer::serve(*executor, [&] {
          for (nb::handle item : nb::borrow(files)) {
            auto [object_name, file_name, size, etag] =
                transfer::unpack<4>(item);
            executor->download(bucket_name, object_name, file_name, size, etag);
          }
        });
      },
      "bucket_name"_a.none(), "files"_a.none(), nb::kw_only(),
      "workers"_a.none() = 1, "progress"_a.none() = nb::none(),
      "failed"_a.none() = nb::none(), "resume"_a = false,
      nb::sig("def _download_files(self, bucket_name: str, files: "
              "collections.abc.Iterable[zarnel.records.DownloadItem], *, "
              "workers: int = 1, progress: collections.abc.Callable[[str, "
              "int], object] | None = None, failed: "
              "collections.abc.Callable[[str, Exception], object] | None = "
              "None, resume: bool = False) -> None"),
      "Write each (object_name, file_name, size, etag) of `files` as\n"
      "`_download_file(bucket_name, object_name, file_name)` does: the\n"
      "items of `_plan_download_dir`, say. `workers`, `progress` and the\n"
      "failure rules are those of `_download_dir`; on the transfer engine\n"
      "(when it may serve this instance) each file is checked against\n"
      "`size`, and its content against `etag` or the CRC-32 it was stored\n"
      "with. `failed` as for `_upload_files`, `resume` as for\n"
      "`_download_dir`.");
}

}  // namespace zarnel
