// The transfer engine: one request per file over libcurl's multi interface,
// on a thread of its own, without the GIL. The caller's thread walks (or
// waits) and hands files over through a bounded queue; what the engine
// finishes comes back as `Done` records that the caller's thread turns into
// progress calls, warnings and Python errors. Nothing here touches Python.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "transfer/xml.hpp"

namespace zarnel::transfer {

// Where requests go and how they are signed.
struct Endpoint {
  std::string base_url;  // "http://host:port", no trailing "/"
  std::string host() const { return base_url.substr(base_url.find("//") + 2); }
  std::string access_key, secret_key, session_token;
  bool sign = true;
};

// Why a transfer failed, in plain data: the caller's thread hands it to
// zarnel.outcome, which makes the Python error from it.
struct Failure {
  // kBody: a download whose body is not its object's (length, MD5);
  // kChanged: a file that is no longer the one that was read and hashed.
  enum class Kind { kStore, kTransport, kSystem, kValue, kBody, kChanged } kind;
  explicit Failure(Kind what) : kind(what) {}
  // kStore: the store's answer.
  long status = 0;
  std::string content_type, request_id, host_id, body;
  // kTransport: what libcurl said; kSystem: errno and the local path;
  // kBody, kChanged, kValue: `message`.
  int curl_code = 0;
  int os_errno = 0;
  std::string message, path;
  // The request's bucket, object name and URL path.
  std::string bucket, object_name, resource;
};

// A file handed to the engine. A PUT sends `body` (a small file read by the
// caller) or the file at `path` (re-read here), in parts when it is larger
// than single_put_limit (its SHA-256 then empty: each part has its own); a
// GET writes to `path`.
struct Job {
  enum class Kind { kPut, kGet } kind = Kind::kPut;
  std::string bucket, object_name;  // UTF-8
  std::string path;                 // local, in the file system's encoding
  std::string content_type;
  std::string body;
  bool body_in_memory = false;
  std::uint64_t size = 0;  // PUT: the body's; GET: the listing's
  std::string sha256_hex;  // PUT
  // PUT in parts: the CRC-32 of the whole file, stored with the object so
  // that a download can check it (its ETag is no MD5 of the content).
  std::string crc32_hex;
  // PUT in parts: an unfinished upload of the name that the store holds is
  // carried on (its parts checked against the file), and a failure or a stop
  // keeps it on the store instead of dropping it. GET in pieces: the pieces
  // an earlier call left beside the file are carried on, and a failure or a
  // stop leaves them for the next (get.cpp).
  bool resume = false;
  std::string etag;  // GET: from the listing
  // GET in pieces, resumed from a store that gives no ETag: the pieces
  // come only if the object was not written since this (If-Unmodified-Since).
  std::string unmodified_since;
  // The caller's name of the file, which only the caller's thread reads (a
  // strong reference to a Python object); it comes back in the job's Done.
  void* token = nullptr;
};

struct Done {
  // kRetried: a request that is tried again, `why` in `reason`; kPage: a
  // page of a listing for the caller.
  enum class Kind { kMoved, kFailed, kSkipped, kWarning, kRetried, kPage } kind;
  void* token = nullptr;
  std::string object_name;  // UTF-8, for the jobs that the listing made
  std::uint64_t size = 0;
  std::optional<Failure> failure;
  std::string reason;
  std::shared_ptr<RecordPage> page;

  explicit Done(Kind what, void* name = nullptr, std::string object = {},
                std::uint64_t bytes = 0, std::optional<Failure> why = {})
      : kind(what),
        token(name),
        object_name(std::move(object)),
        size(bytes),
        failure(std::move(why)) {}
};

// A listing that the engine fetches page by page, as the storage client asks
// for it. Into `directory` (which ends in "/"): the objects directly under
// `prefix` (which ends in "/"), each downloaded there while the next pages
// come. To the caller (`to_caller`): every object under `prefix`, each page
// a kPage Done, at most one page ahead of the caller.
struct Listing {
  std::string bucket, prefix, directory;
  bool to_caller = false;
  bool resume = false;  // the downloads' Job::resume
};

// What the caller's thread and the engine's thread share, under `mutex`.
struct Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Job> queue;
  std::vector<Done> done;
  std::vector<std::pair<std::string, std::string>> regions;
  bool input_closed = false, stopping = false, cancelled = false;
  bool started = false, ended = false;
  bool wake_on_moved = false, go_on = false;
  int pages_waiting = 0;  // kPage Dones not yet taken

  std::string region_of(const std::string& bucket);
  void post(Done done);
  // The one place that decides what a failure does to the call: with the
  // policy "stop", nothing new starts once one is seen.
  void fail(const Job& job, Failure failure);
};

class Loop;
class Engine {
 public:
  Engine(Endpoint endpoint, int workers);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Signs requests for `bucket` with `region` (before its first job).
  void set_region(const std::string& bucket, const std::string& region);
  // Starts the thread; with a listing, the engine makes its own jobs. With
  // `wake_on_moved`, every moved file wakes a waiting caller. The failure
  // policy: the first failure stops the call (nothing new starts), or, with
  // `go_on`, every job is tried and each one's outcome reported.
  void start(std::optional<Listing> listing, bool wake_on_moved,
             bool go_on = false);
  // Queues `job` if there is room, else leaves it and answers false.
  bool try_submit(Job& job);
  // Waits up to `timeout` for the end and for a Done, or (`for_room`) for
  // room in the queue instead of a Done.
  void wait(std::chrono::milliseconds timeout, bool for_room = false);
  // What has finished since the last call.
  std::vector<Done> take_done();
  // No more jobs will come.
  void close_input();
  // No new transfer starts; the running ones end.
  void stop();
  // The running transfers are abandoned too (Ctrl-C); the files being
  // stored in parts are dropped from the store.
  void cancel();
  // Whether the thread has ended (every job answered) or never started;
  // joins it then.
  bool finished();

 private:
  struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
  };
  void wake();

  Endpoint endpoint_;
  int workers_;
  std::unique_ptr<CURLM, MultiCleanup> multi_;  // woken from other threads
  Shared shared_;
  std::unique_ptr<Loop> loop_;
  std::thread thread_;
};

// The most files in flight on this path.
constexpr int max_workers = 256;
// The largest file sent in one PUT: the storage client's smallest part size,
// above which it uploads in parts.
constexpr std::uint64_t single_put_limit = 5ull * 1024 * 1024;
// The storage client's part size for a file of `size` bytes: 5 MiB, or the
// multiple of it that keeps the parts within 10,000.
std::uint64_t part_size_for(std::uint64_t size);
// A file larger than `ranged_limit` is downloaded in ranges of
// `range_size`, several at once.
constexpr std::uint64_t range_size = std::uint64_t{8} * 1024 * 1024;
constexpr std::uint64_t ranged_limit = 2 * range_size;
// Files up to this size are read whole by the caller; larger ones are read
// again by the engine while they are sent.
constexpr std::uint64_t in_memory_limit = std::uint64_t{128} * 1024;

// S3's encoding of an object name in a URL path: every byte but the
// unreserved ones and "/" as %XX, as the storage client does.
std::string encode_path(const std::string& name, bool keep_slash = true);

}  // namespace zarnel::transfer
