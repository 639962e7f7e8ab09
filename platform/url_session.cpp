#include "platform/url_session.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/curl_library.h"
#include "platform/system_log.h"

namespace platform {

std::optional<std::string> HttpResponse::header(const std::string& name) const {
    for (const auto& [field, value] : headerFields) {
        if (::strcasecmp(field.c_str(), name.c_str()) == 0) return value;
    }
    return std::nullopt;
}

namespace {

using Clock = std::chrono::steady_clock;

// Merged progress reports come at most this often, so that a synchronous hop to the main
// thread per report does not slow the transfer.
constexpr auto kReportInterval = std::chrono::milliseconds(33);
// How long the worker sleeps in poll at most; cancel() wakes it at once anyway.
constexpr auto kPollSlice = std::chrono::milliseconds(1000);
// Fewer, larger reads and writes than curl's 16 KiB default.
constexpr long kReceiveBuffer = 512 * 1024;
constexpr size_t kMaxUrlLength = 64 * 1024;

const CurlLibrary& lib() { return *curlLibrary(); }

void ignoreSignal(int) {}

void setUpProcessOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A peer that closes its end must not kill the process, and past a file size limit a
        // write must fail with EFBIG (reported as a full disk) rather than kill it. Handlers,
        // unlike SIG_IGN, are not inherited by unzip and the agent. A handler the program
        // installed itself is left alone.
        for (const int signo : {SIGPIPE, SIGXFSZ}) {
            struct sigaction current{};
            if (::sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
                struct sigaction quiet{};
                quiet.sa_handler = &ignoreSignal;
                ::sigemptyset(&quiet.sa_mask);
                quiet.sa_flags = SA_RESTART;
                ::sigaction(signo, &quiet, nullptr);
            }
        }
    });
}

std::string temporaryDirectory(const SessionOptions& options) {
    if (!options.temporaryDirectory.empty()) return options.temporaryDirectory;
    const char* tmpdir = std::getenv("TMPDIR");
    return tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
}

std::string trim(const std::string& s) {
    const auto begin = s.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    return s.substr(begin, s.find_last_not_of(" \t\r\n") - begin + 1);
}

int64_t expectedLength(const HttpResponse& response) {
    const auto encoding = response.header("Transfer-Encoding");
    if (encoding && ::strcasestr(encoding->c_str(), "chunked") != nullptr) return -1;
    const auto length = response.header("Content-Length");
    if (!length || length->empty()) return -1;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(length->c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < 0) return -1;
    return value;
}

TransferErrorKind kindOf(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_CONNECT: return TransferErrorKind::Refused;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return TransferErrorKind::UnknownHost;
        case CURLE_OPERATION_TIMEDOUT: return TransferErrorKind::TimedOut;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_USE_SSL_FAILED: return TransferErrorKind::Tls;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM: return TransferErrorKind::ConnectionLost;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL: return TransferErrorKind::BadUrl;
        case CURLE_TOO_MANY_REDIRECTS: return TransferErrorKind::TooManyRedirects;
        case CURLE_WRITE_ERROR: return TransferErrorKind::DiskFull;
        default: return TransferErrorKind::Other;
    }
}

class CurlSession;

class CurlTask final : public DownloadTask {
public:
    CurlTask(CurlSession& session, std::string url) : session_(session), url_(std::move(url)) {}

    void resume() override;
    void cancel() override;
    // Only sets the flag; for callers that hold the session's lock and wake it themselves.
    void flagCancelled() { cancelled_ = true; }
    // Under the session's lock: true the first time only.
    bool markResumed() { return !std::exchange(resumed_, true); }
    HttpResponse response() const override {
        std::lock_guard lock(responseMutex_);
        return response_;
    }
    std::string url() const override { return url_; }

    // On the worker thread: the whole transfer and its reports.
    void run(CURLM* multi);

private:
    struct Transfer;
    std::optional<TransferError> perform(CURLM* multi, Transfer& t);
    std::optional<TransferError> finish(Transfer& t);
    void maybeReport(Transfer& t, bool force);
    void onHeaderLine(Transfer& t, std::string line);
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static size_t onWrite(char* data, size_t size, size_t count, void* self);
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    TransferError error(TransferErrorKind kind, std::string reason) const { return {kind, std::move(reason), url_}; }
    // ': "<url>"', escaped (a stray carriage return or blank is otherwise invisible) and cut short.
    std::string shownUrl() const {
        constexpr size_t kShown = 300;
        return ": \"" + printable(url_.substr(0, kShown)) + (url_.size() > kShown ? "...\"" : "\"");
    }

