#include "transfer/tree.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "external/store.hpp"
#include "transfer/files.hpp"
#include "transfer/xml.hpp"

namespace zarnel::transfer {

using namespace nb::literals;

namespace {

// How often the caller's thread looks for Ctrl-C while it waits.
constexpr std::chrono::milliseconds tick{100};
// Later failures named in the notes of the raised one; the rest are counted.
constexpr std::size_t noted_failures = 20;

// The class's own operation, not one that an instance or a subclass put in
// its place.
bool own(nb::handle self, const char* name, nb::handle original) {
  nb::object dict = nb::getattr(self, "__dict__", nb::none());
  if (!dict.is_none() && PyDict_Check(dict.ptr()) &&
      PyDict_GetItemString(dict.ptr(), name) != nullptr) {
    return false;
  }
  return nb::getattr(self.type(), name, nb::none()).is(original);
}

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

nb::object engine_of(nb::handle self) {
  nb::object dict = nb::getattr(self, "__dict__", nb::none());
  if (dict.is_none() || !PyDict_Check(dict.ptr())) return nb::object();
  PyObject* engine = PyDict_GetItemString(dict.ptr(), "_engine");
  return engine == nullptr ? nb::object() : nb::borrow(engine);
}

std::string utf8(nb::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw nb::python_error();
  return std::string(data, static_cast<std::size_t>(size));
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

nb::object decoded(const std::string& text) {
  return nb::steal(PyUnicode_DecodeUTF8(
      text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

nb::object optional_text(const std::string& text) {
  return text.empty() ? nb::none() : nb::object(decoded(text));
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

nb::object os_error(int error_number, const std::string& message,
                    nb::handle filename) {
  nb::object error_class = nb::borrow(PyExc_OSError);
  if (filename.is_valid() && !filename.is_none()) {
    return error_class(error_number, message, filename);
  }
  return error_class(error_number, message);
}

}  // namespace

Originals::Originals(nb::handle module_name) {
  std::string name = nb::cast<std::string>(nb::str(module_name));
  std::string package = name.substr(0, name.rfind('.') + 1);
  nb::object transfers = nb::module_::import_((package + "transfers").c_str());
  check_workers = transfers.attr("check_workers");
  add_note = transfers.attr("add_note");
}

Tree::Tree(const Originals& originals, nb::handle self, nb::handle engine,
           Endpoint endpoint, int workers, nb::handle progress)
    : add_note_(originals.add_note),
      self_(nb::borrow(self)),
      engine_object_(nb::borrow(engine)),
      progress_(nb::borrow(progress)),
      base_url_(endpoint.base_url),
      engine_(std::move(endpoint), workers) {}

Tree::~Tree() {
  // Only reached without finish() when a C++ error ended the call: the
  // transfers are abandoned, and the names they held are dropped here.
  engine_.cancel();
  {
    nb::gil_scoped_release released;
    while (!engine_.finished()) engine_.wait(tick);
  }
  for (Done& done : engine_.take_done()) Py_XDECREF(done.token);
}

std::unique_ptr<Tree> Tree::for_upload(const Originals& originals,
                                       nb::handle self, nb::handle workers,
                                       nb::handle progress) {
  bool own_operations = own(self, "_upload_file", originals.upload_file);
  return make(originals, own_operations, self, workers, progress);
}

std::unique_ptr<Tree> Tree::for_download(const Originals& originals,
                                         nb::handle self, nb::handle workers,
                                         nb::handle progress) {
  bool own_operations =
      own(self, "_download_file", originals.download_file) &&
      own(self, "_bucket_list_files", originals.bucket_list_files);
  return make(originals, own_operations, self, workers, progress);
}

std::unique_ptr<Tree> Tree::make(const Originals& originals,
                                 bool own_operations, nb::handle self,
                                 nb::handle workers, nb::handle progress) {
  int count = engine_workers(originals, workers, progress);
  if (count == 0 || !own_operations) return nullptr;
  nb::object engine = engine_of(self);
  if (!engine.is_valid()) return nullptr;
  std::optional<Endpoint> endpoint = external::store_endpoint(engine);
  if (!endpoint) return nullptr;
  return std::unique_ptr<Tree>(
      new Tree(originals, self, engine, std::move(*endpoint), count, progress));
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
  engine_.start(std::nullopt, !progress_.is_none());
}

void Tree::upload(nb::handle get_content_type, nb::handle bucket_name,
                  nb::handle object_name, nb::handle file_name,
                  nb::handle parallel) {
  drain();
  if (first_.is_valid()) raise_first(first_);
  if (!PyUnicode_Check(bucket_name.ptr()) ||
      !PyUnicode_Check(object_name.ptr())) {
    // What the storage client would say of such names, raised here.
    self_.attr("_upload_file")(bucket_name, object_name, file_name,
                               "parallel"_a = parallel);
    return;
  }
  if (!check_object_name_.is_valid()) {
    check_object_name_ =
        nb::module_::import_("minio.helpers").attr("check_object_name");
  }
  check_object_name_(object_name);  // the storage client's own refusal
  Job job;
  job.kind = Job::Kind::kPut;
  job.bucket = utf8(bucket_name);
  job.object_name = utf8(object_name);
  nb::object type = nb::borrow(get_content_type)(object_name);
  job.content_type = header_value(type);
  job.path = fs_bytes(file_name);
  prepare_bucket(bucket_name, job.bucket);

  int error_number = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    nb::gil_scoped_release released;
    job.body.clear();
    error_number = read_for_upload(job.path, single_put_limit, in_memory_limit,
                                   job.size, job.body, job.sha256_hex);
    if (error_number != EAGAIN) break;
  }
  if (error_number != 0) {
    nb::object error =
        os_error(error_number, std::strerror(error_number), file_name);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())),
                    error.ptr());
    throw nb::python_error();
  }
  if (job.sha256_hex.empty()) {
    // Larger than one request takes: the storage client's parts, here on the
    // caller's thread while the engine goes on with the rest.
    self_.attr("_upload_file")(bucket_name, object_name, file_name,
                               "parallel"_a = parallel);
    if (!progress_.is_none()) progress_(object_name, job.size);
    return;
  }
  job.body_in_memory = job.size <= in_memory_limit;
  if (!job.body_in_memory) job.body.clear();
  job.token = nb::borrow(object_name).release().ptr();
  start_once();
  while (!engine_.try_submit(job)) {
    {
      nb::gil_scoped_release released;
      engine_.wait(tick, true);
    }
    drain();
    if (PyErr_CheckSignals() != 0 || first_.is_valid()) {
      Py_XDECREF(job.token);
      if (PyErr_Occurred()) throw nb::python_error();
      raise_first(first_);
    }
  }
}

bool Tree::download(nb::handle bucket_name, nb::handle prefix,
                    nb::handle directory) {
  if (!PyUnicode_Check(bucket_name.ptr()) || !PyUnicode_Check(prefix.ptr()) ||
      !PyUnicode_Check(directory.ptr())) {
    return false;
  }
  Listing listing;
  listing.bucket = utf8(bucket_name);
  listing.prefix = utf8(prefix);
  listing.directory = fs_bytes(directory);
  prepare_bucket(bucket_name, listing.bucket);
  started_ = true;
  engine_.start(std::move(listing), !progress_.is_none());
  finish();
  return true;
}

void Tree::drain() {
  for (Done& done : engine_.take_done()) {
    nb::object name = done.token != nullptr ? nb::steal(done.token)
                                            : (done.object_name.empty()
                                                   ? nb::object(nb::none())
                                                   : decoded(done.object_name));
    done.token = nullptr;
    switch (done.kind) {
      case Done::Kind::kMoved:
        if (!progress_.is_none() && !first_.is_valid()) {
          try {
            progress_(name, done.size);
          } catch (nb::python_error& error) {
            record(nb::borrow(error.value()), name);
          }
        }
        break;
      case Done::Kind::kFailed:
        record(make_error(*done.failure), name);
        break;
      case Done::Kind::kWarning:
        self_.attr("_log").attr("warning")(
            nb::str("对象名不能用作本地文件名，已跳过：{!r}").format(name));
        break;
      case Done::Kind::kSkipped:
        break;
    }
  }
}

void Tree::record(nb::object error, nb::handle name) {
  if (PyErr_GivenExceptionMatches(error.ptr(), PyExc_KeyboardInterrupt)) {
    engine_.cancel();  // Ctrl-C in a progress call
  }
  if (!first_.is_valid()) {
    first_ = std::move(error);
    engine_.stop();
  } else if (later_.size() < noted_failures) {
    later_.emplace_back(nb::borrow(name), std::move(error));
  } else {
    ++unnoted_;
  }
}

nb::object Tree::make_error(const Failure& failure) {
  switch (failure.kind) {
    case Failure::Kind::kStore: {
      nb::object error_module = nb::module_::import_("minio.error");
      nb::bytes body(failure.body.data(), failure.body.size());
      bool xml =
          failure.content_type.find("application/xml") != std::string::npos;
      std::optional<StoreError> parsed;
      if (xml) parsed = parse_error(failure.body);
      if (!parsed) {
        // As the storage client reports an answer that is no S3 error.
        return error_module.attr("InvalidResponseError")(
            failure.status, optional_text(failure.content_type),
            optional_text(failure.body));
      }
      nb::dict headers;
      if (!failure.content_type.empty()) {
        headers["Content-Type"] = failure.content_type;
      }
      if (!failure.request_id.empty()) {
        headers["x-amz-request-id"] = failure.request_id;
      }
      if (!failure.host_id.empty()) headers["x-amz-id-2"] = failure.host_id;
      nb::object response =
          nb::module_::import_("urllib3").attr("HTTPResponse")(
              "body"_a = body, "headers"_a = headers,
              "status"_a = failure.status, "preload_content"_a = true);
      const std::string& bucket =
          parsed->bucket.empty() ? failure.bucket : parsed->bucket;
      const std::string& key =
          parsed->key.empty() ? failure.object_name : parsed->key;
      return error_module.attr("S3Error")(
          response, optional_text(parsed->code), optional_text(parsed->message),
          optional_text(parsed->resource.empty() ? failure.resource
                                                 : parsed->resource),
          optional_text(parsed->request_id.empty() ? failure.request_id
                                                   : parsed->request_id),
          optional_text(parsed->host_id.empty() ? failure.host_id
                                                : parsed->host_id),
          optional_text(bucket), optional_text(key));
    }
    case Failure::Kind::kTransport: {
      std::string what = failure.object_name.empty()
                             ? "listing of " + failure.bucket
                             : failure.object_name;
      std::string message = "transfer of " + what + " with " + base_url_ +
                            " failed: " + failure.message;
      if (failure.os_errno != 0) {
        return os_error(failure.os_errno, message, nb::handle());
      }
      PyObject* kind = PyExc_ConnectionError;
      if (failure.curl_code == CURLE_OPERATION_TIMEDOUT) {
        kind = PyExc_TimeoutError;
      }
      return nb::borrow(kind)(message);
    }
    case Failure::Kind::kSystem: {
      nb::object path = nb::steal(PyUnicode_DecodeFSDefaultAndSize(
          failure.path.data(), static_cast<Py_ssize_t>(failure.path.size())));
      return os_error(failure.os_errno, std::strerror(failure.os_errno), path);
    }
    case Failure::Kind::kValue:
      return nb::borrow(PyExc_ValueError)(decoded(failure.message));
  }
  return nb::borrow(PyExc_RuntimeError)("unknown transfer failure");
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
  if (started_) {
    nb::object interrupt = wait_until_finished();
    if (interrupt.is_valid()) raise_first(interrupt);
  }
  if (first_.is_valid()) raise_first(first_);
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
  // What the engine reports from now on only adds to the notes of `value`.
  nb::object earlier = first_;
  first_ = value;
  // A Ctrl-C while it waits only abandons the running transfers: the call
  // is ending with `value` already.
  if (started_) wait_until_finished();
  if (earlier.is_valid() && !earlier.is(value)) {
    later_.insert(later_.begin(), {nb::none(), earlier});
  }
  raise_first(value);
}

void Tree::raise_first(nb::object error) {
  // A note where the error takes one, else the log, as the thread path does.
  auto report = [&](const std::string& text) { add_note_(error, text); };
  for (auto& [name, other] : later_) {
    if (other.is(error)) continue;
    std::string where =
        name.is_none() ? "" : " " + nb::cast<std::string>(nb::repr(name));
    report("also failed" + where + ": " +
           nb::cast<std::string>(other.type().attr("__name__")) + ": " +
           nb::cast<std::string>(nb::str(other)));
  }
  if (unnoted_ > 0) {
    report("and " + std::to_string(unnoted_) + " more failed transfers");
  }
  later_.clear();
  unnoted_ = 0;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())),
                  error.ptr());
  throw nb::python_error();
}

}  // namespace zarnel::transfer
