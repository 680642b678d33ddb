#include "transfer/transfer.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "transfer/retry.hpp"

namespace zarnel::transfer {

namespace {

// What is kept of an error answer's body, and of a listing page.
constexpr std::size_t error_body_limit = std::size_t{64} * 1024;
constexpr std::size_t page_limit = std::size_t{32} * 1024 * 1024;
// The storage client's timeouts: 5 minutes to connect, and 5 minutes
// without a byte ends a transfer.
constexpr long timeout_seconds = 300;
const char* const empty_sha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// The base64 MD5 of `data`, as Content-MD5 carries it.
std::string content_md5(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  unsigned char text[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  int written = EVP_EncodeBlock(text, digest, static_cast<int>(length));
  return std::string(reinterpret_cast<char*>(text),
                     static_cast<std::size_t>(written));
}

}  // namespace

bool header_is(const char* line, std::size_t length, const char* name,
               std::string& value) {
  std::size_t name_length = std::strlen(name);
  if (length <= name_length || line[name_length] != ':' ||
      strncasecmp(line, name, name_length) != 0) {
    return false;
  }
  std::size_t from = name_length + 1;
  while (from < length && (line[from] == ' ' || line[from] == '\t')) ++from;
  std::size_t to = length;
  while (to > from && (line[to - 1] == '\r' || line[to - 1] == '\n' ||
                       line[to - 1] == ' ')) {
    --to;
  }
  value.assign(line + from, to - from);
  return true;
}

std::string query_encode(const std::string& text) {
  return encode_path(text, false);
}

bool plain_md5(const std::string& etag) {
  if (etag.size() != 32) return false;
  return std::all_of(etag.begin(), etag.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  });
}

int etag_parts(const std::string& etag) {
  std::string value = unquoted(etag);
  std::size_t dash = value.find('-');
  if (dash != 32 || !plain_md5(value.substr(0, 32)) || value.size() == 33 ||
      value.size() > 38) {
    return 0;
  }
  int parts = 0;
  for (std::size_t i = 33; i < value.size(); ++i) {
    if (value[i] < '0' || value[i] > '9') return 0;
    parts = parts * 10 + (value[i] - '0');
  }
  return parts;
}

std::string unquoted(std::string etag) {
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') {
    etag = etag.substr(1, etag.size() - 2);
  }
  std::transform(etag.begin(), etag.end(), etag.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return etag;
}

Transfer::Transfer() : easy(curl_easy_init()), owned_(easy) {
  if (easy == nullptr) throw std::bad_alloc();
}

Transfer::~Transfer() { reset(); }

void Transfer::reset() {
  headers_.reset();
  body.clear();
  content_type.clear();
  request_id.clear();
  host_id.clear();
  etag.clear();
  content_range.clear();
  crc32_meta.clear();
  date.clear();
  last_modified.clear();
  encrypted = false;
  crc32.reset();
  if (in_fd_ >= 0) ::close(in_fd_);
  in_fd_ = -1;
  offset_ = 0;
  sent_.reset();
  discard_file();
  failure.reset();
  error_[0] = '\0';
}

void Transfer::discard_file() {
  if (out_fd_ >= 0) ::close(out_fd_);
  out_fd_ = -1;
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
  temp_path_.clear();
  written_ = 0;
  md5_.reset();
  crc32.reset();
  md5_hex.clear();
  overlong_ = unplaced_ = false;
}

long Transfer::status() const {
  long code = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
  return code;
}

Failure Transfer::failed_as(Failure::Kind kind) const {
  Failure f{kind};
  f.bucket = job.bucket;
  f.object_name = job.object_name;
  f.resource = resource_;
  f.path = job.path;
  return f;
}

void Transfer::system_failure(int error_number, const std::string& path) {
  Failure f = failed_as(Failure::Kind::kSystem);
  f.os_errno = error_number;
  f.path = path;
  failure = std::move(f);
}

void Transfer::changed_failure(const char* what) {
  Failure f = failed_as(Failure::Kind::kChanged);
  f.message = what;
  failure = std::move(f);
}

bool Transfer::begin(CURLM* multi, const Endpoint& endpoint,
                     const std::string& region) {
  reset();
  if (!open_source()) return false;
  resource_ = "/" + job.bucket;
  if (step == Step::kList) {
    url_ = endpoint.base_url + resource_ + "?" + query;
  } else if (step == Step::kUploads) {
    url_ = endpoint.base_url + resource_ + "/?" + query;
  } else {
    resource_ += "/" + encode_path(job.object_name);
    url_ = endpoint.base_url + resource_ + (query.empty() ? "" : "?" + query);
  }
  set_options();
  if (endpoint.sign) {
    sigv4_ = "aws:amz:" + region + ":s3";
    curl_easy_setopt(easy, CURLOPT_AWS_SIGV4, sigv4_.c_str());
    curl_easy_setopt(easy, CURLOPT_USERNAME, endpoint.access_key.c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, endpoint.secret_key.c_str());
  }
  add_headers(endpoint);
  set_method();
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers_.get());
  curl_multi_add_handle(multi, easy);
  return true;
}

