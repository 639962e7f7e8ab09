#include "net/curl_transfer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "net/body_file.h"
#include "net/curl_library.h"
#include "net/http_response.h"
#include "platform/system_log.h"

namespace bi::net {
namespace {

using Clock = std::chrono::steady_clock;

// Merged progress reports come at most this often, so that a synchronous hop to the main
// thread per report does not slow the transfer.
constexpr auto kReportInterval = std::chrono::milliseconds(33);
// How long the worker sleeps in poll at most; cancel() wakes it at once anyway.
constexpr auto kPollSlice = std::chrono::milliseconds(1000);
// Fewer, larger reads and writes than curl's 16 KiB default.
constexpr long kReceiveBuffer = 512L * 1024;
constexpr size_t kMaxUrlLength = size_t{64} * 1024;
constexpr size_t kWriteBatch = size_t{512} * 1024;
// Fewer bytes than this within the idle time-out is a stall, as none at all is: a server that
// trickles a byte now and then would otherwise hold the run for ever.
constexpr int64_t kStallBytes = 1024;
// Lets a server's log and a vendor's statistics tell the installer from a browser.
constexpr const char* kUserAgent = "bootstrap-installer/" BI_VERSION;

const CurlLibrary& lib() { return *curlLibrary(); }

// CURLE_TOO_LARGE, which libcurl 8.6 brought; older headers do not name it.
constexpr int kCurleTooLarge = 100;

// ': "<url>"', escaped (a stray carriage return or blank is otherwise invisible) and cut short.
std::string shownUrl(const std::string& url) {
    constexpr size_t kShown = 300;
    return ": \"" + platform::printable(url.substr(0, kShown)) + (url.size() > kShown ? "...\"" : "\"");
}

std::string temporaryDirectory(const SessionOptions& options) {
    if (!options.temporaryDirectory.empty()) return options.temporaryDirectory;
    const char* tmpdir = std::getenv("TMPDIR");
    return tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
}

// The state of one transfer, on the worker thread only.
class Transfer {
public:
    Transfer(const SessionOptions& options, const TransferRequest& request, const std::atomic<bool>& cancelled,
             SharedResponse& shared, const TransferReports& reports)
        : options_(options), request_(request), cancelled_(cancelled), shared_(shared), reports_(reports) {}

    ~Transfer() {
        if (headers_ != nullptr) lib().slist_free_all(headers_);
        if (easy_ != nullptr) lib().easy_cleanup(easy_);
    }

