// _upload_dir: a local tree, one object per file.
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "external/transfers.hpp"
#include "host.hpp"
#include "transfer/tree.hpp"
#include "upload/paths.hpp"
#include "upload/upload.hpp"

namespace zarnel::upload {

namespace {

// A directory as the file system knows it, whatever path leads to it.
struct DirId {
  dev_t device;
  ino_t inode;
  bool operator==(const DirId& other) const {
    return device == other.device && inode == other.inode;
  }
};

// A link back into the tree (to the directory being walked or one of its
// ancestors) would be descended until the host refuses deeper calls, and
// then the link would be uploaded as a file. So the directories on the
// current walk are kept per thread, outermost first: every call of
// _upload_dir, whoever makes it through `self`, pushes its own directory on
// entry and pops it on every way out. A parent also leaves the identity of
// the sub-directory it is about to enter, so the child need not look again.
struct Walk {
  std::vector<DirId> directories;
  int depth = 0;
  PyObject* entering = nullptr;  // borrowed: the parent holds it
  DirId entering_id{};
  // The Transfers of the outermost call when it moves files on workers:
  // the nested calls that its walk makes hand their files to it too.
  PyObject* transfers = nullptr;  // borrowed: the outermost call holds it
  // Or the transfer engine of the outermost call, when it serves the call.
  transfer::Tree* tree = nullptr;
};

thread_local Walk walk;

std::optional<DirId> identity_of(const struct stat& status) {
  // Some file systems report no inode numbers: no identity then.
  if (status.st_ino == 0) return std::nullopt;
  return DirId{status.st_dev, status.st_ino};
}

// The directory's identity, symbolic links followed, or nothing when the
// file system cannot tell (the path is missing, or has no inode numbers):
// then the walk goes on as without the guard, and the listing or the
// directory test reports whatever is wrong with the path.
std::optional<DirId> identity(nb::handle path) {
  struct stat status;
  if (!stat_any(path, status)) return std::nullopt;
  return identity_of(status);
}

bool on_walk(const std::optional<DirId>& id) {
  if (!id) return false;
  for (const DirId& directory : walk.directories) {
    if (directory == *id) return true;
  }
  return false;
}

// The lowest address that a level of the walk may start below this
// thread's stack top: the rest is kept for what the deepest level calls (the
// storage client, TLS, compression). 0 when the stack cannot be told.
std::uintptr_t stack_floor() {
  thread_local std::uintptr_t floor = [] {
    std::uintptr_t lowest = 0;
#if defined(__linux__)
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
#endif
    return lowest;
  }();
  return floor;
}

// One more level of the walk on this thread. The host refuses to nest calls
// deeper than its recursion limit; a walk that deep (a very deep tree, or a
// loop that the guard could not see), or one that would leave too little of
// a small thread stack, is refused the same way, with RecursionError, before
// the C stack runs out.
class Nested {
 public:
  Nested() {
    // The frame address, not a local's: under AddressSanitizer locals may
    // live on a heap-allocated fake stack.
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (walk.depth >= Py_GetRecursionLimit() || here < stack_floor()) {
      PyErr_SetString(PyExc_RecursionError,
                      "maximum recursion depth exceeded while walking a "
                      "directory tree");
      throw nb::python_error();
    }
    if (Py_EnterRecursiveCall(" while walking a directory tree") != 0) {
      throw nb::python_error();
    }
    ++walk.depth;
  }
  Nested(const Nested&) = delete;
  Nested& operator=(const Nested&) = delete;
  ~Nested() {
    --walk.depth;
    Py_LeaveRecursiveCall();
  }
};

// Marks `dir_path` as being walked for the lifetime of the object.
class Walking {
 public:
  explicit Walking(nb::handle dir_path) {
    std::optional<DirId> id;
    if (walk.entering == dir_path.ptr()) {
      id = walk.entering_id;
    } else {
      id = identity(dir_path);
    }
    walk.entering = nullptr;
    if (id) walk.directories.push_back(*id);
    pushed_ = id.has_value();
  }
  Walking(const Walking&) = delete;
  Walking& operator=(const Walking&) = delete;
  ~Walking() {
    if (pushed_) walk.directories.pop_back();
  }

