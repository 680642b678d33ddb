#include "transfer/engine.hpp"

#include <pthread.h>

#include <algorithm>

#include "transfer/kinds.hpp"

namespace zarnel::transfer {

namespace {

// A file in one request: a PUT of a small file, a GET of one that is not
// large or stored in parts.
class Single final : public MetaRequest {
 public:
  explicit Single(Job job) : job_(std::move(job)) {}

  std::unique_ptr<Transfer> next_request(Loop& loop) override {
    if (state_ != State::kWaiting) return nullptr;
    state_ = State::kSent;
    std::unique_ptr<Transfer> transfer = loop.transfer(*this);
    transfer->step = job_.kind == Job::Kind::kGet ? Step::kGet : Step::kPut;
    transfer->job = std::move(job_);
    return transfer;
  }

  void finished(Loop& loop, std::unique_ptr<Transfer> transfer,
                bool done) override {
    state_ = State::kEnded;
    const Job& job = transfer->job;
    if (done) {
      loop.post(Done{Done::Kind::kMoved, job.token, job.object_name, job.size});
    } else {
      Failure failure = std::move(*transfer->failure);
      transfer->reset();  // no temporary file once the caller hears of it
      loop.fail(job, std::move(failure));
    }
    loop.recycle(std::move(transfer));
  }

  void dropped(Loop& loop, std::unique_ptr<Transfer> transfer) override {
    state_ = State::kEnded;
    loop.skip(transfer->job);
    loop.recycle(std::move(transfer));
  }

  void stop(Loop& loop) override {
    if (state_ != State::kWaiting) return;
    state_ = State::kEnded;
    loop.skip(job_);
  }

  bool ended() const override { return state_ == State::kEnded; }

 private:
  enum class State { kWaiting, kSent, kEnded };
  Job job_;
  State state_ = State::kWaiting;
};

}  // namespace

std::unique_ptr<MetaRequest> make_transfer(Job job) {
  if (job.kind == Job::Kind::kGet) {
    // An object stored in parts comes part by part (or in ranges checked
    // against its CRC-32), whatever its size.
    bool parts = job.size > 0 && etag_parts(job.etag) > 0;
    if (job.size > ranged_limit || parts) return make_download(std::move(job));
  } else if (job.size > single_put_limit) {
    return make_upload(std::move(job));
  }
  return std::make_unique<Single>(std::move(job));
}

std::string encode_path(const std::string& name, bool keep_slash) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size() * 3 / 2);
  for (unsigned char c : name) {
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                      (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                      c == '.' || c == '~' || (keep_slash && c == '/');
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

std::uint64_t part_size_for(std::uint64_t size) {
  constexpr std::uint64_t most_parts = 10000;
  std::uint64_t least = (size + most_parts - 1) / most_parts;
  std::uint64_t units = (least + single_put_limit - 1) / single_put_limit;
  return std::max<std::uint64_t>(units, 1) * single_put_limit;
}

std::string Shared::region_of(const std::string& bucket) {
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto& [name, region] : regions) {
    if (name == bucket) return region;
  }
  return "us-east-1";
}

void Shared::post(Done done) {
  // Without a progress callback a moved file is news for nobody until the
  // end: the caller is not woken for it (a thread switch per file).
  bool news = done.kind != Done::Kind::kMoved || wake_on_moved;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (done.kind == Done::Kind::kPage) ++pages_waiting;
    this->done.push_back(std::move(done));
  }
  if (news) changed.notify_all();
}

void Shared::fail(const Job& job, Failure failure) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!go_on) stopping = true;
  }
  post(Done{Done::Kind::kFailed, job.token, job.object_name, job.size,
            std::move(failure)});
}

Engine::Engine(Endpoint endpoint, int workers)
    : endpoint_(std::move(endpoint)),
      workers_(std::clamp(workers, 1, max_workers)) {
  static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)global;
  multi_.reset(curl_multi_init());
}

Engine::~Engine() {
  if (thread_.joinable()) {
    cancel();
    thread_.join();
  }
  loop_.reset();  // its requests leave the multi handle before it goes
}