    CurlSession& session_;
    const std::string url_;
    std::atomic<bool> cancelled_{false};
    bool resumed_ = false;  // under the session's lock
    mutable std::mutex responseMutex_;
    HttpResponse response_;
};

class CurlSession final : public UrlSession {
public:
    CurlSession(DownloadDelegate& delegate, SessionOptions options)
        : delegate_(delegate), options_(std::move(options)), multi_(curlLibrary() != nullptr ? lib().multi_init() : nullptr) {
        worker_ = std::thread([this] { work(); });
    }

    ~CurlSession() override {
        quiet_ = true;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            invalidated_ = true;
            for (auto& task : tasks_) task->flagCancelled();
        }
        wake();
        worker_.join();
        if (multi_ != nullptr) lib().multi_cleanup(multi_);
    }

    DownloadTask& downloadTask(const std::string& url) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::make_unique<CurlTask>(*this, url));
        if (invalidated_) tasks_.back()->flagCancelled();
        return *tasks_.back();
    }

    void invalidateAndCancel() override {
        {
            std::lock_guard lock(mutex_);
            invalidated_ = true;
            for (auto& task : tasks_) task->flagCancelled();
        }
        wake();
    }

    void enqueue(CurlTask& task) {
        {
            std::lock_guard lock(mutex_);
            if (!task.markResumed()) return;
            queue_.push_back(&task);
        }
        wake();
    }

    // Interrupts the worker's wait, whether it waits for a task or in the middle of one.
    // Callers change what the worker waits for under the lock first.
    void wake() {
        ready_.notify_all();
        if (multi_ != nullptr) lib().multi_wakeup(multi_);
    }

    // Runs one report unless the session is being destroyed.
    template <typename Fn>
    void report(Fn&& fn) {
        if (!quiet_) fn(delegate_);
    }

    const SessionOptions& options() const { return options_; }

private:
    void work() {
        for (;;) {
            CurlTask* task = nullptr;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                task = queue_.front();
                queue_.pop_front();
            }
            task->run(multi_);
        }
    }

    DownloadDelegate& delegate_;
    const SessionOptions options_;
    CURLM* const multi_;
    std::atomic<bool> quiet_{false};
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<std::unique_ptr<CurlTask>> tasks_;
    std::deque<CurlTask*> queue_;
    bool invalidated_ = false;
    bool stopping_ = false;
    std::thread worker_;  // last, so that it starts after everything it uses
};

// The state of one transfer, on the worker thread only.
struct CurlTask::Transfer {
    CurlTask* task = nullptr;
    CURL* easy = nullptr;
    int fd = -1;
    std::string path;
    int64_t written = 0;
    int64_t reported = 0;
    int64_t expected = -1;
    Clock::time_point lastReport{};
    Clock::time_point lastActivity = Clock::now();
    int writeErrno = 0;
    bool idleTimedOut = false;
    char curlError[CURL_ERROR_SIZE] = {};

    ~Transfer() {
        if (easy != nullptr) lib().easy_cleanup(easy);
        if (fd >= 0) ::close(fd);
        if (!path.empty()) ::unlink(path.c_str());
    }

    bool idleExpired(std::chrono::milliseconds idleTimeout) {
        if (Clock::now() - lastActivity >= idleTimeout) idleTimedOut = true;
        return idleTimedOut;
    }
};

void CurlTask::resume() { session_.enqueue(*this); }

void CurlTask::cancel() {
    cancelled_ = true;
    session_.wake();
}

void CurlTask::run(CURLM* multi) {
    std::optional<TransferError> result;
    {
        // The file and the handle are gone before the completion report.
        Transfer t;
        t.task = this;
        result = perform(multi, t);
        if (!result) result = finish(t);
    }
    session_.report([&](DownloadDelegate& d) { d.didComplete(*this, result); });
}

