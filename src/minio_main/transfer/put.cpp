// A file stored in parts: created, its parts sent (several at once, and
// parts of several files), then completed; on any failure, a stop or Ctrl-C,
// aborted, so that no unfinished upload stays on the store.
//
// Resumed (Job::resume): the store's record is the journal, no local file.
// The newest unfinished upload of the name is looked up (ListMultipartUploads,
// then ListParts); it is carried on when the file was not written since its
// first part was stored (the file's time against that part's LastModified:
// the store keeps no metadata of ours that these answers give back) and its
// parts were cut as the file is cut now (part_size_for: each part's number
// and size), else dropped and the file sent whole. Each stored part is kept
// only when the MD5 of the file's bytes at its place is its ETag, read as the
// part comes up to be sent: so the object is the file's bytes now whatever
// changed since (a changed size changes the cut; a same-size edit re-sends the
// parts it touched). A failure, a stop or Ctrl-C then keeps the upload on the
// store. The whole file's CRC-32 is read only if the upload starts anew (its
// start carries it); one carried on is checked against the joined CRC-32s
// of its parts as read now.
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// A file that is no longer what was read of it.
Failure changed_file(const char* what) {
  Failure f{Failure::Kind::kChanged};
  f.message = what;
  return f;
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
    if (job_.resume) {
      state_ = State::kLook;
      stored_.resize(static_cast<std::size_t>(parts_));
    }
  }
  ~Upload() override {
    if (fd_ >= 0) ::close(fd_);
  }
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  std::unique_ptr<Transfer> next_request(Loop& loop) override {
    switch (state_) {
      case State::kLook:
        return look_sent_ ? nullptr : look(loop);
      case State::kCrc:
        return crc_round(loop);
      case State::kCreate:
        return create_sent_ ? nullptr : create(loop);
      case State::kParts:
        return next_part(loop);
      case State::kReuse:  // its parts' list asked for
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
  // kLook, kReuse: resumed, its unfinished upload looked for, then its
  // parts listed; kCrc: resumed and started anew, the file's CRC-32 read.
  enum class State { kLook, kReuse, kCrc, kCreate, kParts, kComplete, kClean };

  std::unique_ptr<Transfer> request(Loop& loop, Step step, std::string query) {
    std::unique_ptr<Transfer> transfer = loop.transfer(*this);
    transfer->step = step;
    transfer->job.bucket = job_.bucket;
    transfer->job.object_name = job_.object_name;
    transfer->query = std::move(query);
    ++running_;
    return transfer;
  }
  std::unique_ptr<Transfer> look(Loop& loop);
  std::unique_ptr<Transfer> list_parts(Loop& loop, const std::string& marker);
  std::unique_ptr<Transfer> looked(Loop& loop, bool done,
                                   const Transfer& answer);
  std::unique_ptr<Transfer> listed(Loop& loop, bool done,
                                   const Transfer& answer);
  std::unique_ptr<Transfer> fresh(Loop& loop);
  std::unique_ptr<Transfer> crc_round(Loop& loop);
  bool changed_since(const Transfer& answer, std::int64_t began) const;
  std::optional<Failure> open_file();
  std::uint64_t size_of(int part) const {
    std::uint64_t from = static_cast<std::uint64_t>(part - 1) * part_size_;
    return std::min(part_size_, job_.size - from);
  }
  bool stored(int number) const {
    return !stored_.empty() &&
           !stored_[static_cast<std::size_t>(number - 1)].empty();
  }
  std::unique_ptr<Transfer> create(Loop& loop);
  std::unique_ptr<Transfer> next_part(Loop& loop);
  std::unique_ptr<Transfer> part_request(Loop& loop);
  bool check_stored(Loop& loop);
  bool read_part(Job& part, std::uint64_t from);
  std::unique_ptr<Transfer> complete(Loop& loop);
  std::unique_ptr<Transfer> clean_up(Loop& loop);
  std::optional<Failure> created(const Transfer& answer);
  std::optional<Failure> part_stored(Loop& loop, const Transfer& answer);
  std::optional<Failure> completed(Loop& loop, const Transfer& answer);
  std::optional<Failure> checked(Loop& loop, const Transfer& answer);
  void start_over(Loop& loop);
  void swept(const Transfer& answer);
  void failed(Loop& loop, Failure failure);
  std::uint32_t joined_crc() const;
  bool sent_as_read() const;

  Job job_;  // the file; its name comes back in its Done
  State state_ = State::kCreate;
  std::string id_;  // the store's, once created; empty once dropped
  std::uint64_t part_size_ = 0;
  int parts_ = 0, next_ = 1, running_ = 0, done_ = 0;
  std::vector<std::string> etags_;
  std::vector<std::uint32_t> crcs_;  // of each part as it was sent
  int fd_ = -1;
  struct timespec mtime_ = {};  // when it was opened for its parts
  bool create_sent_ = false, answered_ = false, aborting_ = false;
  // Resumed: the ETags of the parts the store holds (empty: none), and the
  // upload kept on the store by a failure or a stop, which the sweep for
  // lost uploads passes over.
  bool look_sent_ = false, looking_ = false;
  std::vector<std::string> stored_;
  // The next stored part to check, and the stored parts that differ from
  // the file, to be sent.
  std::size_t check_ = 0;
  std::vector<int> resend_;
  std::int64_t first_stored_ = -1;  // the oldest stored part's time
  std::uint64_t crc_read_ = 0;      // kCrc: bytes read so far
  std::uint32_t crc_ = 0;
  std::string kept_;
  // Whether the object is joined from parts of an upload begun by an earlier
  // call, whose CRC-32 header was that of the file as it read it then.
  bool carried_on_ = false, started_over_ = false;
  // A start whose answer was lost (or unreadable) may have begun an upload
  // whose id only the store knows: once this file's upload ends, the
  // store's unfinished uploads of its name begun since `first_sent_` are
  // looked up (`swept_`) and dropped (`lost_`).
  bool uncertain_ = false, swept_ = false;
  std::vector<std::string> lost_;
  std::chrono::system_clock::time_point first_sent_{};
};

std::unique_ptr<Transfer> Upload::look(Loop& loop) {
  look_sent_ = looking_ = true;
  return request(loop, Step::kUploads,
                 "prefix=" + query_encode(job_.object_name) + "&uploads=");
}

std::unique_ptr<Transfer> Upload::list_parts(Loop& loop,
                                             const std::string& marker) {
  std::string query = "uploadId=" + query_encode(id_);
  if (!marker.empty()) query = "part-number-marker=" + marker + "&" + query;
  return request(loop, Step::kParts, std::move(query));
}

// The newest unfinished upload of the name, if the store holds one, has its
// parts listed; else (or when the store would not say) the file starts anew.
std::unique_ptr<Transfer> Upload::looked(Loop& loop, bool done,
                                         const Transfer& answer) {
  std::optional<std::vector<UnfinishedUpload>> uploads;
  if (done) uploads = parse_uploads(answer.body);
  const UnfinishedUpload* newest = nullptr;
  if (uploads) {
    for (const UnfinishedUpload& entry : *uploads) {
      if (entry.key == job_.object_name && !entry.upload_id.empty() &&
          (newest == nullptr || entry.initiated > newest->initiated)) {
        newest = &entry;
      }
    }
  }
  if (newest == nullptr) return fresh(loop);
  id_ = newest->upload_id;
  state_ = State::kReuse;
  return list_parts(loop, {});
}

// An upload cut otherwise than the file is cut now (another size, another
// part size), or begun before the file was last written, is dropped and the
// file sent whole; else its parts are checked as they come up.
std::unique_ptr<Transfer> Upload::listed(Loop& loop, bool done,
                                         const Transfer& answer) {
  std::optional<PartPage> page;
  if (done) page = parse_parts(answer.body);
  bool same_cut = page.has_value();
  if (page) {
    for (const StoredPart& part : page->parts) {
      if (part.number > parts_ || part.size != size_of(part.number)) {
        same_cut = false;
        break;
      }
      stored_[static_cast<std::size_t>(part.number - 1)] = part.etag;
      std::int64_t stored = iso_seconds(part.last_modified);
      if (stored >= 0 && (first_stored_ < 0 || stored < first_stored_)) {
        first_stored_ = stored;
      }
    }
  }
  if (same_cut && page->next) return list_parts(loop, *page->next);
  if (same_cut && changed_since(answer, first_stored_)) same_cut = false;
  if (!same_cut) {
    // Not listed (the store would not say): left as it is. Cut otherwise:
    // dropped.
    std::string old = std::move(id_);
    id_.clear();
    std::fill(stored_.begin(), stored_.end(), std::string());
    if (page)
      loop.launch(request(loop, Step::kAbort, "uploadId=" + query_encode(old)));
    return fresh(loop);
  }
  if (std::optional<Failure> failure = open_file()) {
    failed(loop, std::move(*failure));
    return nullptr;
  }
  state_ = State::kParts;
  carried_on_ = true;
  return nullptr;
}

// Whether the file was written after `began` (seconds in the store's clock,
// which its Date header relates to ours; -1: unknown). Its first part's
// time stands for the upload's start: a store may give no true Initiated. A
// write within the margin of the whole seconds is not seen here: the parts'
// MD5s still are.
bool Upload::changed_since(const Transfer& answer, std::int64_t began) const {
  struct stat status;
  if (began < 0 || ::stat(job_.path.c_str(), &status) != 0) return false;
  auto local_now = std::chrono::system_clock::now();
  std::int64_t offset = store_now(answer, local_now) -
                        std::chrono::duration_cast<std::chrono::seconds>(
                            local_now.time_since_epoch())
                            .count();
  return status.st_mtim.tv_sec + offset > began + 2;
}

std::unique_ptr<Transfer> Upload::fresh(Loop& loop) {
  if (!job_.crc32_hex.empty()) {
    state_ = State::kCreate;
    return create(loop);
  }
  // Resumed: the CRC-32 was left for now (tree.cpp).
  state_ = State::kCrc;
  crc_read_ = 0;
  crc_ = 0;
  if (std::optional<Failure> failure = open_file()) {
    failed(loop, std::move(*failure));
    return nullptr;
  }
  loop.keep_going();
  return nullptr;
}

// A piece of the file a round, so that the loop keeps answering; once all
// of it is read, the upload starts.
std::unique_ptr<Transfer> Upload::crc_round(Loop& loop) {
  constexpr std::uint64_t piece = std::uint64_t{16} * 1024 * 1024;
  Job chunk;
  chunk.size = std::min(piece, job_.size - crc_read_);
  if (!read_part(chunk, crc_read_)) {
    failed(loop, changed_file("changed while it was read"));
    return nullptr;
  }
  crc_ = crc32_update(crc_, chunk.body.data(), chunk.body.size());
  crc_read_ += chunk.size;
  if (crc_read_ < job_.size) {
    loop.keep_going();
    return nullptr;
  }
  job_.crc32_hex = crc32_hex(crc_);
  state_ = State::kCreate;
  return create(loop);
}

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
  if (std::unique_ptr<Transfer> transfer = part_request(loop)) return transfer;
  // Resumed: while no part can go (no worker free, the memory bound, none
  // left to send), a part that the store holds is checked, one a round so
  // the loop keeps answering, and the loop comes back at once for the next.
  if (state_ != State::kParts || !check_stored(loop)) return nullptr;
  loop.keep_going();
  if (state_ != State::kParts || done_ < parts_) return nullptr;
  if (!sent_as_read()) {
    failed(loop, changed_file("changed while it was sent"));
    return nullptr;
  }
  return complete(loop);
}

