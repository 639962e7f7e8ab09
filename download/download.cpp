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

std::string downloadTo;
std::string downloadFrom;

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

Download::Download() : installAgentLocation(downloadTo) {}

Download::~Download() { shutDown(); }

void Download::attach(ui::Window& w) {
    window = &w;
    window->setProgressValue(0.0);
    window->setProgressMaxValue(100.0);
    window->setStatusText(tr("Downloading"), ui::TextColor::Normal);
    window->setButtonTitle(tr("Cancel"));
}

void Download::shutDown() {
    if (urlSession) urlSession->cancelAll();
    {
        std::lock_guard lock(pauseMutex_);
        closed_ = true;  // a worker that waits stops waiting
    }
    pauseEnded_.notify_all();
    urlSession.reset();  // joins the worker; its runSync calls return at once now
    theDownload = nullptr;
    hasher_.reset();
    CacheLock::download().unlock();
}

void Download::onMain(const std::function<void()>& fn) { window->mainLoop().runSync(fn); }

void Download::showStatus(const std::string& text) {
    onMain([&] { window->setStatusText(text, ui::TextColor::Normal); });
}

void Download::failure(const std::string& message, ui::TextColor color) {
    window->setButtonTitle(tr("Close"));
    window->setButtonEnabled(true);
    window->stopProgressAnimation();
    window->setProgressIndeterminate(false);
    window->setProgressValue(window->progressMaxValue());
    window->setStatusText(message, color);
    window->refresh();
    // Nobody can read and close a console window: it ends the loop itself.
    if (!window->waitsForUserAfterFailure()) window->close();
}

void Download::onWindowOpen() {
    if (const auto bundle = platform::runningBundle()) {
        const std::string splash = platform::joinPath(bundle->resourceDir, "splash.png");
        if (!bundle->resourceDir.empty() && ::access(splash.c_str(), F_OK) == 0) {
            window->setSplashImage(splash, kSplashPoints, kSplashPoints);
            window->refresh();
        }
    }
    finished_ = true;  // until the download starts, a failure here is the end
    std::string why;
    const std::string urlFile = getBundleLocation() + PATH_SEPARATOR + "installAgentURL.txt";
    key_ = loadBundleKey();
    if (!isCacheTrusted(&why)) {
        platform::systemLog("Download failed! The installer cache cannot be trusted: " + why);
        failure(format(tr("The installer cache cannot be trusted: %s"), why.c_str()), ui::TextColor::Red);
    } else if (downloadFrom.empty() && std::getenv("QV_INTERNAL_INSTALL_AGENT_URL") == nullptr &&
               ::access(urlFile.c_str(), F_OK) != 0) {
        platform::systemLog("Download failed! No download address: " + urlFile + " is missing");
        failure(format(tr("This installer has no download address: %s is missing."), urlFile.c_str()),
                ui::TextColor::Red);
    } else if (key_.state == BundleKeyState::Damaged) {
        platform::systemLog(std::string("Download failed! ") + signatureFailureText(SignatureStatus::DamagedKey) + " " +
                            getBundleLocation() + PATH_SEPARATOR + INSTALL_AGENT_KEY_FILE);
        failure(tr(signatureFailureText(SignatureStatus::DamagedKey)), ui::TextColor::Red);
    } else {
        finished_ = false;
        downloadFromURL(downloadFrom);
    }
}

void Download::downloadFromURL(const std::string& url) {
    url_ = url;
    net::SessionOptions options;
    // Only the signature lands there, in the run's working directory, which goes with the run.
    options.temporaryDirectory = directoryOf(installAgentLocation);
    if (const auto idle = secondsFromEnvironment("BI_IDLE_TIMEOUT")) {
        options.idleTimeout = std::chrono::milliseconds(static_cast<long>(*idle * 1000));
    }
    waitScale_ = secondsFromEnvironment("BI_RETRY_WAIT").value_or(1.0);
    urlSession = net::makeUrlSession(*this, options);
    urlSession->post([this] { begin(); });
}

void Download::onWindowClose() {
    {
        std::lock_guard lock(pauseMutex_);
        closed_ = true;
    }
    pauseEnded_.notify_all();
    // An extraction under way says so itself once it has stopped.
    if (!finished_ && !extracting_) reportMessage("The installation was cancelled.", true);
    if (urlSession) urlSession->cancelAll();  // every task, whichever runs now
    window->mainLoop().stop(agentReady_ ? kAgentReady : 0);
}

