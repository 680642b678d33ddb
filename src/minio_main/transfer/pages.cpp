// A listing, page by page (ListObjectsV2, 1,000 keys a page, names
// url-encoded), as the storage client asks for it. The store takes longer to
// make a page (about 10 ms for 1,000 keys on a local SeaweedFS) than this
// thread to read one (2 ms), so the next request goes out before a page is
// read, with the token that its text names at a glance; once the page is
// read, a guess that was not its continuation is dropped and the right one
// asked for.
#include "transfer/files.hpp"
#include "transfer/kinds.hpp"
#include "transfer/names.hpp"
#include "transfer/retry.hpp"
#include "transfer/xml.hpp"

namespace zarnel::transfer {

namespace {

constexpr int keys_per_page = 1000;

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

class Pages final : public MetaRequest {
 public:
  Pages(Listing listing, int workers)
      : listing_(std::move(listing)), workers_(workers) {}

  std::unique_ptr<Transfer> next_request(Loop& loop) override {
    if (state_ == State::kHeld && may_go_on(loop)) {
      state_ = State::kAsked;
      take(loop, std::move(held_));
    }
    if (state_ != State::kAsk || !may_go_on(loop)) return nullptr;
    state_ = State::kAsked;
    return ask(loop, token_);
  }

  void finished(Loop& loop, std::unique_ptr<Transfer> transfer,
                bool done) override {
    asked_ = nullptr;
    if (state_ == State::kEnded) {
      loop.recycle(std::move(transfer));
    } else if (!done) {
      Failure failure = transfer->failure ? std::move(*transfer->failure)
                                          : Failure{Failure::Kind::kTransport};
      std::string query = std::move(transfer->query);
      loop.recycle(std::move(transfer));
      failed(loop, std::move(failure), query);
    } else if (may_go_on(loop)) {
      take(loop, std::move(transfer));
    } else {
      held_ = std::move(transfer);  // until the caller has room for it
      state_ = State::kHeld;
    }
  }

  void dropped(Loop& loop, std::unique_ptr<Transfer> transfer) override {
    asked_ = nullptr;
    state_ = State::kEnded;
    loop.recycle(std::move(transfer));
  }

  void stop(Loop& loop) override {
    state_ = State::kEnded;
    if (held_) loop.recycle(std::move(held_));
  }

  bool ended() const override {
    return state_ == State::kEnded && asked_ == nullptr;
  }

 private:
  // kAsk: the next page is to be asked for; kAsked: it is on its way (or
  // waits to be asked again); kHeld: it came, and waits for room.
  enum class State { kAsk, kAsked, kHeld, kEnded };

  // Room for one more page: the caller has taken the last one; or, for a
  // download, fewer files wait than there are workers.
  bool may_go_on(Loop& loop) const {
    return listing_.to_caller
               ? loop.pages_waiting() == 0
               : loop.queued() < static_cast<std::size_t>(workers_);
  }
  std::unique_ptr<Transfer> ask(Loop& loop, const std::string& token);
  void take(Loop& loop, std::unique_ptr<Transfer> answer);
  bool hand_over(Loop& loop, RecordPage page, std::string& body);
  bool make_jobs(Loop& loop, RecordPage& page);
  void failed(Loop& loop, Failure failure, const std::string& query = {});

