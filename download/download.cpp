#include "download/download.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "agent/cache.h"
#include "agent/cache_fill.h"
#include "download/download_entry.h"
#include "platform/bundle.h"
#include "platform/system_log.h"

std::string downloadTo;
std::string downloadFrom;

namespace {

constexpr long kFirstErrorStatus = 400;
constexpr int kSplashPoints = 400;
constexpr int kAgentReady = 1;

std::string format(const char* fmt, auto... args) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

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

}  // namespace

Download::Download() : installAgentLocation(downloadTo) {}

Download::~Download() { shutDown(); }

void Download::attach(platform::Window& w) {
    window = &w;
    window->setProgressValue(0.0);
    window->setProgressMaxValue(100.0);
    window->setStatusText("Downloading", platform::TextColor::Normal);
    window->setButtonTitle("Cancel");
}

void Download::shutDown() {
    if (urlSession) urlSession->invalidateAndCancel();
    urlSession.reset();  // joins the worker; its runSync calls return at once now
    theDownload = nullptr;
}

void Download::onMain(const std::function<void()>& fn) { window->mainLoop().runSync(fn); }

void Download::failure(const std::string& message, platform::TextColor color) {
    window->setButtonTitle("Close");
    window->stopProgressAnimation();
    window->setProgressIndeterminate(false);
    window->setProgressValue(window->progressMaxValue());
    window->setStatusText(message, color);
    window->refresh();
    // Nobody can read and close a console window: it ends the loop itself.
    if (!window->waitsForUserAfterFailure()) window->close();
}

void Download::applicationDidFinishLaunching() {
    const auto bundle = platform::mainBundle();
    if (!bundle) return;
    const std::string splash = platform::appendPathComponent(bundle->resourcePath, "splash.png");
    if (!bundle->resourcePath.empty() && ::access(splash.c_str(), F_OK) == 0) {
        window->setSplashImage(splash, kSplashPoints, kSplashPoints);
        window->refresh();
    }
    std::string why;
    if (!isCacheTrusted(&why)) {
        platform::systemLog("Download failed! The installer cache cannot be trusted: " + why);
        failure("The installer cache cannot be trusted: " + why, platform::TextColor::Red);
        return;
    }
    downloadFromURL(downloadFrom);
}

void Download::downloadFromURL(const std::string& url) {
    platform::SessionOptions options;
    // The partial archive lives in the run's working directory, which goes with the run.
    options.temporaryDirectory = directoryOf(installAgentLocation);
    urlSession = platform::makeUrlSession(*this, options);
    theDownload = &urlSession->downloadTask(url);
    theDownload->resume();
}

void Download::windowWillClose() {
    closed_ = true;
    if (theDownload != nullptr) theDownload->cancel();
    if (urlSession) urlSession->invalidateAndCancel();
    window->mainLoop().stop(agentReady_ ? kAgentReady : 0);
}

// The worker touches only the task it reports on: the main thread may be taking the session
// down once its loop has ended.
void Download::failFromWorker(platform::DownloadTask& task, const std::string& logLine,
                              const std::string& windowText) {
    finished_ = true;
    platform::systemLog(logLine);
    task.cancel();
    onMain([&] { failure(windowText, platform::TextColor::Red); });
}

void Download::finishReady(platform::DownloadTask& task) {
    finished_ = true;
    agentReady_ = true;
    task.cancel();
    onMain([&] { window->close(); });
}

CacheWait Download::cacheWait() {
    return CacheWait{
        [this] {
            onMain([this] { window->setStatusText("Waiting for another installer to finish", platform::TextColor::Normal); });
        },
        [this] { return closed_.load(); }};
}

bool Download::firstResponse(platform::DownloadTask& task) {
    const platform::HttpResponse response = task.response();
    if (response.statusCode >= kFirstErrorStatus) {
        failFromWorker(task, format("Download failed with http error code- %ld", response.statusCode),
                       format("Download failed with error code %ld", response.statusCode));
        return false;
    }
    validationString = response.header("ETag");
    fileLength = response.expectedContentLength;

    // Without a tag nothing can be judged current.
    switch (judgeCache(validationString, cacheWait())) {
        case CacheJudgement::Current:
            finishReady(task);
            return false;
        case CacheJudgement::GaveUp:
            return false;
        case CacheJudgement::Stale:
        case CacheJudgement::Empty:
            break;
    }
    onMain([&] {
        window->setProgressValue(0.0);
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

void Download::didWriteData(platform::DownloadTask& task, int64_t bytesWritten, int64_t, int64_t) {
    if (finished_) return;
    if (!firstResponseSeen_.exchange(true) && !firstResponse(task)) return;
    onMain([&] {
        window->setStatusText("Downloading", platform::TextColor::Normal);
        window->incrementProgressBy(static_cast<double>(bytesWritten));
        window->refresh();
    });
}

void Download::didFinishDownloading(platform::DownloadTask& task, const std::string& location) {
    if (finished_) return;
    const long status = task.response().statusCode;
    if (status >= kFirstErrorStatus) {
        failFromWorker(task, format("Download failed! Error code- %3.0f", static_cast<double>(status)),
                       format("Download failed with error code %ld", status));
        return;
    }
    // An empty body gives no progress report: the first response is judged here then.
    if (!firstResponseSeen_.exchange(true) && !firstResponse(task)) return;
    if (!looksLikeZip(location)) {
        const auto type = task.response().header("Content-Type");
        const std::string got =
            " (got " + (type && !type->empty() ? platform::printable(type->substr(0, 100)) : "no content type") + ")";
        failFromWorker(task, "Download failed! The server did not send a zip archive" + got + ": " + task.url(),
                       "The server did not send the installer archive" + got + ".");
        return;
    }

    onMain([&] {
        window->downloadFinished();
        window->setStatusText("Initializing the installer", platform::TextColor::Normal);
        window->setProgressIndeterminate(true);
        window->startProgressAnimation();
        window->setButtonEnabled(false);
        window->refresh();
    });
    if (closed_) return;
    switch (fillCache(location, validationString, cacheWait())) {
        case CacheFill::Filled:
            finishReady(task);
            return;
        case CacheFill::GaveUp:
            return;
        case CacheFill::ExtractionFailed:
            failFromWorker(task, "Download failed! The archive could not be extracted: " + task.url(),
                           "Failed to unzip the installer.");
            return;
        case CacheFill::CacheNotWritable:
            failFromWorker(task, "Download failed! The installer cache could not be written: " + getInstallAgentCacheDir(),
                           "Failed to store the installer in " + getInstallAgentCacheDir());
            return;
    }
}

void Download::didComplete(platform::DownloadTask& task, const std::optional<platform::TransferError>& error) {
    if (finished_ || !error || error->kind == platform::TransferErrorKind::Cancelled) return;
    failFromWorker(task, "Download failed! Error - " + error->reason + " " + error->url,
                   "Error during the download process. " + error->reason);
}
