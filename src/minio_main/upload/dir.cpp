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
#include "external/transfers.hpp"
#include "host.hpp"
#include "minio_main.hpp"
#include "transfer/tree.hpp"

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
// file, and the engine or Transfers that the outermost call owns.
struct Walk {
  std::vector<std::pair<dev_t, ino_t>> directories;
  int depth = 0;
  struct Sink {
    transfer::Tree* tree = nullptr;
    PyObject* transfers = nullptr;
  } sink;
};
thread_local Walk walk;

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
// stack, ends in RecursionError instead. The outermost level of a call on
// workers makes its engine or Transfers the one that the nested calls use.
class Level {
 public:
  Level(nb::handle dir_path, transfer::Tree* tree, nb::handle transfers) {
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
    shares_ = tree != nullptr || transfers.is_valid();
    if (shares_) walk.sink = {tree, transfers.ptr()};
  }
  Level(const Level&) = delete;
  Level& operator=(const Level&) = delete;
  ~Level() {
    --walk.depth;
    if (pushed_) walk.directories.pop_back();
    if (shares_) walk.sink = {};
  }

 private:
  bool pushed_, shares_;
};

bool on_walk(const std::optional<struct stat>& status) {
  auto& dirs = walk.directories;
  return status && status->st_ino != 0 &&
         std::find(dirs.begin(), dirs.end(),
                   std::pair(status->st_dev, status->st_ino)) != dirs.end();
}

void walk_dir(nb::handle self, nb::handle bucket_name, nb::handle dir_path,
              nb::handle parallel, nb::handle base_dir,
              transfer::Tree* tree = nullptr,
              nb::handle transfers = nb::handle()) {
  // By default the last "/"-separated piece of the path, backslashes read as
  // "/" (empty for a path ending in a separator).
  nb::object prefix = nb::borrow(base_dir);
  if (!host::truth(base_dir)) {
    prefix = forward_slashes(dir_path).attr("split")("/")[nb::int_(-1)];
  }
  nb::object os = imported("os");
  nb::object join = os.attr("path").attr("join");
  nb::object isdir = os.attr("path").attr("isdir");

  Level level(dir_path, tree, transfers);
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
    nb::object object_name = forward_slashes(join(prefix, name));
    if (walk.sink.tree != nullptr) {
      walk.sink.tree->upload(imported("get_content_type"), bucket_name,
                             object_name, path, parallel);
    } else if (walk.sink.transfers != nullptr) {
      nb::handle(walk.sink.transfers)
          .attr("upload")(self, bucket_name, object_name, path, parallel);
    } else {
      self.attr("_upload_file")(bucket_name, object_name, path,
                                "parallel"_a = parallel);
    }
  }
}

}  // namespace

void bind_upload_dir(Class& cls) {
  // The engine serves a tree upload only while this is the instance's.
  auto originals =
      std::make_shared<transfer::Originals>(cls.attr("__module__"));
  originals->upload_file = cls.attr("_upload_file");
  cls.def(
      "_upload_dir",
      [originals](nb::handle self, nb::handle bucket_name, nb::handle dir_path,
                  nb::handle parallel, nb::handle base_dir, nb::handle workers,
                  nb::handle progress) {
        nb::object path = external::path_text(dir_path);
        // A nested call shares the outermost call's workers, whatever it asks.
        if (walk.sink.tree != nullptr || walk.sink.transfers != nullptr ||
            external::sequential(workers, progress)) {
          return walk_dir(self, bucket_name, path, parallel, base_dir);
        }
        std::string why;
        if (auto tree = transfer::Tree::for_upload(*originals, self, workers,
                                                   progress, why)) {
          try {
            walk_dir(self, bucket_name, path, parallel, base_dir, tree.get());
          } catch (nb::python_error& error) {
            tree->finish(error);
          }
          return tree->finish();
        }
        nb::object transfers =
            imported("Transfers")(workers, progress, "_upload_dir", why);
        external::transferring(transfers, [&] {
          walk_dir(self, bucket_name, path, parallel, base_dir, nullptr,
                   transfers);
        });
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
}

}  // namespace zarnel
