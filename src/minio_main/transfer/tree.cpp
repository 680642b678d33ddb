#include "transfer/tree.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "external/imports.hpp"
#include "external/store.hpp"
#include "host.hpp"
#include "transfer/files.hpp"
#include "transfer/report.hpp"

namespace zarnel::transfer {

using namespace nb::literals;

namespace {

// How often the caller's thread looks for Ctrl-C while it waits.
constexpr std::chrono::milliseconds tick{100};

// `workers` checked as the thread path checks it (TypeError/ValueError), or
// 0 when it is 1, which the engine does not serve.
int engine_workers(const Originals& originals, nb::handle workers,
                   nb::handle progress) {
  nb::object count = originals.check_workers(workers);
  if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
    return 0;  // the thread path reports it
  }
  int overflow = 0;
  long value = PyLong_AsLongAndOverflow(count.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow != 0 || value > max_workers) return max_workers;
  return value > 1 ? static_cast<int>(value) : 0;
}

// A path as the file system takes it: os.fspath, then its bytes.
std::string fs_bytes(nb::handle path) {
  nb::object encoded = nb::steal(PyOS_FSPath(path.ptr()));
  if (!encoded.is_valid()) throw nb::python_error();
  if (PyUnicode_Check(encoded.ptr())) {
    encoded = nb::steal(PyUnicode_EncodeFSDefault(encoded.ptr()));
    if (!encoded.is_valid()) throw nb::python_error();
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.ptr(), &data, &size) != 0) {
    throw nb::python_error();
  }
  if (std::memchr(data, 0, static_cast<std::size_t>(size)) != nullptr) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    throw nb::python_error();
  }
  return std::string(data, static_cast<std::size_t>(size));
}

// The content type as the storage client sends it: its default for an empty
// one, and what the HTTP layer refuses (a line break, text beyond Latin-1)
// refused here too.
std::string header_value(nb::handle value) {
  int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw nb::python_error();
  if (truth == 0) return "application/octet-stream";
  nb::object latin1 = nb::steal(PyUnicode_AsLatin1String(nb::str(value).ptr()));
  if (!latin1.is_valid()) throw nb::python_error();
  std::string text(PyBytes_AS_STRING(latin1.ptr()),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(latin1.ptr())));
  if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    nb::object message = nb::str("Invalid header value {!r}").format(value);
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw nb::python_error();
  }
  return text;
}

}  // namespace

Originals::Originals()
    : check_workers(external::support("transfers", "check_workers")),
      outcome(external::support("outcome", "Outcome")) {}

Tree::Tree(const Originals& originals, const char* operation, nb::handle self,
           nb::handle engine, Endpoint endpoint, int workers,
           nb::handle progress, nb::handle failed)
    : self_(nb::borrow(self)),
      engine_object_(nb::borrow(engine)),
      progress_(nb::borrow(progress)),
      failed_to_(failed.is_valid() ? nb::borrow(failed) : nb::none()),
      endpoint_(endpoint.host()),
      engine_(std::move(endpoint), workers) {
  outcome_ = originals.outcome(
      operation, "the transfer engine",
      std::to_string(workers) + " transfers at once with " + endpoint_);
}

Tree::~Tree() {
  // Only reached without finish() when a C++ error ended the call: the
  // transfers are abandoned, and the names they held are dropped here.
  engine_.cancel();
  {
    nb::gil_scoped_release released;
    while (!engine_.finished()) engine_.wait(tick);
  }
  for (Done& done : engine_.take_done())
    Py_XDECREF(static_cast<PyObject*>(done.token));
}

std::unique_ptr<Tree> Tree::for_upload(const Originals& originals,
                                       const char* operation, nb::handle self,
                                       nb::handle workers, nb::handle progress,
                                       nb::handle failed, std::string& why) {
  const char* overridden =
      external::own_operation(self, "_upload_file", originals.upload_file)
          ? nullptr
          : "_upload_file";
  return make(originals, operation, overridden, self, workers, progress, failed,
              why);
}

std::unique_ptr<Tree> Tree::for_download(const Originals& originals,
                                         const char* operation, nb::handle self,
                                         nb::handle workers,
                                         nb::handle progress, nb::handle failed,
                                         bool listing, std::string& why) {
  const char* overridden = nullptr;
  if (!external::own_operation(self, "_download_file",
                               originals.download_file)) {
    overridden = "_download_file";
  } else if (listing && !external::own_operation(self, "_bucket_list_files",
                                                 originals.bucket_list_files)) {
    overridden = "_bucket_list_files";
  }
  return make(originals, operation, overridden, self, workers, progress, failed,
              why);
}

std::unique_ptr<Tree> Tree::make(const Originals& originals,
                                 const char* operation, const char* overridden,
                                 nb::handle self, nb::handle workers,
                                 nb::handle progress, nb::handle failed,
                                 std::string& why) {
  int count = engine_workers(originals, workers, progress);
  if (count == 0) {
    why = "one worker";
    return nullptr;
  }
  if (overridden != nullptr) {
    why = std::string(overridden) + " is not the class's own";
    return nullptr;
  }
  // Whether the client is one the engine can serve: decided in one place
  // for tree calls, listings and sync.
  nb::object engine;
  std::optional<Endpoint> endpoint =
      external::engine_endpoint(self, engine, why);
  if (!endpoint) return nullptr;
  return std::unique_ptr<Tree>(new Tree(originals, operation, self, engine,
                                        std::move(*endpoint), count, progress,
                                        failed));
}

