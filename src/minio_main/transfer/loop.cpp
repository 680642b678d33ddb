#include <algorithm>

#include "transfer/kinds.hpp"
#include "transfer/retry.hpp"

namespace zarnel::transfer {

using Clock = std::chrono::steady_clock;

namespace {

// How long Ctrl-C waits for the uploads in parts to be dropped.
constexpr auto abandon_time = std::chrono::milliseconds(800);

// Requests that leave the store clean, which Ctrl-C lets run: a start of an
// upload in parts (its answer names what to drop), a drop, a look for lost
// uploads.
bool cleans_up(const Transfer& transfer) {
  return transfer.step == Step::kCreate || transfer.step == Step::kAbort ||
         transfer.step == Step::kUploads;
}

}  // namespace

Loop::Loop(const Endpoint& endpoint, int workers, Shared& shared, CURLM* multi)
    : endpoint_(endpoint), workers_(workers), shared_(shared), multi_(multi) {}

Loop::~Loop() {
  for (auto& transfer : running_) {
    curl_multi_remove_handle(multi_, transfer->easy);
  }
}

std::unique_ptr<Transfer> Loop::transfer(MetaRequest& owner) {
  std::unique_ptr<Transfer> transfer;
  if (idle_.empty()) {
    transfer = std::make_unique<Transfer>();
  } else {
    transfer = std::move(idle_.back());
    idle_.pop_back();
  }
  transfer->owner = &owner;
  return transfer;
}

void Loop::recycle(std::unique_ptr<Transfer> transfer) {
  transfer->reset();
  transfer->job = Job();
  transfer->owner = nullptr;
  transfer->attempts = transfer->part = 0;
  transfer->range_fd = -1;
  transfer->query.clear();
  idle_.push_back(std::move(transfer));
}

void Loop::launch(std::unique_ptr<Transfer> transfer) {
  std::string region = shared_.region_of(transfer->job.bucket);
  if (transfer->begin(multi_, endpoint_, region)) {
    running_.push_back(std::move(transfer));
    return;
  }
  // A local step failed before anything was sent.
  ended(std::move(transfer), CURLE_OK);
}

void Loop::drop(std::unique_ptr<Transfer> transfer) {
  MetaRequest* owner = transfer->owner;
  owner->dropped(*this, std::move(transfer));
}

void Loop::send_now() {
  int still_running = 0;
  curl_multi_perform(multi_, &still_running);  // a failure: perform() says it
}

void Loop::retry_later(std::unique_ptr<Transfer> transfer, std::string why) {
  ++transfer->attempts;
  transfer->due = Clock::now() + retry::backoff(transfer->attempts);
  Done done{Done::Kind::kRetried, nullptr, transfer->job.object_name};
  done.reason = std::move(why);
  post(std::move(done));
  retrying_.push_back(std::move(transfer));
}

void Loop::withdraw(Transfer* transfer) {
  auto it =
      std::find_if(running_.begin(), running_.end(),
                   [transfer](const auto& t) { return t.get() == transfer; });
  if (it == running_.end()) return;
  curl_multi_remove_handle(multi_, (*it)->easy);
  std::unique_ptr<Transfer> taken = std::move(*it);
  running_.erase(it);
  recycle(std::move(taken));
}

bool Loop::room() const {
  return running_.size() + retrying_.size() <
         static_cast<std::size_t>(workers_);
}

void Loop::post(Done done) { shared_.post(std::move(done)); }

void Loop::fail(const Job& job, Failure failure) {
  shared_.fail(job, std::move(failure));
}

void Loop::fail_file(const Job& job, Failure failure) {
  failure.bucket = job.bucket;
  failure.object_name = job.object_name;
  failure.path = job.path;
  fail(job, std::move(failure));
}

void Loop::skip(const Job& job) {
  if (job.token != nullptr) post(Done{Done::Kind::kSkipped, job.token});
}

std::size_t Loop::queued() {
  std::lock_guard<std::mutex> lock(shared_.mutex);
  return shared_.queue.size();
}

void Loop::enqueue(std::vector<Job> jobs) {
  std::lock_guard<std::mutex> lock(shared_.mutex);
  for (Job& job : jobs) shared_.queue.push_back(std::move(job));
}

int Loop::pages_waiting() {
  std::lock_guard<std::mutex> lock(shared_.mutex);
  return shared_.pages_waiting;
}

void Loop::run(std::optional<Listing> listing) {
  if (listing) metas_.push_back(make_pages(std::move(*listing), workers_));
  for (;;) {
    look_at_caller();
    if (cancelled_ && Clock::now() >= deadline_) break;
    schedule();
    if (idle()) break;
    perform();
    wait();
  }
  answer_rest();
}

void Loop::look_at_caller() {
  bool stopping, cancelled;
  {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    stopping = shared_.stopping;
    cancelled = shared_.cancelled;
    input_closed_ = shared_.input_closed;
    if (stopping) {
      for (Job& job : shared_.queue) {
        shared_.done.push_back(Done{Done::Kind::kSkipped, job.token});
      }
      shared_.queue.clear();
    }
    queued_ = shared_.queue.size();
  }
  if (stopping && !stopped_) {
    stopped_ = true;
    shared_.changed.notify_all();  // room: the walk sees the stop
    stop_all();
  }
  if (cancelled && !cancelled_) {
    cancelled_ = true;
    deadline_ = Clock::now() + abandon_time;
    cancel_all();
  }
}

void Loop::stop_all() {
  // Nothing starts again but what leaves the store clean.
  for (auto it = retrying_.begin(); it != retrying_.end();) {
    if ((*it)->step == Step::kAbort || (*it)->step == Step::kUploads) {
      ++it;
      continue;
    }
    std::unique_ptr<Transfer> transfer = std::move(*it);
    it = retrying_.erase(it);
    drop(std::move(transfer));
  }
  for (auto& meta : metas_) meta->stop(*this);
}

void Loop::cancel_all() {
  // Ctrl-C: the requests in flight end at once, except the ones that start
  // or drop a file in parts; each file begun in parts is then dropped.
  for (auto it = running_.begin(); it != running_.end();) {
    if (cleans_up(**it)) {
      ++it;
      continue;
    }
    curl_multi_remove_handle(multi_, (*it)->easy);
    std::unique_ptr<Transfer> transfer = std::move(*it);
    it = running_.erase(it);
    transfer->reset();
    drop(std::move(transfer));
  }
  std::vector<std::unique_ptr<Transfer>> waiting;
  waiting.swap(retrying_);
  for (auto& transfer : waiting) {
    drop(std::move(transfer));
  }
}

void Loop::schedule() {
  // Parts and ranges of the files begun come before new files: memory
  // stays bounded.
  for (std::size_t i = 0; i < metas_.size(); ++i) {
    while (std::unique_ptr<Transfer> request = metas_[i]->next_request(*this)) {
      launch(std::move(request));
    }
  }
  if (!stopped_) start_jobs();
  retry_due();
  metas_.erase(std::remove_if(metas_.begin(), metas_.end(),
                              [](const auto& meta) { return meta->ended(); }),
               metas_.end());
}

void Loop::start_jobs() {
  std::vector<Job> starting;
  {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    while (!shared_.queue.empty() &&
           running_.size() + retrying_.size() + starting.size() <
               static_cast<std::size_t>(workers_)) {
      starting.push_back(std::move(shared_.queue.front()));
      shared_.queue.pop_front();
    }
    queued_ = shared_.queue.size();
  }
  if (starting.empty()) return;
  shared_.changed.notify_all();  // room in the queue
  for (Job& job : starting) {
    metas_.push_back(make_transfer(std::move(job)));
    MetaRequest& meta = *metas_.back();
    while (std::unique_ptr<Transfer> request = meta.next_request(*this)) {
      launch(std::move(request));
    }
  }
}

void Loop::retry_due() {
  auto now = Clock::now();
  for (auto it = retrying_.begin(); it != retrying_.end();) {
    if ((*it)->due > now) {
      ++it;
      continue;
    }
    std::unique_ptr<Transfer> transfer = std::move(*it);
    it = retrying_.erase(it);
    launch(std::move(transfer));
  }
}

bool Loop::idle() const {
  return input_closed_ && queued_ == 0 && metas_.empty() && running_.empty() &&
         retrying_.empty();
}

void Loop::perform() {
  int still_running = 0;
  CURLMcode code = curl_multi_perform(multi_, &still_running);
  if (code != CURLM_OK) {
    // The multi handle itself failed (no memory, say): every request in it
    // ends with libcurl's word for why.
    std::vector<std::unique_ptr<Transfer>> broken;
    broken.swap(running_);
    for (auto& transfer : broken) {
      curl_multi_remove_handle(multi_, transfer->easy);
      Failure f{Failure::Kind::kTransport};
      f.bucket = transfer->job.bucket;
      f.object_name = transfer->job.object_name;
      f.message = curl_multi_strerror(code);
      transfer->failure = std::move(f);
      ended(std::move(transfer), CURLE_OK);
    }
    return;
  }
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    Transfer* found = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &found);
    CURLcode result = message->data.result;
    curl_multi_remove_handle(multi_, message->easy_handle);
    auto it = std::find_if(running_.begin(), running_.end(),
                           [found](const auto& t) { return t.get() == found; });
    if (it == running_.end()) continue;
    std::unique_ptr<Transfer> transfer = std::move(*it);
    *it = std::move(running_.back());
    running_.pop_back();
    progressed_ = true;
    ended(std::move(transfer), result);
  }
}

