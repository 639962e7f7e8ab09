// The download window's controller: it fetches the install-agent archive into the per-user
// cache, judges the cached agent by the archive's "ETag" and URL, checks the vendor's
// signature when the bundle has a key, and fills the cache. It never starts the agent: it
// ends the window's main loop with a non-zero status when the agent is ready in the cache,
// and with 0 after a failure or when the user closes the window.
//
// Its decisions are the fetch plan's; it carries them out on the session's worker: the
// reports, the waits for other installers and between attempts, the cache and the
// extraction. Window changes hop to the main thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/cache_fill.h"
#include "agent/file_hasher.h"
#include "agent/signature.h"
#include "agent/trust_store.h"
#include "download/fetch_plan.h"
#include "net/url_session.h"
#include "ui/window.h"

namespace bi {

class Download final : public ui::WindowDelegate, public net::DownloadDelegate {
public:
    // Fetches `url`, then each of `mirrors` while one before cannot serve; the run's working
    // directory, where `destination` lies, takes the signature.
    Download(std::string url, const std::string& destination, std::vector<std::string> mirrors = {});
    ~Download() override;

    // Sets the window's starting state; call before its loop runs.
    void attach(ui::Window& window);
    // Cancels the transfer and waits for the session's worker to end.
    void shutDown();
    // After shutDown(): why the run has no agent (shown already), or nullopt when it is ready.
    std::optional<Failure> outcome() const;

    void onWindowOpen() override;
    void onWindowClose() override;

    void onProgress(net::DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten,
                    int64_t totalBytesExpectedToWrite) override;
    void onArrived(net::DownloadTask& task, const std::string& location) override;
    void onEnded(net::DownloadTask& task, const std::optional<net::TransferError>& error) override;

private:
    // Fetching until the agent is ready or the run failed; Cancelled once the window closed first.
    enum class Phase { Fetching, Extracting, Failed, Ready, Cancelled };

    // Runs fn on the main thread and waits; nothing once the window's loop has ended.
    void onMain(const std::function<void()>& fn);
    void showStatus(const std::string& text);
    // Shows a failure: button "Close" (enabled), a full bar at rest, the message in red.
    void showFailure(const std::string& message);
    // Fails from the worker: logs, shows the failure, ends the transfer.
    void fail(net::DownloadTask& task, Failure failure);
    // Ends the loop with "agent ready", after `linger` seconds when a person can read the window.
    void finishReady(net::DownloadTask& task, double linger = 0);
    CacheWait cacheWait();
    bool stopped() const { return phase_ == Phase::Cancelled; }
    // Sleeps on the worker until the time has passed or the window closes; false then.
    bool pause(std::chrono::milliseconds duration);

    // On the worker (download_fetch.cpp).
    void begin();
    void startArchive();
    void startSignature(Fetch fetch = Fetch::Signature);
    void startStatement();
    void send(net::TransferRequest request);
    // Judges the first answer of a task; false when the task's body is not wanted.
    bool firstAnswer(net::DownloadTask& task, bool bodyless);
    // Carries out a step other than Accept: it ends the current task.
    void carryOut(net::DownloadTask& task, const Step& step);
    struct Next {
        Fetch fetch;
        std::chrono::milliseconds wait;
        RetryCause cause = RetryCause::ConnectionLost;
    };
    // Counts down a retry's wait on the window, then sends the fetch.
    void sendNext(Next next);
    void archiveArrived(net::DownloadTask& task, const std::string& location);
    void signatureArrived(net::DownloadTask& task, const std::string& location);
    // The signature asked first: the cached agent starts when it names its archive's hash.
    void identityArrived(net::DownloadTask& task, const std::string& location);
    void logNoServer(size_t count);
    void statementArrived(net::DownloadTask& task, const std::string& location);
    // Verifies the archive's signature with the keys trusted now, and hands a good one off.
    void checkSignature(net::DownloadTask& task);
    // After a signed agent was stored: its signing time, and the keys learned, for later runs.
    void rememberTrust(const CacheRecord& record);
    // The floor, the time, and the newest signing time seen for this URL.
    TrustFacts trustFacts() const;
    bool startOffline(net::DownloadTask& task, const std::string& reason);
    void handOff(net::DownloadTask& task, const CacheRecord& record);

    const std::string url_;
    const std::string workDir_;
    const std::vector<std::string> mirrors_;
    ui::Window* window_ = nullptr;  // not owned
    std::unique_ptr<net::UrlSession> session_;
    double waitScale_ = 1.0;

    // The run, on the worker only.
    BundleKey key_;
    FetchState state_;
    ArchiveAsk asked_;                       // the current task's request
    std::optional<PartialArchive> partial_;  // what the archive's request continues
    net::DownloadTask* task_ = nullptr;      // the current one
    net::DownloadTask* judged_ = nullptr;    // the task whose first answer was judged
    std::optional<std::string> tag_;         // the archive's "ETag"
    int64_t length_ = -1;                    // the whole archive's, -1 when unknown
    int64_t received_ = 0;                   // bytes of the archive that came in this run
    int64_t base_ = 0;                       // bytes kept from earlier when the attempt began
    std::optional<Next> next_;               // what follows once the current task has ended
    std::unique_ptr<FileHasher> hasher_;     // of the partial archive, when the bundle has a key
    BundleFloor floor_;
    TrustState trust_;            // what the cache learned for the bundle's key
    std::string signature_;       // the archive's, while its key statements are fetched
    bool cachedExpired_ = false;  // the cached agent is past its expiry

    std::optional<Failure> failure_;  // set before phase_ becomes Failed
    std::atomic<Phase> phase_{Phase::Fetching};
    std::mutex pauseMutex_;
    std::condition_variable pauseEnded_;
};

}  // namespace bi
