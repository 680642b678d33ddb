// A large file, or one stored in parts, fetched in pieces, several at once,
// into one temporary file beside its target, which is renamed over the
// target once every piece came whole and the file matches its CRC-32 or its
// ETag.
//
// Resumed (Job::resume): the temporary file has a name of its target's
// (".zarnel-<16 hex of the SHA-256 of the file's name>.part", locked while
// in use) and beside it a journal, the same name and ".resume": lines of
// text saying which object (its bucket and name encoded as in a URL, size,
// ETag or, from a store that gives none, Last-Modified, CRC-32 header) and
// how it is cut, then one line for each piece that came whole (and, without
// an ETag, 2 s or more after its object was written), appended as
// it comes ("whole <index> <first byte> <length>"); a line cut short (the
// process killed) is not read. A failure, a stop or Ctrl-C leaves both. The
// next call carries on when the journal names the same object (size, and
// ETag where the listing gives one): the pieces it lacks come with If-Match
// the journal's ETag (or If-Unmodified-Since); the kept pieces are read back
// for their CRC-32 (or their MD5, part by part), so the final check covers
// the bytes on disk. An object that changed meanwhile (412, or a file that
// fails its check) comes again whole.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <future>
#include <sstream>
#include <system_error>

#include "transfer/files.hpp"
#include "transfer/kinds.hpp"
#include "transfer/retry.hpp"

namespace zarnel::transfer {

namespace {

// A journal's value: printable, without blanks unless `spaces` (else it is
// not written).
bool plain_value(const std::string& text, bool spaces = false) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
    return (c > ' ' || (spaces && c == ' ')) && c < 127;
  });
}

// Whether an answer without an ETag came 2 s or more after its object's
// Last-Modified (by the store's clock, its Date): in whole seconds, an
// object written later then has a later Last-Modified, which
// If-Unmodified-Since tells; one written in that same second may not.
bool settled(const Transfer& answer) {
  std::int64_t modified = curl_getdate(answer.last_modified.c_str(), nullptr);
  std::int64_t now = curl_getdate(answer.date.c_str(), nullptr);
  return modified >= 0 && now >= modified + 2;
}

// A piece carried on: where it lies, and its digest as read back.
struct Kept {
  std::size_t index;
  std::uint64_t start, length;
  bool read = false;
  std::uint32_t crc = 0;
  std::string md5;
};
std::vector<Kept> read_back(int fd, std::vector<Kept> pieces, bool crc,
                            const std::atomic<bool>& abandon);