 private:
  Nested nested_;
  bool pushed_ = false;
};

// Leaves the identity of the sub-directory for the call that enters it.
class Entering {
 public:
  Entering(nb::handle sub_path, const std::optional<DirId>& id) {
    if (!id) return;
    walk.entering = sub_path.ptr();
    walk.entering_id = *id;
  }
  Entering(const Entering&) = delete;
  Entering& operator=(const Entering&) = delete;
  ~Entering() { walk.entering = nullptr; }
};

// The default prefix: the last "/"-separated piece of the path with its
// backslashes turned into "/"; empty for a path ending in a separator.
nb::object last_segment(const Names& names, nb::handle dir_path) {
  nb::object path = forward_slashes(names, dir_path);
  PyObject* text = path.ptr();
  if (!PyUnicode_CheckExact(text)) {
    nb::object pieces = call_method(path, names.split, {}, names.slash);
    return checked(PySequence_GetItem(pieces.ptr(), -1));
  }
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  Py_ssize_t at = PyUnicode_FindChar(text, '/', 0, length, -1);
  if (at == -2) throw nb::python_error();
  return checked(PyUnicode_Substring(text, at + 1, length));
}

// Makes `transfers` the one the walk on this thread hands its files to, for
// the lifetime of the object.
class Sharing {
 public:
  explicit Sharing(nb::handle transfers) { walk.transfers = transfers.ptr(); }
  explicit Sharing(transfer::Tree* tree) { walk.tree = tree; }
  Sharing(const Sharing&) = delete;
  Sharing& operator=(const Sharing&) = delete;
  ~Sharing() {
    walk.transfers = nullptr;
    walk.tree = nullptr;
  }
};

// An entry that is neither a directory nor a regular file (a FIFO, a socket,
// a device), links followed: opening it would hang or never end. An entry
// that cannot be stat'ed (a dangling link) is not one of these: its upload
// reports what is wrong with it.
bool is_special(nb::handle path, const struct stat& status, bool stated) {
  struct stat own;
  if (!stated) {
    if (!stat_any(path, own)) return false;
    return !S_ISREG(own.st_mode) && !S_ISDIR(own.st_mode);
  }
  return !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode);
}

void walk_dir(const Names& names, nb::handle self, nb::handle bucket_name,
              nb::handle dir_path, nb::handle parallel, nb::handle base_dir) {
  nb::object prefix = host::truth(base_dir) ? nb::borrow(base_dir)
                                            : last_segment(names, dir_path);
  nb::object os = names.imported(names.os);
  nb::object os_path = member(os, names.path);
  nb::object join = member(os_path, names.join);
  nb::object isdir = member(os_path, names.isdir);

  Walking walking(dir_path);
  nb::object entries = call(member(os, names.listdir), {}, dir_path);
  for (nb::handle name : entries) {
    nb::object local = join_with(names, join, dir_path, name);
    struct stat status;
    bool stated;
    if (is_dir(names, isdir, local, status, stated)) {
      std::optional<DirId> id = stated ? identity_of(status) : identity(local);
      // Neither descended again nor uploaded as a file.
      if (on_walk(id)) {
        call_method(attribute(self, names.log), names.warning, {},
                    call_method(names.cycle, names.format, {}, local));
        continue;
      }
      nb::object sub_prefix =
          forward_slashes(names, join_with(names, join, prefix, name));
      nb::object sub_path = join_with(names, join, dir_path, name);
      Entering entering(sub_path, id);
      call_method(self, names.upload_dir, {}, bucket_name, sub_path, parallel,
                  sub_prefix);
    } else if (is_special(local, status, stated)) {
      call_method(attribute(self, names.log), names.warning, {},
                  call_method(names.not_a_file, names.format, {}, local));
    } else {
      nb::object object_name =
          forward_slashes(names, join_with(names, join, prefix, name));
      nb::object file_name = join_with(names, join, dir_path, name);
      if (walk.tree != nullptr) {
        walk.tree->upload(names.imported(names.get_content_type), bucket_name,
                          object_name, file_name, parallel);
      } else if (walk.transfers != nullptr) {
        call_method(walk.transfers, names.upload, {}, self, bucket_name,
                    object_name, file_name, parallel);
      } else {
        call_method(self, names.upload_file, names.kw_parallel, bucket_name,
                    object_name, file_name, parallel);
      }
    }
  }
}

}  // namespace

void upload_dir(const Names& names, const transfer::Originals& originals,
                nb::handle self, nb::handle bucket_name, nb::handle dir_path,
                nb::handle parallel, nb::handle base_dir, nb::handle workers,
                nb::handle progress) {
  nb::object path = external::path_text(names.imported(names.os), dir_path);
  // A nested call shares the outermost call's workers, whatever it asks.
  if (walk.transfers != nullptr || walk.tree != nullptr ||
      external::sequential(workers, progress)) {
    walk_dir(names, self, bucket_name, path, parallel, base_dir);
    return;
  }
  if (auto tree =
          transfer::Tree::for_upload(originals, self, workers, progress)) {
    {
      Sharing sharing(tree.get());
      try {
        walk_dir(names, self, bucket_name, path, parallel, base_dir);
      } catch (nb::python_error& error) {
        tree->finish(error);
      }
    }
    tree->finish();
    return;
  }
  nb::object transfers =
      call(names.imported(names.transfers), {}, workers, progress);
  external::transferring(transfers, names.close, [&] {
    Sharing sharing(transfers);
    walk_dir(names, self, bucket_name, path, parallel, base_dir);
  });
}

}  // namespace zarnel::upload