void Engine::wake() {
  if (multi_) curl_multi_wakeup(multi_.get());
}

void Engine::set_region(const std::string& bucket, const std::string& region) {
  std::lock_guard<std::mutex> lock(shared_.mutex);
  shared_.regions.emplace_back(bucket, region);
}

void Engine::start(std::optional<Listing> listing, bool wake_on_moved,
                   bool go_on) {
  std::lock_guard<std::mutex> lock(shared_.mutex);
  shared_.started = true;
  shared_.wake_on_moved = wake_on_moved;
  shared_.go_on = go_on;
  if (listing) shared_.input_closed = true;
  if (!multi_) {
    shared_.ended = true;
    Failure f{Failure::Kind::kTransport};
    f.message = "cannot start libcurl";
    shared_.done.push_back(
        Done{Done::Kind::kFailed, nullptr, {}, 0, std::move(f)});
    return;
  }
  curl_multi_setopt(multi_.get(), CURLMOPT_MAX_HOST_CONNECTIONS,
                    static_cast<long>(workers_));
  curl_multi_setopt(multi_.get(), CURLMOPT_MAXCONNECTS,
                    static_cast<long>(workers_ + 1));
  loop_ = std::make_unique<Loop>(endpoint_, workers_, shared_, multi_.get());
  thread_ = std::thread([this, listing = std::move(listing)] {
    pthread_setname_np(pthread_self(), "zarnel-engine");  // for ps and tests
    // A C++ exception (no memory for a request, say) ends the call with a
    // failure that says so, never the process.
    try {
      loop_->run(listing);
    } catch (const std::exception& error) {
      Failure f{Failure::Kind::kValue};
      f.message = std::string("the transfer engine failed: ") + error.what();
      std::lock_guard<std::mutex> lock(shared_.mutex);
      shared_.done.push_back(
          Done{Done::Kind::kFailed, nullptr, {}, 0, std::move(f)});
      shared_.ended = true;
      shared_.changed.notify_all();
    }
  });
}

bool Engine::try_submit(Job& job) {
  bool first;
  {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    if (shared_.queue.size() >= 2 * static_cast<std::size_t>(workers_)) {
      return false;
    }
    first = shared_.queue.empty();
    shared_.queue.push_back(std::move(job));
  }
  // The engine takes every job it has room for when it wakes: a job behind
  // others needs no wake-up of its own (a write to the engine's pipe each).
  if (first) wake();
  return true;
}

void Engine::wait(std::chrono::milliseconds timeout, bool for_room) {
  std::unique_lock<std::mutex> lock(shared_.mutex);
  // A walk waiting for room takes what has finished at its next file: only
  // room (or the end) wakes it, which saves a thread switch per file.
  shared_.changed.wait_for(lock, timeout, [this, for_room] {
    if (shared_.ended) return true;
    if (for_room) {
      return shared_.queue.size() < 2 * static_cast<std::size_t>(workers_);
    }
    return !shared_.done.empty();
  });
}

std::vector<Done> Engine::take_done() {
  std::vector<Done> taken;
  bool pages;
  {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    taken.swap(shared_.done);
    pages = shared_.pages_waiting > 0;
    shared_.pages_waiting = 0;
  }
  if (pages) wake();  // room for the listing's next page
  return taken;
}

void Engine::close_input() {
  {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    shared_.input_closed = true;
  }
  wake();
}

void Engine::stop() {
  {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    shared_.stopping = shared_.input_closed = true;
  }
  wake();
}

void Engine::cancel() {
  {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    shared_.stopping = shared_.cancelled = shared_.input_closed = true;
  }
  wake();
}

bool Engine::finished() {
  {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    // Only the thread ends the engine: one that never started has nothing
    // to end (an empty tree, a call that failed before its first file).
    if (shared_.started && !shared_.ended) return false;
  }
  if (thread_.joinable()) thread_.join();
  return true;
}

}  // namespace zarnel::transfer