// What is read or written locally before a request: false, with `failure`
// set, when that fails before anything is sent.
bool Transfer::open_source() {
  if (step == Step::kGet) {
    // As the storage client refuses to download over a folder.
    struct stat status;
    if (::stat(job.path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      Failure f = failed_as(Failure::Kind::kValue);
      f.message = "file " + job.path + " is a directory";
      failure = std::move(f);
      return false;
    }
  }
  if (step != Step::kPut || job.body_in_memory) return true;
  std::uint64_t size = 0;
  int error_number = 0;
  in_fd_ = open_regular(job.path, size, error_number);
  if (in_fd_ < 0 && error_number == not_regular) {
    changed_failure("is no longer a regular file");
    return false;
  }
  if (in_fd_ < 0) {
    system_failure(error_number, job.path);
    return false;
  }
  if (size != job.size) {
    changed_failure("changed size after it was read");
    return false;
  }
  sent_ = std::make_unique<Digest>(EVP_sha256());
  return true;
}

void Transfer::set_options() {
  curl_easy_reset(easy);
  // Only the store's own endpoint, over plain HTTP, never a proxy from the
  // environment, never a redirect, and the path exactly as encoded (libcurl
  // would otherwise squash "." and ".." segments of an object name).
  curl_easy_setopt(easy, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
  // Larger reads of a download's body: a sixteenth as many callbacks and
  // write() calls per MiB as with libcurl's 16 KiB.
  if (step == Step::kGet || step == Step::kRange) {
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
  }
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, timeout_seconds);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, timeout_seconds);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, "zarnel (libcurl)");
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error_);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::on_header);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::on_body);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  // The engine finds a finished request's Transfer by this.
  curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
  // libcurl asks for "100 Continue" before a body, and the header cannot go
  // (its signature covers it); not waiting for the answer saves a round trip
  // per file (measured: about 1.4x the files/s at 8 workers with 2 ms round
  // trips). A refused body is at most one part sent for nothing.
  curl_easy_setopt(easy, CURLOPT_EXPECT_100_TIMEOUT_MS, 0L);
}

void Transfer::add_header(const std::string& line) {
  curl_slist* longer = curl_slist_append(headers_.get(), line.c_str());
  if (longer == nullptr) throw std::bad_alloc();
  (void)headers_.release();  // now part of `longer`
  headers_.reset(longer);
}

void Transfer::add_headers(const Endpoint& endpoint) {
  // libcurl signs x-amz-content-sha256 only when the request carries it, and
  // the store then checks the body against it.
  bool hashed =
      step == Step::kPut || step == Step::kPart || step == Step::kComplete;
  add_header("x-amz-content-sha256: " +
             (hashed ? job.sha256_hex : std::string(empty_sha256)));
  if (!endpoint.session_token.empty()) {
    add_header("x-amz-security-token: " + endpoint.session_token);
  }
  if (step == Step::kPut || step == Step::kCreate) {
    add_header("Content-Type: " + job.content_type);
  }
  if (step == Step::kCreate && !job.crc32_hex.empty()) {
    add_header(std::string(crc32_header) + ": " + job.crc32_hex);
  }
  if (step == Step::kComplete) {
    add_header("Content-Type: application/xml");
    add_header("Content-MD5: " + content_md5(job.body));
  }
  if (step == Step::kRange && part == 0) {
    add_header("Range: bytes=" + std::to_string(range_from) + "-" +
               std::to_string(range_from + job.size - 1));
  }
  // Every range of the same object, not of one stored meanwhile.
  if (step == Step::kRange && !job.etag.empty()) {
    add_header("If-Match: " + job.etag);
  }
  if (step == Step::kRange && !job.unmodified_since.empty()) {
    add_header("If-Unmodified-Since: " + job.unmodified_since);
  }
}

