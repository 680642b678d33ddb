#include "transfer/lister.hpp"

#include <pthread.h>
#include <strings.h>

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "transfer/retry.hpp"
#include "transfer/transfer.hpp"

namespace zarnel::transfer {

namespace {

// As the transfer engine's requests (engine.cpp): the storage client's
// timeouts, 5 minutes to connect and 5 minutes without a byte; a page of
// 1,000 keys, and what is kept of one.
constexpr long timeout_seconds = 300;
constexpr long keys_per_page = 1000;
constexpr std::size_t page_limit = std::size_t{32} * 1024 * 1024;
constexpr int poll_ms = 100;
const char* const empty_sha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

struct MultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct EasyCleanup {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

// One answer: its body and the headers that an error report names.
struct Lister::Answer {
  std::string body, content_type, request_id, host_id;
  bool too_large = false;
  char error[CURL_ERROR_SIZE] = {0};

  void clear() {
    body.clear();
    content_type.clear();
    request_id.clear();
    host_id.clear();
    too_large = false;
    error[0] = '\0';
  }

  static size_t on_header(char* line, size_t size, size_t count, void* data) {
    auto* self = static_cast<Answer*>(data);
    std::size_t length = size * count;
    std::string value;
    if (length >= 5 && std::strncmp(line, "HTTP/", 5) == 0) {
      self->content_type.clear();  // a new answer (after "100 Continue")
      self->request_id.clear();
      self->host_id.clear();
    } else if (header_is(line, length, "Content-Type", value)) {
      self->content_type = value;
    } else if (header_is(line, length, "x-amz-request-id", value)) {
      self->request_id = value;
    } else if (header_is(line, length, "x-amz-id-2", value)) {
      self->host_id = value;
    }
    return length;
  }

  static size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Answer*>(user);
    std::size_t length = size * count;
    if (self->body.size() + length > page_limit) {
      self->too_large = true;
      return 0;  // ends the request
    }
    self->body.append(data, length);
    return length;
  }
};

Lister::Lister(Endpoint endpoint, std::string region, std::string bucket,
               std::string prefix)
    : endpoint_(std::move(endpoint)),
      region_(std::move(region)),
      bucket_(std::move(bucket)),
      prefix_(std::move(prefix)) {
  static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)global;
}

Lister::~Lister() {
  cancel();
  join();
}

void Lister::start() { thread_ = std::thread(&Lister::run, this); }

void Lister::cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = true;
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
  changed_.notify_all();
}

void Lister::join() {
  if (thread_.joinable()) thread_.join();
}

bool Lister::cancelled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

Lister::Step Lister::next(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout,
                    [this] { return !ready_.empty() || !retried_.empty(); });
  Step step;
  if (!ready_.empty()) {
    step = std::move(ready_.front());
    ready_.pop_front();
    changed_.notify_all();  // room for the next page
  }
  step.retried.swap(retried_);
  return step;
}

void Lister::post(Step step) {
  std::lock_guard<std::mutex> lock(mutex_);
  ready_.push_back(std::move(step));
  changed_.notify_all();
}

