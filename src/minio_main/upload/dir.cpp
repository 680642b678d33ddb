// _upload_dir and _plan_upload_dir: the walk (zarnel/walk.py) driven here,
// each file handed to the call's executor; and _upload_files.
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "external/imports.hpp"
#include "external/store.hpp"
#include "minio_main.hpp"
#include "transfer/plan.hpp"

namespace zarnel {

using namespace nb::literals;

namespace {

// The walk under way on this thread, which a nested call of _upload_dir
// through `self` (taking the caller's arguments only) joins: the outermost
// call's executor and walk (zarnel.walk.Walk), which that call owns.
struct Current {
  transfer::Executor* executor = nullptr;
  PyObject* walk = nullptr;
};
thread_local Current current;

// The outermost call's part: the walk that was under way on this thread (one
// that called it) is set aside and back afterwards.
class Outermost {
 public:
  Outermost(transfer::Executor& executor, nb::handle walk) : saved_(current) {
    current = {&executor, walk.ptr()};
  }
  Outermost(const Outermost&) = delete;
  Outermost& operator=(const Outermost&) = delete;
  ~Outermost() { current = saved_; }

 private:
  Current saved_;
};

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

// One level: the files of `dir_path` to the walk's executor, and, where the
// walk hands them back, its folders through `self._upload_dir`. The host
// counts no Python frame for those nested calls, so one that would leave too
// little of a small thread stack ends in RecursionError instead.
void walk_level(nb::handle self, nb::handle bucket_name, nb::handle dir_path,
                nb::handle parallel, nb::handle base_dir) {
  // The frame's address, not a local's: under AddressSanitizer locals may
  // live on a heap-allocated fake stack.
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here < stack_floor()) {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while walking a "
                    "directory tree");
    throw nb::python_error();
  }
  transfer::Executor& executor = *current.executor;
  nb::object files =
      nb::handle(current.walk).attr("upload")(dir_path, base_dir);
  for (nb::handle item : files) {
    // The walk's own tuples: (object name, path, size) of a file, or
    // (path, prefix) of a folder.
    PyObject* fields = item.ptr();
    if (!PyTuple_Check(fields) || PyTuple_GET_SIZE(fields) < 2) {
      throw nb::type_error("the walk yielded an item that is no tuple");
    }
    nb::handle first = PyTuple_GET_ITEM(fields, 0);
    nb::handle second = PyTuple_GET_ITEM(fields, 1);
    if (PyTuple_GET_SIZE(fields) == 2) {
      self.attr("_upload_dir")(bucket_name, first, parallel, second);
    } else {
      executor.upload(bucket_name, first, second, PyTuple_GET_ITEM(fields, 2),
                      parallel);
    }
  }
}

// The walk of `dir_path` with every file going to `executor`. Its folders go
// through `self._upload_dir` on the per-file operations in order (workers=1)
// and where a subclass or the instance replaced it; else the walk reads them.
void walk_tree(transfer::Executor& executor, nb::handle self,
               nb::handle bucket_name, nb::handle dir_path, nb::handle parallel,
               nb::handle base_dir) {
  bool own = external::own_operation(
      self, "_upload_dir", nb::type<ZarnelMinioMain>().attr("_upload_dir"));
  nb::object walk = external::support("walk", "Walk")(
      self, "through_self"_a = executor.in_order() || !own);
  transfer::serve(executor, [&] {
    Outermost outermost(executor, walk);
    walk_level(self, bucket_name, dir_path, parallel, base_dir);
  });
}

}  // namespace

