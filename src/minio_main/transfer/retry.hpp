// The storage client's retry rule, for requests outside the engine's loop
// (the bucket lister): five more attempts after a dropped connection or a
// 500/502/503/504 answer, 0.2 s doubling in between.
#pragma once

#include <curl/curl.h>

#include <chrono>

namespace zarnel::transfer::retry {

constexpr int retries = 5;
constexpr double backoff_seconds = 0.2;

// The wait before attempt `attempt` + 1 (attempt counts from 1).
inline std::chrono::milliseconds backoff(int attempt) {
  return std::chrono::milliseconds(
      static_cast<long>(backoff_seconds * 1000 * (1 << (attempt - 1))));
}

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

inline bool transient(long status) {
  return status == 500 || status == 502 || status == 503 || status == 504;
}

}  // namespace zarnel::transfer::retry
