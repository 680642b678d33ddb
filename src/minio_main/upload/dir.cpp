// _upload_dir: a local tree, one object per file.
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "external/imports.hpp"
#include "host.hpp"
#include "minio_main.hpp"
#include "transfer/plan.hpp"

namespace zarnel {

using namespace nb::literals;
using external::imported;
using external::warn;
using host::forward_slashes;

namespace {

// The walk on this thread. Its levels are calls of _upload_dir through `self`
// (a subclass sees every one) that take the caller's arguments only, so what
// they share lives here: the directories being walked (device, inode), so that
// a link back into the tree is neither descended again nor uploaded as a
// file, and the executor that the outermost call chose, which takes every
// file of the walk.
struct Walk {
  std::vector<std::pair<dev_t, ino_t>> directories;
  int depth = 0;
  transfer::Executor* executor = nullptr;
};
thread_local Walk walk;

// The outermost call's part: a walk of its own, whose files go to
// `executor`, and the walk that was under way on this thread (one that
// called it) back afterwards.
class Outermost {
 public:
  explicit Outermost(transfer::Executor& executor) : saved_(std::move(walk)) {
    walk = Walk{};
    walk.executor = &executor;
  }
  Outermost(const Outermost&) = delete;
  Outermost& operator=(const Outermost&) = delete;
  ~Outermost() { walk = std::move(saved_); }

 private:
  Walk saved_;
};

// stat() of a path-like value, links followed; nothing when the file system
// cannot tell (a missing path, a dangling link). The walk's own bookkeeping,
// so not through `os`, which a host may replace by one without stat. Some
// file systems report no inode numbers (st_ino 0): no identity then.
std::optional<struct stat> status_of(nb::handle path) {
  PyObject* converted = nullptr;
  if (PyUnicode_FSConverter(path.ptr(), &converted) == 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
    PyErr_Clear();
    return std::nullopt;
  }
  nb::bytes bytes = nb::steal<nb::bytes>(converted);
  struct stat status;
  nb::gil_scoped_release unlocked;
  if (::stat(bytes.c_str(), &status) != 0) return std::nullopt;
  return status;
}

// The lowest address that a level of the walk may start below on this
// thread: the rest of its stack is kept for what the deepest level calls
// (the storage client, TLS, compression). 0 when the stack cannot be told.
std::uintptr_t stack_floor() {
  thread_local std::uintptr_t floor = [] {
    pthread_attr_t attributes;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0)
      return std::uintptr_t{0};
    int failed = pthread_attr_getstack(&attributes, &base, &size);
    pthread_attr_destroy(&attributes);
    if (failed != 0) return std::uintptr_t{0};
    return reinterpret_cast<std::uintptr_t>(base) +
           std::min<size_t>(size / 2, size_t{256} * 1024);
  }();
  return floor;
}

// One level of the walk, for `dir_path`. The host counts no Python frame for
// the calls between C++ functions, so a very deep tree (or a loop that the
// directory check cannot see) would run the C stack out: a walk deeper than
// the recursion limit, or one that would leave too little of a small thread
// stack, ends in RecursionError instead.
class Level {
 public:
  explicit Level(nb::handle dir_path) {
    // The frame's address, not a local's: under AddressSanitizer locals may
    // live on a heap-allocated fake stack.
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (walk.depth >= Py_GetRecursionLimit() || here < stack_floor()) {
      PyErr_SetString(PyExc_RecursionError,
                      "maximum recursion depth exceeded while walking a "
                      "directory tree");
      throw nb::python_error();
    }
    std::optional<struct stat> status = status_of(dir_path);
    pushed_ = status && status->st_ino != 0;
    if (pushed_) walk.directories.emplace_back(status->st_dev, status->st_ino);
    ++walk.depth;
  }
  Level(const Level&) = delete;
  Level& operator=(const Level&) = delete;
  ~Level() {
    --walk.depth;
    if (pushed_) walk.directories.pop_back();
  }

