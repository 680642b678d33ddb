#include "transfer/engine.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "transfer/files.hpp"
#include "transfer/names.hpp"
#include "transfer/retry.hpp"
#include "transfer/transfer.hpp"
#include "transfer/xml.hpp"

namespace zarnel::transfer {

using Clock = std::chrono::steady_clock;

// A file stored in parts: created, its parts sent (several at once, and
// parts of several files), then completed; on any failure, a stop or Ctrl-C,
// aborted, so that no unfinished upload stays on the store.
struct Upload {
  Job job;         // the file; its name comes back in its Done
  std::string id;  // the store's, once created
  std::uint64_t part_size = 0;
  int parts = 0, next = 1, running = 0, done = 0;
  std::vector<std::string> etags;
  std::vector<std::uint32_t> crcs;  // of each part as it was sent
  int fd = -1;
  struct timespec mtime = {};  // when its first part was read
  bool failed = false;         // no part starts any more
  bool answered = false;       // its Done is posted
  bool aborting = false;
  // A start whose answer was lost (or unreadable) may have begun an upload
  // whose id only the store knows: once this file's upload ends, the
  // store's unfinished uploads of its name begun since `first_sent` are
  // looked up and dropped (`swept`).
  bool uncertain = false, swept = false;
  std::chrono::system_clock::time_point first_sent{};

  Upload() = default;
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;
  ~Upload() {
    if (fd >= 0) ::close(fd);
  }
};

// A large file fetched in ranges, several at once, into one temporary file
// beside its target, which is renamed over the target once every range came
// whole (and, where its ETag is an MD5, the file matches it).
struct Download {
  Job job;  // the file; its name comes back in its Done
  int fd = -1;
  std::string temp_path;
  int ranges = 0, next = 0, running = 0, done = 0;
  int attempts = 0;  // of the whole file, after a check of it failed
  bool failed = false, answered = false;
  // Where the object carries its CRC-32: the header's text, and each
  // range's CRC-32 as it came.
  std::string crc32_meta;
  std::vector<std::optional<std::uint32_t>> crcs;
  // An object stored in parts comes part by part (`by_part`): where each
  // part went and, without a CRC-32, its MD5, for the check of its ETag.
  // A large one comes in ranges (cheaper on some stores) unless its first
  // answers carry no CRC-32: then, once the ranges in flight are back
  // (`to_parts`), it comes again part by part.
  bool by_part = false, to_parts = false;
  std::vector<std::uint64_t> starts, lengths;
  std::vector<std::string> md5s;

  void by_parts(int parts) {
    by_part = true;
    to_parts = false;
    ranges = parts;
    next = done = 0;
    auto count = static_cast<std::size_t>(parts);
    crcs.assign(count, std::nullopt);
    starts.assign(count, 0);
    lengths.assign(count, 0);
    md5s.assign(count, std::string());
  }

  Download() = default;
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;
  ~Download() {
    if (fd >= 0) ::close(fd);
    if (!temp_path.empty()) ::unlink(temp_path.c_str());
  }
};

namespace {

constexpr long list_page = 1000;
// Parts held in memory at once, over every file: each is read whole, to be
// hashed and signed before it is sent.
constexpr std::uint64_t part_memory = std::uint64_t{64} * 1024 * 1024;
// How long Ctrl-C waits for the uploads in parts to be dropped.
constexpr auto abandon_time = std::chrono::milliseconds(800);

bool has_dot_segment(const std::string& name) {
  std::size_t from = 0;
  for (;;) {
    std::size_t slash = name.find('/', from);
    std::size_t end = slash == std::string::npos ? name.size() : slash;
    std::string_view segment(name.data() + from, end - from);
    if (segment == "." || segment == "..") return true;
    if (slash == std::string::npos) return false;
    from = slash + 1;
  }
}

bool same_time(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The id in the answer to the start of an upload in parts, if it names one.
std::optional<std::string> upload_id(const Transfer& transfer) {
  auto document = parse_document(transfer.body, "UploadId");
  if (!document || document->text.empty()) return std::nullopt;
  return document->text;
}

// Seconds since the epoch of an ISO 8601 time in UTC ("...T...Z"), or -1.
std::int64_t iso_seconds(const std::string& text) {
  struct tm parts = {};
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &parts.tm_year,
                  &parts.tm_mon, &parts.tm_mday, &parts.tm_hour, &parts.tm_min,
                  &parts.tm_sec) != 6) {
    return -1;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  return static_cast<std::int64_t>(timegm(&parts));
}

// The unfinished uploads of `upload`'s name that the store began since its
// first start was sent, in the store's own clock (its Date header): those
// that a lost answer left behind. A margin of two seconds covers the
// header's whole seconds.
std::vector<std::string> lost_uploads(const Upload& upload,
                                      const Transfer& answer) {
  std::vector<std::string> lost;
  auto uploads = parse_uploads(answer.body);
  if (!uploads) return lost;
  auto local_now = std::chrono::system_clock::now();
  std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                         local_now.time_since_epoch())
                         .count();
  std::int64_t store_now =
      answer.date.empty() ? now : curl_getdate(answer.date.c_str(), nullptr);
  if (store_now < 0) store_now = now;
  std::int64_t since = store_now -
                       std::chrono::duration_cast<std::chrono::seconds>(
                           local_now - upload.first_sent)
                           .count() -
                       2;
  for (const UnfinishedUpload& entry : *uploads) {
    if (entry.key == upload.job.object_name && !entry.upload_id.empty() &&
        iso_seconds(entry.initiated) >= since) {
      lost.push_back(entry.upload_id);
    }
  }
  return lost;
}

// Whether the parts sent make up the content that the file had when its
// CRC-32 was taken (a file that changed in place, its size and time kept).
bool sent_as_read(const Upload& upload) {
  if (upload.job.crc32_hex.empty()) return true;
  std::uint32_t crc = upload.crcs[0];
  for (int part = 2; part <= upload.parts; ++part) {
    std::uint64_t from =
        static_cast<std::uint64_t>(part - 1) * upload.part_size;
    crc = crc32_join(crc, upload.crcs[static_cast<std::size_t>(part - 1)],
                     std::min(upload.part_size, upload.job.size - from));
  }
  return crc32_matches(upload.job.crc32_hex, crc);
}

std::string complete_body(const Upload& upload) {
  std::string xml = "<CompleteMultipartUpload>";
  for (int part = 1; part <= upload.parts; ++part) {
    xml += "<Part><PartNumber>" + std::to_string(part) + "</PartNumber><ETag>" +
           upload.etags[part - 1] + "</ETag></Part>";
  }
  return xml + "</CompleteMultipartUpload>";
}

}  // namespace

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

