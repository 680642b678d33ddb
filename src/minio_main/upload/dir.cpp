// _upload_dir: a local tree, one object per file.
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "external/imports.hpp"
#include "external/transfers.hpp"
#include "host.hpp"
#include "upload/upload.hpp"

namespace zarnel::upload {

using namespace nb::literals;
using external::imported;

namespace {

// A directory as the file system knows it, whatever path leads to it.
using DirId = std::pair<dev_t, ino_t>;

// The walk on this thread. Every level is a call of _upload_dir through
// `self` (so a subclass sees each), which leaves no room for an argument of
// our own: what the levels share is kept here, per thread, for the walk's
// lifetime. `directories` are those being walked, outermost first, so that a
// link back into the tree is neither descended again nor uploaded as a file;
// `tree` or `transfers` is where the outermost call sends the files when it
// moves them on workers (owned by that call).
struct Walk {
  std::vector<DirId> directories;
  int depth = 0;
  transfer::Tree* tree = nullptr;
  PyObject* transfers = nullptr;
};

thread_local Walk walk;

// stat() of `path`, links followed, for any path-like value; nothing when
// the file system cannot tell (a missing path, a dangling link).
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

// Some file systems report no inode numbers: no identity then, and the walk
// goes on without the check.
std::optional<DirId> identity(const std::optional<struct stat>& status) {
  if (!status || status->st_ino == 0) return std::nullopt;
  return DirId{status->st_dev, status->st_ino};
}

// The lowest address that a level of the walk may start below on this
// thread: the rest of its stack is kept for what the deepest level calls
// (the storage client, TLS, compression). 0 when the stack cannot be told.
std::uintptr_t stack_floor() {
  thread_local std::uintptr_t floor = [] {
    std::uintptr_t lowest = 0;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      void* base = nullptr;
      size_t size = 0;
      if (pthread_attr_getstack(&attributes, &base, &size) == 0) {
        lowest = reinterpret_cast<std::uintptr_t>(base) +
                 std::min<size_t>(size / 2, size_t{256} * 1024);
      }
      pthread_attr_destroy(&attributes);
    }
    return lowest;
  }();
  return floor;
}

// One level of the walk, entered for `dir_path`. The host counts no Python
// frame for a call between C++ functions, so it would let a very deep tree
// (or a loop that the identity check cannot see) run the C stack out: a walk
// deeper than its recursion limit, or one that would leave too little of a
// small thread stack, ends in RecursionError instead.
class Level {
 public:
  explicit Level(nb::handle dir_path) {
    // The frame address, not a local's: under AddressSanitizer locals may
    // live on a heap-allocated fake stack.
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (walk.depth >= Py_GetRecursionLimit() || here < stack_floor()) {
      PyErr_SetString(PyExc_RecursionError,
                      "maximum recursion depth exceeded while walking a "
                      "directory tree");
      throw nb::python_error();
    }
    std::optional<DirId> id = identity(status_of(dir_path));
    if (id) walk.directories.push_back(*id);
    pushed_ = id.has_value();
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

bool on_walk(const std::optional<DirId>& id) {
  return id && std::find(walk.directories.begin(), walk.directories.end(),
                         *id) != walk.directories.end();
}

// An entry that is neither a directory nor a regular file (a FIFO, a socket,
// a device), links followed: opening it would hang or never end. One that
// cannot be stat'ed (a dangling link) is uploaded, and reports what is wrong.
bool is_special(const std::optional<struct stat>& status) {
  return status && !S_ISREG(status->st_mode) && !S_ISDIR(status->st_mode);
}

template <std::size_t N>
void warn(nb::handle self, const char (&text)[N], nb::handle path) {
  self.attr("_log").attr("warning")(
      external::message(text).attr("format")(path));
}

void walk_dir(nb::handle self, nb::handle bucket_name, nb::handle dir_path,
              nb::handle parallel, nb::handle base_dir) {
  // By default the last "/"-separated piece of the path, backslashes read
  // as "/": empty for a path ending in a separator.
  nb::object prefix = host::truth(base_dir)
                          ? nb::borrow(base_dir)
                          : nb::object(forward_slashes(dir_path).attr("split")(
                                "/")[nb::int_(-1)]);
  nb::object os = imported("os");
  nb::object join = os.attr("path").attr("join");
  nb::object isdir = os.attr("path").attr("isdir");

  Level level(dir_path);
  for (nb::handle name : os.attr("listdir")(dir_path)) {
    nb::object path = join(dir_path, name);
    if (host::truth(isdir(path))) {
      if (on_walk(identity(status_of(path)))) {
        warn(self, "CYCLE_SKIPPED", path);
        continue;
      }
      self.attr("_upload_dir")(bucket_name, path, parallel,
                               forward_slashes(join(prefix, name)));
      continue;
    }
    if (is_special(status_of(path))) {
      warn(self, "NOT_A_FILE_SKIPPED", path);
      continue;
    }
    nb::object object_name = forward_slashes(join(prefix, name));
    if (walk.tree != nullptr) {
      walk.tree->upload(imported("get_content_type"), bucket_name, object_name,
                        path, parallel);
    } else if (walk.transfers != nullptr) {
      nb::handle(walk.transfers)
          .attr("upload")(self, bucket_name, object_name, path, parallel);
    } else {
      self.attr("_upload_file")(bucket_name, object_name, path,
                                "parallel"_a = parallel);
    }
  }
}

// Makes the outermost call's engine or Transfers the one that the whole walk
// on this thread hands its files to, for the lifetime of the object.
struct Sharing {
  Sharing(transfer::Tree* tree, nb::handle transfers) {
    walk.tree = tree;
    walk.transfers = transfers.ptr();
  }
  Sharing(const Sharing&) = delete;
  Sharing& operator=(const Sharing&) = delete;
  ~Sharing() {
    walk.tree = nullptr;
    walk.transfers = nullptr;
  }
};

}  // namespace

void upload_dir(const transfer::Originals& originals, nb::handle self,
                nb::handle bucket_name, nb::handle dir_path,
                nb::handle parallel, nb::handle base_dir, nb::handle workers,
                nb::handle progress) {
  nb::object path = external::path_text(dir_path);
  // A nested call shares the outermost call's workers, whatever it asks.
  if (walk.tree != nullptr || walk.transfers != nullptr ||
      external::sequential(workers, progress)) {
    walk_dir(self, bucket_name, path, parallel, base_dir);
    return;
  }
  if (auto tree =
          transfer::Tree::for_upload(originals, self, workers, progress)) {
    try {
      Sharing sharing(tree.get(), nb::handle());
      walk_dir(self, bucket_name, path, parallel, base_dir);
    } catch (nb::python_error& error) {
      tree->finish(error);
    }
    tree->finish();
    return;
  }
  nb::object transfers = imported("Transfers")(workers, progress);
  external::transferring(transfers, [&] {
    Sharing sharing(nullptr, transfers);
    walk_dir(self, bucket_name, path, parallel, base_dir);
  });
}

}  // namespace zarnel::upload