void Transfer::set_method() {
  if (step == Step::kPut && job.body_in_memory) {
    // A small file goes out with its headers, in one write (a 4 KiB file in
    // one segment, not two); libcurl sends it again on a retry. Not a part:
    // libcurl would add an unsigned "Expect" to a body of more than 1 MiB,
    // which some stores refuse.
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "PUT");
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(job.body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, job.body.data());
  } else if (step == Step::kPut || step == Step::kPart) {
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE,
                     static_cast<curl_off_t>(job.size));
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::on_read);
    curl_easy_setopt(easy, CURLOPT_READDATA, this);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Transfer::on_seek);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
  } else if (step == Step::kCreate || step == Step::kComplete) {
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(job.body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, job.body.data());
  } else if (step == Step::kAbort) {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "DELETE");
  } else if (step == Step::kHead) {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  }
}

Ending Transfer::end(CURLcode result, std::string& why) {
  if (overlong_ || unplaced_) result = CURLE_OK;  // the checks below say it
  if (failure) return Ending::kFailed;  // a local step ended the request
  if (result != CURLE_OK) return transport_ending(result, why);
  long code = status();
  // An abort of an upload that the store forgot already is done too.
  bool answered = step == Step::kAbort
                      ? code == 204 || code == 200 || code == 404
                      : code == (step == Step::kRange ? 206 : 200);
  if (!answered) return status_ending(code, why);
  if (step != Step::kGet && step != Step::kRange) return Ending::kDone;
  if (step == Step::kGet && out_fd_ < 0 && !open_file()) {
    return Ending::kFailed;  // an empty object
  }
  std::string mismatch = body_mismatch();
  if (!mismatch.empty()) {
    if (attempts < retry::retries) {
      why = mismatch;
      discard_file();
      return Ending::kRetry;
    }
    Failure f = failed_as(Failure::Kind::kBody);
    f.message = mismatch;
    failure = std::move(f);
    return Ending::kFailed;
  }
  if (step == Step::kRange) {
    if (md5_) md5_hex = md5_->hex();
    return Ending::kDone;
  }
  return keep_file() ? Ending::kDone : Ending::kFailed;
}

Ending Transfer::transport_ending(CURLcode result, std::string& why) {
  std::string said = error_[0] != '\0' ? error_ : curl_easy_strerror(result);
  if (retry::transient(result) && attempts < retry::retries) {
    why = said;
    discard_file();
    return Ending::kRetry;
  }
  Failure f = failed_as(Failure::Kind::kTransport);
  f.curl_code = result;
  long os_errno = 0;
  curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &os_errno);
  f.os_errno = static_cast<int>(os_errno);
  f.message = said;
  failure = std::move(f);
  return Ending::kFailed;
}

Ending Transfer::status_ending(long code, std::string& why) {
  bool transient = retry::transient_status(code);
  if (transient && attempts < retry::retries) {
    why = "HTTP status " + std::to_string(code);
    discard_file();
    return Ending::kRetry;
  }
  // Out of retries on a transient answer, the storage client's pool gives
  // up as it does on a dropped connection.
  Failure f =
      failed_as(transient ? Failure::Kind::kTransport : Failure::Kind::kStore);
  f.status = code;
  f.content_type = content_type;
  f.request_id = request_id;
  f.host_id = host_id;
  f.body = body;
  failure = std::move(f);
  return Ending::kFailed;
}

bool Transfer::keep_file() {
  int fd = out_fd_;
  out_fd_ = -1;
  if (::close(fd) != 0 || ::rename(temp_path_.c_str(), job.path.c_str()) != 0) {
    int error_number = errno;
    discard_file();
    system_failure(error_number, job.path);
    return false;
  }
  temp_path_.clear();
  return true;
}