Engine::Engine(Endpoint endpoint, int workers)
    : endpoint_(std::move(endpoint)),
      workers_(std::clamp(workers, 1, max_workers)) {
  static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)global;
  multi_ = curl_multi_init();
}

Engine::~Engine() {
  if (thread_.joinable()) {
    cancel();
    thread_.join();
  }
  running_.clear();
  idle_.clear();
  retrying_.clear();
  uploads_.clear();
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

void Engine::set_region(const std::string& bucket, const std::string& region) {
  std::lock_guard<std::mutex> lock(mutex_);
  regions_.emplace_back(bucket, region);
}

std::string Engine::region_of(const std::string& bucket) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [name, region] : regions_) {
    if (name == bucket) return region;
  }
  return "us-east-1";
}

void Engine::start(std::optional<Listing> listing, bool wake_on_moved,
                   bool go_on) {
  std::lock_guard<std::mutex> lock(mutex_);
  started_ = true;
  listing_ = std::move(listing);
  wake_on_moved_ = wake_on_moved;
  go_on_ = go_on;
  if (listing_) input_closed_ = true;
  if (multi_ == nullptr) {
    ended_ = true;
    Failure f{Failure::Kind::kTransport};
    f.message = "cannot start libcurl";
    done_.push_back(Done{Done::Kind::kFailed, nullptr, {}, 0, std::move(f)});
    return;
  }
  curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS,
                    static_cast<long>(workers_));
  curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS,
                    static_cast<long>(workers_ + 1));
  thread_ = std::thread([this] { run(); });
}

bool Engine::try_submit(Job& job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= 2 * static_cast<std::size_t>(workers_)) return false;
    queue_.push_back(std::move(job));
  }
  curl_multi_wakeup(multi_);
  return true;
}

void Engine::wait(std::chrono::milliseconds timeout, bool for_room) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A walk waiting for room takes what has finished at its next file: only
  // room (or the end) wakes it, which saves a thread switch per file.
  changed_.wait_for(lock, timeout, [this, for_room] {
    if (ended_) return true;
    if (for_room) {
      return queue_.size() < 2 * static_cast<std::size_t>(workers_);
    }
    return !done_.empty();
  });
}

std::vector<Done> Engine::take_done() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Done> taken;
  taken.swap(done_);
  return taken;
}

void Engine::close_input() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    input_closed_ = true;
  }
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
}

void Engine::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    input_closed_ = true;
  }
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
}

void Engine::cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = cancelled_ = input_closed_ = true;
  }
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
}

bool Engine::finished() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Only the thread ends the engine: one that never started has nothing
    // to end (an empty tree, a call that failed before its first file).
    if (started_ && !ended_) return false;
  }
  if (thread_.joinable()) thread_.join();
  return true;
}

void Engine::post(Done done) {
  // Without a progress callback a moved file is news for nobody until the
  // end: the caller is not woken for it (a thread switch per file).
  bool news = done.kind != Done::Kind::kMoved || wake_on_moved_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_.push_back(std::move(done));
  }
  if (news) changed_.notify_all();
}

void Engine::fail(const Job& job, Failure failure) {
  {
    // The one place that decides what a failure does to the call: with the
    // policy "stop", no new transfer starts once one is seen.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!go_on_) stopping_ = true;
  }
  post(Done{Done::Kind::kFailed, job.token, job.object_name, job.size,
            std::move(failure)});
}

void Engine::skip(const Job& job) {
  if (job.token != nullptr) post(Done{Done::Kind::kSkipped, job.token});
}

std::size_t Engine::in_flight() const {
  return running_.size() + retrying_.size();
}

std::unique_ptr<Transfer> Engine::idle_transfer() {
  if (idle_.empty()) return std::make_unique<Transfer>();
  std::unique_ptr<Transfer> transfer = std::move(idle_.back());
  idle_.pop_back();
  transfer->attempts = 0;
  transfer->part = 0;
  transfer->upload.reset();
  transfer->query.clear();
  return transfer;
}