std::optional<TransferError> CurlTask::perform(CURLM* multi, Transfer& t) {
    const SessionOptions& options = session_.options();
    if (cancelled_) return error(TransferErrorKind::Cancelled, "cancelled");

    t.path = temporaryDirectory(options) + "/download-XXXXXX";
    t.fd = ::mkostemp(t.path.data(), O_CLOEXEC);  // mode 0600
    if (t.fd < 0) {
        const int err = errno;
        t.path.clear();
        return error(TransferErrorKind::DiskFull, "cannot create a file in " + temporaryDirectory(options) + ": " +
                                                      std::strerror(err));
    }

    // curl fails a request over 1 MB as "Out of memory"; no server takes such a URL anyway.
    if (url_.size() > kMaxUrlLength) {
        return error(TransferErrorKind::BadUrl, "URL too long: " + std::to_string(url_.size()) + " bytes (at most " +
                                                    std::to_string(kMaxUrlLength) + ")" + shownUrl());
    }
    if (multi == nullptr) return error(TransferErrorKind::NoLibrary, kCurlMissingText);
    t.easy = lib().easy_init();
    if (t.easy == nullptr) return error(TransferErrorKind::Other, "cannot start a transfer");
    CURL* e = t.easy;
    lib().easy_setopt(e, CURLOPT_URL, url_.c_str());
    lib().easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    lib().easy_setopt(e, CURLOPT_ERRORBUFFER, t.curlError);
    lib().easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    lib().easy_setopt(e, CURLOPT_MAXREDIRS, options.maxRedirects);
    // The string forms came with 7.85; older libraries know only the bit masks.
    if (lib().easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
        lib().easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK) {
        lib().easy_setopt(e, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
        lib().easy_setopt(e, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    }
    lib().easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count()));
    lib().easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    lib().easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    // No CURLOPT_ACCEPT_ENCODING: a compressed response would carry another tag.
    if (const char* ca = std::getenv("SSL_CERT_FILE"); ca != nullptr && *ca != '\0') {
        lib().easy_setopt(e, CURLOPT_CAINFO, ca);
    }
    if (const char* dir = std::getenv("SSL_CERT_DIR"); dir != nullptr && *dir != '\0') {
        lib().easy_setopt(e, CURLOPT_CAPATH, dir);
    }
    lib().easy_setopt(e, CURLOPT_HEADERFUNCTION, &CurlTask::onHeader);
    lib().easy_setopt(e, CURLOPT_HEADERDATA, &t);
    lib().easy_setopt(e, CURLOPT_WRITEFUNCTION, &CurlTask::onWrite);
    lib().easy_setopt(e, CURLOPT_WRITEDATA, &t);
    lib().easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &CurlTask::onProgress);
    lib().easy_setopt(e, CURLOPT_XFERINFODATA, &t);
    lib().easy_setopt(e, CURLOPT_NOPROGRESS, 0L);

    if (lib().multi_add_handle(multi, e) != CURLM_OK) return error(TransferErrorKind::Other, "cannot start a transfer");
    CURLcode code = CURLE_OK;
    bool done = false;
    t.lastActivity = Clock::now();
    while (!cancelled_ && !t.idleExpired(options.idleTimeout)) {
        int running = 0;
        lib().multi_perform(multi, &running);
        int queued = 0;
        if (CURLMsg* msg = lib().multi_info_read(multi, &queued); msg != nullptr && msg->msg == CURLMSG_DONE) {
            code = msg->data.result;
            done = true;
            break;
        }
        maybeReport(t, false);
        auto wait = std::min<Clock::duration>(kPollSlice, t.lastActivity + options.idleTimeout - Clock::now());
        if (t.written > t.reported) wait = std::min<Clock::duration>(wait, t.lastReport + kReportInterval - Clock::now());
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait).count();
        lib().multi_poll(multi, nullptr, 0, static_cast<int>(std::max<int64_t>(ms, 1)), nullptr);
    }
    lib().multi_remove_handle(multi, e);

    // Our own reasons first: an abort we asked for must not pass for a curl failure.
    if (cancelled_) return error(TransferErrorKind::Cancelled, "cancelled");
    if (t.writeErrno != 0) {
        return error(TransferErrorKind::DiskFull, std::string("cannot write the downloaded file: ") +
                                                      std::strerror(t.writeErrno));
    }
    if (t.idleTimedOut || !done) {
        return error(TransferErrorKind::TimedOut,
                     "no data received for " + std::to_string(options.idleTimeout.count()) + " ms");
    }
    if (code != CURLE_OK) {
        std::string reason = t.curlError[0] != '\0' ? t.curlError : lib().easy_strerror(code);
        const char* at = nullptr;
        const TransferErrorKind kind = kindOf(code);
        if (lib().easy_getinfo(e, CURLINFO_EFFECTIVE_URL, &at) == CURLE_OK && at != nullptr && url_ != at) {
            reason += " (redirected to " + printable(at) + ")";
        } else if (kind == TransferErrorKind::BadUrl) {
            reason += shownUrl();
        }
        return error(kind, reason);
    }
    return std::nullopt;
}