bool Transfer::open_file() {
  out_fd_ = create_temporary(job.path, temp_path_);
  if (out_fd_ < 0) {
    int error_number = errno;
    temp_path_.clear();
    system_failure(error_number, job.path);
    return false;
  }
  // The MD5 only where there is one to check it against: the ETag of an
  // object stored in parts, or of an encrypted one, is no MD5 of its
  // content (hashing costs more CPU than the rest of a download).
  if ((plain_md5(unquoted(etag)) || plain_md5(unquoted(job.etag))) &&
      !encrypted) {
    md5_ = std::make_unique<Digest>(EVP_md5());
  } else if (!crc32_meta.empty()) {
    // Stored in parts with its CRC-32 (by this engine): that is checked,
    // at a tenth of the MD5's CPU.
    crc32 = 0;
  }
  return true;
}

// Why a downloaded body is not its object's, or nothing: its length against
// the answer's Content-Length and the listing's size, its MD5 against the
// answer's and the listing's ETag where these are one.
std::string Transfer::body_mismatch() {
  curl_off_t length = -1;
  curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  if (unplaced_) return "the part came as '" + content_range + "'";
  if (overlong_) {
    return "the body is longer than the " + std::to_string(job.size) +
           " bytes of its object";
  }
  if (length >= 0 && written_ != static_cast<std::uint64_t>(length)) {
    return "IncompleteRead(" + std::to_string(written_) + " bytes read, " +
           std::to_string(static_cast<std::uint64_t>(length) - written_) +
           " more expected)";
  }
  if (written_ != job.size) {
    return "the body has " + std::to_string(written_) + " bytes, its object " +
           std::to_string(job.size);
  }
  if (step == Step::kRange) {
    // "bytes FIRST-LAST/SIZE": the range asked for, of an object that still
    // has the size the listing gave.
    std::string wanted = "bytes " + std::to_string(range_from) + "-" +
                         std::to_string(range_from + job.size - 1) + "/" +
                         std::to_string(object_size);
    if (content_range != wanted) {
      return "the range came as '" + content_range + "', not '" + wanted + "'";
    }
    return {};
  }
  if (crc32 && !crc32_matches(crc32_meta, *crc32)) {
    return "the body does not match the CRC-32 it was stored with";
  }
  if (!md5_) return {};
  std::string digest = md5_->hex();
  for (const std::string* tag : {&etag, &job.etag}) {
    std::string value = unquoted(*tag);
    if (plain_md5(value) && digest != value) {
      return "the body does not match its ETag (MD5)";
    }
  }
  return {};
}

size_t Transfer::on_header(char* line, size_t size, size_t count, void* data) {
  auto* self = static_cast<Transfer*>(data);
  std::size_t length = size * count;
  std::string value;
  if (length >= 5 && std::strncmp(line, "HTTP/", 5) == 0) {
    // A new answer (after "100 Continue", say): forget the last one's.
    self->content_type.clear();
    self->request_id.clear();
    self->host_id.clear();
    self->etag.clear();
    self->content_range.clear();
    self->crc32_meta.clear();
    self->date.clear();
    self->last_modified.clear();
    self->encrypted = false;
  } else if (header_is(line, length, "Content-Type", value)) {
    self->content_type = value;
  } else if (header_is(line, length, "x-amz-request-id", value)) {
    self->request_id = value;
  } else if (header_is(line, length, "x-amz-id-2", value)) {
    self->host_id = value;
  } else if (header_is(line, length, "ETag", value)) {
    self->etag = value;
  } else if (header_is(line, length, "Content-Range", value)) {
    self->content_range = value;
  } else if (header_is(line, length, crc32_header, value)) {
    self->crc32_meta = value;
  } else if (header_is(line, length, "Date", value)) {
    self->date = value;
  } else if (header_is(line, length, "Last-Modified", value)) {
    self->last_modified = value;
  } else if (header_is(line, length, "x-amz-server-side-encryption", value) ||
             header_is(line, length,
                       "x-amz-server-side-encryption-customer-algorithm",
                       value)) {
    self->encrypted = true;
  }
  return length;
}

