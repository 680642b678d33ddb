// A file stored in parts: created, its parts sent (several at once, and
// parts of several files), then completed; on any failure, a stop or Ctrl-C,
// aborted, so that no unfinished upload stays on the store.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "transfer/files.hpp"
#include "transfer/kinds.hpp"
#include "transfer/retry.hpp"
#include "transfer/xml.hpp"

namespace zarnel::transfer {

namespace {

// Parts held in memory at once, over every file: each is read whole, to be
// hashed and signed before it is sent.
constexpr std::uint64_t part_memory = std::uint64_t{64} * 1024 * 1024;

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

// The store's clock now, by its Date header, in seconds since the epoch.
std::int64_t store_now(const Transfer& answer,
                       std::chrono::system_clock::time_point local_now) {
  std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                         local_now.time_since_epoch())
                         .count();
  std::int64_t said =
      answer.date.empty() ? now : curl_getdate(answer.date.c_str(), nullptr);
  return said < 0 ? now : said;
}

class Upload final : public MetaRequest {
 public:
  explicit Upload(Job job) : job_(std::move(job)) {
    part_size_ = part_size_for(job_.size);
    parts_ = static_cast<int>((job_.size + part_size_ - 1) / part_size_);
    etags_.resize(static_cast<std::size_t>(parts_));
    crcs_.resize(static_cast<std::size_t>(parts_));
  }
  ~Upload() override {
    if (fd_ >= 0) ::close(fd_);
  }
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  std::unique_ptr<Transfer> next_request(Loop& loop) override {
    switch (state_) {
      case State::kCreate:
        return create_sent_ ? nullptr : create(loop);
      case State::kParts:
        return next_part(loop);
      case State::kComplete:
        return nullptr;
      case State::kClean:
        return clean_up(loop);
    }
    return nullptr;
  }

  void finished(Loop& loop, std::unique_ptr<Transfer> transfer,
                bool done) override;

  void dropped(Loop& loop, std::unique_ptr<Transfer> transfer) override {
    --running_;
    // A start whose answer will never come may have begun an upload.
    if (transfer->step == Step::kCreate) uncertain_ = true;
    if (transfer->step == Step::kPart)
      loop.parts_in_memory -= transfer->job.size;
    loop.recycle(std::move(transfer));
  }

  void retrying(const Transfer& transfer) override {
    // Anything but a clear answer may have left an upload begun.
    if (transfer.step == Step::kCreate) uncertain_ = true;
  }

  void stop(Loop& loop) override {
    if (!answered_) {
      answered_ = true;
      loop.skip(job_);
    }
    state_ = State::kClean;
  }

  bool ended() const override {
    return state_ == State::kClean && running_ == 0 && id_.empty() &&
           lost_.empty() && (!uncertain_ || swept_);
  }

 private:
  enum class State { kCreate, kParts, kComplete, kClean };

  std::unique_ptr<Transfer> request(Loop& loop, Step step, std::string query) {
    std::unique_ptr<Transfer> transfer = loop.transfer(*this);
    transfer->step = step;
    transfer->job.bucket = job_.bucket;
    transfer->job.object_name = job_.object_name;
    transfer->query = std::move(query);
    ++running_;
    return transfer;
  }
  std::unique_ptr<Transfer> create(Loop& loop);
  std::unique_ptr<Transfer> next_part(Loop& loop);
  bool read_part(Job& part, std::uint64_t from, int number);
  std::unique_ptr<Transfer> complete(Loop& loop);
  std::unique_ptr<Transfer> clean_up(Loop& loop);
  std::optional<Failure> created(const Transfer& answer);
  std::optional<Failure> part_stored(Loop& loop, const Transfer& answer);
  std::optional<Failure> completed(Loop& loop, const Transfer& answer);
  void swept(const Transfer& answer);
  void failed(Loop& loop, Failure failure);
  bool sent_as_read() const;