// The worker touches only the task it reports on: the main thread may be taking the session
// down once its loop has ended.
void Download::failFromWorker(net::DownloadTask& task, const std::string& logLine,
                              const std::string& windowText) {
    finished_ = true;
    platform::systemLog(logLine);
    task.cancel();
    CacheLock::download().unlock();
    onMain([&] { failure(windowText, ui::TextColor::Red); });
}

void Download::finishReady(net::DownloadTask& task, double linger) {
    finished_ = true;
    agentReady_ = true;
    task.cancel();
    CacheLock::download().unlock();
    onMain([&] {
        if (linger > 0 && window->waitsForUserAfterFailure()) {
            window->mainLoop().runAfter(linger, [this] { window->close(); });
        } else {
            window->close();
        }
    });
}

CacheWait Download::cacheWait() {
    return CacheWait{[this] { showStatus(tr("Waiting for another installer to finish")); },
                     [this] { return closed_.load(); }};
}

bool Download::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(pauseMutex_);
    return !pauseEnded_.wait_for(lock, duration, [this] { return closed_.load(); });
}

void Download::handOff(net::DownloadTask& task, const CacheRecord& record) {
    onMain([&] {
        // An archive taken whole from an earlier run was not downloaded now.
        if (received_) window->downloadFinished();
        window->setStatusText(tr("Initializing the installer"), ui::TextColor::Normal);
        window->setProgressIndeterminate(true);
        window->startProgressAnimation();
        window->refresh();
    });
    if (closed_) return;
    extracting_ = true;
    const CacheFill filled = fillCache(partialArchivePath(), record, cacheWait());
    extracting_ = false;
    switch (filled) {
        case CacheFill::Filled:
            dropPartialArchive();
            finishReady(task);
            return;
        case CacheFill::GaveUp:
            return;  // the whole archive stays for the next run
        case CacheFill::ExtractionFailed:
            dropPartialArchive();
            failFromWorker(task, "Download failed! The archive could not be extracted: " + task.url(),
                           tr("Failed to unzip the installer."));
            return;
        case CacheFill::CacheNotWritable:
            failFromWorker(task, "Download failed! The installer cache could not be written: " + getInstallAgentCacheDir(),
                           format(tr("Failed to store the installer in %s"), getInstallAgentCacheDir().c_str()));
            return;
    }
}

bool Download::startOffline(net::DownloadTask& task, const std::string& reason) {
    const auto record = holdCachedAgentFrom(url_, key_.idText(), cacheWait());
    if (!record) return false;
    char date[32] = "an earlier day";
    const time_t stored = static_cast<time_t>(record->storedAt);
    tm local{};
    if (::localtime_r(&stored, &local) != nullptr) std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    const std::string said = std::string("Could not reach the server; starting the installer downloaded on ") + date;
    reportMessage(said, true);
    platform::systemLog(said + " (" + reason + "): " + url_);
    showStatus(format(tr("Could not reach the server; starting the installer downloaded on %s"), date));
    finishReady(task, 2.0);
    return true;
}

void Download::onProgress(net::DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten, int64_t) {
    if (&task != theDownload || finished_ || next_) return;
    if (!firstSeen_ && !(firstSeen_ = true, firstResponse(task, false))) return;
    if (fetch_ != Fetch::Archive) return;
    received_ = true;
    if (hasher_) hasher_->grownTo(base_ + totalBytesWritten);
    onMain([&] {
        window->setStatusText(tr("Downloading"), ui::TextColor::Normal);
        window->advanceProgress(static_cast<double>(bytesWritten));
        window->refresh();
    });
}

void Download::onArrived(net::DownloadTask& task, const std::string& location) {
    if (&task != theDownload || finished_ || next_) return;
    // A body-less response gives no progress report: its first response is judged here.
    if (!firstSeen_ && !(firstSeen_ = true, firstResponse(task, true))) return;
    if (task.response().statusCode == 304) {
        notModified(task);
    } else if (fetch_ == Fetch::Archive) {
        archiveArrived(task, location);
    } else {
        signatureArrived(task, location);
    }
}

void Download::onEnded(net::DownloadTask& task, const std::optional<net::TransferError>& error) {
    if (&task != theDownload || closed_) return;
    if (!next_ && !finished_ && error && error->kind != net::TransferErrorKind::Cancelled) {
        transferFailed(task, *error);
    }
    // What a report decided to do next: another attempt, or the signature after the archive.
    if (next_) {
        const auto next = std::move(next_);
        next_ = nullptr;
        next();
    }
}

}  // namespace bi
