// The work of a tree call, planned once and handed to one executor. The walk
// of a local tree and the listing of a prefix yield items (object name, local
// path, size; a download's also the listing's ETag) and give each to the
// Executor that executor_for() chose for the call: the per-file operations on
// the caller's thread (workers=1), the transfer engine, the per-file
// operations on worker threads (zarnel.transfers.Transfers), or a Python
// callable that collects them (the cluster helper's plan).
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "transfer/tree.hpp"

namespace zarnel::transfer {

namespace nb = nanobind;

class Executor {
 public:
  virtual ~Executor() = default;
  // One file, as `self._upload_file(bucket_name, object_name, path,
  // parallel=parallel)` stores it; `size` is the walk's (None when it could
  // not tell).
  virtual void upload(nb::handle bucket_name, nb::handle object_name,
                      nb::handle path, nb::handle size,
                      nb::handle parallel) = 0;
  // One object, as `self._download_file(bucket_name, object_name, path)`
  // writes it; `size` and `etag` are the listing's (None where it has none).
  virtual void download(nb::handle bucket_name, nb::handle object_name,
                        nb::handle path, nb::handle size, nb::handle etag) = 0;
  // The objects directly under `prefix` into `directory`, listed by the
  // executor itself (the engine lists while it downloads); false when the
  // caller is to list and hand each object over.
  virtual bool download_listed(nb::handle /*bucket_name*/,
                               nb::handle /*prefix*/,
                               nb::handle /*directory*/) {
    return false;
  }
  // Waits for the files in flight and raises the first failure, if any.
  virtual void finish() {}
  // After the caller's own part failed with `error`: nothing new starts,
  // what runs ends, and `error` is raised.
  [[noreturn]] virtual void finish(nb::python_error& error) { throw error; }
  // After a C++ error (std::bad_alloc) ended the caller's part: what runs
  // is stopped, without raising.
  virtual void abandon() noexcept {}
  // Whether each file moves at once, on the caller's thread, in the order
  // given: the per-file operations called as a plain loop would.
  virtual bool in_order() const { return false; }
};

// A tree call as executor_for() weighs it.
struct Call {
  const char* operation;  // its name, for the log
  bool upload;
  bool listing;  // a download of a prefix, which the engine lists itself
  nb::handle self, workers, progress;
  // The failure policy: none, the first failure ends the call; a callable,
  // each file's failure goes to failed(name, error) and the call goes on.
  nb::handle failed = nb::none();
  // An upload's files stored in parts carry on the unfinished uploads that
  // the store holds of their names, and keep theirs on a failure or a stop; a
  // download's files fetched in pieces carry on the pieces left beside them
  // (the engine's alone: the per-file operations have no such state).
  bool resume = false;
};

// The class's own per-file operations, those bound so far (None for the
// others), which the engine stands in for only while an instance's are these.
std::shared_ptr<Originals> originals_of(nb::handle cls);

// The docstring of a tree call: what it does (`what`), then the rules for
// `workers`, `progress` and failures, those of its `source` ("walk" or
// "listing") among them.
std::string tree_doc(const char* what, const char* source);

// The one place that decides which executor serves a call (and, past one
// worker, says why at DEBUG through the call's Outcome): workers=1 without
// progress is the per-file operations on this thread, call for call; else
// the engine when it may serve the instance and every value of `texts` is
// text; else the per-file operations on threads. TypeError or ValueError
// for a bad `workers` or `progress`, before anything moves.
std::unique_ptr<Executor> executor_for(const Originals& originals,
                                       const Call& call,
                                       std::initializer_list<nb::handle> texts);

// The executor that hands each item to `add` as a tuple: (object_name, path,
// size) for an upload, (object_name, path, size, etag) for a download.
std::unique_ptr<Executor> collector(nb::handle add);

// Runs `work`, which hands items to `executor`, then finishes it: a Python
// error of `work` itself ends the executor and is raised (with the failures
// of the files in flight noted on it).
template <typename Work>
void serve(Executor& executor, Work&& work) {
  try {
    std::forward<Work>(work)();
  } catch (nb::python_error& error) {
    executor.finish(error);
  } catch (...) {
    executor.abandon();
    throw;
  }
  executor.finish();
}

// `item` unpacked as `a, b, c = item` would unpack it, with its errors.
template <std::size_t N>
std::array<nb::object, N> unpack(nb::handle item) {
  nb::object fast = nb::steal(
      PySequence_Fast(item.ptr(), "a tree item must be a tuple or a list"));
  if (!fast.is_valid()) throw nb::python_error();
  auto size = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(fast.ptr()));
  if (size != N) {
    PyErr_Format(PyExc_ValueError,
                 size < N ? "not enough values to unpack (expected %zu, got "
                            "%zu)"
                          : "too many values to unpack (expected %zu, got %zu)",
                 N, size);
    throw nb::python_error();
  }
  std::array<nb::object, N> values;
  PyObject** items = PySequence_Fast_ITEMS(fast.ptr());
  for (std::size_t i = 0; i < N; ++i) values[i] = nb::borrow(items[i]);
  return values;
}

}  // namespace zarnel::transfer
