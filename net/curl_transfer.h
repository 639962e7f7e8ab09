// One GET with libcurl on the session's worker thread: the request's headers, the body into
// its file, merged progress, the idle time-out (which a trickle trips too), and what the
// failure was.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "net/url_session.h"

namespace bi::net {

// The response as it arrives, shared with other threads through DownloadTask::response().
struct SharedResponse {
    mutable std::mutex mutex;
    HttpResponse response;
};

struct TransferReports {
    std::function<void(int64_t bytes, int64_t total, int64_t expected)> progress;
    std::function<void(const std::string& location)> finished;
};

// Runs the request to its end on `multi`; nullopt once `finished` has been reported.
class MultiHandle;

std::optional<TransferError> performTransfer(MultiHandle& multi, const SessionOptions& options,
                                             const TransferRequest& request, const std::atomic<bool>& cancelled,
                                             SharedResponse& response, const TransferReports& reports);

}  // namespace bi::net