 private:
  bool pushed_;
};

bool on_walk(const std::optional<struct stat>& status) {
  auto& dirs = walk.directories;
  return status && status->st_ino != 0 &&
         std::find(dirs.begin(), dirs.end(),
                   std::pair(status->st_dev, status->st_ino)) != dirs.end();
}

// One level of the walk: each file of `dir_path` to the walk's executor,
// each folder through `self._upload_dir`.
void walk_dir(nb::handle self, nb::handle bucket_name, nb::handle dir_path,
              nb::handle parallel, nb::handle base_dir) {
  // By default the last "/"-separated piece of the path, backslashes read as
  // "/" (empty for a path ending in a separator).
  nb::object prefix = nb::borrow(base_dir);
  if (!host::truth(base_dir)) {
    prefix = forward_slashes(dir_path).attr("split")("/")[nb::int_(-1)];
  }
  nb::object os = imported("os");
  nb::object join = os.attr("path").attr("join");
  nb::object isdir = os.attr("path").attr("isdir");

  Level level(dir_path);
  for (nb::handle name : os.attr("listdir")(dir_path)) {
    nb::object path = join(dir_path, name);
    if (host::truth(isdir(path))) {
      if (on_walk(status_of(path))) {
        warn(self, "CYCLE_SKIPPED", path);
      } else {
        self.attr("_upload_dir")(bucket_name, path, parallel,
                                 forward_slashes(join(prefix, name)));
      }
      continue;
    }
    // Neither a directory nor a regular file (a FIFO, a socket, a device):
    // opening it would hang. A dangling link is uploaded and fails as such.
    std::optional<struct stat> status = status_of(path);
    if (status && !S_ISREG(status->st_mode) && !S_ISDIR(status->st_mode)) {
      warn(self, "NOT_A_FILE_SKIPPED", path);
      continue;
    }
    nb::object size =
        status ? nb::object(nb::int_(status->st_size)) : nb::object(nb::none());
    walk.executor->upload(bucket_name, forward_slashes(join(prefix, name)),
                          path, size, parallel);
  }
}

// The walk of `dir_path` with every file going to `executor` (the nested
// calls that it makes join it).
void walk_tree(transfer::Executor& executor, nb::handle self,
               nb::handle bucket_name, nb::handle dir_path, nb::handle parallel,
               nb::handle base_dir) {
  transfer::serve(executor, [&] {
    Outermost outermost(executor);
    walk_dir(self, bucket_name, dir_path, parallel, base_dir);
  });
}

}  // namespace

