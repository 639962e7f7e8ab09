// The controller's window side and its reports: what the window shows, and how each report
// of the session is routed to the decisions of download_fetch.cpp.
#include "download/download.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "agent/cache.h"
#include "agent/cache_lock.h"
#include "download/download_texts.h"
#include "host/constants.h"
#include "host/locations.h"
#include "host/report.h"
#include "platform/bundle.h"
#include "platform/system_log.h"

namespace bi {

namespace {

constexpr int kSplashPoints = 400;
constexpr int kAgentReady = 1;

std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// A positive number of seconds from the environment, for networks (and tests) that need
// other times than ours.
std::optional<double> secondsFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    char* end = nullptr;
    const double seconds = std::strtod(value, &end);
    if (*end != '\0' || !(seconds > 0) || seconds > 86400) return std::nullopt;
    return seconds;
}

}  // namespace

Download::Download(std::string url, const std::string& destination, std::vector<std::string> mirrors)
    : url_(std::move(url)), workDir_(directoryOf(destination)), mirrors_(std::move(mirrors)) {}

Download::~Download() { shutDown(); }

void Download::attach(ui::Window& window) {
    window_ = &window;
    window_->setProgressValue(0.0);
    window_->setProgressMaxValue(100.0);
    window_->setStatusText(tr("Downloading"), ui::TextColor::Normal);
    window_->setButtonTitle(tr("Cancel"));
}

void Download::shutDown() {
    if (session_) session_->cancelAll();
    {
        std::lock_guard lock(pauseMutex_);
        // A worker that waits stops waiting.
        for (Phase p = phase_;
             (p == Phase::Fetching || p == Phase::Extracting) && !phase_.compare_exchange_weak(p, Phase::Cancelled);) {
        }
    }
    pauseEnded_.notify_all();
    session_.reset();  // joins the worker; its runSync calls return at once now
    task_ = nullptr;
    hasher_.reset();
    CacheLock::download().unlock();
}

std::optional<Failure> Download::outcome() const {
    if (phase_ == Phase::Ready) return std::nullopt;
    if (phase_ == Phase::Failed && failure_) return failure_;
    return Failure{Failure::Kind::Cancelled};
}

void Download::onMain(const std::function<void()>& fn) { window_->mainLoop().runSync(fn); }

void Download::showStatus(const std::string& text) {
    onMain([&] { window_->setStatusText(text, ui::TextColor::Normal); });
}

void Download::showFailure(const std::string& message) {
    window_->setButtonTitle(tr("Close"));
    window_->setButtonEnabled(true);
    window_->stopProgressAnimation();
    window_->setProgressIndeterminate(false);
    window_->setProgressValue(window_->progressMaxValue());
    window_->setStatusText(message, ui::TextColor::Red);
    window_->refresh();
    // The console writes it itself; a window's words reach standard error too, for whoever reads it.
    if (window_->waitsForUserAfterFailure()) platform::writeAll(STDERR_FILENO, message + "\n");
    // Nobody can read and close a console window: it ends the loop itself.
    if (!window_->waitsForUserAfterFailure()) window_->close();
}

void Download::onWindowOpen() {
    if (const auto bundle = platform::runningBundle()) {
        const std::string splash = platform::joinPath(bundle->resourceDir, "splash.png");
        if (!bundle->resourceDir.empty() && ::access(splash.c_str(), F_OK) == 0) {
            window_->setSplashImage(splash, kSplashPoints, kSplashPoints);
            window_->refresh();
        }
    }
    std::optional<Failure> failure;
    std::string why;
    const std::string urlFile = getBundleLocation() + PATH_SEPARATOR + INSTALL_AGENT_URL_FILE;
    key_ = loadBundleKey();
    floor_ = loadBundleFloor();
    if (!isCacheTrusted(&why)) {
        failure = Failure{Failure::Kind::CacheUntrusted, "", why};
    } else if (url_.empty() && std::getenv(kAgentUrlVariable) == nullptr && ::access(urlFile.c_str(), F_OK) != 0) {
        failure = Failure{Failure::Kind::NoUrlFile, urlFile};
    } else if (key_.state == BundleKeyState::Damaged || (key_.state == BundleKeyState::Present && floor_.damaged)) {
        failure =
            Failure{Failure::Kind::Signature, getBundleLocation() + PATH_SEPARATOR +
                                                  (floor_.damaged ? INSTALL_AGENT_FLOOR_FILE : INSTALL_AGENT_KEY_FILE)};
        failure->signature = SignatureStatus::DamagedKey;
    }
    if (failure) {
        failure_ = failure;
        phase_ = Phase::Failed;  // before the download starts, a failure here is the end
        platform::systemLog(logLine(*failure));
        showFailure(windowText(*failure));
        return;
    }
    state_.url = url_;
    state_.keyId = key_.idText();
    if (!mirrors_.empty()) {
        state_.servers = {url_};
        state_.servers.insert(state_.servers.end(), mirrors_.begin(), mirrors_.end());
    }
    net::SessionOptions options;
    // Only the signature lands there, in the run's working directory, which goes with the run.
    options.temporaryDirectory = workDir_;
    if (const auto idle = secondsFromEnvironment(kIdleTimeoutVariable)) {
        options.idleTimeout = std::chrono::milliseconds(static_cast<long>(*idle * 1000));
    }
    waitScale_ = secondsFromEnvironment(kRetryWaitVariable).value_or(1.0);
    session_ = net::makeUrlSession(*this, options);
    session_->post([this] { begin(); });
}

