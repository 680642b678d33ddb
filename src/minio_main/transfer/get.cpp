// A large file, or one stored in parts, fetched in pieces, several at once,
// into one temporary file beside its target, which is renamed over the
// target once every piece came whole and the file matches its CRC-32 or its
// ETag.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "transfer/files.hpp"
#include "transfer/kinds.hpp"
#include "transfer/retry.hpp"

namespace zarnel::transfer {

namespace {

class Download final : public MetaRequest {
 public:
  explicit Download(Job job) : job_(std::move(job)) {
    int parts = etag_parts(job_.etag);
    if (parts > 0 && job_.size <= ranged_limit) {
      by_parts(parts);
    } else {
      ranges_ = static_cast<int>((job_.size + range_size - 1) / range_size);
      crcs_.resize(static_cast<std::size_t>(ranges_));
    }
  }
  ~Download() override {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
  }
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  std::unique_ptr<Transfer> next_request(Loop& loop) override {
    if (state_ == State::kOpen && !open(loop)) return nullptr;
    if (state_ != State::kFetch || next_ >= ranges_ || !loop.room()) {
      return nullptr;
    }
    return piece(loop);
  }

  void finished(Loop& loop, std::unique_ptr<Transfer> transfer,
                bool done) override;

  void dropped(Loop& loop, std::unique_ptr<Transfer> transfer) override {
    --running_;
    loop.recycle(std::move(transfer));
  }

  void stop(Loop& loop) override {
    // No new piece starts; the file goes once none runs.
    if (!answered_) loop.skip(job_);
    answered_ = true;
    state_ = State::kEnded;
  }

  bool ended() const override {
    return state_ == State::kEnded && running_ == 0;
  }

 private:
  // kToParts: an object stored in parts whose first ranges came without a
  // CRC-32 to check them: once the ranges in flight are back, it comes
  // again part by part, each part's MD5 checked against its ETag.
  enum class State { kOpen, kFetch, kToParts, kEnded };

  void by_parts(int parts) {
    by_part_ = true;
    ranges_ = parts;
    next_ = done_ = 0;
    auto count = static_cast<std::size_t>(parts);
    crcs_.assign(count, std::nullopt);
    starts_.assign(count, 0);
    lengths_.assign(count, 0);
    md5s_.assign(count, std::string());
  }
  bool open(Loop& loop);
  std::unique_ptr<Transfer> piece(Loop& loop);
  void record(const Transfer& answer);
  std::optional<Failure> all_in();
  std::string whole_mismatch() const;
  std::string parts_mismatch() const;
  std::string crc32_mismatch() const;
  std::string md5_mismatch() const;
  void failed(Loop& loop, Failure failure);