  Listing listing_;
  int workers_;
  State state_ = State::kAsk;
  std::string token_;               // of the page asked for
  Transfer* asked_ = nullptr;       // the request on its way
  std::unique_ptr<Transfer> held_;  // kHeld
  bool directory_made_ = false;
};

std::unique_ptr<Transfer> Pages::ask(Loop& loop, const std::string& token) {
  std::unique_ptr<Transfer> transfer = loop.transfer(*this);
  transfer->step = Step::kList;
  transfer->job.kind = Job::Kind::kGet;
  transfer->job.bucket = listing_.bucket;
  // The query as the storage client sends it, in the order that the
  // signature sorts it: libcurl signs the query as it is given. After the
  // first page the client also sends the token as start-after (its loop
  // keeps both in one variable), so the store sees the same words.
  std::string encoded = query_encode(token);
  std::string query;
  if (!token.empty()) query += "continuation-token=" + encoded + "&";
  query += listing_.to_caller ? "delimiter=" : "delimiter=%2F";
  query += "&encoding-type=url&list-type=2&max-keys=" +
           std::to_string(keys_per_page) +
           "&prefix=" + query_encode(listing_.prefix);
  if (!token.empty()) query += "&start-after=" + encoded;
  transfer->query = std::move(query);
  asked_ = transfer.get();
  return transfer;
}

void Pages::take(Loop& loop, std::unique_ptr<Transfer> answer) {
  std::optional<std::string> guess = guess_next_token(answer->body);
  if (guess && *guess == token_) guess.reset();
  if (guess) {
    loop.launch(ask(loop, *guess));
    loop.send_now();
  }
  auto withdraw_guess = [&] {
    if (guess && asked_ != nullptr) loop.withdraw(asked_);
    if (guess) asked_ = nullptr;
  };
  RecordPage page = read_record_page(answer->body, !listing_.to_caller);
  if (page.unreadable && answer->attempts < retry::retries) {
    // Cut short or changed on its way: asked for again, as a body is.
    withdraw_guess();
    asked_ = answer.get();
    loop.retry_later(std::move(answer), "the listing's page cannot be read");
    return;
  }
  const std::optional<std::string>& next = page.next;
  bool more = page.truncated && next && !next->empty() && *next != token_;
  // A truncated page that names no new place to go on from would have the
  // storage client ask for the same page for ever: the listing ends there.
  std::string following = more ? *next : std::string();
  bool handed = hand_over(loop, std::move(page), answer->body);
  if (!handed || !more || !guess || *guess != following) withdraw_guess();
  loop.recycle(std::move(answer));
  if (!handed || !more) {
    state_ = State::kEnded;
    return;
  }
  token_ = std::move(following);
  state_ = asked_ != nullptr ? State::kAsked : State::kAsk;
}

// The page to the caller, or its objects to the queue; false when the
// listing fails with it.
bool Pages::hand_over(Loop& loop, RecordPage page, std::string& body) {
  if (page.unreadable) {
    Failure f{Failure::Kind::kBody};
    f.message = unreadable_page;
    f.bucket = listing_.bucket;
    f.resource = "/" + listing_.bucket;
    failed(loop, std::move(f));
    return false;
  }
  if (listing_.to_caller) {
    if (page.irregular) page.body = std::move(body);  // the client reads it
    Done done{Done::Kind::kPage};
    done.page = std::make_shared<RecordPage>(std::move(page));
    loop.post(std::move(done));
    return true;
  }
  if (page.irregular) {
    // An answer that is no page of a listing as this engine reads one.
    Failure f{Failure::Kind::kStore};
    f.status = 200;
    f.body = std::move(body);
    f.bucket = listing_.bucket;
    f.resource = "/" + listing_.bucket;
    failed(loop, std::move(f));
    return false;
  }
  return make_jobs(loop, page);
}

bool Pages::make_jobs(Loop& loop, RecordPage& page) {
  std::vector<Job> jobs;
  for (RecordPage::Record& object : page.records) {
    Listed taken = listed_name(listing_.prefix, object.key);
    if (taken == Listed::kPass) continue;
    if (taken == Listed::kRefuse) {
      loop.post(Done{Done::Kind::kWarning, nullptr, object.key});
      continue;
    }
    Job job;
    job.kind = Job::Kind::kGet;
    job.bucket = listing_.bucket;
    job.object_name = std::move(object.key);
    if (has_dot_segment(job.object_name)) {
      // The storage client refuses to download such a name.
      Failure f{Failure::Kind::kValue};
      f.bucket = listing_.bucket;
      f.object_name = job.object_name;
      f.message = "object name with '.' or '..' path segment is not supported";
      loop.fail(job, std::move(f));
      return false;
    }
    job.path =
        listing_.directory + job.object_name.substr(listing_.prefix.size());
    job.size = object.size;
    if (object.has_etag) job.etag = "\"" + object.etag + "\"";
    job.resume = listing_.resume;
    jobs.push_back(std::move(job));
  }
  if (!jobs.empty() && !directory_made_) {
    // As the storage client makes the target's folder before a download.
    directory_made_ = true;
    int error_number = make_directories(listing_.directory);
    if (error_number != 0) {
      Failure f{Failure::Kind::kSystem};
      f.bucket = listing_.bucket;
      f.os_errno = error_number;
      f.path = listing_.directory;
      loop.fail(jobs.front(), std::move(f));
      return false;
    }
  }
  loop.enqueue(std::move(jobs));
  return true;
}

void Pages::failed(Loop& loop, Failure failure, const std::string& query) {
  state_ = State::kEnded;
  if (listing_.to_caller) {
    // The storage client makes its error of a listing's answer from the
    // answer alone, so the report names no bucket or resource that
    // error_from would add; a transport error names the request as urllib3
    // does, its query too.
    if (failure.kind == Failure::Kind::kTransport) {
      failure.resource = "/" + listing_.bucket + "?" + query;
    } else if (failure.kind == Failure::Kind::kStore) {
      failure.bucket.clear();
      failure.resource.clear();
    }
  }
  loop.fail(Job(), std::move(failure));
}

}  // namespace

std::unique_ptr<MetaRequest> make_pages(Listing listing, int workers) {
  return std::make_unique<Pages>(std::move(listing), workers);
}

}  // namespace zarnel::transfer
