// The download window's controller: it fetches the install-agent archive, judges the per-user
// cache by the archive's "ETag" and fills it. It never starts the agent: it ends the window's
// main loop with a non-zero status when the agent is ready in the cache, and with 0 after a
// failure or when the user closes the window.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "agent/cache_fill.h"
#include "platform/url_session.h"
#include "platform/window.h"

// Written by the entry before the main loop starts and only read afterwards.
extern std::string downloadTo;    // where the working directory wants the archive
extern std::string downloadFrom;  // the URL

class Download final : public platform::WindowDelegate, public platform::DownloadDelegate {
public:
    Download();
    ~Download() override;

    // Sets the window's starting state; call before its loop runs.
    void attach(platform::Window& window);
    // Cancels the transfer and waits for the session's worker to end.
    void shutDown();

    // Shows a failure: button "Close", a full bar at rest, the message in colour.
    void failure(const std::string& message, platform::TextColor color);
    void downloadFromURL(const std::string& url);

    void applicationDidFinishLaunching() override;
    void windowWillClose() override;

    void didWriteData(platform::DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten,
                      int64_t totalBytesExpectedToWrite) override;
    void didFinishDownloading(platform::DownloadTask& task, const std::string& location) override;
    void didComplete(platform::DownloadTask& task, const std::optional<platform::TransferError>& error) override;

    int64_t fileLength = -1;
    std::optional<std::string> validationString;  // the first response's "ETag"
    std::string installAgentLocation;             // where the archive was asked for
    platform::Window* window = nullptr;           // not owned
    platform::DownloadTask* theDownload = nullptr;
    std::unique_ptr<platform::UrlSession> urlSession;

private:
    // Runs fn on the main thread and waits; nothing once the window's loop has ended.
    void onMain(const std::function<void()>& fn);
    // Fails from the worker: logs, shows the failure, ends the transfer.
    void failFromWorker(platform::DownloadTask& task, const std::string& logLine, const std::string& windowText);
    // The first response decides: error status, current cache, or a stale one to drop.
    bool firstResponse(platform::DownloadTask& task);
    // Waits for other installers, until the window closes.
    CacheWait cacheWait();
    // Ends the loop with "agent ready".
    void finishReady(platform::DownloadTask& task);

    std::atomic<bool> firstResponseSeen_{false};
    std::atomic<bool> finished_{false};  // a failure was shown or the agent is ready
    std::atomic<bool> agentReady_{false};
    std::atomic<bool> closed_{false};
    std::string sessionTemporaryDirectory_;
};