  Job job_;  // the file; its name comes back in its Done
  State state_ = State::kCreate;
  std::string id_;  // the store's, once created; empty once dropped
  std::uint64_t part_size_ = 0;
  int parts_ = 0, next_ = 1, running_ = 0, done_ = 0;
  std::vector<std::string> etags_;
  std::vector<std::uint32_t> crcs_;  // of each part as it was sent
  int fd_ = -1;
  struct timespec mtime_ = {};  // when its first part was read
  bool create_sent_ = false, answered_ = false, aborting_ = false;
  // A start whose answer was lost (or unreadable) may have begun an upload
  // whose id only the store knows: once this file's upload ends, the
  // store's unfinished uploads of its name begun since `first_sent_` are
  // looked up (`swept_`) and dropped (`lost_`).
  bool uncertain_ = false, swept_ = false;
  std::vector<std::string> lost_;
  std::chrono::system_clock::time_point first_sent_{};
};

std::unique_ptr<Transfer> Upload::create(Loop& loop) {
  create_sent_ = true;
  first_sent_ = std::chrono::system_clock::now();
  std::unique_ptr<Transfer> transfer = request(loop, Step::kCreate, "uploads=");
  transfer->job.path = job_.path;
  transfer->job.content_type = job_.content_type;
  transfer->job.crc32_hex = job_.crc32_hex;
  return transfer;
}

std::unique_ptr<Transfer> Upload::next_part(Loop& loop) {
  if (next_ > parts_ || !loop.room() ||
      loop.parts_in_memory + part_size_ > std::max(part_memory, part_size_)) {
    return nullptr;
  }
  int number = next_;
  std::uint64_t from = static_cast<std::uint64_t>(number - 1) * part_size_;
  std::uint64_t size = std::min(part_size_, job_.size - from);
  std::unique_ptr<Transfer> transfer =
      request(loop, Step::kPart,
              "partNumber=" + std::to_string(number) +
                  "&uploadId=" + query_encode(id_));
  Job& part = transfer->job;
  part.path = job_.path;
  part.size = size;
  part.body_in_memory = true;
  if (!read_part(part, from, number)) {
    --running_;
    loop.recycle(std::move(transfer));
    Failure f{Failure::Kind::kChanged};
    f.message = "changed while it was sent";
    failed(loop, std::move(f));
    return nullptr;
  }
  part.sha256_hex = sha256_hex(part.body);
  crcs_[static_cast<std::size_t>(number - 1)] =
      crc32_update(0, part.body.data(), part.body.size());
  transfer->part = number;
  ++next_;
  loop.parts_in_memory += size;
  return transfer;
}

// The part as it is now, read whole and hashed: what is signed is what is
// sent. False when the file changed meanwhile (its size or its time).
bool Upload::read_part(Job& part, std::uint64_t from, int number) {
  part.body.resize(static_cast<std::size_t>(part.size));
  std::uint64_t got = 0;
  while (got < part.size) {
    ssize_t read = ::pread(fd_, part.body.data() + got,
                           static_cast<std::size_t>(part.size - got),
                           static_cast<off_t>(from + got));
    if (read < 0 && errno == EINTR) continue;
    if (read <= 0) break;
    got += static_cast<std::uint64_t>(read);
  }
  struct stat status;
  bool same = got == part.size && ::fstat(fd_, &status) == 0 &&
              static_cast<std::uint64_t>(status.st_size) == job_.size &&
              (number == 1 || same_time(status.st_mtim, mtime_));
  if (number == 1 && same) mtime_ = status.st_mtim;
  return same;
}

std::unique_ptr<Transfer> Upload::complete(Loop& loop) {
  state_ = State::kComplete;
  std::string xml = "<CompleteMultipartUpload>";
  for (int part = 1; part <= parts_; ++part) {
    xml += "<Part><PartNumber>" + std::to_string(part) + "</PartNumber><ETag>" +
           etags_[static_cast<std::size_t>(part - 1)] + "</ETag></Part>";
  }
  xml += "</CompleteMultipartUpload>";
  std::unique_ptr<Transfer> transfer =
      request(loop, Step::kComplete, "uploadId=" + query_encode(id_));
  transfer->job.body = std::move(xml);
  transfer->job.sha256_hex = sha256_hex(transfer->job.body);
  return transfer;
}

std::unique_ptr<Transfer> Upload::clean_up(Loop& loop) {
  // Once no part runs: the upload dropped, then the ones a lost answer may
  // have begun looked for, then those dropped too.
  if (running_ > 0) return nullptr;
  if (!id_.empty()) {
    if (aborting_) return nullptr;
    aborting_ = true;
    return request(loop, Step::kAbort, "uploadId=" + query_encode(id_));
  }
  if (uncertain_ && !swept_) {
    swept_ = true;
    return request(loop, Step::kUploads,
                   "prefix=" + query_encode(job_.object_name) + "&uploads=");
  }
  if (lost_.empty()) return nullptr;
  std::string id = std::move(lost_.back());
  lost_.pop_back();
  return request(loop, Step::kAbort, "uploadId=" + query_encode(id));
}

void Upload::finished(Loop& loop, std::unique_ptr<Transfer> transfer,
                      bool done) {
  --running_;
  std::optional<Failure> failure;
  if (!done) failure = std::move(transfer->failure);
  if (!done && !failure) failure.emplace(Failure::Kind::kTransport);
  switch (transfer->step) {
    case Step::kCreate:
      if (done && !upload_id(*transfer) &&
          transfer->attempts < retry::retries) {
        ++running_;
        uncertain_ = true;
        loop.retry_later(std::move(transfer), "the answer names no upload id");
        return;
      }
      if (done) failure = created(*transfer);
      if (!done && failure->kind != Failure::Kind::kStore) uncertain_ = true;
      break;
    case Step::kPart:
      loop.parts_in_memory -= transfer->job.size;
      // An id that the store does not know was read wrong (a byte changed
      // on its way): the upload it named may still be there.
      if (failure && failure->status == 404) uncertain_ = true;
      if (done) failure = part_stored(loop, *transfer);
      break;
    case Step::kComplete:
      if (done) failure = completed(loop, *transfer);
      break;
    case Step::kAbort:
      // Dropped, or as good as it gets: the upload ends here either way.
      if (transfer->query == "uploadId=" + query_encode(id_)) id_.clear();
      failure.reset();
      break;
    case Step::kUploads:
      // At most one look: an upload that it cannot find stays unknown.
      if (done) swept(*transfer);
      failure.reset();
      break;
    default:
      break;
  }
  loop.recycle(std::move(transfer));
  if (failure) failed(loop, std::move(*failure));
}

std::optional<Failure> Upload::created(const Transfer& answer) {
  std::optional<std::string> id = upload_id(answer);
  if (!id) {
    uncertain_ = true;
    Failure f{Failure::Kind::kStore};
    f.status = 200;
    f.content_type = answer.content_type;
    f.body = answer.body;
    return f;
  }
  id_ = *id;
  if (state_ != State::kCreate) return std::nullopt;  // stopped: dropped
  int error_number = 0;
  std::uint64_t size = 0;
  fd_ = open_regular(job_.path, size, error_number);
  if (fd_ < 0 || size != job_.size) {
    Failure f{fd_ < 0 && error_number != not_regular ? Failure::Kind::kSystem
                                                     : Failure::Kind::kChanged};
    f.os_errno = error_number > 0 ? error_number : 0;
    f.message = "changed after it was read";
    return f;
  }
  state_ = State::kParts;
  return std::nullopt;
}

std::optional<Failure> Upload::part_stored(Loop& loop, const Transfer& answer) {
  if (answer.etag.empty()) {
    Failure f{Failure::Kind::kStore};
    f.status = 200;
    f.message = "a part's answer has no ETag";
    return f;
  }
  etags_[static_cast<std::size_t>(answer.part - 1)] = answer.etag;
  if (++done_ < parts_ || state_ != State::kParts) return std::nullopt;
  if (!sent_as_read()) {
    Failure f{Failure::Kind::kChanged};
    f.message = "changed while it was sent";
    return f;
  }
  // Every part is stored: they are joined into the object.
  loop.launch(complete(loop));
  return std::nullopt;
}

std::optional<Failure> Upload::completed(Loop& loop, const Transfer& answer) {
  // The store may answer 200 and an error document.
  auto document = parse_document(answer.body, "Code");
  if (document && document->root == "Error") {
    Failure f{Failure::Kind::kStore};
    f.status = 200;
    f.content_type = "application/xml";
    f.body = answer.body;
    return f;
  }
  answered_ = true;
  loop.post(Done{Done::Kind::kMoved, job_.token, job_.object_name, job_.size});
  id_.clear();  // nothing to drop any more
  state_ = State::kClean;
  return std::nullopt;
}

// The unfinished uploads of this file's name that the store began since its
// first start was sent, in the store's own clock (its Date header): those
// that a lost answer left behind. A margin of two seconds covers the
// header's whole seconds.
void Upload::swept(const Transfer& answer) {
  auto uploads = parse_uploads(answer.body);
  if (!uploads) return;
  auto local_now = std::chrono::system_clock::now();
  std::int64_t since =
      store_now(answer, local_now) -
      std::chrono::duration_cast<std::chrono::seconds>(local_now - first_sent_)
          .count() -
      2;
  for (const UnfinishedUpload& entry : *uploads) {
    if (entry.key == job_.object_name && !entry.upload_id.empty() &&
        iso_seconds(entry.initiated) >= since) {
      lost_.push_back(entry.upload_id);
    }
  }
}

void Upload::failed(Loop& loop, Failure failure) {
  state_ = State::kClean;
  if (answered_) return;
  answered_ = true;
  loop.fail_file(job_, std::move(failure));
}

// Whether the parts sent make up the content that the file had when its
// CRC-32 was taken (a file that changed in place, its size and time kept).
bool Upload::sent_as_read() const {
  if (job_.crc32_hex.empty()) return true;
  std::uint32_t crc = crcs_[0];
  for (int part = 2; part <= parts_; ++part) {
    std::uint64_t from = static_cast<std::uint64_t>(part - 1) * part_size_;
    crc = crc32_join(crc, crcs_[static_cast<std::size_t>(part - 1)],
                     std::min(part_size_, job_.size - from));
  }
  return crc32_matches(job_.crc32_hex, crc);
}

}  // namespace

std::unique_ptr<MetaRequest> make_upload(Job job) {
  return std::make_unique<Upload>(std::move(job));
}

}  // namespace zarnel::transfer