void Tree::prepare_bucket(nb::handle bucket_name, const std::string& bucket) {
  for (const std::string& known : buckets_) {
    if (known == bucket) return;
  }
  engine_.set_region(bucket,
                     external::store_region(engine_object_, bucket_name));
  buckets_.push_back(bucket);
}

void Tree::start_once() {
  if (started_) return;
  started_ = true;
  engine_.start(std::nullopt, !progress_.is_none(), goes_on());
}

Job Tree::named_job(Job::Kind kind, nb::handle bucket_name,
                    nb::handle object_name) {
  if (!check_object_name_.is_valid()) {
    check_object_name_ =
        nb::module_::import_("minio.helpers").attr("check_object_name");
  }
  check_object_name_(object_name);  // the storage client's own refusal
  Job job;
  job.kind = kind;
  job.bucket = host::utf8(bucket_name);
  job.object_name = host::utf8(object_name);
  return job;
}

void Tree::upload(nb::handle get_content_type, nb::handle bucket_name,
                  nb::handle object_name, nb::handle file_name,
                  nb::handle parallel) {
  raise_if_failed();
  if (!PyUnicode_Check(bucket_name.ptr()) ||
      !PyUnicode_Check(object_name.ptr())) {
    // What the storage client would say of such names, raised here.
    self_.attr("_upload_file")(bucket_name, object_name, file_name,
                               "parallel"_a = parallel);
    return;
  }
  Job job = named_job(Job::Kind::kPut, bucket_name, object_name);
  nb::object type = nb::borrow(get_content_type)(object_name);
  job.content_type = header_value(type);
  job.path = fs_bytes(file_name);
  prepare_bucket(bucket_name, job.bucket);

  int error_number = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    nb::gil_scoped_release released;
    job.body.clear();
    error_number =
        read_for_upload(job.path, single_put_limit, in_memory_limit, job.size,
                        job.body, job.sha256_hex, job.crc32_hex, resume_);
    if (error_number != changed) break;  // written to while read: once more
  }
  if (error_number != 0) {
    Failure failure{error_number > 0 ? Failure::Kind::kSystem
                                     : Failure::Kind::kChanged};
    failure.os_errno = error_number > 0 ? error_number : 0;
    failure.path = job.path;
    failure.message = error_number == not_regular
                          ? "is no longer a regular file"
                          : "changed while it was read";
    nb::object error = outcome_.attr("error_of")(report(failure));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())),
                    error.ptr());
    throw nb::python_error();
  }
  job.body_in_memory = job.size <= in_memory_limit;
  if (!job.body_in_memory) job.body.clear();
  job.resume = resume_;
  job.token = nb::borrow(object_name).release().ptr();
  submit(job);
}

void Tree::download(nb::handle bucket_name, nb::handle object_name,
                    nb::handle file_name, nb::handle size, nb::handle etag) {
  raise_if_failed();
  if (!PyUnicode_Check(bucket_name.ptr()) ||
      !PyUnicode_Check(object_name.ptr()) || !PyLong_Check(size.ptr())) {
    self_.attr("_download_file")(bucket_name, object_name, file_name);
    return moved_here(object_name, size);
  }
  Job job = named_job(Job::Kind::kGet, bucket_name, object_name);
  job.path = fs_bytes(file_name);
  job.size = PyLong_AsUnsignedLongLong(size.ptr());
  if (PyErr_Occurred()) throw nb::python_error();  // a negative size
  if (PyUnicode_Check(etag.ptr())) job.etag = host::utf8(etag);
  job.resume = resume_;
  prepare_bucket(bucket_name, job.bucket);
  // As the storage client makes the file's folder before it downloads.
  std::string::size_type slash = job.path.rfind('/');
  std::string folder =
      slash == std::string::npos ? "" : job.path.substr(0, slash ? slash : 1);
  if (!folder.empty() && folder != made_directory_) {
    int error_number = 0;
    bool file_in_the_way = false;
    {
      nb::gil_scoped_release released;
      error_number = make_directories(folder);
      struct stat status;
      file_in_the_way = error_number != 0 &&
                        ::stat(folder.c_str(), &status) == 0 &&
                        !S_ISDIR(status.st_mode);
    }
    if (error_number != 0) {
      Failure failure{Failure::Kind::kSystem};
      failure.os_errno = error_number;
      failure.path = folder;
      if (file_in_the_way) {
        // What the storage client says of a file where the folder goes.
        failure.kind = Failure::Kind::kValue;
        failure.message = "path " + folder + " is not a directory";
      }
      nb::object error = outcome_.attr("error_of")(report(failure));
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())),
                      error.ptr());
      throw nb::python_error();
    }
    made_directory_ = folder;
  }
  job.token = nb::borrow(object_name).release().ptr();
  submit(job);
}

