#include "transfer/plan.hpp"

#include "external/imports.hpp"
#include "host.hpp"

namespace zarnel::transfer {

using namespace nb::literals;

namespace {

// workers=1 without progress: the plain loop on the caller's thread, call
// for call, with no Transfers at all. Any other value is Transfers' to check.
bool sequential(nb::handle workers, nb::handle progress) {
  return progress.is_none() && PyLong_CheckExact(workers.ptr()) &&
         workers.equal(nb::int_(1));
}

// `move` for the file `name`; with a `failed` callable, a failure of the
// file's own (an Exception, not Ctrl-C) goes to it and the call goes on.
template <typename Move>
void each(nb::handle failed, nb::handle name, Move&& move) {
  if (failed.is_none()) return std::forward<Move>(move)();
  try {
    std::forward<Move>(move)();
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    failed(name, error.value());
  }
}

// workers=1 without progress: each file through the per-file operation at
// once, on this thread, as a plain loop would.
class Direct : public Executor {
 public:
  Direct(nb::handle self, nb::handle failed)
      : self_(nb::borrow(self)), failed_(nb::borrow(failed)) {}
  void upload(nb::handle bucket_name, nb::handle object_name, nb::handle path,
              nb::handle /*size*/, nb::handle parallel) override {
    each(failed_, object_name, [&] {
      self_.attr("_upload_file")(bucket_name, object_name, path,
                                 "parallel"_a = parallel);
    });
  }
  void download(nb::handle bucket_name, nb::handle object_name, nb::handle path,
                nb::handle /*size*/, nb::handle /*etag*/) override {
    each(failed_, object_name,
         [&] { self_.attr("_download_file")(bucket_name, object_name, path); });
  }
  bool in_order() const override { return true; }

 private:
  nb::object self_, failed_;
};

// The per-file operations on worker threads (zarnel/transfers.py).
class OnThreads : public Executor {
 public:
  OnThreads(nb::handle self, nb::object transfers)
      : self_(nb::borrow(self)), transfers_(std::move(transfers)) {}
  void upload(nb::handle bucket_name, nb::handle object_name, nb::handle path,
              nb::handle size, nb::handle parallel) override {
    transfers_.attr("upload")(self_, bucket_name, object_name, path, parallel,
                              size);
  }
  void download(nb::handle bucket_name, nb::handle object_name, nb::handle path,
                nb::handle size, nb::handle /*etag*/) override {
    transfers_.attr("download")(self_, bucket_name, object_name, path, size);
  }
  void finish() override { transfers_.attr("close")(); }
  [[noreturn]] void finish(nb::python_error& error) override {
    transfers_.attr("close")(error.value());
    throw error;  // not reached: close() raises it
  }
  void abandon() noexcept override {
    nb::error_scope pending;  // close() must not run with an error set
    try {
      transfers_.attr("close")(
          nb::handle(PyExc_RuntimeError)("tree call ended by a C++ exception"));
    } catch (nb::python_error&) {
    }
  }

 private:
  nb::object self_, transfers_;
};

class OnEngine : public Executor {
 public:
  OnEngine(std::unique_ptr<Tree> tree, nb::handle failed)
      : tree_(std::move(tree)), failed_(nb::borrow(failed)) {}
  void upload(nb::handle bucket_name, nb::handle object_name, nb::handle path,
              nb::handle /*size*/, nb::handle parallel) override {
    // _upload_file reads a backslash in an object name as "/"; the walk's
    // names have none left.
    nb::object name = PyUnicode_Check(object_name.ptr())
                          ? host::forward_slashes(object_name)
                          : nb::borrow(object_name);
    each(failed_, object_name, [&] {
      tree_->upload(external::imported("get_content_type"), bucket_name, name,
                    path, parallel);
    });
  }
  void download(nb::handle bucket_name, nb::handle object_name, nb::handle path,
                nb::handle size, nb::handle etag) override {
    each(failed_, object_name,
         [&] { tree_->download(bucket_name, object_name, path, size, etag); });
  }
  bool download_listed(nb::handle bucket_name, nb::handle prefix,
                       nb::handle directory) override {
    return tree_->download_listed(bucket_name, prefix, directory);
  }
  void finish() override { tree_->finish(); }
  [[noreturn]] void finish(nb::python_error& error) override {
    tree_->finish(error);
  }
  // The Tree's destructor abandons the transfers.