void Engine::run() {
  loop();
  bool cancelled;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled = cancelled_;
  }
  if (cancelled) abandon();
  // Every job still held is answered, so the caller can drop its names.
  for (auto& transfer : running_) {
    curl_multi_remove_handle(multi_, transfer->easy);
    transfer->reset();
    skip(transfer->job);
  }
  running_.clear();
  for (auto& transfer : retrying_) skip(transfer->job);
  retrying_.clear();
  for (auto& upload : uploads_) {
    if (!upload->answered) skip(upload->job);
  }
  uploads_.clear();
  for (auto& download : downloads_) {
    if (!download->answered) skip(download->job);
  }
  downloads_.clear();  // their temporary files go
  std::deque<Job> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left.swap(queue_);
  }
  for (Job& job : left) skip(job);
  // The connections end with the call.
  idle_.clear();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
  }
  changed_.notify_all();
}

void Engine::loop() {
  for (;;) {
    std::vector<Job> starting;
    bool stopping, input_closed, queue_empty;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (cancelled_) return;
      stopping = stopping_;
      input_closed = input_closed_;
      if (stopping) {
        for (Job& job : queue_) {
          done_.push_back(Done{Done::Kind::kSkipped, job.token});
        }
        queue_.clear();
      }
    }
    if (stopping) {
      // Nothing starts again but the drops of files begun in parts.
      for (auto it = retrying_.begin(); it != retrying_.end();) {
        Transfer& transfer = **it;
        if (transfer.step == Step::kAbort || transfer.step == Step::kUploads) {
          ++it;
          continue;
        }
        if (transfer.step == Step::kList) listing_now_ = false;
        if (transfer.upload) {
          --transfer.upload->running;
          if (transfer.step == Step::kPart) {
            parts_in_memory_ -= transfer.job.size;
          }
        } else if (transfer.download) {
          --transfer.download->running;
        } else {
          skip(transfer.job);
        }
        it = retrying_.erase(it);
      }
      // No new range starts; a file of ranges goes once none runs.
      for (const auto& download : std::vector(downloads_)) {
        if (!download->answered) skip(download->job);
        download->answered = download->failed = true;
        if (download->running == 0) {
          downloads_.erase(
              std::remove(downloads_.begin(), downloads_.end(), download),
              downloads_.end());
        }
      }
      // No new part starts; what was stored of each file in parts goes.
      for (const auto& upload : std::vector(uploads_)) {
        if (!upload->answered) skip(upload->job);
        upload->answered = upload->failed = true;
        drop_upload(upload);
      }
    }
    // Parts and ranges of the files begun come before new files: memory
    // stays bounded.
    next_parts();
    next_ranges();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      while (!stopping_ && !queue_.empty() &&
             in_flight() + starting.size() <
                 static_cast<std::size_t>(workers_)) {
        starting.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
      queue_empty = queue_.empty();
    }
    if (!starting.empty() || stopping) changed_.notify_all();  // room
    for (Job& job : starting) start_job(std::move(job));
    // Retries that are due.
    auto now = Clock::now();
    for (auto it = retrying_.begin(); it != retrying_.end();) {
      if ((*it)->due <= now) {
        std::unique_ptr<Transfer> transfer = std::move(*it);
        it = retrying_.erase(it);
        launch(std::move(transfer));
      } else {
        ++it;
      }
    }
    bool listing = listing_ && !list_done_ && !stopping;
    if (listing && !listing_now_) {
      std::size_t waiting;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting = queue_.size();
      }
      if (waiting < static_cast<std::size_t>(workers_)) list_next();
    }
    if (input_closed && queue_empty && running_.empty() && retrying_.empty() &&
        uploads_.empty() && downloads_.empty() && !listing_now_ && !listing) {
      return;
    }

    int still_running = 0;
    curl_multi_perform(multi_, &still_running);
    int left = 0;
    bool finished = false;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      finished = true;
      CURLcode result = message->data.result;
      if (auto transfer = take_finished(message)) {
        ended(std::move(transfer), result);
      }
    }
    // A transfer that ended left a slot for the next one: no wait then.
    long timeout = finished ? 0 : 100;
    auto until = [&](Clock::time_point due) {
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                      due - Clock::now())
                      .count();
      timeout = std::clamp<long>(wait, 0, timeout);
    };
    for (const auto& transfer : retrying_) until(transfer->due);
    curl_multi_poll(multi_, nullptr, 0, static_cast<int>(timeout), nullptr);
  }
}