void Tree::raise_if_failed() {
  drain();
  if (!failed_) return;
  nb::object first = outcome_.attr("first");
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(first.ptr())),
                  first.ptr());
  throw nb::python_error();
}

void Tree::submit(Job& job) {
  start_once();
  while (!engine_.try_submit(job)) {
    {
      nb::gil_scoped_release released;
      engine_.wait(tick, true);
    }
    drain();
    if (PyErr_CheckSignals() != 0 || failed_) {
      Py_XDECREF(static_cast<PyObject*>(job.token));
      if (PyErr_Occurred()) throw nb::python_error();
      raise_if_failed();
    }
  }
}

void Tree::moved_here(nb::handle object_name, nb::handle size) {
  ++files_;
  if (PyLong_Check(size.ptr())) {
    bytes_ += PyLong_AsUnsignedLongLongMask(size.ptr());
  }
  if (!progress_.is_none()) progress_(object_name, size);
}

bool Tree::download_listed(nb::handle bucket_name, nb::handle prefix,
                           nb::handle directory) {
  if (!PyUnicode_Check(bucket_name.ptr()) || !PyUnicode_Check(prefix.ptr()) ||
      !PyUnicode_Check(directory.ptr())) {
    return false;
  }
  Listing listing;
  listing.bucket = host::utf8(bucket_name);
  listing.prefix = host::utf8(prefix);
  listing.directory = fs_bytes(directory);
  listing.resume = resume_;
  prepare_bucket(bucket_name, listing.bucket);
  started_ = true;
  engine_.start(std::move(listing), !progress_.is_none());
  return true;
}

void Tree::drain() {
  for (Done& done : engine_.take_done()) {
    nb::object name =
        done.token != nullptr
            ? nb::steal(static_cast<PyObject*>(done.token))
            : (done.object_name.empty() ? nb::object(nb::none())
                                        : decoded(done.object_name));
    done.token = nullptr;
    switch (done.kind) {
      case Done::Kind::kMoved:
        ++files_;
        bytes_ += done.size;
        if (!progress_.is_none() && !failed_) {
          try {
            progress_(name, done.size);
          } catch (nb::python_error& error) {
            record(nb::borrow(error.value()), name);
          }
        }
        break;
      case Done::Kind::kFailed:
        if (goes_on()) {
          failed_to_(name, outcome_.attr("error_of")(report(*done.failure)));
        } else if (nb::cast<bool>(outcome_.attr("engine_failed")(
                       name, report(*done.failure)))) {
          failed_ = true;
          engine_.stop();
        }
        break;
      case Done::Kind::kWarning:
        external::warn(self_, "NAME_SKIPPED", name);
        break;
      case Done::Kind::kRetried:
        outcome_.attr("retried")(name, decoded(done.reason));
        break;
      case Done::Kind::kSkipped:
      case Done::Kind::kPage:  // only a listing for the caller makes these
        break;
    }
  }
}

void Tree::record(nb::object error, nb::handle name) {
  if (PyErr_GivenExceptionMatches(error.ptr(), PyExc_KeyboardInterrupt)) {
    engine_.cancel();  // Ctrl-C in a progress call
  } else if (goes_on()) {
    failed_to_(name, error);
    return;
  }
  if (nb::cast<bool>(outcome_.attr("failed")(name, error))) {
    failed_ = true;
    engine_.stop();
  }
}

nb::object Tree::report(const Failure& failure) {
  return report_of(failure, endpoint_);
}

nb::object Tree::wait_until_finished() {
  nb::object interrupt;
  for (;;) {
    drain();
    if (engine_.finished()) break;
    {
      nb::gil_scoped_release released;
      engine_.wait(tick);
    }
    if (PyErr_CheckSignals() != 0) {
      // Ctrl-C: the running transfers are abandoned, their files removed.
      nb::python_error caught;
      if (!interrupt.is_valid()) interrupt = nb::borrow(caught.value());
      engine_.cancel();
    }
  }
  drain();
  return interrupt;
}

void Tree::finish() {
  engine_.close_input();
  nb::object interrupt;
  if (started_) interrupt = wait_until_finished();
  end(interrupt.is_valid() ? nb::handle(interrupt) : nb::handle(Py_None));
}

void Tree::finish(nb::python_error& error) {
  nb::object value = nb::borrow(error.value());
  bool interrupted =
      PyErr_GivenExceptionMatches(error.type().ptr(), PyExc_KeyboardInterrupt);
  if (interrupted) {
    engine_.cancel();
  } else {
    engine_.stop();
  }
  // What the engine reports from now on only adds to the notes of `value`;
  // a Ctrl-C while it waits only abandons the running transfers: the call
  // is ending with `value` already.
  failed_ = true;
  if (started_) wait_until_finished();
  end(value);
  throw error;  // not reached: end() raises `value`
}

void Tree::end(nb::handle error) {
  outcome_.attr("moved")(files_, bytes_);
  files_ = bytes_ = 0;
  outcome_.attr("end")(error);
}

}  // namespace zarnel::transfer
