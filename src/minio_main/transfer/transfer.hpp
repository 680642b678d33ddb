// One request of the transfer engine and what came back of it: its libcurl
// options, its callbacks, and the checks of its answer. Only the engine's
// own thread touches a Transfer.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "transfer/engine.hpp"
#include "transfer/files.hpp"

namespace zarnel::transfer {

class MetaRequest;  // the file's or the listing's transfer (kinds.hpp)

// What a request does.
enum class Step {
  kPut,       // a file in one request
  kGet,       // a file
  kList,      // a page of a listing
  kCreate,    // the start of a file stored in parts
  kPart,      // one part of it
  kComplete,  // its parts joined into the object
  kAbort,     // its parts dropped
  kRange,     // one range of a large file
  kUploads,   // the store's unfinished uploads of one file's name
  kParts,     // the parts already stored of one of them
  kHead,      // the headers of the object that a resumed upload stored
};

// How a finished request ends.
enum class Ending { kDone, kRetry, kFailed };

struct Transfer {
  Transfer();
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Sets the request up and adds it to `multi`; false, with `failure` set,
  // when a local step failed before anything was sent.
  bool begin(CURLM* multi, const Endpoint& endpoint, const std::string& region);
  // What the finished request comes to: done, to be tried again (`why` says
  // why), or failed (`failure` says how).
  Ending end(CURLcode result, std::string& why);
  // Back to a request not yet sent: nothing received, no file left behind.
  void reset();

  CURL* easy;  // owned: cleaned up with the Transfer
  MetaRequest* owner = nullptr;
  Step step = Step::kPut;
  // kPut, kGet: the file; kPart: the part, its bytes in `job.body`; the
  // requests of a listing or a file in parts carry no caller's name.
  Job job;
  std::string query;  // in the order that the signature sorts it
  // kPart: its number, from 1; kRange: the part asked for by its number,
  // or 0 for a range of bytes.
  int part = 0;
  // kRange: the file's, the range's first byte in it (of a part: once its
  // answer says), and the object's size.
  int range_fd = -1;
  std::uint64_t range_from = 0, object_size = 0;
  int attempts = 0;                             // retries made
  std::chrono::steady_clock::time_point due{};  // of the next retry
  std::optional<Failure> failure;

  // The answer. `crc32_meta`: the CRC-32 that the object was stored with
  // (x-amz-meta-zarnel-crc32), `date` the store's clock.
  std::string body, content_type, request_id, host_id, etag, content_range;
  std::string crc32_meta, date, last_modified;
  bool encrypted = false;
  // The CRC-32 of a GET's or a range's body as it came, where the object has
  // one to check it against.
  std::optional<std::uint32_t> crc32;
  std::string md5_hex;  // kRange: the MD5 of a part as it came, if taken

 private:
  bool open_source();
  void set_options();
  void add_header(const std::string& line);
  void add_headers(const Endpoint& endpoint);
  void set_method();
  Ending transport_ending(CURLcode result, std::string& why);
  Ending status_ending(long code, std::string& why);
  bool write_piece(const char* data, std::size_t length);
  bool write_whole(const char* data, std::size_t length);
  long status() const;
  Failure failed_as(Failure::Kind kind) const;
  void system_failure(int error_number, const std::string& path);
  void changed_failure(const char* what);
  bool open_file();
  void discard_file();
  bool place_part();
  std::string body_mismatch();
  bool keep_file();

  static size_t on_header(char* line, size_t size, size_t count, void* data);
  static size_t on_body(char* data, size_t size, size_t count, void* user);
  static size_t on_read(char* buffer, size_t size, size_t count, void* data);
  static int on_seek(void* data, curl_off_t where, int origin);

  struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
  };
  struct ListCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };
  std::unique_ptr<CURL, EasyCleanup> owned_;  // `easy`
  std::unique_ptr<curl_slist, ListCleanup> headers_;
  std::string url_, resource_, sigv4_;
  char error_[CURL_ERROR_SIZE] = {0};
  // A PUT read from its file, and the SHA-256 of what was sent of it.
  int in_fd_ = -1;
  std::uint64_t offset_ = 0;
  std::unique_ptr<Digest> sent_;
  // A GET's temporary file.
  int out_fd_ = -1;
  std::string temp_path_;
  std::uint64_t written_ = 0;
  std::unique_ptr<Digest> md5_;
  bool overlong_ = false;  // more body than the object has
  bool unplaced_ = false;  // a part whose answer says not where it goes
};

// Whether the header line `line` is header `name` (any case), its value in
// `value` without the blanks around it.
bool header_is(const char* line, std::size_t length, const char* name,
               std::string& value);

// S3's encoding of a query value: every byte but the unreserved ones as %XX.
std::string query_encode(const std::string& text);

// A quoted ETag as the bare lower-case text, and whether it is a plain MD5.
std::string unquoted(std::string etag);
bool plain_md5(const std::string& etag);
// The number of parts that an object stored in parts was joined from, as its
// ETag says ("<MD5 of the parts' MD5s>-<parts>"), or 0.
int etag_parts(const std::string& etag);

}  // namespace zarnel::transfer
