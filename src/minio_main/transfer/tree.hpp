// A tree operation's files moved by the transfer engine, seen from the
// caller's thread: it decides whether the engine serves a call, hands the
// walk's files over, and turns what the engine reports into progress calls,
// warnings and the call's Python error.
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
  explicit Originals(nb::handle module_name);
  nb::object upload_file, download_file, bucket_list_files, check_workers,
      add_note;
};

class Tree {
 public:
  // The engine for this call when it serves it: more than one worker, the
  // per-file operations the class's own, `_engine` a plain-HTTP client of the
  // SDK's own class. Nothing otherwise: the call then moves its files through
  // the per-file operations.
  static std::unique_ptr<Tree> for_upload(const Originals& originals,
                                          nb::handle self, nb::handle workers,
                                          nb::handle progress);
  static std::unique_ptr<Tree> for_download(const Originals& originals,
                                            nb::handle self, nb::handle workers,
                                            nb::handle progress);
  ~Tree();
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  // One file of the walk, as `self._upload_file(bucket_name, object_name,
  // file_name, parallel=parallel)` would store it.
  void upload(nb::handle get_content_type, nb::handle bucket_name,
              nb::handle object_name, nb::handle file_name,
              nb::handle parallel);
  // The objects directly under `prefix` (ending in "/") into `directory`
  // (ending in "/"), listed while they download. False when the values are
  // not plain text, which the per-file operations then take.
  bool download(nb::handle bucket_name, nb::handle prefix,
                nb::handle directory);
  // Waits for the transfers and raises the first failure, if any.
  void finish();
  // After the caller's own part failed with `error`: no new transfer starts
  // (Ctrl-C abandons the running ones too), then `error` is raised.
  [[noreturn]] void finish(nb::python_error& error);

 private:
  Tree(const Originals& originals, nb::handle self, nb::handle engine,
       Endpoint endpoint, int workers, nb::handle progress);
  static std::unique_ptr<Tree> make(const Originals& originals,
                                    bool own_operations, nb::handle self,
                                    nb::handle workers, nb::handle progress);
  void prepare_bucket(nb::handle bucket_name, const std::string& bucket);
  void start_once();
  void drain();
  void record(nb::object error, nb::handle name);
  nb::object make_error(const Failure& failure);
  // Waits, draining, until the engine has ended; a Ctrl-C meanwhile abandons
  // the running transfers and is returned.
  nb::object wait_until_finished();
  [[noreturn]] void raise_first(nb::object error);

  nb::object add_note_, self_, engine_object_, progress_, check_object_name_;
  std::string base_url_;
  Engine engine_;
  bool started_ = false;
  std::vector<std::string> buckets_;
  nb::object first_;
  std::vector<std::pair<nb::object, nb::object>> later_;
  std::size_t unnoted_ = 0;
};

}  // namespace zarnel::transfer