// The next part to send, read and hashed: one whose stored copy differs,
// else the next one that the store does not hold.
std::unique_ptr<Transfer> Upload::part_request(Loop& loop) {
  if (!loop.room() ||
      loop.parts_in_memory + part_size_ > std::max(part_memory, part_size_)) {
    return nullptr;
  }
  while (resend_.empty() && next_ <= parts_ && stored(next_)) ++next_;
  if (resend_.empty() && next_ > parts_) return nullptr;
  int number = next_;
  if (resend_.empty()) {
    ++next_;
  } else {
    number = resend_.back();
    resend_.pop_back();
  }
  std::uint64_t from = static_cast<std::uint64_t>(number - 1) * part_size_;
  std::unique_ptr<Transfer> transfer =
      request(loop, Step::kPart,
              "partNumber=" + std::to_string(number) +
                  "&uploadId=" + query_encode(id_));
  Job& part = transfer->job;
  part.path = job_.path;
  part.size = size_of(number);
  part.body_in_memory = true;
  if (!read_part(part, from)) {
    --running_;
    loop.recycle(std::move(transfer));
    failed(loop, changed_file("changed while it was sent"));
    return nullptr;
  }
  crcs_[static_cast<std::size_t>(number - 1)] =
      crc32_update(0, part.body.data(), part.body.size());
  part.sha256_hex = sha256_hex(part.body);
  transfer->part = number;
  loop.parts_in_memory += part.size;
  return transfer;
}