void Loop::ended(std::unique_ptr<Transfer> transfer, CURLcode result) {
  std::string why;
  Ending ending =
      transfer->failure ? Ending::kFailed : transfer->end(result, why);
  MetaRequest& owner = *transfer->owner;
  if (ending == Ending::kRetry) {
    owner.retrying(*transfer);
    retry_later(std::move(transfer), std::move(why));
    return;
  }
  owner.finished(*this, std::move(transfer), ending == Ending::kDone);
}

void Loop::wait() {
  // A request that ended left room for the next one: no wait then.
  long timeout = progressed_ ? 0 : 100;
  progressed_ = false;
  for (const auto& transfer : retrying_) {
    auto due = std::chrono::duration_cast<std::chrono::milliseconds>(
                   transfer->due - Clock::now())
                   .count();
    timeout = std::clamp<long>(due, 0, timeout);
  }
  curl_multi_poll(multi_, nullptr, 0, static_cast<int>(timeout), nullptr);
}

void Loop::answer_rest() {
  // Every job still held is answered, so the caller can drop its names; the
  // connections end with the call.
  std::vector<std::unique_ptr<Transfer>> held;
  held.swap(running_);
  for (auto& transfer : held) {
    curl_multi_remove_handle(multi_, transfer->easy);
    transfer->reset();
    drop(std::move(transfer));
  }
  held.swap(retrying_);
  for (auto& transfer : held) {
    drop(std::move(transfer));
  }
  for (auto& meta : metas_) meta->stop(*this);
  metas_.clear();  // their temporary files go
  std::deque<Job> left;
  {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    left.swap(shared_.queue);
  }
  for (Job& job : left) skip(job);
  idle_.clear();
  {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    shared_.ended = true;
  }
  shared_.changed.notify_all();
}

}  // namespace zarnel::transfer
