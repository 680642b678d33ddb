// The engine's inside: each kind of transfer (one request for a small file,
// a file stored in parts, a file fetched in ranges, the pages of a listing)
// is a MetaRequest with its own states, which says what request comes next
// and what an answer means for it. The Loop, on the engine's thread, only
// schedules requests within the workers and hands each finished one back to
// the MetaRequest that asked for it.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transfer/engine.hpp"
#include "transfer/transfer.hpp"

namespace zarnel::transfer {

class Loop;

class MetaRequest {
 public:
  virtual ~MetaRequest() = default;
  // The next request to send, or nothing for now (all sent, waiting for
  // answers, or no worker free: Loop::room()).
  virtual std::unique_ptr<Transfer> next_request(Loop& loop) = 0;
  // A request of its came back, done or (`transfer->failure`) failed, once
  // the loop's retries are spent.
  virtual void finished(Loop& loop, std::unique_ptr<Transfer> transfer,
                        bool done) = 0;
  // A request of its that will not come back (a stop, Ctrl-C).
  virtual void dropped(Loop& loop, std::unique_ptr<Transfer> transfer) = 0;
  // Its request is tried again after `transfer`'s answer.
  virtual void retrying(const Transfer& transfer) { (void)transfer; }
  // Nothing new starts but what leaves the store clean; a job not yet
  // answered is skipped.
  virtual void stop(Loop& loop) = 0;
  // Nothing of it runs and nothing is left to send.
  virtual bool ended() const = 0;
};

// A job's transfer: one request, in parts, or in ranges, by its kind and
// size; a listing's pages.
std::unique_ptr<MetaRequest> make_transfer(Job job);
std::unique_ptr<MetaRequest> make_upload(Job job);    // put.cpp
std::unique_ptr<MetaRequest> make_download(Job job);  // get.cpp
std::unique_ptr<MetaRequest> make_pages(Listing listing, int workers);

// What the engine's thread owns; nothing here is shared with the caller's
// thread except through `shared`.
class Loop {
 public:
  Loop(const Endpoint& endpoint, int workers, Shared& shared, CURLM* multi);
  ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  // Until every job is answered (or, after Ctrl-C, the uploads in parts are
  // dropped within a bound); then every job still held is skipped.
  void run(std::optional<Listing> listing);

  // For the kinds. An idle request, owned by `owner`.
  std::unique_ptr<Transfer> transfer(MetaRequest& owner);
  void recycle(std::unique_ptr<Transfer> transfer);
  void launch(std::unique_ptr<Transfer> transfer);
  // The requests launched go out now (on kept connections), before the
  // caller's thread does anything else.
  void send_now();
  void retry_later(std::unique_ptr<Transfer> transfer, std::string why);
  // A request in flight taken back unanswered (its connection closes).
  void withdraw(Transfer* transfer);
  // Whether a worker is free for one more request.
  bool room() const;
  // Work was done without a request: the loop comes back without waiting.
  void keep_going() { progressed_ = true; }
  void post(Done done);
  void fail(const Job& job, Failure failure);
  // A file's failure, named by its job (bucket, object name, local path).
  void fail_file(const Job& job, Failure failure);
  void skip(const Job& job);
  // The jobs waiting to start, and the ones a listing adds.
  std::size_t queued();
  void enqueue(std::vector<Job> jobs);
  // Pages handed to the caller and not yet taken.
  int pages_waiting();
  bool stopping() const { return stopped_; }
  int workers() const { return workers_; }

  // Bytes of parts read into memory, over every file in parts.
  std::uint64_t parts_in_memory = 0;

 private:
  void look_at_caller();
  void drop(std::unique_ptr<Transfer> transfer);
  void stop_all();
  void cancel_all();
  void schedule();
  void start_jobs();
  void retry_due();
  bool idle() const;
  void perform();
  void ended(std::unique_ptr<Transfer> transfer, CURLcode result);
  void wait();
  void answer_rest();

  const Endpoint& endpoint_;
  int workers_;
  Shared& shared_;
  CURLM* multi_;
  std::vector<std::unique_ptr<MetaRequest>> metas_;
  std::vector<std::unique_ptr<Transfer>> running_;  // in the multi handle
  std::vector<std::unique_ptr<Transfer>> retrying_;
  std::vector<std::unique_ptr<Transfer>> idle_;
  bool stopped_ = false, cancelled_ = false, input_closed_ = false;
  // A request ended (or work was done) since the last wait.
  bool progressed_ = false;
  std::size_t queued_ = 0;
  std::chrono::steady_clock::time_point deadline_{};
};

}  // namespace zarnel::transfer
