// The download window's controller: it fetches the install-agent archive into the per-user
// cache, judges the cached agent by the archive's "ETag" and URL, checks the vendor's
// signature when the bundle has a key, and fills the cache. It never starts the agent: it
// ends the window's main loop with a non-zero status when the agent is ready in the cache,
// and with 0 after a failure or when the user closes the window.
//
// Its decisions run on the session's worker: the reports, the waits for other installers
// and between attempts, the cache and the extraction. Window changes hop to the main thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "agent/cache_fill.h"
#include "agent/file_hasher.h"
#include "agent/partial_archive.h"
#include "agent/signature.h"
#include "net/url_session.h"
#include "ui/window.h"

namespace bi {

// Written by the entry before the main loop starts and only read afterwards.
extern std::string downloadTo;    // where the working directory wants the archive
extern std::string downloadFrom;  // the URL

class Download final : public ui::WindowDelegate, public net::DownloadDelegate {
public:
    Download();
    ~Download() override;

    // Sets the window's starting state; call before its loop runs.
    void attach(ui::Window& window);
    // Cancels the transfer and waits for the session's worker to end.
    void shutDown();

    // Shows a failure: button "Close" (enabled), a full bar at rest, the message in colour.
    void failure(const std::string& message, ui::TextColor color);
    void downloadFromURL(const std::string& url);

    void onWindowOpen() override;
    void onWindowClose() override;

    void onProgress(net::DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten,
                      int64_t totalBytesExpectedToWrite) override;
    void onArrived(net::DownloadTask& task, const std::string& location) override;
    void onEnded(net::DownloadTask& task, const std::optional<net::TransferError>& error) override;

    int64_t fileLength = -1;                      // the whole archive's, -1 when unknown
    std::optional<std::string> validationString;  // the archive's "ETag"
    std::string installAgentLocation;             // where the archive was asked for
    ui::Window* window = nullptr;           // not owned
    net::DownloadTask* theDownload = nullptr;
    std::unique_ptr<net::UrlSession> urlSession;

private:
    enum class Fetch { Archive, Signature };

    // Runs fn on the main thread and waits; nothing once the window's loop has ended.
    void onMain(const std::function<void()>& fn);
    void showStatus(const std::string& text);
    // Fails from the worker: logs, shows the failure, ends the transfer.
    void failFromWorker(net::DownloadTask& task, const std::string& logLine, const std::string& windowText);
    // Ends the loop with "agent ready", after `linger` seconds when a person can read the window.
    void finishReady(net::DownloadTask& task, double linger = 0);
    // Waits for other installers, until the window closes.
    CacheWait cacheWait();

    // On the worker (download_fetch.cpp): one downloader per cache, then the attempts.
    void begin();
    void startArchive();
    void startSignature();
    void start(net::TransferRequest request, Fetch what);
    bool firstResponse(net::DownloadTask& task, bool bodyless);
    void httpFailure(net::DownloadTask& task, long status, bool bodyless);
    void notModified(net::DownloadTask& task);
    void archiveArrived(net::DownloadTask& task, const std::string& location);
    void signatureArrived(net::DownloadTask& task, const std::string& location);
    void transferFailed(net::DownloadTask& task, const net::TransferError& error);
    // Retries the current fetch after its wait, once the task has ended; false when no
    // attempt is left.
    bool retryLater(net::DownloadTask& task, const std::string& reason, const std::optional<std::string>& retryAfter);
    // Starts the cached agent when the server cannot be reached; false when there is none.
    bool startOffline(net::DownloadTask& task, const std::string& reason);
    void handOff(net::DownloadTask& task, const CacheRecord& record);
    // Sleeps on the worker until the time has passed or the window closes; false then.
    bool pause(std::chrono::milliseconds duration);

    // The run, on the worker only.
    std::string url_;
    BundleKey key_;
    Fetch fetch_ = Fetch::Archive;
    int attempt_ = 1;                        // of the current fetch
    bool firstSeen_ = false;                 // of the current task
    int64_t base_ = 0;                       // bytes kept from earlier when the attempt began
    std::optional<PartialArchive> partial_;  // what the attempt continues
    bool askedForPartial_ = false;           // If-None-Match named the whole partial archive
    bool conditionsDropped_ = false;         // after a 304 for an agent that has gone
    bool restartedOnce_ = false;             // after a 416 or a range that did not continue
    bool reached_ = false;                   // some response came in this run
    bool received_ = false;                  // some of the archive's body came in this run
    std::function<void()> next_;             // what follows once the current task has ended
    std::unique_ptr<FileHasher> hasher_;     // of the partial archive, when the bundle has a key
    double waitScale_ = 1.0;

    std::atomic<bool> finished_{false};  // a failure was shown or the agent is ready
    std::atomic<bool> agentReady_{false};
    std::atomic<bool> closed_{false};
    std::atomic<bool> extracting_{false};
    std::mutex pauseMutex_;
    std::condition_variable pauseEnded_;
};

}  // namespace bi