std::optional<TransferError> CurlTask::finish(Transfer& t) {
    maybeReport(t, true);
    ::close(t.fd);
    t.fd = -1;
    // A cancel that came during the last report still wins over the finished report.
    if (cancelled_) return error(TransferErrorKind::Cancelled, "cancelled");
    session_.report([&](DownloadDelegate& d) { d.didFinishDownloading(*this, t.path); });
    return std::nullopt;  // the transfer's end removes the file
}

void CurlTask::maybeReport(Transfer& t, bool force) {
    const int64_t bytes = t.written - t.reported;
    if (bytes <= 0 || cancelled_) return;
    const auto now = Clock::now();
    if (!force && t.reported > 0 && now - t.lastReport < kReportInterval) return;
    t.reported = t.written;
    t.lastReport = now;
    session_.report([&](DownloadDelegate& d) { d.didWriteData(*this, bytes, t.written, t.expected); });
    // Time spent in the report is not time the server was idle.
    t.lastActivity = Clock::now();
}

// Each response of a redirect chain starts with its status line; keep only the last one's.
void CurlTask::onHeaderLine(Transfer& t, std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::lock_guard lock(responseMutex_);
    if (line.rfind("HTTP/", 0) == 0) {
        response_ = HttpResponse{};
        const auto space = line.find(' ');
        if (space != std::string::npos) response_.statusCode = std::strtol(line.c_str() + space + 1, nullptr, 10);
    } else if (line.empty()) {
        response_.expectedContentLength = expectedLength(response_);
        t.expected = response_.expectedContentLength;
    } else if ((line[0] == ' ' || line[0] == '\t') && !response_.headerFields.empty()) {
        response_.headerFields.back().second += " " + trim(line);
    } else if (const auto colon = line.find(':'); colon != std::string::npos) {
        response_.headerFields.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
}

size_t CurlTask::onHeader(char* data, size_t size, size_t count, void* self) {
    auto& t = *static_cast<Transfer*>(self);
    t.lastActivity = Clock::now();
    t.task->onHeaderLine(t, std::string(data, size * count));
    return size * count;
}

size_t CurlTask::onWrite(char* data, size_t size, size_t count, void* self) {
    auto& t = *static_cast<Transfer*>(self);
    const size_t total = size * count;
    if (t.task->cancelled_) return 0;
    size_t done = 0;
    while (done < total) {
        const ssize_t n = ::write(t.fd, data + done, total - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // Kept so that the failure is reported as what it is, not as curl's write error.
            t.writeErrno = n < 0 ? errno : ENOSPC;
            return 0;
        }
        done += static_cast<size_t>(n);
    }
    t.written += static_cast<int64_t>(total);
    t.lastActivity = Clock::now();
    t.task->maybeReport(t, false);
    return total;
}

int CurlTask::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& t = *static_cast<Transfer*>(self);
    if (t.task->cancelled_) return 1;
    return t.idleExpired(t.task->session_.options().idleTimeout) ? 1 : 0;
}

}  // namespace

std::unique_ptr<UrlSession> makeUrlSession(DownloadDelegate& delegate, SessionOptions options) {
    setUpProcessOnce();
    return std::make_unique<CurlSession>(delegate, std::move(options));
}

}  // namespace platform