void bind_upload_dir(Class& cls) {
  // The engine serves a tree upload only while this is the instance's.
  auto originals = std::make_shared<transfer::Originals>();
  originals->upload_file = cls.attr("_upload_file");
  cls.def(
      "_upload_dir",
      [originals](nb::handle self, nb::handle bucket_name, nb::handle dir_path,
                  nb::handle parallel, nb::handle base_dir, nb::handle workers,
                  nb::handle progress) {
        nb::object path = external::path_text(dir_path);
        // A nested call shares the outermost call's executor, whatever it
        // asks.
        if (walk.executor != nullptr) {
          return walk_dir(self, bucket_name, path, parallel, base_dir);
        }
        auto executor = transfer::executor_for(
            *originals, {"_upload_dir", true, false, self, workers, progress},
            {});
        walk_tree(*executor, self, bucket_name, path, parallel, base_dir);
      },
      "bucket_name"_a.none(), "dir_path"_a.none(), "parallel"_a.none() = 3,
      "base_dir"_a.none() = nb::none(), nb::kw_only(), "workers"_a.none() = 1,
      "progress"_a.none() = nb::none(),
      nb::sig("def _upload_dir(self, bucket_name: str, dir_path: str | bytes "
              "| os.PathLike[str] | os.PathLike[bytes], parallel: int = 3, "
              "base_dir: str | None = None, *, workers: int = 1, progress: "
              "collections.abc.Callable[[str, int], object] | None = None) "
              "-> None"),
      "Store every file under `dir_path` as `base_dir` (by default the\n"
      "directory's own name) plus its relative path, backslashes read as\n"
      "\"/\". Links are followed; a cycle, or an entry that is neither a file\n"
      "nor a directory, is skipped with a warning.\n"
      "\n"
      "`workers` is an int of at least 1 (else TypeError or ValueError\n"
      "before anything moves). 1 moves one file at a time on this thread,\n"
      "call for call; more moves up to that many files at once, at most 256\n"
      "on the native transfer engine (when the per-file operations are the\n"
      "class's own and `_engine` is the SDK's plain-HTTP client) and at\n"
      "most 10 on threads otherwise. `progress(object_name, size)` is\n"
      "called after each file; on threads, from the thread that moved it.\n"
      "\n"
      "The first failure (of a transfer, of `progress`, of the walk) ends\n"
      "the call: no new transfer starts, those running end, and that\n"
      "exception is raised itself; each later failure is added to it as a\n"
      "note, or, on the SDK's S3Error, which takes none, logged at ERROR on\n"
      "the `zarnel` logger. Files already moved stay.");
  cls.def(
      "_plan_upload_dir",
      [](nb::handle self, nb::handle bucket_name, nb::handle dir_path,
         nb::handle parallel, nb::handle base_dir, nb::handle add) {
        std::unique_ptr<transfer::Executor> plan = transfer::collector(add);
        walk_tree(*plan, self, bucket_name, external::path_text(dir_path),
                  parallel, base_dir);
      },
      "bucket_name"_a.none(), "dir_path"_a.none(), "parallel"_a.none() = 3,
      "base_dir"_a.none() = nb::none(), nb::kw_only(), "add"_a.none(),
      nb::sig("def _plan_upload_dir(self, bucket_name: str, dir_path: str | "
              "bytes | os.PathLike[str] | os.PathLike[bytes], parallel: int = "
              "3, base_dir: str | None = None, *, add: "
              "collections.abc.Callable[[zarnel.records.UploadItem], object]) "
              "-> None"),
      "Walk `dir_path` as `_upload_dir(bucket_name, dir_path, parallel,\n"
      "base_dir)` does, its nested calls through `self` included, and hand\n"
      "each file to `add` as (object_name, file_name, size) instead of\n"
      "storing it; `size` is None where the walk could not tell (a dangling\n"
      "link). Nothing moves; a failure of the walk or of `add` ends it.");
  cls.def(
      "_upload_files",
      [originals](nb::handle self, nb::handle bucket_name, nb::handle files,
                  nb::handle parallel, nb::handle workers, nb::handle progress,
                  nb::handle failed) {
        auto executor = transfer::executor_for(
            *originals,
            {"_upload_files", true, false, self, workers, progress, failed},
            {});
        transfer::serve(*executor, [&] {
          for (nb::handle item : nb::borrow(files)) {
            auto [object_name, file_name, size] = transfer::unpack<3>(item);
            executor->upload(bucket_name, object_name, file_name, size,
                             parallel);
          }
        });
      },
      "bucket_name"_a.none(), "files"_a.none(), "parallel"_a.none() = 3,
      nb::kw_only(), "workers"_a.none() = 1, "progress"_a.none() = nb::none(),
      "failed"_a.none() = nb::none(),
      nb::sig("def _upload_files(self, bucket_name: str, files: "
              "collections.abc.Iterable[zarnel.records.UploadItem], parallel: "
              "int = 3, *, workers: int = 1, progress: "
              "collections.abc.Callable[[str, int], object] | None = None, "
              "failed: collections.abc.Callable[[str, Exception], object] | "
              "None = None) -> None"),
      "Store each (object_name, file_name, size) of `files` as\n"
      "`_upload_file(bucket_name, object_name, file_name,\n"
      "parallel=parallel)` does: the items of `_plan_upload_dir`, say.\n"
      "`workers`, `progress` and the failure rules are those of\n"
      "`_upload_dir`, on the transfer engine when it may serve this\n"
      "instance, else through `_upload_file`. With `failed`, the call goes\n"
      "on past a file's failure: every file is tried, and each failure is\n"
      "handed to `failed(object_name, error)` instead of being raised.");
}

}  // namespace zarnel