void Engine::abandon() {
  // Ctrl-C: the requests in flight end at once, except the ones that start
  // or drop a file in parts; each file begun in parts is dropped, within a
  // bound, so that nothing unfinished stays on the store.
  for (auto it = running_.begin(); it != running_.end();) {
    Step step = (*it)->step;
    if (step == Step::kCreate || step == Step::kAbort ||
        step == Step::kUploads) {
      ++it;
      continue;
    }
    curl_multi_remove_handle(multi_, (*it)->easy);
    (*it)->reset();
    skip((*it)->job);
    it = running_.erase(it);
  }
  for (auto& transfer : retrying_) {
    if (transfer->step == Step::kCreate) transfer->upload->uncertain = true;
    skip(transfer->job);
  }
  retrying_.clear();
  auto send = [this](std::unique_ptr<Transfer> transfer) {
    if (transfer->begin(multi_, endpoint_, region_of(transfer->job.bucket))) {
      running_.push_back(std::move(transfer));
    }
  };
  auto drop = [this, &send](const std::shared_ptr<Upload>& upload) {
    if (!upload->id.empty() && !upload->aborting) {
      upload->aborting = true;
      send(abort_request(upload, upload->id));
    }
    if (upload->uncertain && !upload->swept) {
      upload->swept = true;
      send(sweep_request(upload));
    }
  };
  for (auto& upload : uploads_) {
    if (!upload->answered) skip(upload->job);
    upload->answered = true;
    drop(upload);
  }
  auto deadline = Clock::now() + abandon_time;
  while (!running_.empty() && Clock::now() < deadline) {
    int still_running = 0;
    curl_multi_perform(multi_, &still_running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      std::unique_ptr<Transfer> transfer = take_finished(message);
      if (!transfer) continue;
      std::string why;
      Step step = transfer->step;
      bool done = (step == Step::kCreate || step == Step::kUploads) &&
                  transfer->end(message->data.result, why) == Ending::kDone;
      if (step == Step::kCreate) {
        std::optional<std::string> id;
        if (done) id = upload_id(*transfer);
        if (id) transfer->upload->id = *id;
        if (!id) transfer->upload->uncertain = true;
        drop(transfer->upload);
      } else if (step == Step::kUploads && done) {
        for (const std::string& id :
             lost_uploads(*transfer->upload, *transfer)) {
          send(abort_request(transfer->upload, id));
        }
      }
    }
    curl_multi_poll(multi_, nullptr, 0, 20, nullptr);
  }
  for (auto& transfer : running_) {
    curl_multi_remove_handle(multi_, transfer->easy);
  }
  running_.clear();
}