// The next part that the store holds, read: kept when the MD5 of its bytes
// is the stored part's ETag, else to be sent. False when none is left (or
// the file changed).
bool Upload::check_stored(Loop& loop) {
  while (check_ < stored_.size() && stored_[check_].empty()) ++check_;
  if (check_ >= stored_.size()) return false;
  int number = static_cast<int>(check_++) + 1;
  Job part;
  part.size = size_of(number);
  if (!read_part(part, static_cast<std::uint64_t>(number - 1) * part_size_)) {
    failed(loop, changed_file("changed while it was sent"));
    return false;
  }
  auto index = static_cast<std::size_t>(number - 1);
  crcs_[index] = crc32_update(0, part.body.data(), part.body.size());
  Digest md5(EVP_md5());
  md5.update(part.body.data(), part.body.size());
  if (md5.hex() == unquoted(stored_[index])) {
    etags_[index] = stored_[index];
    ++done_;
  } else {
    resend_.push_back(number);
  }
  return true;
}

// The part as it is now, read whole: what is signed is what is sent. False
// when the file changed since it was opened (its size or its time).
bool Upload::read_part(Job& part, std::uint64_t from) {
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
              same_time(status.st_mtim, mtime_);
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
  if (!id_.empty() && job_.resume) {
    kept_ = std::move(id_);  // carried on by the next call that resumes
    id_.clear();
  }
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
  std::unique_ptr<Transfer> next;
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
    case Step::kHead:
      if (done) failure = checked(loop, *transfer);
      break;
    case Step::kAbort:
      // Dropped, or as good as it gets: the upload ends here either way.
      if (transfer->query == "uploadId=" + query_encode(id_)) id_.clear();
      failure.reset();
      break;
    case Step::kUploads:
      if (looking_) {
        // Resumed: what the store holds of the name, if it says.
        looking_ = false;
        if (state_ == State::kLook) next = looked(loop, done, *transfer);
      } else if (done) {
        // At most one look: an upload that it cannot find stays unknown.
        swept(*transfer);
      }
      failure.reset();
      break;
    case Step::kParts:
      if (state_ == State::kReuse) next = listed(loop, done, *transfer);
      failure.reset();
      break;
    default:
      break;
  }
  loop.recycle(std::move(transfer));
  if (next) loop.launch(std::move(next));
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
  if (std::optional<Failure> failure = open_file()) return failure;
  state_ = State::kParts;
  return std::nullopt;
}