    std::optional<TransferError> run(MultiHandle& multiHandle) {
        CURLM* const multi = multiHandle.get();
        if (cancelled_) return error(TransferErrorKind::Cancelled, "cancelled");
        if (multi == nullptr) return error(TransferErrorKind::NoLibrary, kCurlMissingText);
        if (request_.file.empty()) {
            if (!file_.makeTemporary(temporaryDirectory(options_))) {
                return error(TransferErrorKind::DiskFull, "cannot create a file in " + temporaryDirectory(options_) +
                                                              ": " + std::strerror(file_.errorNumber()));
            }
        } else {
            file_.name(request_.file);
        }
        // curl fails a request over 1 MB as "Out of memory"; no server takes such a URL anyway.
        if (request_.url.size() > kMaxUrlLength) {
            return error(TransferErrorKind::BadUrl, "URL too long: " + std::to_string(request_.url.size()) +
                                                        " bytes (at most " + std::to_string(kMaxUrlLength) + ")" +
                                                        shownUrl(request_.url));
        }
        easy_ = lib().easy_init();
        if (easy_ == nullptr || !configure()) return error(TransferErrorKind::Other, "cannot start a transfer");
        if (lib().multi_add_handle(multi, easy_) != CURLM_OK) {
            return error(TransferErrorKind::Other, "cannot start a transfer");
        }
        const std::optional<CURLcode> code = drive(multiHandle);
        lib().multi_remove_handle(multi, easy_);
        // What arrived stays, whatever ended the transfer: a later request continues after it.
        if (file_.errorNumber() == 0) file_.flush();
        if (auto failure = failureOf(code)) return failure;
        return finish();
    }

private:
    bool configure() {
        CURL* e = easy_;
        const auto set = [e](CURLoption option, auto value) { return lib().easy_setopt(e, option, value) == CURLE_OK; };
        bool ok = set(CURLOPT_URL, request_.url.c_str()) && set(CURLOPT_NOSIGNAL, 1L) &&
                  set(CURLOPT_ERRORBUFFER, curlError_) && set(CURLOPT_FOLLOWLOCATION, 1L) &&
                  set(CURLOPT_MAXREDIRS, options_.maxRedirects) &&
                  set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.connectTimeout.count())) &&
                  set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) && set(CURLOPT_BUFFERSIZE, kReceiveBuffer) &&
                  set(CURLOPT_HEADERFUNCTION, &Transfer::onHeader) && set(CURLOPT_HEADERDATA, this) &&
                  set(CURLOPT_WRITEFUNCTION, &Transfer::onWrite) && set(CURLOPT_WRITEDATA, this) &&
                  set(CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress) && set(CURLOPT_XFERINFODATA, this) &&
                  set(CURLOPT_NOPROGRESS, 0L) && set(CURLOPT_USERAGENT, kUserAgent);
        // The string forms came with 7.85; older libraries know only the bit masks.
        if (!set(CURLOPT_PROTOCOLS_STR, "http,https") || !set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https")) {
            ok = ok && set(CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS)) &&
                 set(CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
        }
        // No CURLOPT_ACCEPT_ENCODING: a compressed response would carry another tag.
        if (const char* ca = std::getenv("SSL_CERT_FILE"); ca != nullptr && *ca != '\0')
            ok = ok && set(CURLOPT_CAINFO, ca);
        if (const char* dir = std::getenv("SSL_CERT_DIR"); dir != nullptr && *dir != '\0')
            ok = ok && set(CURLOPT_CAPATH, dir);
        if (request_.ifNoneMatch)
            headers_ = lib().slist_append(headers_, ("If-None-Match: " + *request_.ifNoneMatch).c_str());
        if (!request_.file.empty() && request_.resumeFrom > 0) {
            ok = ok && set(CURLOPT_RANGE, (std::to_string(request_.resumeFrom) + "-").c_str());
            if (request_.ifRange) headers_ = lib().slist_append(headers_, ("If-Range: " + *request_.ifRange).c_str());
        }
        // Our conditions are for the server, not for a proxy's CONNECT.
        return ok && set(CURLOPT_HTTPHEADER, headers_) &&
               set(CURLOPT_HEADEROPT, static_cast<long>(CURLHEADER_SEPARATE));
    }

    // Runs the transfer until it is done, cancelled or idle too long; curl's result once done.
    std::optional<CURLcode> drive(MultiHandle& multiHandle) {
        CURLM* const multi = multiHandle.get();
        stallMark_ = Clock::now();
        while (!cancelled_ && !idleExpired()) {
            int running = 0;
            lib().multi_perform(multi, &running);
            int queued = 0;
            if (CURLMsg* msg = lib().multi_info_read(multi, &queued); msg != nullptr && msg->msg == CURLMSG_DONE) {
                return msg->data.result;
            }
            maybeReport(false);
            auto wait = std::min<Clock::duration>(kPollSlice, stallMark_ + options_.idleTimeout - Clock::now());
            if (written_ > reported_)
                wait = std::min<Clock::duration>(wait, lastReport_ + kReportInterval - Clock::now());
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait).count();
            multiHandle.wait(static_cast<int>(std::max<int64_t>(ms, 1)));
        }
        return std::nullopt;
    }

    // Our own reasons first: an abort we asked for must not pass for a curl failure.
    std::optional<TransferError> failureOf(const std::optional<CURLcode>& code) {
        if (cancelled_) return error(TransferErrorKind::Cancelled, "cancelled");
        if (own_) return own_;
        if (file_.errorNumber() != 0) {
            return error(TransferErrorKind::DiskFull,
                         std::string("cannot write the downloaded file: ") + std::strerror(file_.errorNumber()));
        }
        if (!code || idleTimedOut_) {
            return error(TransferErrorKind::TimedOut,
                         "less than 1 KiB received in " + std::to_string(options_.idleTimeout.count()) + " ms");
        }
        if (*code == CURLE_OK) return std::nullopt;
        std::string reason = curlError_[0] != '\0' ? curlError_ : lib().easy_strerror(*code);
        TransferErrorKind kind = errorKindOf(*code);
        // libcurl ends a header line over 100 KiB (a tag of that size, say) as out of memory, and
        // headers over 300 KiB in all as a receive error; later versions say "too large".
        if (!bodyPrepared_ && (*code == CURLE_OUT_OF_MEMORY || static_cast<int>(*code) == kCurleTooLarge ||
                               reason.starts_with("Too large response headers"))) {
            kind = TransferErrorKind::HeaderTooLarge;
            reason = "the response's header is larger than libcurl takes (" + reason + ")";
        }
        // A CONNECT is answered by the proxy itself; some answer a wrong password with 401.
        long connectCode = 0;
        if (lib().easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &connectCode) == CURLE_OK &&
            (connectCode == 407 || connectCode == 401)) {
            kind = TransferErrorKind::ProxyAuth;
        }
        const char* at = nullptr;
        if (lib().easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &at) == CURLE_OK && at != nullptr && request_.url != at) {
            reason += " (redirected to " + platform::printable(at) + ")";
        } else if (kind == TransferErrorKind::BadUrl) {
            reason += shownUrl(request_.url);
        }
        return error(kind, reason);
    }

    std::optional<TransferError> finish() {
        if (!prepareBody() || !file_.flush()) return failureOf(CURLE_WRITE_ERROR);
        maybeReport(true);
        file_.close();
        // A cancel that came during the last report still wins over the finished report.
        if (cancelled_) return error(TransferErrorKind::Cancelled, "cancelled");
        reports_.finished(file_.path());
        return std::nullopt;
    }

    TransferError error(TransferErrorKind kind, std::string reason) const {
        return {kind, std::move(reason), request_.url, responded_};
    }

    bool idleExpired() {
        if (Clock::now() - stallMark_ >= options_.idleTimeout) idleTimedOut_ = true;
        return idleTimedOut_;
    }

    // Headers and body alike: each KiB that arrives puts the stall's clock back.
    void received(size_t bytes) {
        sinceMark_ += static_cast<int64_t>(bytes);
        if (sinceMark_ < kStallBytes) return;
        sinceMark_ = 0;
        stallMark_ = Clock::now();
    }

    // Once the final response's body begins (or ends empty): where its bytes go. A 2xx body
    // goes to the file, which a 206 continues and anything else starts over.
    bool prepareBody() {
        if (bodyPrepared_) return !own_;
        bodyPrepared_ = true;
        const HttpResponse response = current();
        if (response.statusCode < 200 || response.statusCode >= 300) return true;
        int64_t keep = 0;
        if (response.statusCode == 206) {
            const int64_t start = rangeStart(response);
            if (request_.resumeFrom <= 0 || start != request_.resumeFrom) {
                own_ = error(TransferErrorKind::BadRange, "the server sent the archive from byte " +
                                                              std::to_string(start) + " instead of byte " +
                                                              std::to_string(request_.resumeFrom));
                return false;
            }
            keep = start;
        }
        if (!file_.openKeeping(keep, kWriteBatch + CURL_MAX_WRITE_SIZE)) return false;
        toFile_ = true;
        return true;
    }

    HttpResponse current() const {
        std::lock_guard lock(shared_.mutex);
        return shared_.response;
    }

    // A report only once the file holds what it counts: a hash may follow the file.
    void maybeReport(bool force) {
        const int64_t bytes = written_ - reported_;
        if (bytes <= 0 || cancelled_) return;
        const auto now = Clock::now();
        if (!force && reported_ > 0 && now - lastReport_ < kReportInterval) return;
        if (!file_.flush()) return;
        reported_ = written_;
        lastReport_ = now;
        reports_.progress(bytes, written_, expected_);
        // Time spent in the report is not time the server was idle.
        stallMark_ += Clock::now() - now;
    }

    void onHeaderLine(const std::string& line) {
        responded_ = true;
        std::lock_guard lock(shared_.mutex);
        addHeaderLine(shared_.response, line);
        expected_ = shared_.response.expectedContentLength;
    }

    bool writeBody(const char* data, size_t size) {
        if (!prepareBody()) return false;
        if (request_.maxBodyBytes >= 0 && written_ + static_cast<int64_t>(size) > request_.maxBodyBytes) {
            own_ = error(TransferErrorKind::Other,
                         "the response is longer than " + std::to_string(request_.maxBodyBytes) + " bytes");
            return false;
        }
        // libcurl hands the body over in pieces of 16 KiB: one write(2) for many of them.
        if (toFile_) file_.append(data, size);
        written_ += static_cast<int64_t>(size);
        received(size);
        if (file_.pending() >= kWriteBatch && !file_.flush()) return false;
        maybeReport(false);
        return file_.errorNumber() == 0;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* self) {
        auto& t = *static_cast<Transfer*>(self);
        t.received(size * count);
        t.onHeaderLine(std::string(data, size * count));
        return size * count;
    }

    static size_t onWrite(char* data, size_t size, size_t count, void* self) {
        auto& t = *static_cast<Transfer*>(self);
        if (t.cancelled_ || !t.writeBody(data, size * count)) return 0;
        return size * count;
    }

    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto& t = *static_cast<Transfer*>(self);
        return t.cancelled_ || t.idleExpired() ? 1 : 0;
    }

    const SessionOptions& options_;
    const TransferRequest& request_;
    const std::atomic<bool>& cancelled_;
    SharedResponse& shared_;
    const TransferReports& reports_;

    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
    BodyFile file_;
    bool bodyPrepared_ = false;
    bool toFile_ = false;
    int64_t written_ = 0;
    int64_t reported_ = 0;
    int64_t expected_ = -1;
    Clock::time_point lastReport_{};
    Clock::time_point stallMark_ = Clock::now();  // since when fewer than kStallBytes arrived
    int64_t sinceMark_ = 0;
    bool idleTimedOut_ = false;
    bool responded_ = false;
    std::optional<TransferError> own_;
    char curlError_[CURL_ERROR_SIZE] = {};
};

}  // namespace

std::optional<TransferError> performTransfer(MultiHandle& multi, const SessionOptions& options,
                                             const TransferRequest& request, const std::atomic<bool>& cancelled,
                                             SharedResponse& response, const TransferReports& reports) {
    // The file and the handle are gone before the caller's completion report.
    Transfer transfer(options, request, cancelled, response, reports);
    return transfer.run(multi);
}

}  // namespace bi::net
