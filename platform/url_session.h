// A URL session with one download task, on libcurl. Its reports arrive one at a time, in
// order, on one worker thread of the session's own.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

struct HttpResponse {
    long statusCode = 0;  // of the final response, after redirects
    std::vector<std::pair<std::string, std::string>> headerFields;  // the final response's
    int64_t expectedContentLength = -1;                              // -1 when not stated

    // The value of a header field, its name matched case-insensitively.
    std::optional<std::string> header(const std::string& name) const;
};

enum class TransferErrorKind {
    Cancelled,       // cancel() or invalidateAndCancel(); never reported as anything else
    Refused,         // connection refused
    UnknownHost,     // host name did not resolve
    TimedOut,        // connect time-out or no bytes for the idle time-out
    Tls,             // certificate or handshake failure
    ConnectionLost,  // the connection ended before the body was complete
    BadUrl,          // malformed or unsupported URL (scheme other than http and https)
    DiskFull,        // the downloaded file could not be written
    TooManyRedirects,
    NoLibrary,  // libcurl could not be loaded
    Other,
};

struct TransferError {
    TransferErrorKind kind;
    std::string reason;  // readable, for the window and the log
    std::string url;     // the URL that failed
};

class DownloadTask;

// Reports, one at a time and in order, on the session's worker thread.
class DownloadDelegate {
public:
    virtual ~DownloadDelegate() = default;
    // Bytes since the last report, the total so far, the expected length or -1. The first
    // report comes with the first body bytes; later ones may be merged (at most about 30 a
    // second), and there is always a last one before didFinishDownloading.
    virtual void didWriteData(DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten,
                              int64_t totalBytesExpectedToWrite) = 0;
    // The body has arrived whole, at `location`, a private file readable until this returns
    // and removed afterwards. Also for an error status (404 with an empty body included).
    virtual void didFinishDownloading(DownloadTask& task, const std::string& location) = 0;
    // The task has ended: no error after didFinishDownloading, else the error.
    virtual void didComplete(DownloadTask& task, const std::optional<TransferError>& error) = 0;
};

struct SessionOptions {
    std::chrono::milliseconds connectTimeout{30000};
    std::chrono::milliseconds idleTimeout{60000};  // no bytes for this long ends the transfer
    long maxRedirects = 10;
    std::string temporaryDirectory;  // where the downloaded file lives; "" for TMPDIR or /tmp
};

class DownloadTask {
public:
    virtual ~DownloadTask() = default;
    // Starts the transfer (once; the session runs its resumed tasks one after another). A task
    // reports only once resumed.
    virtual void resume() = 0;
    // Returns at once, from any thread; the task then reports Cancelled.
    virtual void cancel() = 0;
    // The response as known so far (the final one once the body has started).
    virtual HttpResponse response() const = 0;
    virtual std::string url() const = 0;
};

class UrlSession {
public:
    // Cancels and waits for the worker to end; a report under way finishes, no other comes.
    // Never from within a report, nor from a thread that a report under way waits for.
    virtual ~UrlSession() = default;
    // One task for one GET of url; the session owns it.
    virtual DownloadTask& downloadTask(const std::string& url) = 0;
    // Cancels the task and refuses new ones; returns at once, from any thread.
    virtual void invalidateAndCancel() = 0;
};

// The delegate must outlive the session.
std::unique_ptr<UrlSession> makeUrlSession(DownloadDelegate& delegate, SessionOptions options = {});

}  // namespace platform