class Download final : public MetaRequest {
 public:
  explicit Download(Job job) : job_(std::move(job)), listed_etag_(job_.etag) {
    cut();
  }
  ~Download() override {
    stop_reading();
    if (fd_ >= 0) ::close(fd_);
    if (journal_fd_ >= 0) ::close(journal_fd_);
    // Resumed, the pieces stay for the next call, unless they are wrong.
    if (job_.resume && !discard_) return;
    if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
    if (!journal_path_.empty()) ::unlink(journal_path_.c_str());
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
  // again part by part, each part's MD5 checked against its ETag. kAnew: a
  // resumed object that changed: once the pieces in flight are back, it
  // comes again whole.
  enum class State { kOpen, kFetch, kToParts, kAnew, kEnded };

  // The pieces as the object is cut from the start.
  void cut() {
    int parts = etag_parts(job_.etag);
    if (parts > 0 && job_.size <= ranged_limit) {
      by_parts(parts);
    } else {
      by_ranges();
    }
  }
  void by_ranges() {
    by_part_ = false;
    ranges_ = static_cast<int>((job_.size + range_size - 1) / range_size);
    next_ = done_ = 0;
    crcs_.assign(static_cast<std::size_t>(ranges_), std::nullopt);
    have_.assign(static_cast<std::size_t>(ranges_), 0);
  }
  void by_parts(int parts) {
    by_part_ = true;
    ranges_ = parts;
    next_ = done_ = 0;
    auto count = static_cast<std::size_t>(parts);
    crcs_.assign(count, std::nullopt);
    starts_.assign(count, 0);
    lengths_.assign(count, 0);
    md5s_.assign(count, std::string());
    have_.assign(count, 0);
  }
  bool open(Loop& loop);
  int open_kept();
  bool carry_on();
  bool keep(std::size_t index, std::uint64_t start, std::uint64_t length,
            std::uint64_t file_size);
  bool read_back_all();
  void stop_reading();
  void start_journal();
  void note(const std::string& line);
  void anew();
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
  // Resumed: the journal, the ETag it names (or, from a store that gives
  // none, the object's Last-Modified), whether it names the CRC-32 header,
  // the pieces whole (carried on or come), whether pieces were carried on
  // from an earlier call, and whether the file is to go.
  std::string journal_path_, journal_etag_, journal_modified_, listed_etag_;
  int journal_fd_ = -1;
  bool journal_crc32_ = false, carried_ = false, discard_ = false;
  std::vector<char> have_;
  // The kept pieces to read back for their digests, and their reading.
  std::vector<Kept> kept_;
  std::future<std::vector<Kept>> reading_;
  std::atomic<bool> abandon_{false};
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
  } else if ((fd_ = job_.resume
                        ? open_kept()
                        : create_temporary(job_.path, temp_path_)) < 0) {
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
  while (next_ < ranges_ && have_[static_cast<std::size_t>(next_)] != 0) {
    ++next_;
  }
  if (next_ >= ranges_) return nullptr;
  std::unique_ptr<Transfer> transfer = loop.transfer(*this);
  transfer->step = Step::kRange;
  Job& job = transfer->job;
  job.kind = Job::Kind::kGet;
  job.bucket = job_.bucket;
  job.object_name = job_.object_name;
  job.path = job_.path;
  job.etag = job_.etag;
  if (carried_ && job_.etag.empty()) job.unmodified_since = journal_modified_;
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
  // Carried on, the object changed since: it comes again whole. What the
  // pieces in flight bring meanwhile is of the object as it was.
  if (failure && carried_ && failure->status == 412 &&
      state_ == State::kFetch) {
    state_ = State::kAnew;
  }
  if (state_ == State::kAnew) failure.reset();
  if (done) record(*transfer);
  loop.recycle(std::move(transfer));
  // Carried on, an object cut otherwise than it was comes anew too.
  if (running_ == 0 &&
      (state_ == State::kAnew || (state_ == State::kToParts && carried_))) {
    anew();
  } else if (state_ == State::kToParts && running_ == 0) {
    by_parts(etag_parts(job_.etag));
    start_journal();
    state_ = State::kFetch;
  } else if (done && state_ == State::kFetch && ++done_ == ranges_) {
    std::string mismatch = read_back_all()
                               ? whole_mismatch()
                               : "a piece kept could not be read back";
    if (!mismatch.empty() && (carried_ || attempts_ < retry::retries)) {
      // Which piece was not its object's cannot be told: all come again.
      if (carried_) {
        anew();
      } else {
        ++attempts_;
        next_ = done_ = 0;
        start_journal();
      }
      Done again{Done::Kind::kRetried, nullptr, job_.object_name};
      again.reason = mismatch;
      loop.post(std::move(again));
    } else if (!mismatch.empty()) {
      discard_ = true;
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
  // Journaled as whole (after a stop too) when it is of the object that the
  // journal names.
  if (state_ == State::kToParts || state_ == State::kAnew || journal_fd_ < 0) {
    return;
  }
  if (journal_etag_.empty() && journal_modified_.empty()) {
    if (plain_value(answer.etag)) {
      journal_etag_ = answer.etag;
      note("etag " + journal_etag_ + "\n");
    } else if (answer.etag.empty() && settled(answer) &&
               plain_value(answer.last_modified, true)) {
      journal_modified_ = answer.last_modified;
      note("modified " + journal_modified_ + "\n");
    } else {
      return;
    }
  } else if (journal_etag_.empty()
                 ? answer.last_modified != journal_modified_ || !settled(answer)
                 : !answer.etag.empty() &&
                       unquoted(answer.etag) != unquoted(journal_etag_)) {
    return;
  }
  if (!journal_crc32_ && plain_value(crc32_meta_)) {
    journal_crc32_ = true;
    note("crc32 " + crc32_meta_ + "\n");
  }
  note("whole " + std::to_string(index) + " " +
       std::to_string(by_part_ ? starts_[index] : answer.range_from) + " " +
       std::to_string(by_part_ ? lengths_[index] : answer.job.size) + "\n");
}

// The temporary file of a resumed download, at its target's name for it,
// its journal read: the descriptor, or -1 with errno set. One that is no
// plain file of its own, or that another call holds, leaves the download a
// fresh one, not resumed.
int Download::open_kept() {
  std::string::size_type slash = job_.path.rfind('/');
  std::string::size_type name = slash == std::string::npos ? 0 : slash + 1;
  temp_path_ = job_.path.substr(0, name) + ".zarnel-" +
               sha256_hex(job_.path.substr(name)).substr(0, 16) + ".part";
  fd_ = ::open(temp_path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
               0666);
  struct stat status;
  if (fd_ >= 0 && (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode) ||
                   status.st_nlink != 1 || status.st_uid != ::geteuid() ||
                   ::flock(fd_, LOCK_EX | LOCK_NB) != 0)) {
    ::close(fd_);
    fd_ = -1;
  }
  if (fd_ < 0) {
    job_.resume = false;
    temp_path_.clear();
    return create_temporary(job_.path, temp_path_);
  }
  journal_path_ = temp_path_ + ".resume";
  if (!carry_on()) {
    job_.etag = listed_etag_;
    crc32_meta_.clear();
    cut();
    start_journal();
    if (::ftruncate(fd_, 0) != 0) {
      int error_number = errno;
      ::close(fd_);
      fd_ = -1;
      errno = error_number;
    }
  }
  return fd_;
}

// A journal as it was read: what its head names, and its pieces whole
// (index, first byte, length).
struct Journal {
  std::string object, etag, modified, crc32, cut;
  std::uint64_t size = 0, count = 0;
  std::vector<std::array<std::uint64_t, 3>> pieces;
};

// The journal at `path`, when it is a plain file of this user's of this
// format; its last line only when whole.
std::optional<Journal> read_journal(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  struct stat status;
  if (fd >= 0 && (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
                  status.st_uid != ::geteuid())) {
    ::close(fd);
    return std::nullopt;
  }
  if (fd < 0) return std::nullopt;
  std::string text;
  std::vector<char> buffer(std::size_t{1} << 16);
  ssize_t got = 0;
  while (text.size() < (std::size_t{16} << 20) &&
         (got = ::read(fd, buffer.data(), buffer.size())) > 0) {
    text.append(buffer.data(), static_cast<std::size_t>(got));
  }
  ::close(fd);
  std::istringstream lines(text.substr(0, text.rfind('\n') + 1));
  std::string line;
  Journal journal;
  if (!std::getline(lines, line) || line != "zarnel-resume 1") {
    return std::nullopt;
  }
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    std::array<std::uint64_t, 3> piece{};
    if (key == "object") {
      journal.object = line.substr(key.size() + 1);
    } else if (key == "size") {
      fields >> journal.size;
    } else if (key == "cut") {
      fields >> journal.cut >> journal.count;
    } else if (key == "etag") {
      fields >> journal.etag;
    } else if (key == "modified") {
      journal.modified = line.substr(key.size() + 1);
    } else if (key == "crc32") {
      fields >> journal.crc32;
    } else if (key == "whole" && fields >> piece[0] >> piece[1] >> piece[2] &&
               (fields >> std::ws).eof()) {
      journal.pieces.push_back(piece);
    }
  }
  return journal;
}

// Whether the journal names this object, cut as it can be cut now, with
// pieces whole in the file: those are kept (all but one, when all are: the
// file is then checked as a piece comes).
bool Download::carry_on() {
  std::optional<Journal> journal = read_journal(journal_path_);
  if (!journal) return false;
  const auto& [object, etag, modified, crc32, cut, size, count, pieces] =
      *journal;
  struct stat status;
  int parts = etag_parts(etag);
  if (object != encode_path(job_.bucket, false) + " " +
                    encode_path(job_.object_name, false) ||
      size != job_.size || (etag.empty() && modified.empty()) ||
      (!job_.etag.empty() && unquoted(job_.etag) != unquoted(etag))) {
    return false;
  }
  if (cut == "parts" && parts > 0 &&
      count == static_cast<std::uint64_t>(parts)) {
    by_parts(parts);
  } else if (cut == "ranges" && count == range_size) {
    by_ranges();
  } else {
    return false;
  }
  job_.etag = etag;  // the pieces that come are of this object
  crc32_meta_ = crc32;
  if (::fstat(fd_, &status) != 0) return false;
  for (const auto& [index, start, length] : pieces) {
    keep(index, start, length, static_cast<std::uint64_t>(status.st_size));
  }
  if (done_ == ranges_) {
    have_.back() = 0;
    --done_;
    kept_.erase(std::remove_if(kept_.begin(), kept_.end(),
                               [&](const Kept& piece) {
                                 return piece.index + 1 == have_.size();
                               }),
                kept_.end());
  }
  if (done_ == 0 || ::ftruncate(fd_, static_cast<off_t>(job_.size)) != 0) {
    kept_.clear();
    return false;
  }
  if (!kept_.empty()) {
    bool crc = !crc32_meta_.empty();
    try {
      reading_ = std::async(std::launch::async, read_back, fd_, kept_, crc,
                            std::cref(abandon_));
    } catch (const std::system_error&) {  // no thread: read when checked
      reading_ = std::async(std::launch::deferred, read_back, fd_, kept_, crc,
                            std::cref(abandon_));
    }
    kept_.clear();
  }
  carried_ = true;
  journal_etag_ = etag;
  journal_modified_ = etag.empty() ? modified : std::string();
  journal_crc32_ = !crc32.empty();
  journal_fd_ = ::open(journal_path_.c_str(),
                       O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  return true;
}

// A journaled piece kept when it is one of this cut and lies in the file:
// its CRC-32 (or, part by part, its MD5) taken from the bytes there.
bool Download::keep(std::size_t index, std::uint64_t start,
                    std::uint64_t length, std::uint64_t file_size) {
  if (index >= have_.size() || have_[index] != 0 || length == 0 ||
      start + length > job_.size || start + length > file_size ||
      (!by_part_ && (start != index * range_size ||
                     length != std::min(range_size, job_.size - start)))) {
    return false;
  }
  if (!crc32_meta_.empty() || by_part_)
    kept_.push_back({index, start, length, false, 0, {}});
  if (by_part_) {
    starts_[index] = start;
    lengths_[index] = length;
  }
  have_[index] = 1;
  ++done_;
  return true;
}

// The kept pieces read back, on a thread of their own while the missing
// ones come: each one's CRC-32 (`crc`) or MD5 from the bytes in the file.
std::vector<Kept> read_back(int fd, std::vector<Kept> pieces, bool crc,
                            const std::atomic<bool>& abandon) {
  std::vector<char> buffer(std::size_t{1} << 20);
  for (Kept& piece : pieces) {
    Digest md5(EVP_md5());
    std::uint32_t sum = 0;
    std::uint64_t at = piece.start, end = piece.start + piece.length;
    while (at < end && !abandon) {
      std::size_t want = static_cast<std::size_t>(
          std::min<std::uint64_t>(buffer.size(), end - at));
      ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(at));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      auto size = static_cast<std::size_t>(got);
      if (crc) {
        sum = crc32_update(sum, buffer.data(), size);
      } else {
        md5.update(buffer.data(), size);
      }
      at += size;
    }
    piece.read = at == end;
    if (crc) {
      piece.crc = sum;
    } else {
      piece.md5 = md5.hex();
    }
  }
  return pieces;
}

// Whether every kept piece was read back; their digests taken into the
// final check.
bool Download::read_back_all() {
  if (!reading_.valid()) return true;
  for (const Kept& piece : reading_.get()) {
    if (!piece.read) return false;
    if (crc32_meta_.empty()) {
      md5s_[piece.index] = piece.md5;
    } else {
      crcs_[piece.index] = piece.crc;
    }
  }
  return true;
}

// The reading back given up (before the file goes or comes anew).
void Download::stop_reading() {
  if (!reading_.valid()) return;
  abandon_ = true;
  reading_.wait();
  reading_ = {};
  abandon_ = false;
}

// The journal begun anew (written whole, then renamed over the old one):
// the object and its cut, no piece whole yet.
void Download::start_journal() {
  if (journal_path_.empty()) return;
  if (journal_fd_ >= 0) ::close(journal_fd_);
  journal_fd_ = -1;
  journal_etag_.clear();
  journal_modified_.clear();
  journal_crc32_ = false;
  std::string text = "zarnel-resume 1\nobject " +
                     encode_path(job_.bucket, false) + " " +
                     encode_path(job_.object_name, false) + "\nsize " +
                     std::to_string(job_.size) + "\ncut " +
                     (by_part_ ? "parts " + std::to_string(ranges_)
                               : "ranges " + std::to_string(range_size)) +
                     "\n";
  if (plain_value(job_.etag)) {
    journal_etag_ = job_.etag;
    text += "etag " + job_.etag + "\n";
  }
  std::string temp;
  int fd = create_temporary(journal_path_, temp);
  if (fd < 0) return;
  bool written = ::write(fd, text.data(), text.size()) ==
                 static_cast<ssize_t>(text.size());
  if (::close(fd) != 0 || !written ||
      ::rename(temp.c_str(), journal_path_.c_str()) != 0) {
    ::unlink(temp.c_str());
    return;
  }
  journal_fd_ = ::open(journal_path_.c_str(),
                       O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
}

// One line at the journal's end, whole or not at all: after one cut short
// nothing more is written.
void Download::note(const std::string& line) {
  if (journal_fd_ < 0) return;
  if (::write(journal_fd_, line.data(), line.size()) !=
      static_cast<ssize_t>(line.size())) {
    ::close(journal_fd_);
    journal_fd_ = -1;
  }
}

// The object carried on changed since: it comes again whole, as the listing
// gave it.
void Download::anew() {
  stop_reading();
  carried_ = false;
  job_.etag = listed_etag_;
  crc32_meta_.clear();
  cut();
  start_journal();
  state_ = State::kFetch;
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
  if (!journal_path_.empty()) ::unlink(journal_path_.c_str());
  journal_path_.clear();
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