void Download::onWindowClose() {
    Phase was = phase_;
    {
        std::lock_guard lock(pauseMutex_);
        while ((was == Phase::Fetching || was == Phase::Extracting) &&
               !phase_.compare_exchange_weak(was, Phase::Cancelled)) {
        }
    }
    pauseEnded_.notify_all();
    // An extraction under way says so itself once it has stopped.
    if (was == Phase::Fetching) reportMessage("The installation was cancelled.", true);
    if (session_) session_->cancelAll();  // every task, whichever runs now
    window_->mainLoop().stop(was == Phase::Ready ? kAgentReady : 0);
}

// The worker touches only the task it reports on: the main thread may be taking the session
// down once its loop has ended.
void Download::fail(net::DownloadTask& task, Failure failure) {
    if (failure.kind == Failure::Kind::ProxyAuth) failure.detail = net::proxyShownFor(failure.where);
    if (failure.transfer == net::TransferErrorKind::DiskFull && length_ > 0) failure.needed = length_;
    failure_ = failure;
    phase_ = Phase::Failed;
    platform::systemLog(logLine(failure));
    task.cancel();
    CacheLock::download().unlock();
    onMain([&] { showFailure(windowText(failure)); });
}

void Download::finishReady(net::DownloadTask& task, double linger) {
    phase_ = Phase::Ready;
    task.cancel();
    CacheLock::download().unlock();
    onMain([&] {
        if (linger > 0 && window_->waitsForUserAfterFailure()) {
            window_->mainLoop().runAfter(linger, [this] { window_->close(); });
        } else {
            window_->close();
        }
    });
}

CacheWait Download::cacheWait() {
    return CacheWait{[this] { showStatus(tr("Waiting for another installer to finish")); },
                     [this] { return stopped(); }};
}

bool Download::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(pauseMutex_);
    return !pauseEnded_.wait_for(lock, duration, [this] { return stopped(); });
}

void Download::handOff(net::DownloadTask& task, const CacheRecord& record) {
    onMain([&] {
        // An archive taken whole from an earlier run was not downloaded now.
        if (received_ > 0) window_->downloadFinished();
        window_->setStatusText(tr("Initializing the installer"), ui::TextColor::Normal);
        window_->setProgressIndeterminate(true);
        window_->startProgressAnimation();
        window_->refresh();
    });
    if (Phase p = Phase::Fetching; !phase_.compare_exchange_strong(p, Phase::Extracting)) return;
    const CacheFill filled = fillCache(partialArchivePath(), record, cacheWait());
    if (Phase p = Phase::Extracting; !phase_.compare_exchange_strong(p, Phase::Fetching)) return;  // cancelled
    switch (filled) {
        case CacheFill::Filled:
            rememberTrust(record);
            dropPartialArchive();
            finishReady(task);
            return;
        case CacheFill::GaveUp:
            return;  // the whole archive stays for the next run
        case CacheFill::ExtractionFailed:
            dropPartialArchive();
            fail(task, {Failure::Kind::Extraction, task.url()});
            return;
        case CacheFill::CacheNotWritable:
            fail(task, {Failure::Kind::CacheNotWritable, getInstallAgentCacheDir()});
            return;
    }
}

bool Download::startOffline(net::DownloadTask& task, const std::string& reason) {
    const auto record = holdCachedAgentFrom(url_, key_.idText(), cacheWait());
    if (!record) return false;
    if (hasExpired(record->trustedComment, static_cast<int64_t>(std::time(nullptr)))) {
        // Not started: an agent past its expiry may be one the vendor has withdrawn.
        Failure expired{Failure::Kind::Signature, url_, reason + "; " + readableTrustedComment(record->trustedComment)};
        expired.signature = SignatureStatus::CachedExpired;
        fail(task, std::move(expired));
        return true;
    }
    char date[32] = "an earlier day";
    const time_t stored = static_cast<time_t>(record->storedAt);
    tm local{};
    if (::localtime_r(&stored, &local) != nullptr) std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    const std::string said = std::string("Could not reach the server; starting the installer downloaded on ") + date;
    // Said once: the log line reaches standard error, and only a window needs it besides.
    platform::systemLog(said + " (" + reason + "): " + url_);
    if (window_->waitsForUserAfterFailure()) {
        showStatus(format(tr("Could not reach the server; starting the installer downloaded on %s"), date));
    }
    finishReady(task, 2.0);
    return true;
}

}  // namespace bi
