// Directory download: the objects lying directly under an object path, each
// into a file of the target directory.
#include <memory>

#include "external/imports.hpp"
#include "external/transfers.hpp"
#include "host.hpp"
#include "minio_main.hpp"
#include "transfer/tree.hpp"

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

// Whether `rest`, joined to the directory, names a file inside it. "." and
// ".." would name the directory or its parent; a host separator or a drive
// (on systems that have them) would leave the directory.
bool stays_inside(nb::handle rest, nb::handle os) {
  if (rest.equal(nb::str(".")) || rest.equal(nb::str(".."))) return false;
  for (const char* which : {"sep", "altsep"}) {
    nb::object sep = nb::getattr(os, which);
    if (!sep.is_none() && host::contains(rest, sep)) return false;
  }
  return !host::truth(os.attr("path").attr("splitdrive")(rest)[0]);
}

void download_all(nb::handle self, nb::handle bucket_name, nb::handle prefix,
                  nb::handle directory, nb::handle transfers) {
  // Only objects under the prefix can be chosen, so only they are listed.
  nb::object records = self.attr("_bucket_list_files")(bucket_name, prefix);
  nb::object os = imported("os");
  nb::object join = os.attr("path").attr("join");
  for (nb::handle record : records) {
    nb::object name = record.attr("get")("object_name");
    // Only the objects directly under the prefix: not the folder marker
    // (nothing after the prefix) and nothing deeper (a "/" after it).
    if (!host::truth(name.attr("startswith")(prefix))) continue;
    nb::object rest =
        name[nb::slice(nb::int_(nb::len(prefix)), nb::none(), nb::none())];
    if (!host::truth(rest) || host::contains(rest, nb::str("/"))) continue;
    if (!stays_inside(rest, os)) {
      external::warn(self, "NAME_SKIPPED", name);
      continue;
    }
    nb::object file_name = join(directory, rest);
    if (transfers.is_valid()) {
      transfers.attr("download")(self, bucket_name, name, file_name,
                                 record.attr("get")("size"));
    } else {
      self.attr("_download_file")(bucket_name, name, file_name);
    }
  }
}

}  // namespace

void bind_download_dir(Class& cls) {
  // The engine serves a tree download only while these are the instance's.
  auto originals =
      std::make_shared<transfer::Originals>(cls.attr("__module__"));
  originals->download_file = cls.attr("_download_file");
  originals->bucket_list_files = cls.attr("_bucket_list_files");
  cls.def(
      "_download_dir",
      [originals](nb::handle self, nb::handle bucket_name,
                  nb::handle object_path, nb::handle dir_path,
                  nb::handle workers, nb::handle progress) {
        nb::object prefix = with_trailing_slash(object_path);
        nb::object directory =
            with_trailing_slash(external::path_text(dir_path));
        if (external::sequential(workers, progress)) {
          return download_all(self, bucket_name, prefix, directory, {});
        }
        // The engine lists one level, page by page, while it downloads.
        std::string why;
        auto tree = transfer::Tree::for_download(*originals, self, workers,
                                                 progress, why);
        if (tree && tree->download(bucket_name, prefix, directory)) return;
        if (tree) why = "names that are not text";
        nb::object transfers =
            imported("Transfers")(workers, progress, "_download_dir", why);
        external::transferring(transfers, [&] {
          download_all(self, bucket_name, prefix, directory, transfers);
        });
      },
      "bucket_name"_a.none(), "object_path"_a.none(), "dir_path"_a.none(),
      nb::kw_only(), "workers"_a.none() = 1, "progress"_a.none() = nb::none(),
      nb::sig("def _download_dir(self, bucket_name: str, object_path: str, "
              "dir_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], "
              "*, workers: int = 1, progress: collections.abc.Callable[[str, "
              "int], object] | None = None) -> None"),
      "Download the objects lying directly under `object_path` into\n"
      "`dir_path`, one file per object; deeper objects and the folder\n"
      "marker are not downloaded, and a name that would leave `dir_path` is\n"
      "skipped with a warning.\n"
      "\n"
      "`workers` is an int of at least 1 (else TypeError or ValueError\n"
      "before anything moves). 1 moves one file at a time on this thread,\n"
      "call for call; more moves up to that many files at once, at most 256\n"
      "on the native transfer engine (when the per-file operations are the\n"
      "class's own and `_engine` is the SDK's plain-HTTP client) and at\n"
      "most 10 on threads otherwise. `progress(object_name, size)` is\n"
      "called after each file; on threads, from the thread that moved it.\n"
      "\n"
      "The first failure (of a transfer, of `progress`, of the listing)\n"
      "ends the call: no new transfer starts, those running end, and that\n"
      "exception is raised itself; each later failure is added to it as a\n"
      "note, or, on the SDK's S3Error, which takes none, logged at ERROR on\n"
      "the `zarnel` logger. Files already moved stay.");
}

}  // namespace zarnel