void Lister::run() {
  pthread_setname_np(pthread_self(), "zarnel-lister");  // for ps and tests
  // Whatever ends the thread, the caller hears of it: a page, the end, a
  // failure, or (after cancel()) nothing, which it does not wait for.
  Step ended;
  ended.kind = Step::Kind::kFailed;
  try {
    list_all();
    return;
  } catch (const std::bad_alloc&) {
    ended.failure.emplace(Failure::Kind::kSystem);
    ended.failure->os_errno = ENOMEM;
  } catch (const std::exception& error) {
    ended.failure.emplace(Failure::Kind::kValue);
    ended.failure->message =
        std::string("the listing ended by a C++ exception: ") + error.what();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  multi_ = nullptr;
  try {
    ready_.push_back(std::move(ended));
  } catch (...) {
    ready_.clear();  // no memory even for that: the end, unexplained
  }
  changed_.notify_all();
}

void Lister::list_all() {
  std::unique_ptr<CURLM, MultiCleanup> multi(curl_multi_init());
  std::unique_ptr<CURL, EasyCleanup> easy(curl_easy_init());
  if (!multi || !easy) throw std::bad_alloc();
  Answer answer;
  std::unique_ptr<curl_slist, ListCleanup> headers;
  auto add_header = [&headers](const std::string& line) {
    curl_slist* longer = curl_slist_append(headers.get(), line.c_str());
    if (longer == nullptr) throw std::bad_alloc();
    (void)headers.release();
    headers.reset(longer);
  };
  // The options of the engine's requests (engine.cpp, Engine::begin): only
  // the store's own endpoint over plain HTTP, no proxy from the environment,
  // no redirect; libcurl signs x-amz-content-sha256 only when the request
  // carries it.
  add_header(std::string("x-amz-content-sha256: ") + empty_sha256);
  if (!endpoint_.session_token.empty()) {
    add_header("x-amz-security-token: " + endpoint_.session_token);
  }
  CURL* handle = easy.get();
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(handle, CURLOPT_PROXY, "");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, timeout_seconds);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, timeout_seconds);
  curl_easy_setopt(handle, CURLOPT_USERAGENT, "zarnel (libcurl)");
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, answer.error);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Answer::on_header);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &answer);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Answer::on_body);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  std::string sigv4 = "aws:amz:" + region_ + ":s3";
  if (endpoint_.sign) {
    curl_easy_setopt(handle, CURLOPT_AWS_SIGV4, sigv4.c_str());
    curl_easy_setopt(handle, CURLOPT_USERNAME, endpoint_.access_key.c_str());
    curl_easy_setopt(handle, CURLOPT_PASSWORD, endpoint_.secret_key.c_str());
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) return;
    multi_ = multi.get();
  }
  struct Forget {  // cancel() must not wake a multi handle that is gone
    Lister* lister;
    ~Forget() {
      std::lock_guard<std::mutex> lock(lister->mutex_);
      lister->multi_ = nullptr;
    }
  } forget{this};

  std::string token;
  Request request{multi.get(), handle, &answer, {}, false};
  auto url_for = [this](const std::string& from) {
    // The query as the storage client sends it, in the order that the
    // signature sorts it: libcurl signs the query as it is given. After the
    // first page the client also sends the token as start-after (its loop
    // keeps both in one variable), so the store sees the same words.
    std::string encoded = encode_path(from, false);
    std::string query;
    if (!from.empty()) query += "continuation-token=" + encoded + "&";
    query += "delimiter=&encoding-type=url&list-type=2&max-keys=" +
             std::to_string(keys_per_page) +
             "&prefix=" + encode_path(prefix_, false);
    if (!from.empty()) query += "&start-after=" + encoded;
    return endpoint_.base_url + "/" + bucket_ + "?" + query;
  };
  // Says why a request is tried again and waits its turn; false on cancel().
  auto pause = [this](std::string why, int retry) {
    std::unique_lock<std::mutex> lock(mutex_);
    retried_.push_back(std::move(why));
    changed_.notify_all();
    changed_.wait_for(lock, retry::backoff(retry),
                      [this] { return cancelled_; });
    return !cancelled_;
  };
  int damaged = 0;  // times the current page came unreadable
  request.begin(url_for(token));
  for (;;) {
    CURLcode result = CURLE_OK;
    long status = 0;
    for (int attempt = 0;; ++attempt) {
      result = request.complete(*this);
      if (cancelled()) return;
      status = 0;
      curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
      bool again = result != CURLE_OK
                       ? retry::transient(result) && !answer.too_large
                       : retry::transient_status(status);
      if (!again || attempt >= retry::retries) break;
      std::string why =
          result != CURLE_OK
              ? (answer.error[0] != '\0' ? std::string(answer.error)
                                         : curl_easy_strerror(result))
              : "HTTP status " + std::to_string(status);
      if (!pause(std::move(why), attempt + 1)) return;
      request.begin(request.url);
    }
    Step step;
    if (result != CURLE_OK || status != 200) {
      step.kind = Step::Kind::kFailed;
      step.failure = failure(result, handle, answer, request.url);
      post(std::move(step));
      return;
    }
    std::string body = std::move(answer.body);
    {
      // At most two pages at once: the one waiting for the caller and the
      // one on its way.
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return cancelled_ || ready_.empty(); });
      if (cancelled_) return;
    }
    // The store takes longer to make a page (about 10 ms for 1,000 keys on a
    // local SeaweedFS) than this thread to read one (2 ms), so the next
    // request goes out first, with the token that the text names at a
    // glance; once the page is read, a guess that was not its continuation
    // is dropped and the right one asked for.
    std::optional<std::string> guess = guess_next_token(body);
    if (guess && *guess == token) guess.reset();
    if (guess) request.begin(url_for(*guess));
    step.kind = Step::Kind::kPage;
    step.page = read_record_page(body);
    if (step.page.unreadable) {
      // Cut short or changed on its way: asked for again, as a body is.
      request.abandon();
      if (damaged == retry::retries) {
        step.kind = Step::Kind::kFailed;
        step.failure.emplace(Failure::Kind::kBody);
        step.failure->message = unreadable_page;
        step.failure->bucket = bucket_;
        step.failure->resource = "/" + bucket_;
        post(std::move(step));
        return;
      }
      if (!pause("the listing's page cannot be read", ++damaged)) return;
      request.begin(url_for(token));
      continue;
    }
    damaged = 0;
    if (step.page.irregular) step.body = std::move(body);
    // A truncated page that names no new place to go on from would have the
    // storage client ask for the same page for ever: the listing ends there,
    // as the engine's own listing does.
    const std::optional<std::string>& next = step.page.next;
    bool more = step.page.truncated && next && !next->empty() && *next != token;
    std::string following = more ? *next : std::string();
    post(std::move(step));
    if (!more || guess != following) request.abandon();
    if (!more) {
      Step end;
      end.kind = Step::Kind::kEnd;
      post(std::move(end));
      return;
    }
    if (!request.added) request.begin(url_for(following));
    token = std::move(following);
  }
}