std::optional<Failure> Upload::open_file() {
  if (fd_ >= 0) ::close(fd_);
  int error_number = 0;
  std::uint64_t size = 0;
  fd_ = open_regular(job_.path, size, error_number);
  struct stat status;
  if (fd_ >= 0 && size == job_.size && ::fstat(fd_, &status) == 0) {
    mtime_ = status.st_mtim;  // each part read is checked against it
    return std::nullopt;
  }
  Failure f{fd_ < 0 && error_number != not_regular ? Failure::Kind::kSystem
                                                   : Failure::Kind::kChanged};
  f.os_errno = error_number > 0 ? error_number : 0;
  f.message = "changed after it was read";
  return f;
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
    return changed_file("changed while it was sent");
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
  id_.clear();  // nothing to drop any more
  if (carried_on_) {
    // Its CRC-32 header is the one that the upload began with: checked.
    loop.launch(request(loop, Step::kHead, {}));
    return std::nullopt;
  }
  answered_ = true;
  loop.post(Done{Done::Kind::kMoved, job_.token, job_.object_name, job_.size});
  state_ = State::kClean;
  return std::nullopt;
}

// An object carried on from an earlier call whose CRC-32 header names
// another content (the file written since, its time kept or within the
// margin) would fail every download's check: the file is sent again whole,
// once. A store that keeps no user metadata has nothing to contradict.
std::optional<Failure> Upload::checked(Loop& loop, const Transfer& answer) {
  if (state_ != State::kComplete) return std::nullopt;  // stopped meanwhile
  if (answer.crc32_meta.empty() ||
      crc32_matches(answer.crc32_meta, joined_crc())) {
    answered_ = true;
    loop.post(
        Done{Done::Kind::kMoved, job_.token, job_.object_name, job_.size});
    state_ = State::kClean;
    return std::nullopt;
  }
  if (!started_over_) {
    start_over(loop);
    return std::nullopt;
  }
  return changed_file("stored with the CRC-32 of another content");
}

void Upload::start_over(Loop& loop) {
  started_over_ = true;
  carried_on_ = false;
  next_ = 1;
  done_ = 0;
  std::fill(stored_.begin(), stored_.end(), std::string());
  check_ = 0;
  resend_.clear();
  create_sent_ = false;
  job_.crc32_hex.clear();  // the file may have changed: read it again
  if (std::unique_ptr<Transfer> transfer = fresh(loop))
    loop.launch(std::move(transfer));
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
        entry.upload_id != kept_ && iso_seconds(entry.initiated) >= since) {
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
  return job_.crc32_hex.empty() || crc32_matches(job_.crc32_hex, joined_crc());
}

// The CRC-32 of the parts' bytes as they were sent or checked, joined.
std::uint32_t Upload::joined_crc() const {
  std::uint32_t crc = crcs_[0];
  for (int part = 2; part <= parts_; ++part) {
    crc = crc32_join(crc, crcs_[static_cast<std::size_t>(part - 1)],
                     size_of(part));
  }
  return crc;
}

}  // namespace

std::unique_ptr<MetaRequest> make_upload(Job job) {
  return std::make_unique<Upload>(std::move(job));
}

}  // namespace zarnel::transfer
