// The controller's fetches, on the session's worker: which request to send (revalidating the
// cached agent, resuming a partial archive), how each answer is judged, when to try again,
// and the archive's signature.
#include <sys/stat.h>

#include <cmath>
#include <ctime>

#include "agent/cache.h"
#include "agent/cache_lock.h"
#include "download/download.h"
#include "download/download_texts.h"
#include "download/retry_policy.h"
#include "host/files.h"
#include "host/report.h"
#include "platform/system_log.h"

namespace bi {

namespace {

using net::TransferErrorKind;

constexpr int64_t kLongestSignature = 64 * 1024;

// A zip archive starts with a local file header, or is an empty one: a captive portal's page
// or a proxy's error page does not.
bool looksLikeZip(const std::string& path) {
    char magic[4] = {};
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    const size_t n = std::fread(magic, 1, sizeof magic, file);
    std::fclose(file);
    const std::string head(magic, n);
    return head == std::string("PK\x03\x04", 4) || head == std::string("PK\x05\x06", 4);
}

int64_t sizeOf(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}


int64_t now() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

void Download::begin() {
    // One downloader per cache: the others wait, then find the agent it brought current.
    CacheLock& lock = CacheLock::download();
    for (bool announced = false; !lock.tryLock(CacheLock::Mode::Exclusive); announced = true) {
        if (!announced) showStatus(tr("Waiting for another installer to finish"));
        if (!pause(std::chrono::milliseconds(50))) return;
    }
    startArchive();
}

void Download::startArchive() {
    net::TransferRequest request;
    request.url = url_;
    request.file = partialArchivePath();
    partial_ = partialArchiveFor(url_);
    askedForPartial_ = partial_ && partial_->complete();
    if (askedForPartial_) {
        // Downloaded whole before: still the server's current archive?
        request.ifNoneMatch = partial_->record.tag;
    } else {
        const auto cached = conditionsDropped_ ? std::nullopt : cachedAgentRecord();
        if (cached && cached->url == url_ && isSendableTag(cached->tag) &&
            (key_.state != BundleKeyState::Present || cached->keyId == key_.idText()) &&
            isCacheValid(getInstallAgentCacheDir(), cached->tag)) {
            request.ifNoneMatch = cached->tag;
        }
        if (partial_) {
            request.resumeFrom = partial_->size;
            request.ifRange = partial_->record.tag;
        }
    }
    base_ = request.resumeFrom;
    hasher_.reset();
    if (key_.state == BundleKeyState::Present) hasher_ = std::make_unique<FileHasher>(partialArchivePath());
    start(std::move(request), Fetch::Archive);
}

void Download::startSignature() {
    net::TransferRequest request;
    request.url = signatureUrlOf(url_);
    request.maxBodyBytes = kLongestSignature;
    start(std::move(request), Fetch::Signature);
}

void Download::start(net::TransferRequest request, Fetch what) {
    fetch_ = what;
    firstSeen_ = false;
    theDownload = &urlSession->downloadTask(std::move(request));
    theDownload->resume();
}

bool Download::firstResponse(net::DownloadTask& task, bool bodyless) {
    reached_ = true;
    const net::HttpResponse response = task.response();
    if (response.statusCode >= 400) {
        httpFailure(task, response.statusCode, bodyless);
        return false;
    }
    if (fetch_ == Fetch::Signature || response.statusCode == 304) return true;

    validationString = response.header("ETag");
    if (response.statusCode == 206) {
        // If-Range promised the same archive; a server that ignores it must not mix two.
        if (!partial_ || (validationString && *validationString != partial_->record.tag)) {
            if (restartedOnce_) {
                failFromWorker(task, "Download failed! The server resumed another archive: " + task.url(),
                               tr("Error during the download process."));
                return false;
            }
            restartedOnce_ = true;
            dropPartialArchive();
            next_ = [this] { startArchive(); };
            task.cancel();
            return false;
        }
        validationString = partial_->record.tag;
    } else if (base_ > 0) {
        base_ = 0;  // the server sent the whole archive: the file starts over
        if (hasher_) hasher_->restart();
    }
    const int64_t expected = response.expectedContentLength;
    fileLength = expected >= 0 ? base_ + expected : -1;

    // The cached agent may be current all the same (a server that ignores If-None-Match).
    switch (judgeCache(AgentIdentity{url_, validationString, key_.idText()}, cacheWait())) {
        case CacheJudgement::Current:
            finishReady(task);
            return false;
        case CacheJudgement::GaveUp:
            return false;
        case CacheJudgement::Stale:
        case CacheJudgement::Empty:
            break;
    }
    // Only an archive with a strong tag can be resumed; any other is dropped by the next run.
    recordPartialArchive(CacheRecord{url_, validationString.value_or(""), "", "", now(), fileLength});
    onMain([&] {
        window->setProgressValue(static_cast<double>(base_));
        if (fileLength < 0) {
            window->setProgressIndeterminate(true);
            window->startProgressAnimation();
        } else {
            window->setProgressMaxValue(static_cast<double>(fileLength));
            window->setProgressIndeterminate(false);
        }
    });
    return true;
}

void Download::httpFailure(net::DownloadTask& task, long status, bool bodyless) {
    if (fetch_ == Fetch::Archive && status == 416 && base_ > 0 && !restartedOnce_) {
        // The partial archive is whole, or longer than the archive now is: start over, once.
        restartedOnce_ = true;
        dropPartialArchive();
        next_ = [this] { startArchive(); };
        task.cancel();
        return;
    }
    if (status == 407) {
        const std::string proxy = net::proxyShownFor(task.url());
        failFromWorker(task, "Download failed! The proxy server requires authentication: " + proxy + " " + task.url(),
                       tr("The proxy server requires authentication."));
        return;
    }
    if (fetch_ == Fetch::Signature && (status == 404 || status == 410)) {
        dropPartialArchive();
        failFromWorker(task, std::string("Download failed! ") + signatureFailureText(SignatureStatus::Missing) + " " +
                                 task.url() + format(" (HTTP %ld)", status),
                       tr(signatureFailureText(SignatureStatus::Missing)));
        return;
    }
    if (isTransientStatus(status) && retryLater(task, format("HTTP %ld", status), task.response().header("Retry-After"))) {
        return;
    }
    if (!isTransientStatus(status) && fetch_ == Fetch::Archive) dropPartialArchive();
    failFromWorker(task,
                   (bodyless ? format("Download failed! Error code- %3.0f", static_cast<double>(status))
                             : format("Download failed with http error code- %ld", status)) + " " + task.url(),
                   format(tr("Download failed with error code %ld"), status));
}

void Download::notModified(net::DownloadTask& task) {
    if (fetch_ == Fetch::Archive && askedForPartial_) {
        validationString = partial_->record.tag;
        archiveArrived(task, partialArchivePath());
        return;
    }
    const auto tag = task.request().ifNoneMatch;
    switch (judgeCache(AgentIdentity{url_, tag, key_.idText()}, cacheWait())) {
        case CacheJudgement::Current:
            finishReady(task);
            return;
        case CacheJudgement::GaveUp:
            return;
        case CacheJudgement::Stale:
        case CacheJudgement::Empty:
            break;
    }
    // The agent went between the question and the answer: ask again, for the archive itself.
    if (fetch_ == Fetch::Archive && tag && !conditionsDropped_) {
        conditionsDropped_ = true;
        next_ = [this] { startArchive(); };
        return;
    }
    failFromWorker(task, "Download failed! The server answered 304 Not Modified to a plain request: " + task.url(),
                   format(tr("Download failed with error code %ld"), 304L));
}

void Download::archiveArrived(net::DownloadTask& task, const std::string& location) {
    if (!looksLikeZip(location)) {
        dropPartialArchive();
        const auto type = task.response().header("Content-Type");
        const std::string got = type && !type->empty() ? platform::printable(type->substr(0, 100)) : "no content type";
        failFromWorker(task, "Download failed! The server did not send a zip archive (got " + got + "): " + task.url(),
                       format(tr("The server did not send the installer archive (got %s)."),
                              type && !type->empty() ? got.c_str() : tr("no content type")));
        return;
    }
    // Whole now: a run that ends before the archive is used leaves it for the next.
    const std::string tag = validationString.value_or("");
    recordPartialArchive(CacheRecord{url_, tag, "", "", now(), sizeOf(location)});
    if (key_.state != BundleKeyState::Present) {
        handOff(task, CacheRecord{url_, tag, "", "", now(), -1});
        return;
    }
    next_ = [this] {
        attempt_ = 1;
        startSignature();
    };
}

void Download::signatureArrived(net::DownloadTask& task, const std::string& location) {
    const std::string archive = partialArchivePath();
    const int64_t size = sizeOf(archive);
    SignatureCheck check = verifySignature(key_.key, readSmallFile(location).value_or(""), archive, archiveNameOfUrl(url_),
                                           [&] { return hasher_ ? hasher_->digest(size) : std::nullopt; });
    const auto cached = cachedAgentRecord();
    if (check.status == SignatureStatus::Valid && cached && cached->url == url_ && cached->keyId == key_.idText() &&
        isRollback(check.trustedComment, cached->trustedComment)) {
        check.status = SignatureStatus::Rollback;
    }
    if (check.status != SignatureStatus::Valid) {
        dropPartialArchive();
        failFromWorker(task,
                       std::string("Download failed! ") + signatureFailureText(check.status) + " " + url_ +
                           " (expected key " + key_.idText() + (check.keyId.empty() ? "" : ", found key " + check.keyId) +
                           ")",
                       tr(signatureFailureText(check.status)));
        return;
    }
    platform::systemLog("Install agent signature verified: " + check.trustedComment);
    handOff(task, CacheRecord{url_, validationString.value_or(""), key_.idText(), check.trustedComment, now(), -1});
}

void Download::transferFailed(net::DownloadTask& task, const net::TransferError& error) {
    const bool reachedBefore = reached_;
    reached_ = reached_ || error.responded;
    if (isTransientError(error, reachedBefore) && retryLater(task, error.reason, std::nullopt)) return;
    if (!reached_ && isUnreachable(error) && startOffline(task, error.reason)) return;
    if (error.kind == TransferErrorKind::BadRange || error.kind == TransferErrorKind::DiskFull) dropPartialArchive();
    if (error.kind == TransferErrorKind::ProxyAuth) {
        failFromWorker(task,
                       "Download failed! The proxy server requires authentication: " +
                           net::proxyShownFor(task.url()) + " " + task.url(),
                       tr("The proxy server requires authentication."));
        return;
    }
    // Without libcurl the reason alone says what to install.
    failFromWorker(task, "Download failed! Error - " + error.reason + " " + error.url,
                   error.kind == TransferErrorKind::NoLibrary
                       ? std::string(tr(error.reason.c_str()))
                       : std::string(tr("Error during the download process.")) + " " + error.reason);
}

bool Download::retryLater(net::DownloadTask& task, const std::string& reason,
                          const std::optional<std::string>& retryAfter) {
    if (attempt_ >= kMaxAttempts) return false;
    const int next = ++attempt_;
    const auto wait = retryWait(next, retryAfter, waitScale_);
    const Fetch what = fetch_;
    platform::systemLog("Download attempt " + std::to_string(next - 1) + " failed (" + reason + "); retrying in " +
                        std::to_string(wait.count()) + " ms: " + task.url());
    next_ = [this, next, wait, what] {
        for (auto left = wait; left.count() > 0; left -= std::chrono::milliseconds(1000)) {
            const int seconds = static_cast<int>(std::ceil(static_cast<double>(left.count()) / 1000));
            showStatus(format(tr("Connection lost. Retrying in %d s (attempt %d of %d)"), seconds, next, kMaxAttempts));
            if (!pause(std::min(left, std::chrono::milliseconds(1000)))) return;
        }
        showStatus(tr("Downloading"));
        what == Fetch::Archive ? startArchive() : startSignature();
    };
    task.cancel();
    return true;
}

}  // namespace bi