void Lister::Request::begin(std::string to) {
  abandon();
  url = std::move(to);
  answer->clear();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_multi_add_handle(multi, easy);
  added = true;
  // Sends the request (on a kept connection) before anything else is done.
  int running = 0;
  curl_multi_perform(multi, &running);
}

void Lister::Request::abandon() {
  // Removed before its end, the request's connection is closed.
  if (added) curl_multi_remove_handle(multi, easy);
  added = false;
}

CURLcode Lister::Request::complete(Lister& lister) {
  CURLcode result = CURLE_ABORTED_BY_CALLBACK;  // unless it ends
  for (bool done = false; !done && !lister.cancelled();) {
    int running = 0;
    CURLMcode code = curl_multi_perform(multi, &running);
    if (code != CURLM_OK) {
      std::strncpy(answer->error, curl_multi_strerror(code),
                   CURL_ERROR_SIZE - 1);
      result = CURLE_FAILED_INIT;
      break;
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg == CURLMSG_DONE) {
        result = message->data.result;
        done = true;
      }
    }
    // The wait ends early on cancel() (curl_multi_wakeup).
    if (!done) curl_multi_poll(multi, nullptr, 0, poll_ms, nullptr);
  }
  abandon();
  return result;
}

Failure Lister::failure(CURLcode result, CURL* easy, const Answer& answer,
                        const std::string& url) const {
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  // Out of retries on a transient answer, the storage client's pool gives up
  // as it does on a dropped connection.
  Failure f{result != CURLE_OK || retry::transient_status(status)
                ? Failure::Kind::kTransport
                : Failure::Kind::kStore};
  // The storage client makes its S3Error of a GET's answer from the answer
  // alone, so the report names no bucket or resource that error_from would
  // add; a transport error names the request as urllib3 does, its query too.
  if (f.kind == Failure::Kind::kTransport) {
    f.resource = url.substr(endpoint_.base_url.size());
  }
  f.status = status;
  f.curl_code = result;
  f.content_type = answer.content_type;
  f.request_id = answer.request_id;
  f.host_id = answer.host_id;
  f.body = answer.body;
  if (result != CURLE_OK) {
    long os_errno = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &os_errno);
    f.os_errno = static_cast<int>(os_errno);
    f.message = answer.too_large          ? "a listing page larger than 32 MiB"
                : answer.error[0] != '\0' ? std::string(answer.error)
                                          : curl_easy_strerror(result);
  }
  return f;
}

}  // namespace zarnel::transfer