 private:
  std::unique_ptr<Tree> tree_;
  nb::object failed_;
};

class Collector : public Executor {
 public:
  explicit Collector(nb::handle add) : add_(nb::borrow(add)) {}
  void upload(nb::handle /*bucket_name*/, nb::handle object_name,
              nb::handle path, nb::handle size,
              nb::handle /*parallel*/) override {
    add_(nb::make_tuple(object_name, path, size));
  }
  void download(nb::handle /*bucket_name*/, nb::handle object_name,
                nb::handle path, nb::handle size, nb::handle etag) override {
    add_(nb::make_tuple(object_name, path, size, etag));
  }

 private:
  nb::object add_;
};

}  // namespace

std::string tree_doc(const char* what, const char* source) {
  return std::string(what) +
         "\n\n"
         "`workers` is an int of at least 1 (else TypeError or ValueError\n"
         "before anything moves). 1 moves one file at a time on this thread,\n"
         "call for call; more moves up to that many files at once, at most\n"
         "256 on the native transfer engine (when the per-file operations are\n"
         "the class's own and `_engine` is the SDK's plain-HTTP client) and\n"
         "at most 10 on threads otherwise. `progress(object_name, size)` is\n"
         "called after each file; on threads, from the thread that moved it.\n"
         "\n"
         "The first failure (of a transfer, of `progress`, of the " +
         source +
         ")\n"
         "ends the call: no new transfer starts, those running end, and that\n"
         "exception is raised itself; each later failure is added to it as a\n"
         "note, or, on the SDK's S3Error, which takes none, logged at ERROR "
         "on\n"
         "the `zarnel` logger. Files already moved stay.";
}

std::shared_ptr<Originals> originals_of(nb::handle cls) {
  auto originals = std::make_shared<Originals>();
  originals->upload_file = nb::getattr(cls, "_upload_file", nb::none());
  originals->download_file = nb::getattr(cls, "_download_file", nb::none());
  originals->bucket_list_files =
      nb::getattr(cls, "_bucket_list_files", nb::none());
  return originals;
}

std::unique_ptr<Executor> executor_for(
    const Originals& originals, const Call& call,
    std::initializer_list<nb::handle> texts) {
  if (!call.failed.is_none() && !PyCallable_Check(call.failed.ptr())) {
    nb::object message = nb::str("failed must be callable or None, not {}")
                             .format(call.failed.type().attr("__name__"));
    PyErr_SetObject(PyExc_TypeError, message.ptr());
    throw nb::python_error();
  }
  if (sequential(call.workers, call.progress)) {
    return std::make_unique<Direct>(call.self, call.failed);
  }
  std::string why;
  std::unique_ptr<Tree> tree;
  bool all_text = true;
  for (nb::handle value : texts) all_text &= PyUnicode_Check(value.ptr()) != 0;
  if (!all_text) {
    why = "names that are not text";
  } else if (call.upload) {
    tree = Tree::for_upload(originals, call.operation, call.self, call.workers,
                            call.progress, call.failed, why);
  } else {
    tree =
        Tree::for_download(originals, call.operation, call.self, call.workers,
                           call.progress, call.failed, call.listing, why);
  }
  if (tree && call.resume) tree->resume();
  if (tree) return std::make_unique<OnEngine>(std::move(tree), call.failed);
  nb::object make = external::imported("Transfers");
  nb::object transfers =
      call.failed.is_none()
          ? make(call.workers, call.progress, call.operation, why)
          : make(call.workers, call.progress, call.operation, why,
                 "failed"_a = call.failed);
  return std::make_unique<OnThreads>(call.self, std::move(transfers));
}

std::unique_ptr<Executor> collector(nb::handle add) {
  return std::make_unique<Collector>(add);
}

}  // namespace zarnel::transfer
