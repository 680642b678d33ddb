// A tree operation's files moved by the transfer engine, seen from the
// caller's thread: it tells whether the engine may serve a call (for
// transfer/plan.cpp, which decides), hands the planned files over (or has
// the engine list a prefix), and turns what the engine reports into progress
// calls, warnings and log lines; its failures go to the call's
// zarnel.outcome Outcome, which makes and raises the call's Python error.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <memory>
#include <string>
#include <vector>

#include "transfer/engine.hpp"

namespace zarnel::transfer {

namespace nb = nanobind;

// The class's own per-file operations, to tell them from overrides, and the
// check of `workers` that the thread path makes too.
struct Originals {
  Originals();
  nb::object check_workers, outcome;
  nb::object upload_file, download_file, bucket_list_files;
};

class Tree {
 public:
  // The engine for `operation` when it serves it: more than one worker, the
  // per-file operations it stands in for the class's own (for a download
  // that `listing` makes, _bucket_list_files too), `_engine` a plain-HTTP
  // client of the SDK's own class. Nothing otherwise, and why in `why`: the
  // call then moves its files through the per-file operations. With a
  // callable `failed`, the call goes on past a file's failure, which goes to
  // `failed(name, error)` instead of ending the call.
  static std::unique_ptr<Tree> for_upload(const Originals& originals,
                                          const char* operation,
                                          nb::handle self, nb::handle workers,
                                          nb::handle progress,
                                          nb::handle failed, std::string& why);
  static std::unique_ptr<Tree> for_download(const Originals& originals,
                                            const char* operation,
                                            nb::handle self, nb::handle workers,
                                            nb::handle progress,
                                            nb::handle failed, bool listing,
                                            std::string& why);
  ~Tree();
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  // One file, as `self._upload_file(bucket_name, object_name, file_name,
  // parallel=parallel)` would store it.
  void upload(nb::handle get_content_type, nb::handle bucket_name,
              nb::handle object_name, nb::handle file_name,
              nb::handle parallel);
  // One object, as `self._download_file(bucket_name, object_name,
  // file_name)` would write it, checked against the listing's `size` and
  // `etag` (None: no ETag). What the engine cannot check (names that are not
  // text, no size) goes through that call, on this thread.
  void download(nb::handle bucket_name, nb::handle object_name,
                nb::handle file_name, nb::handle size, nb::handle etag);
  // The objects directly under `prefix` (ending in "/") into `directory`
  // (ending in "/"), listed by the engine while they download. False when
  // the values are not plain text, which the engine does not list.
  bool download_listed(nb::handle bucket_name, nb::handle prefix,
                       nb::handle directory);
  // The files stored in parts or fetched in pieces from now on resume
  // (Job::resume).
  void resume() { resume_ = true; }
  // Waits for the transfers and raises the first failure, if any.
  void finish();
  // After the caller's own part failed with `error`: no new transfer starts
  // (Ctrl-C abandons the running ones too), then `error` is raised.
  [[noreturn]] void finish(nb::python_error& error);

 private:
  Tree(const Originals& originals, const char* operation, nb::handle self,
       nb::handle engine, Endpoint endpoint, int workers, nb::handle progress,
       nb::handle failed);
  static std::unique_ptr<Tree> make(const Originals& originals,
                                    const char* operation, const char* own,
                                    nb::handle self, nb::handle workers,
                                    nb::handle progress, nb::handle failed,
                                    std::string& why);
  bool goes_on() const { return !failed_to_.is_none(); }
  void prepare_bucket(nb::handle bucket_name, const std::string& bucket);
  // A job for the object, its name checked as the storage client checks it.
  Job named_job(Job::Kind kind, nb::handle bucket_name, nb::handle object_name);
  void start_once();
  // Raises the call's first failure once there is one.
  void raise_if_failed();
  // Hands `job` to the engine, waiting for room; raises the first failure
  // (or Ctrl-C) seen meanwhile.
  void submit(Job& job);
  // The per-file operation's result counted and reported as a moved file.
  void moved_here(nb::handle object_name, nb::handle size);
  void drain();
  void record(nb::object error, nb::handle name);
  nb::object report(const Failure& failure);
  // Waits, draining, until the engine has ended; a Ctrl-C meanwhile abandons
  // the running transfers and is returned.
  nb::object wait_until_finished();
  // The outcome's end: raises `error` (or, without one, the first failure).
  void end(nb::handle error);

  nb::object outcome_, self_, engine_object_, progress_, failed_to_,
      check_object_name_;
  std::string endpoint_;  // host:port
  Engine engine_;
  bool started_ = false, failed_ = false, resume_ = false;
  std::vector<std::string> buckets_;
  std::string made_directory_;  // the last folder that a download made
  std::uint64_t files_ = 0, bytes_ = 0;
};

}  // namespace zarnel::transfer