  Job job_;  // the file; its name comes back in its Done
  State state_ = State::kOpen;
  int fd_ = -1;
  std::string temp_path_;
  int ranges_ = 0, next_ = 0, running_ = 0, done_ = 0;
  int attempts_ = 0;  // of the whole file, after a check of it failed
  bool answered_ = false;
  // Where the object carries its CRC-32: the header's text, and each
  // piece's CRC-32 as it came.
  std::string crc32_meta_;
  std::vector<std::optional<std::uint32_t>> crcs_;
  // An object stored in parts comes part by part (`by_part_`) up to
  // ranged_limit: where each part went and, without a CRC-32, its MD5.
  bool by_part_ = false;
  std::vector<std::uint64_t> starts_, lengths_;
  std::vector<std::string> md5s_;
};

bool Download::open(Loop& loop) {
  struct stat status;
  int error_number = 0;
  if (::stat(job_.path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    error_number = EISDIR;
  } else if ((fd_ = create_temporary(job_.path, temp_path_)) < 0) {
    error_number = errno;
    temp_path_.clear();
  }
  if (error_number == 0) {
    state_ = State::kFetch;
    return true;
  }
  Failure f{error_number == EISDIR ? Failure::Kind::kValue
                                   : Failure::Kind::kSystem};
  f.os_errno = error_number;
  f.message = "file " + job_.path + " is a directory";
  failed(loop, std::move(f));
  return false;
}

std::unique_ptr<Transfer> Download::piece(Loop& loop) {
  std::unique_ptr<Transfer> transfer = loop.transfer(*this);
  transfer->step = Step::kRange;
  Job& job = transfer->job;
  job.kind = Job::Kind::kGet;
  job.bucket = job_.bucket;
  job.object_name = job_.object_name;
  job.path = job_.path;
  job.etag = job_.etag;
  transfer->range_fd = fd_;
  transfer->object_size = job_.size;
  if (by_part_) {
    // Its place and size come with the answer.
    transfer->part = next_ + 1;
    transfer->query = "partNumber=" + std::to_string(transfer->part);
    transfer->range_from = 0;
    job.size = job_.size;
  } else {
    std::uint64_t from = static_cast<std::uint64_t>(next_) * range_size;
    transfer->part = 0;
    transfer->range_from = from;
    job.size = std::min(range_size, job_.size - from);
  }
  ++next_;
  ++running_;
  return transfer;
}

void Download::finished(Loop& loop, std::unique_ptr<Transfer> transfer,
                        bool done) {
  --running_;
  std::optional<Failure> failure;
  if (!done) {
    failure = std::move(transfer->failure);
    if (!failure) failure.emplace(Failure::Kind::kTransport);
  }
  if (done) record(*transfer);
  loop.recycle(std::move(transfer));
  if (state_ == State::kToParts && running_ == 0) {
    by_parts(etag_parts(job_.etag));
    state_ = State::kFetch;
  } else if (done && state_ == State::kFetch && ++done_ == ranges_) {
    std::string mismatch = whole_mismatch();
    if (!mismatch.empty() && attempts_ < retry::retries) {
      // Which piece was not its object's cannot be told: all come again.
      ++attempts_;
      next_ = done_ = 0;
      Done again{Done::Kind::kRetried, nullptr, job_.object_name};
      again.reason = mismatch;
      loop.post(std::move(again));
    } else if (!mismatch.empty()) {
      failure.emplace(Failure::Kind::kBody);
      failure->message = mismatch;
    } else {
      failure = all_in();
      if (!failure) {
        state_ = State::kEnded;
        answered_ = true;
        loop.post(
            Done{Done::Kind::kMoved, job_.token, job_.object_name, job_.size});
      }
    }
  }
  if (failure) failed(loop, std::move(*failure));
}

void Download::record(const Transfer& answer) {
  auto index = static_cast<std::size_t>(
      by_part_ ? answer.part - 1 : answer.range_from / range_size);
  crcs_[index] = answer.crc32;
  if (by_part_) {
    starts_[index] = answer.range_from;
    lengths_[index] = answer.job.size;
    md5s_[index] = answer.md5_hex;
  }
  if (!answer.crc32_meta.empty()) {
    crc32_meta_ = answer.crc32_meta;
  } else if (!by_part_ && etag_parts(job_.etag) > 0 &&
             state_ == State::kFetch) {
    state_ = State::kToParts;  // stored in parts, by another client
  }
}

// The file renamed into place; a failure when that fails.
std::optional<Failure> Download::all_in() {
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 ||
      ::rename(temp_path_.c_str(), job_.path.c_str()) != 0) {
    Failure f{Failure::Kind::kSystem};
    f.os_errno = errno;
    return f;
  }
  temp_path_.clear();  // kept
  return std::nullopt;
}

void Download::failed(Loop& loop, Failure failure) {
  state_ = State::kEnded;
  if (answered_) return;
  answered_ = true;
  loop.fail_file(job_, std::move(failure));
}

// Whether the file that every piece was written to matches the CRC-32 it was
// stored with (each piece's joined), or else the MD5 of its ETag, where it
// has one: read back whole, since its pieces came in any order.
std::string Download::whole_mismatch() const {
  if (by_part_) {
    std::string gap = parts_mismatch();
    if (!gap.empty()) return gap;
  }
  if (!crc32_meta_.empty()) return crc32_mismatch();
  return md5_mismatch();
}

std::string Download::parts_mismatch() const {
  std::uint64_t from = 0;
  for (std::size_t i = 0; i < starts_.size(); ++i) {
    if (starts_[i] != from) return "the parts do not join up";
    from += lengths_[i];
  }
  if (from != job_.size) return "the parts do not make up the object";
  return {};
}

std::string Download::crc32_mismatch() const {
  std::uint32_t crc = 0;
  std::uint64_t from = 0;
  for (std::size_t i = 0; i < crcs_.size(); ++i) {
    const auto& piece = crcs_[i];
    if (!piece) return "a range came without the CRC-32 of its object";
    std::uint64_t size =
        by_part_ ? lengths_[i] : std::min(range_size, job_.size - from);
    crc = i == 0 ? *piece : crc32_join(crc, *piece, size);
    from += size;
  }
  if (crc32_matches(crc32_meta_, crc)) return {};
  return "the body does not match the CRC-32 it was stored with";
}

std::string Download::md5_mismatch() const {
  if (by_part_) {
    // The ETag of an object stored in parts: the MD5 of its parts' MD5s.
    std::string joined;
    for (const std::string& hex : md5s_) {
      if (hex.size() != 32) return "a part came without its MD5";
      for (std::size_t i = 0; i < 32; i += 2) {
        joined += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
      }
    }
    Digest digest(EVP_md5());
    digest.update(joined.data(), joined.size());
    std::string want = digest.hex() + "-" + std::to_string(md5s_.size());
    if (unquoted(job_.etag) == want) return {};
    return "the body does not match its ETag (the MD5 of its parts)";
  }
  std::string md5 = unquoted(job_.etag);
  if (!plain_md5(md5)) return {};
  Digest digest(EVP_md5());
  std::string buffer(std::size_t{1} << 20, '\0');
  std::uint64_t offset = 0;
  while (offset < job_.size) {
    ssize_t got =
        ::pread(fd_, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return "the file could not be read back";
    digest.update(buffer.data(), static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
  }
  return digest.hex() == md5 ? std::string()
                             : "the body does not match its ETag (MD5)";
}

}  // namespace

std::unique_ptr<MetaRequest> make_download(Job job) {
  return std::make_unique<Download>(std::move(job));
}

}  // namespace zarnel::transfer