void Engine::start_job(Job job) {
  std::unique_ptr<Transfer> transfer = idle_transfer();
  // An object stored in parts comes part by part, whatever its size: the
  // ETag of the parts (or its CRC-32) checks them.
  int parts =
      job.kind == Job::Kind::kGet && job.size > 0 ? etag_parts(job.etag) : 0;
  if (job.kind == Job::Kind::kGet && (job.size > ranged_limit || parts > 0)) {
    idle_.push_back(std::move(transfer));
    auto download = std::make_shared<Download>();
    if (parts > 0 && job.size <= ranged_limit) {
      download->by_parts(parts);
    } else {
      download->ranges =
          static_cast<int>((job.size + range_size - 1) / range_size);
      download->crcs.resize(static_cast<std::size_t>(download->ranges));
    }
    struct stat status;
    int error_number = 0;
    if (::stat(job.path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      error_number = EISDIR;
    } else if ((download->fd =
                    create_temporary(job.path, download->temp_path)) < 0) {
      error_number = errno;
      download->temp_path.clear();
    }
    download->job = std::move(job);
    if (error_number != 0) {
      Failure f{error_number == EISDIR ? Failure::Kind::kValue
                                       : Failure::Kind::kSystem};
      f.bucket = download->job.bucket;
      f.object_name = download->job.object_name;
      f.path = download->job.path;
      f.os_errno = error_number;
      f.message = "file " + download->job.path + " is a directory";
      fail(download->job, std::move(f));
      return;
    }
    downloads_.push_back(std::move(download));
    return;
  }
  if (job.kind == Job::Kind::kGet) {
    transfer->step = Step::kGet;
  } else if (job.size <= single_put_limit) {
    transfer->step = Step::kPut;
  } else {
    auto upload = std::make_shared<Upload>();
    upload->part_size = part_size_for(job.size);
    upload->parts = static_cast<int>((job.size + upload->part_size - 1) /
                                     upload->part_size);
    upload->etags.resize(static_cast<std::size_t>(upload->parts));
    upload->crcs.resize(static_cast<std::size_t>(upload->parts));
    upload->first_sent = std::chrono::system_clock::now();
    transfer->step = Step::kCreate;
    transfer->query = "uploads=";
    transfer->job.bucket = job.bucket;
    transfer->job.object_name = job.object_name;
    transfer->job.path = job.path;
    transfer->job.content_type = job.content_type;
    transfer->job.crc32_hex = job.crc32_hex;
    transfer->upload = upload;
    upload->job = std::move(job);
    upload->running = 1;
    uploads_.push_back(upload);
    launch(std::move(transfer));
    return;
  }
  transfer->job = std::move(job);
  launch(std::move(transfer));
}

void Engine::next_parts() {
  for (std::size_t i = 0; i < uploads_.size(); ++i) {
    std::shared_ptr<Upload> upload = uploads_[i];
    while (!upload->failed && !upload->id.empty() &&
           upload->next <= upload->parts &&
           in_flight() < static_cast<std::size_t>(workers_) &&
           parts_in_memory_ + upload->part_size <=
               std::max(part_memory, upload->part_size)) {
      int part = upload->next;
      std::uint64_t from =
          static_cast<std::uint64_t>(part - 1) * upload->part_size;
      std::uint64_t size = std::min(upload->part_size, upload->job.size - from);
      std::unique_ptr<Transfer> transfer = idle_transfer();
      Job& job = transfer->job;
      job = Job();
      job.bucket = upload->job.bucket;
      job.object_name = upload->job.object_name;
      job.path = upload->job.path;
      job.size = size;
      job.body_in_memory = true;
      job.body.resize(static_cast<std::size_t>(size));
      // The part as it is now, read whole and hashed: what is signed is what
      // is sent. A file that changes meanwhile (its size or its time) is
      // not stored.
      std::uint64_t got = 0;
      while (got < size) {
        ssize_t read = ::pread(upload->fd, job.body.data() + got,
                               static_cast<std::size_t>(size - got),
                               static_cast<off_t>(from + got));
        if (read < 0 && errno == EINTR) continue;
        if (read <= 0) break;
        got += static_cast<std::uint64_t>(read);
      }
      struct stat status;
      bool same =
          got == size && ::fstat(upload->fd, &status) == 0 &&
          static_cast<std::uint64_t>(status.st_size) == upload->job.size &&
          (part == 1 || same_time(status.st_mtim, upload->mtime));
      if (part == 1 && same) upload->mtime = status.st_mtim;
      if (!same) {
        Failure f{Failure::Kind::kChanged};
        f.bucket = job.bucket;
        f.object_name = job.object_name;
        f.path = job.path;
        f.message = "changed while it was sent";
        idle_.push_back(std::move(transfer));
        upload_failed(upload, std::move(f));
        break;
      }
      job.sha256_hex = sha256_hex(job.body);
      upload->crcs[static_cast<std::size_t>(part - 1)] =
          crc32_update(0, job.body.data(), job.body.size());
      transfer->step = Step::kPart;
      transfer->part = part;
      transfer->upload = upload;
      transfer->query = "partNumber=" + std::to_string(part) +
                        "&uploadId=" + query_encode(upload->id);
      ++upload->next;
      ++upload->running;
      parts_in_memory_ += size;
      launch(std::move(transfer));
    }
  }
}

void Engine::next_ranges() {
  for (std::size_t i = 0; i < downloads_.size(); ++i) {
    std::shared_ptr<Download> download = downloads_[i];
    while (!download->failed && !download->to_parts &&
           download->next < download->ranges &&
           in_flight() < static_cast<std::size_t>(workers_)) {
      std::uint64_t from =
          static_cast<std::uint64_t>(download->next) * range_size;
      std::unique_ptr<Transfer> transfer = idle_transfer();
      transfer->step = Step::kRange;
      transfer->job = Job();
      transfer->job.kind = Job::Kind::kGet;
      transfer->job.bucket = download->job.bucket;
      transfer->job.object_name = download->job.object_name;
      transfer->job.path = download->job.path;
      transfer->job.etag = download->job.etag;
      transfer->download = download;
      transfer->range_fd = download->fd;
      transfer->object_size = download->job.size;
      if (download->by_part) {
        // Its place and size come with the answer.
        transfer->part = download->next + 1;
        transfer->query = "partNumber=" + std::to_string(transfer->part);
        transfer->range_from = 0;
        transfer->job.size = download->job.size;
      } else {
        transfer->part = 0;
        transfer->range_from = from;
        transfer->job.size = std::min(range_size, download->job.size - from);
      }
      ++download->next;
      ++download->running;
      launch(std::move(transfer));
    }
  }
}

// Whether the file that every range of `download` was written to matches
// the CRC-32 it was stored with (each range's joined), or else the MD5 of
// its ETag, where it has one: read back whole, since its ranges came in any
// order.
std::string whole_mismatch(const Download& download) {
  std::uint64_t from = 0;
  for (std::size_t i = 0; download.by_part && i < download.starts.size(); ++i) {
    if (download.starts[i] != from) return "the parts do not join up";
    from += download.lengths[i];
  }
  if (download.by_part && from != download.job.size) {
    return "the parts do not make up the object";
  }
  if (!download.crc32_meta.empty()) {
    std::uint32_t crc = 0;
    from = 0;
    for (std::size_t i = 0; i < download.crcs.size(); ++i) {
      const auto& range = download.crcs[i];
      if (!range) return "a range came without the CRC-32 of its object";
      std::uint64_t size = download.by_part
                               ? download.lengths[i]
                               : std::min(range_size, download.job.size - from);
      crc = i == 0 ? *range : crc32_join(crc, *range, size);
      from += size;
    }
    if (crc32_matches(download.crc32_meta, crc)) return {};
    return "the body does not match the CRC-32 it was stored with";
  }
  if (download.by_part) {
    // The ETag of an object stored in parts: the MD5 of its parts' MD5s.
    std::string joined;
    for (const std::string& hex : download.md5s) {
      if (hex.size() != 32) return "a part came without its MD5";
      for (std::size_t i = 0; i < 32; i += 2) {
        joined += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
      }
    }
    Digest digest(EVP_md5());
    digest.update(joined.data(), joined.size());
    std::string want =
        digest.hex() + "-" + std::to_string(download.md5s.size());
    if (unquoted(download.job.etag) == want) return {};
    return "the body does not match its ETag (the MD5 of its parts)";
  }
  std::string md5 = unquoted(download.job.etag);
  if (!plain_md5(md5)) return {};
  Digest digest(EVP_md5());
  std::string buffer(std::size_t{1} << 20, '\0');
  std::uint64_t offset = 0;
  while (offset < download.job.size) {
    ssize_t got = ::pread(download.fd, buffer.data(), buffer.size(),
                          static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return "the file could not be read back";
    digest.update(buffer.data(), static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
  }
  return digest.hex() == md5 ? std::string()
                             : "the body does not match its ETag (MD5)";
}

void Engine::range_ended(std::unique_ptr<Transfer> transfer, bool done) {
  std::shared_ptr<Download> download = transfer->download;
  --download->running;
  std::optional<Failure> failure;
  if (!done) failure = std::move(transfer->failure);
  if (done) {
    auto index = static_cast<std::size_t>(
        download->by_part ? transfer->part - 1
                          : transfer->range_from / range_size);
    download->crcs[index] = transfer->crc32;
    if (download->by_part) {
      download->starts[index] = transfer->range_from;
      download->lengths[index] = transfer->job.size;
      download->md5s[index] = transfer->md5_hex;
    }
    if (!transfer->crc32_meta.empty()) {
      download->crc32_meta = transfer->crc32_meta;
    } else if (!download->by_part && etag_parts(download->job.etag) > 0) {
      download->to_parts = true;  // stored in parts, by another client
    }
  }
  std::string mismatch;
  if (download->to_parts) {
    if (download->running == 0 && !download->failed) {
      download->by_parts(etag_parts(download->job.etag));
    }
  } else if (done && ++download->done == download->ranges &&
             !download->failed) {
    mismatch = whole_mismatch(*download);
  }
  if (!mismatch.empty() && download->attempts < retry::retries) {
    // Which range was not its object's cannot be told: all come again.
    ++download->attempts;
    download->next = download->done = 0;
    Done again{Done::Kind::kRetried, nullptr, download->job.object_name};
    again.reason = mismatch;
    post(std::move(again));
  } else if (done && download->done == download->ranges && !download->failed) {
    int fd = mismatch.empty() ? download->fd : -1;
    if (fd >= 0) download->fd = -1;  // closed here, or dropped with its file
    if (!mismatch.empty()) {
      Failure f{Failure::Kind::kBody};
      f.message = mismatch;
      failure = std::move(f);
    } else if (::close(fd) != 0 || ::rename(download->temp_path.c_str(),
                                            download->job.path.c_str()) != 0) {
      Failure f{Failure::Kind::kSystem};
      f.os_errno = errno;
      failure = std::move(f);
    } else {
      download->temp_path.clear();  // kept
      download->answered = download->failed = true;
      post(Done{Done::Kind::kMoved, download->job.token,
                download->job.object_name, download->job.size});
    }
  }
  transfer->reset();
  transfer->job = Job();
  transfer->download.reset();
  transfer->range_fd = -1;
  idle_.push_back(std::move(transfer));
  if (failure) {
    failure->bucket = download->job.bucket;
    failure->object_name = download->job.object_name;
    failure->path = download->job.path;
    download->failed = true;
    if (!download->answered) {
      download->answered = true;
      fail(download->job, std::move(*failure));
    }
  }
  if (download->failed && download->running == 0) {
    downloads_.erase(
        std::remove(downloads_.begin(), downloads_.end(), download),
        downloads_.end());
  }
}

void Engine::launch(std::unique_ptr<Transfer> transfer) {
  if (transfer->begin(multi_, endpoint_, region_of(transfer->job.bucket))) {
    running_.push_back(std::move(transfer));
    return;
  }
  // A local step failed before anything was sent.
  ended(std::move(transfer), CURLE_OK);
}

void Engine::retry_later(std::unique_ptr<Transfer> transfer, std::string why) {
  ++transfer->attempts;
  transfer->due = Clock::now() + retry::backoff(transfer->attempts);
  Done done{Done::Kind::kRetried, nullptr, transfer->job.object_name};
  done.reason = std::move(why);
  post(std::move(done));
  retrying_.push_back(std::move(transfer));
}

void Engine::ended(std::unique_ptr<Transfer> transfer, CURLcode result) {
  std::string why;
  Ending ending =
      transfer->failure ? Ending::kFailed : transfer->end(result, why);
  bool retry_left = transfer->attempts < retry::retries;
  // A page or a start of an upload that came with 200 but cannot be read
  // (cut short without a length, say) is tried again like a body.
  std::optional<ListPage> page;
  if (transfer->step == Step::kList && ending == Ending::kDone) {
    page = parse_list_page(transfer->body);
    if (!page && !well_formed(transfer->body) && retry_left) {
      ending = Ending::kRetry;
      why = "the listing's page cannot be read";
    }
  }
  if (transfer->step == Step::kCreate) {
    if (ending == Ending::kDone && !upload_id(*transfer) && retry_left) {
      ending = Ending::kRetry;
      why = "the answer names no upload id";
    }
    // Anything but a clear answer may have left an upload begun.
    if (ending == Ending::kRetry ||
        (ending == Ending::kFailed &&
         (!transfer->failure ||
          transfer->failure->kind != Failure::Kind::kStore))) {
      transfer->upload->uncertain = true;
    }
  }
  if (ending == Ending::kRetry) return retry_later(std::move(transfer), why);
  if (transfer->step == Step::kList) {
    listed(*transfer, std::move(page));
    transfer->reset();
    idle_.push_back(std::move(transfer));
    return;
  }
  if (transfer->upload) {
    return upload_ended(std::move(transfer), ending == Ending::kDone);
  }
  if (transfer->download) {
    return range_ended(std::move(transfer), ending == Ending::kDone);
  }
  Job& job = transfer->job;
  if (ending == Ending::kDone) {
    post(Done{Done::Kind::kMoved, job.token, job.object_name, job.size});
  } else {
    Failure failure = std::move(*transfer->failure);
    transfer->reset();
    fail(job, std::move(failure));
  }
  transfer->reset();
  transfer->job = Job();
  idle_.push_back(std::move(transfer));
}

void Engine::upload_ended(std::unique_ptr<Transfer> transfer, bool done) {
  std::shared_ptr<Upload> upload = transfer->upload;
  std::optional<Failure> failure;
  if (!done) failure = std::move(transfer->failure);
  switch (transfer->step) {
    case Step::kCreate:
      --upload->running;
      if (done) {
        std::optional<std::string> id = upload_id(*transfer);
        if (id) {
          upload->id = *id;
          int error_number = 0;
          std::uint64_t size = 0;
          upload->fd = open_regular(upload->job.path, size, error_number);
          if (upload->fd < 0 || size != upload->job.size) {
            Failure f{upload->fd < 0 && error_number != not_regular
                          ? Failure::Kind::kSystem
                          : Failure::Kind::kChanged};
            f.os_errno = error_number > 0 ? error_number : 0;
            f.message = "changed after it was read";
            failure = std::move(f);
          }
        } else {
          upload->uncertain = true;
          Failure f{Failure::Kind::kStore};
          f.status = 200;
          f.content_type = transfer->content_type;
          f.body = transfer->body;
          failure = std::move(f);
        }
      }
      break;
    case Step::kPart:
      --upload->running;
      parts_in_memory_ -= transfer->job.size;
      // An id that the store does not know was read wrong (a byte changed
      // on its way): the upload it named may still be there.
      if (failure && failure->status == 404) upload->uncertain = true;
      if (done && transfer->etag.empty()) {
        Failure f{Failure::Kind::kStore};
        f.status = 200;
        f.message = "a part's answer has no ETag";
        failure = std::move(f);
      } else if (done) {
        upload->etags[static_cast<std::size_t>(transfer->part - 1)] =
            transfer->etag;
        ++upload->done;
      }
      if (done && upload->done == upload->parts && !upload->failed &&
          !sent_as_read(*upload)) {
        Failure f{Failure::Kind::kChanged};
        f.message = "changed while it was sent";
        failure = std::move(f);
      } else if (done && upload->done == upload->parts && !upload->failed) {
        // Every part is stored: they are joined into the object.
        std::unique_ptr<Transfer> joining = idle_transfer();
        joining->step = Step::kComplete;
        joining->job.bucket = upload->job.bucket;
        joining->job.object_name = upload->job.object_name;
        joining->job.body = complete_body(*upload);
        joining->job.sha256_hex = sha256_hex(joining->job.body);
        joining->query = "uploadId=" + query_encode(upload->id);
        joining->upload = upload;
        ++upload->running;
        launch(std::move(joining));
      }
      break;
    case Step::kComplete: {
      --upload->running;
      // The store may answer 200 and an error document.
      auto document = parse_document(transfer->body, "Code");
      if (done && document && document->root == "Error") {
        Failure f{Failure::Kind::kStore};
        f.status = 200;
        f.content_type = "application/xml";
        f.body = transfer->body;
        failure = std::move(f);
      } else if (done) {
        upload->answered = true;
        post(Done{Done::Kind::kMoved, upload->job.token,
                  upload->job.object_name, upload->job.size});
        upload->id.clear();  // nothing to drop any more
        upload->failed = true;
      }
      break;
    }
    case Step::kAbort:
      // Dropped, or as good as it gets: the upload ends here either way.
      --upload->running;
      if (transfer->query == "uploadId=" + query_encode(upload->id)) {
        upload->id.clear();
        upload->aborting = false;
      }
      failure.reset();
      break;
    case Step::kUploads:
      // At most one look: an upload that it cannot find stays unknown.
      --upload->running;
      if (done) {
        for (const std::string& id : lost_uploads(*upload, *transfer)) {
          ++upload->running;
          launch(abort_request(upload, id));
        }
      }
      failure.reset();
      break;
    default:
      break;
  }
  transfer->reset();
  transfer->job = Job();
  transfer->upload.reset();
  idle_.push_back(std::move(transfer));
  if (failure) {
    failure->bucket = upload->job.bucket;
    failure->object_name = upload->job.object_name;
    failure->path = upload->job.path;
    upload_failed(upload, std::move(*failure));
  }
  if (upload->failed) drop_upload(upload);
}

void Engine::upload_failed(const std::shared_ptr<Upload>& upload,
                           Failure failure) {
  upload->failed = true;
  if (!upload->answered) {
    upload->answered = true;
    fail(upload->job, std::move(failure));
  }
  drop_upload(upload);
}

void Engine::drop_upload(const std::shared_ptr<Upload>& upload) {
  if (upload->aborting || upload->running > 0) return;
  if (upload->id.empty() && upload->uncertain && !upload->swept) {
    upload->swept = true;
    ++upload->running;
    launch(sweep_request(upload));
    return;
  }
  if (upload->id.empty()) {
    // Nothing on the store, or it is complete: the upload ends.
    uploads_.erase(std::remove(uploads_.begin(), uploads_.end(), upload),
                   uploads_.end());
    return;
  }
  upload->aborting = true;
  ++upload->running;
  launch(abort_request(upload, upload->id));
}

std::unique_ptr<Transfer> Engine::abort_request(
    const std::shared_ptr<Upload>& upload, const std::string& id) {
  std::unique_ptr<Transfer> dropping = idle_transfer();
  dropping->step = Step::kAbort;
  dropping->job.bucket = upload->job.bucket;
  dropping->job.object_name = upload->job.object_name;
  dropping->query = "uploadId=" + query_encode(id);
  dropping->upload = upload;
  return dropping;
}

std::unique_ptr<Transfer> Engine::sweep_request(
    const std::shared_ptr<Upload>& upload) {
  std::unique_ptr<Transfer> looking = idle_transfer();
  looking->step = Step::kUploads;
  looking->job.bucket = upload->job.bucket;
  looking->job.object_name = upload->job.object_name;
  looking->query =
      "prefix=" + query_encode(upload->job.object_name) + "&uploads=";
  looking->upload = upload;
  return looking;
}

std::unique_ptr<Transfer> Engine::take_finished(CURLMsg* message) {
  Transfer* found = nullptr;
  curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &found);
  curl_multi_remove_handle(multi_, message->easy_handle);
  auto it = std::find_if(running_.begin(), running_.end(),
                         [found](const auto& t) { return t.get() == found; });
  if (it == running_.end()) return nullptr;
  std::unique_ptr<Transfer> transfer = std::move(*it);
  *it = std::move(running_.back());
  running_.pop_back();
  return transfer;
}

void Engine::list_next() {
  const Listing& listing = *listing_;
  std::unique_ptr<Transfer> transfer = idle_transfer();
  transfer->step = Step::kList;
  transfer->job = Job();
  transfer->job.kind = Job::Kind::kGet;
  transfer->job.bucket = listing.bucket;
  // The query in the order that the signature sorts it.
  std::string query;
  if (!continuation_.empty()) {
    query += "continuation-token=" + query_encode(continuation_) + "&";
  }
  query += "delimiter=%2F&encoding-type=url&list-type=2&max-keys=" +
           std::to_string(list_page) +
           "&prefix=" + query_encode(listing.prefix);
  transfer->query = std::move(query);
  listing_now_ = true;
  launch(std::move(transfer));
}

void Engine::listed(Transfer& transfer, std::optional<ListPage> page) {
  listing_now_ = false;
  const Listing& listing = *listing_;
  if (!page) {
    Failure f{Failure::Kind::kStore};
    if (transfer.failure) {
      f = std::move(*transfer.failure);
    } else if (!well_formed(transfer.body)) {
      // Damaged as often as it was asked for, as a body can be.
      f.kind = Failure::Kind::kBody;
      f.message = unreadable_page;
      f.bucket = listing.bucket;
    } else {
      // An answer that is no page of a listing.
      f.status = 200;
      f.content_type = transfer.content_type;
      f.request_id = transfer.request_id;
      f.host_id = transfer.host_id;
      f.body = transfer.body;
      f.bucket = listing.bucket;
      f.resource = "/" + listing.bucket;
    }
    list_done_ = true;
    fail(transfer.job, std::move(f));
    return;
  }
  std::vector<Job> jobs;
  for (ListedObject& object : page->objects) {
    Listed taken = listed_name(listing.prefix, object.key);
    if (taken == Listed::kPass) continue;
    if (taken == Listed::kRefuse) {
      post(Done{Done::Kind::kWarning, nullptr, object.key});
      continue;
    }
    std::string rest = object.key.substr(listing.prefix.size());
    Job job;
    job.kind = Job::Kind::kGet;
    job.bucket = listing.bucket;
    if (has_dot_segment(object.key)) {
      // The storage client refuses to download such a name.
      Failure f{Failure::Kind::kValue};
      f.bucket = listing.bucket;
      f.object_name = object.key;
      f.message = "object name with '.' or '..' path segment is not supported";
      list_done_ = true;
      job.object_name = object.key;
      fail(job, std::move(f));
      return;
    }
    job.object_name = std::move(object.key);
    job.path = listing.directory + rest;
    job.size = object.size;
    job.etag = object.etag;
    jobs.push_back(std::move(job));
  }
  if (!jobs.empty() && !directory_made_) {
    // As the storage client makes the target's folder before a download.
    directory_made_ = true;
    int error_number = make_directories(listing.directory);
    if (error_number != 0) {
      Failure f{Failure::Kind::kSystem};
      f.bucket = listing.bucket;
      f.os_errno = error_number;
      f.path = listing.directory;
      list_done_ = true;
      fail(jobs.front(), std::move(f));
      return;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Job& job : jobs) queue_.push_back(std::move(job));
  }
  if (page->truncated && !page->next_token.empty() &&
      page->next_token != continuation_) {
    continuation_ = page->next_token;
  } else {
    list_done_ = true;
  }
}

}  // namespace zarnel::transfer