size_t Transfer::on_body(char* data, size_t size, size_t count, void* user) {
  auto* self = static_cast<Transfer*>(user);
  std::size_t length = size * count;
  bool to_file = self->step == Step::kGet     ? self->status() == 200
                 : self->step == Step::kRange ? self->status() == 206
                                              : false;
  if (!to_file) {
    bool listing = self->step == Step::kList || self->step == Step::kUploads ||
                   self->step == Step::kParts;
    std::size_t limit = listing ? page_limit : error_body_limit;
    if (self->body.size() < limit) {
      self->body.append(data, std::min(length, limit - self->body.size()));
    }
    return length;
  }
  if (self->step == Step::kRange && self->part > 0 && self->written_ == 0 &&
      !self->place_part()) {
    self->unplaced_ = true;  // ends the request; end() retries it
    return 0;
  }
  if (self->written_ + length > self->job.size) {
    self->overlong_ = true;  // ends the request; end() retries it
    return 0;
  }
  bool written = self->step == Step::kRange ? self->write_piece(data, length)
                                            : self->write_whole(data, length);
  if (!written) return 0;
  self->written_ += length;
  return length;
}

// Into the file that every range of the object shares, at the range's place.
bool Transfer::write_piece(const char* data, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    ssize_t put = ::pwrite(range_fd, data + done, length - done,
                           static_cast<off_t>(range_from + written_ + done));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) {
      system_failure(errno, job.path);
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  if (!crc32_meta.empty()) {
    crc32 = crc32_update(crc32.value_or(0), data, length);
  } else if (part > 0) {
    // A part of an object that carries no CRC-32: its MD5 goes into the
    // check of the object's ETag.
    if (!md5_) md5_ = std::make_unique<Digest>(EVP_md5());
    md5_->update(data, length);
  }
  return true;
}

bool Transfer::write_whole(const char* data, std::size_t length) {
  if (out_fd_ < 0 && !open_file()) return false;
  std::size_t done = 0;
  while (done < length) {
    ssize_t put = ::write(out_fd_, data + done, length - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      system_failure(errno, temp_path_);
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  if (md5_) md5_->update(data, length);
  if (crc32) crc32 = crc32_update(*crc32, data, length);
  return true;
}

bool Transfer::place_part() {
  // "bytes FIRST-LAST/SIZE": where the part goes in an object of the size
  // that the listing gave.
  unsigned long long first = 0, last = 0, size = 0;
  if (std::sscanf(content_range.c_str(), "bytes %llu-%llu/%llu", &first, &last,
                  &size) != 3 ||
      last < first || size != object_size || last >= size) {
    return false;
  }
  range_from = first;
  job.size = last - first + 1;
  return true;
}

size_t Transfer::on_read(char* buffer, size_t size, size_t count, void* data) {
  auto* self = static_cast<Transfer*>(data);
  std::size_t room = size * count;
  const Job& job = self->job;
  if (self->offset_ >= job.size) return 0;
  std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(room, job.size - self->offset_));
  if (job.body_in_memory) {  // a part
    std::memcpy(buffer, job.body.data() + self->offset_, want);
    self->offset_ += want;
    return want;
  }
  ssize_t got;
  do {
    got =
        ::pread(self->in_fd_, buffer, want, static_cast<off_t>(self->offset_));
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    self->system_failure(errno, job.path);
    return CURL_READFUNC_ABORT;
  }
  if (got == 0) {
    self->changed_failure("became shorter after it was read");
    return CURL_READFUNC_ABORT;
  }
  self->sent_->update(buffer, static_cast<std::size_t>(got));
  self->offset_ += static_cast<std::uint64_t>(got);
  // The store does not always check the signed SHA-256 of the body: the
  // request ends before its last byte unless what was sent is what was
  // hashed, so no object is stored with bytes that the file never had.
  if (self->offset_ == job.size && self->sent_->hex() != job.sha256_hex) {
    self->changed_failure("changed after it was read");
    return CURL_READFUNC_ABORT;
  }
  return static_cast<std::size_t>(got);
}

int Transfer::on_seek(void* data, curl_off_t where, int origin) {
  auto* self = static_cast<Transfer*>(data);
  // Only back to the start (a rewind), which the digest can follow.
  if (origin != SEEK_SET || where != 0) return CURL_SEEKFUNC_CANTSEEK;
  self->offset_ = 0;
  if (!self->job.body_in_memory) {
    self->sent_ = std::make_unique<Digest>(EVP_sha256());
  }
  return CURL_SEEKFUNC_OK;
}

}  // namespace zarnel::transfer