void bind_upload_dir(Class& cls) {
  // The engine serves a tree upload only while _upload_file is the class's.
  auto originals = transfer::originals_of(cls);
  cls.def(
      "_upload_dir",
      [originals](nb::handle self, nb::handle bucket_name, nb::handle dir_path,
                  nb::handle parallel, nb::handle base_dir, nb::handle workers,
                  nb::handle progress, bool resume) {
        nb::object path = external::path_text(dir_path);
        // A nested call joins the walk under way, whatever it asks.
        if (current.executor != nullptr) {
          return walk_level(self, bucket_name, path, parallel, base_dir);
        }
        auto executor =
            transfer::executor_for(*originals,
                                   {"_upload_dir", true, false, self, workers,
                                    progress, nb::none(), resume},
                                   {});
        walk_tree(*executor, self, bucket_name, path, parallel, base_dir);
      },
      "bucket_name"_a.none(), "dir_path"_a.none(), "parallel"_a.none() = 3,
      "base_dir"_a.none() = nb::none(), nb::kw_only(), "workers"_a.none() = 1,
      "progress"_a.none() = nb::none(), "resume"_a = false,
      nb::sig("def _upload_dir(self, bucket_name: str, dir_path: str | bytes "
              "| os.PathLike[str] | os.PathLike[bytes], parallel: int = 3, "
              "base_dir: str | None = None, *, workers: int = 1, progress: "
              "collections.abc.Callable[[str, int], object] | None = None, "
              "resume: bool = False) -> None"),
      transfer::tree_doc(
          "Store every file under `dir_path` as `base_dir` (by default the\n"
          "directory's own name) plus its relative path, backslashes read as\n"
          "\"/\". Links are followed; a cycle, or an entry that is neither a "
          "file\n"
          "nor a directory, is skipped with a warning.\n"
          "\n"
          "With `resume`, on the transfer engine, a file stored in parts\n"
          "carries on the newest unfinished upload of its name on the store:\n"
          "each stored part whose ETag is the MD5 of the file's bytes at its\n"
          "place is kept, the others are sent. An upload cut otherwise than\n"
          "the file is cut now, or whose first part is older than the file's\n"
          "last write, is dropped and the file sent whole. A failure, a stop\n"
          "or Ctrl-C then leaves the file's unfinished upload on the store\n"
          "for the next call with `resume`. The per-file operations (one\n"
          "worker, or threads) ignore it.",
          "walk")
          .c_str());
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
      "base_dir)` does (its nested calls through `self` where a subclass\n"
      "replaced it), and hand each file to `add` as (object_name,\n"
      "file_name, size) instead of storing it; `size` is None where the walk\n"
      "could not tell (a dangling link). Nothing moves; a failure of the\n"
      "walk or of `add` ends it.");
  cls.def(
      "_upload_files",
      [originals](nb::handle self, nb::handle bucket_name, nb::handle files,
                  nb::handle parallel, nb::handle workers, nb::handle progress,
                  nb::handle failed, bool resume) {
        auto executor =
            transfer::executor_for(*originals,
                                   {"_upload_files", true, false, self, workers,
                                    progress, failed, resume},
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
      "failed"_a.none() = nb::none(), "resume"_a = false,
      nb::sig("def _upload_files(self, bucket_name: str, files: "
              "collections.abc.Iterable[zarnel.records.UploadItem], parallel: "
              "int = 3, *, workers: int = 1, progress: "
              "collections.abc.Callable[[str, int], object] | None = None, "
              "failed: collections.abc.Callable[[str, Exception], object] | "
              "None = None, resume: bool = False) -> None"),
      "Store each (object_name, file_name, size) of `files` as\n"
      "`_upload_file(bucket_name, object_name, file_name,\n"
      "parallel=parallel)` does: the items of `_plan_upload_dir`, say.\n"
      "`workers`, `progress` and the failure rules are those of\n"
      "`_upload_dir`, on the transfer engine when it may serve this\n"
      "instance, else through `_upload_file`. With `failed`, the call goes\n"
      "on past a file's failure: every file is tried, and each failure is\n"
      "handed to `failed(object_name, error)` instead of being raised.\n"
      "`resume` as for `_upload_dir`.");
}

}  // namespace zarnel
