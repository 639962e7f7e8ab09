// When a download tries again, and after how long: the one table of what is transient.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "net/url_session.h"

namespace bi {

inline constexpr int kMaxAttempts = 4;  // the first and three retries

// HTTP statuses worth another attempt: time-outs, throttling and the server's passing faults.
bool isTransientStatus(long status);

// Transport failures worth another attempt. A refused connection or an unknown host is
// transient only once the server has been reached in this run.
bool isTransientError(const net::TransferError& error, bool reachedBefore);

// The server could not be reached at all: no connection, or no answer before the time-out.
bool isUnreachable(const net::TransferError& error);

// The wait before attempt `next` (2, 3 or 4): 1, 2 and 4 seconds, or the server's Retry-After
// up to 30 seconds; times `scale`.
std::chrono::milliseconds retryWait(int next, const std::optional<std::string>& retryAfter, double scale = 1.0);

}  // namespace bi
