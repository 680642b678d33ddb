// A bucket's objects listed as the storage client lists them for
// list_objects(recursive=True): ListObjectsV2 pages of 1,000 keys, every
// depth, names url-encoded, signed by libcurl. The pages are fetched and
// read on a thread of the lister's own, without the GIL, one page ahead of
// the caller: while the caller's thread turns a page into records, the next
// one is on its way. At most two pages are held at once (the caller's and
// the one waiting for it). Nothing here touches Python.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "transfer/engine.hpp"
#include "transfer/xml.hpp"

namespace zarnel::transfer {

class Lister {
 public:
  // What next() hands over: a page, the end, a failure (a store's answer or a
  // transport error, after the retries), or nothing yet. `retried` says why
  // each request since the last call is being tried again.
  struct Step {
    enum class Kind { kWaiting, kPage, kEnd, kFailed } kind = Kind::kWaiting;
    RecordPage page;
    std::string body;  // an irregular page's XML, for the storage client
    std::optional<Failure> failure;
    std::vector<std::string> retried;
  };

  Lister(Endpoint endpoint, std::string region, std::string bucket,
         std::string prefix);
  // Cancels and joins (a finished thread at once).
  ~Lister();
  Lister(const Lister&) = delete;
  Lister& operator=(const Lister&) = delete;

  void start();
  // Waits up to `timeout` for the next step.
  Step next(std::chrono::milliseconds timeout);
  // The thread stops within its 100 ms poll and closes its connection;
  // join() waits for it.
  void cancel();
  void join();

 private:
  struct Answer;
  // The one request of the easy handle, on the lister's multi handle.
  struct Request {
    CURLM* multi;
    CURL* easy;
    Answer* answer;
    std::string url;
    bool added = false;
    ~Request() { abandon(); }
    void begin(std::string to);
    // Runs it to its end, or to cancel(), and takes it off the multi handle.
    CURLcode complete(Lister& lister);
    void abandon();
  };
  void run();
  void list_all();
  Failure failure(CURLcode result, CURL* easy, const Answer& answer,
                  const std::string& url) const;
  void post(Step step);
  bool cancelled();

  Endpoint endpoint_;
  std::string region_, bucket_, prefix_;

  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_: the page waiting for the caller (at most one), the
  // end or the failure after it, and the retries not yet handed over.
  std::deque<Step> ready_;
  std::vector<std::string> retried_;
  bool cancelled_ = false;
  CURLM* multi_ = nullptr;  // for curl_multi_wakeup from cancel()
  std::thread thread_;
};

}  // namespace zarnel::transfer
