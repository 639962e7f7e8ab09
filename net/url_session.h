// A URL session with download tasks, on libcurl. Its reports arrive one at a time, in order,
// on one worker thread of the session's own, which also runs whatever is posted to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bi::net {

struct HttpResponse {
    long statusCode = 0;                                            // of the final response, after redirects
    std::vector<std::pair<std::string, std::string>> headerFields;  // the final response's
    int64_t expectedContentLength = -1;                             // of this body; -1 when not stated

    // The value of a header field, its name matched case-insensitively.
    std::optional<std::string> header(const std::string& name) const;
};

enum class TransferErrorKind {
    Cancelled,       // cancel() or cancelAll(); never reported as anything else
    Refused,         // connection refused
    UnknownHost,     // host name did not resolve
    TimedOut,        // connect time-out, or fewer than 1 KiB within the idle time-out
    Tls,             // a handshake failure other than the two below
    Certificate,     // the server's certificate is not trusted
    NoCaStore,       // no certificate authorities to check it with
    ConnectionLost,  // the connection ended before the body was complete
    BadUrl,          // malformed or unsupported URL (scheme other than http and https)
    DiskFull,        // the downloaded file could not be written
    TooManyRedirects,
    HeaderTooLarge,  // a header line, or all of them, longer than libcurl takes
    BadRange,        // a 206 that does not continue where the file ends
    ProxyAuth,       // the proxy wants credentials (407)
    NoLibrary,       // libcurl could not be loaded
    Other,
};

struct TransferError {
    TransferErrorKind kind;
    std::string reason;      // readable, for the window and the log
    std::string url;         // the URL that failed
    bool responded = false;  // whether a response had begun to arrive
};

// One GET.
struct TransferRequest {
    std::string url;
    std::optional<std::string> ifNoneMatch;  // a tag: the server answers 304 while it is current
    // Where a successful (2xx) body goes, created private to the user when missing; "" for a
    // private temporary file that is removed once onArrived returns. A named file
    // stays, whatever happens.
    std::string file;
    // With a named file: its first resumeFrom bytes are kept and the rest is asked for with
    // Range (and If-Range when set). A 200 starts the file over; a 206 must continue exactly
    // at resumeFrom, or the transfer fails with BadRange.
    int64_t resumeFrom = 0;
    std::optional<std::string> ifRange;
    int64_t maxBodyBytes = -1;  // a longer body fails the transfer; -1 for no limit
};

class DownloadTask;

// Reports, one at a time and in order, on the session's worker thread.
class DownloadDelegate {
public:
    virtual ~DownloadDelegate() = default;
    // Bytes of the body since the last report, the body's total so far, its expected length
    // or -1. The first report comes with the first body bytes; later ones may be merged (at
    // most about 30 a second), and there is always a last one before onArrived.
    // The bytes of a response that is not 2xx are counted but written nowhere.
    virtual void onProgress(DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten,
                            int64_t totalBytesExpectedToWrite) = 0;
    // The response has arrived whole; a 2xx body is at `location`, readable until this
    // returns. Also for any other status (404 with an empty body included).
    virtual void onArrived(DownloadTask& task, const std::string& location) = 0;
    // The task has ended: no error after onArrived, else the error.
    virtual void onEnded(DownloadTask& task, const std::optional<TransferError>& error) = 0;
};

struct SessionOptions {
    std::chrono::milliseconds connectTimeout{30000};
    std::chrono::milliseconds idleTimeout{60000};  // fewer than 1 KiB in this long ends the transfer
    long maxRedirects = 10;
    std::string temporaryDirectory;  // where temporary files live; "" for TMPDIR or /tmp
};

class DownloadTask {
public:
    virtual ~DownloadTask() = default;
    // Starts the transfer (once; the session runs its work one item after another). A task
    // reports only once resumed.
    virtual void resume() = 0;
    // Returns at once, from any thread; the task then reports Cancelled.
    virtual void cancel() = 0;
    // The response as known so far (the final one once the body has started).
    virtual HttpResponse response() const = 0;
    virtual const TransferRequest& request() const = 0;
    std::string url() const { return request().url; }
};

class UrlSession {
public:
    // Cancels and waits for the worker to end; a report under way finishes, no other comes.
    // Never from within a report, nor from a thread that a report under way waits for.
    virtual ~UrlSession() = default;
    // A task for one GET; the session owns it.
    virtual DownloadTask& downloadTask(TransferRequest request) = 0;
    DownloadTask& downloadTask(const std::string& url) {
        TransferRequest request;
        request.url = url;
        return downloadTask(std::move(request));
    }
    // Runs fn on the worker after what is queued there; dropped once the session is invalidated.
    virtual void post(std::function<void()> fn) = 0;
    // Cancels every task and refuses new work; returns at once, from any thread.
    virtual void cancelAll() = 0;
};

// The delegate must outlive the session.
std::unique_ptr<UrlSession> makeUrlSession(DownloadDelegate& delegate, SessionOptions options = {});

// The proxy that a request for url goes through, from the usual environment variables, with
// any password left out; "" for none.
std::string proxyShownFor(const std::string& url);

}  // namespace bi::net
