// When the engine tries a request again, and after how long: the storage
// client's own rules (urllib3's Retry as the SDK sets it up), for every kind
// of request. Five more attempts after a dropped connection, a timeout or a
// 500, 502, 503 or 504 answer, 0.2 s doubling in between.
#pragma once

#include <curl/curl.h>

#include <chrono>

namespace zarnel::transfer::retry {

constexpr int retries = 5;

inline bool transient(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
      return true;
    default:
      return false;
  }
}

inline bool transient_status(long status) {
  return status == 500 || status == 502 || status == 503 || status == 504;
}

// The wait before retry number `retry` (1 for the first).
inline std::chrono::steady_clock::duration backoff(int retry) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(0.2 * (1 << (retry - 1))));
}

}  // namespace zarnel::transfer::retry
