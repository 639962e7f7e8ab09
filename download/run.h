// One download run: it fetches the install-agent archive into the per-user cache, judges the
// cached agent by the archive's "ETag" and URL (or, for a signed bundle, by its signature),
// checks the vendor's signature and fills the cache. It never starts the agent: it ends Ready
// with the agent's directory, or Failed with why.
//
// Every decision is the fetch plan's (download/fetch_plan.h); the run carries the steps out on
// the URL session's worker: it sends, writes, waits, extracts, and publishes a snapshot of
// where it is to the window, which only shows it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "agent/file_hasher.h"
#include "agent/trust_store.h"
#include "download/fetch_plan.h"
#include "host/settings.h"
#include "net/url_session.h"
#include "ui/window.h"

namespace bi {

// What a run is given: where to fetch from, and the bundle's keys.
struct RunInputs {
    std::string url;                   // the agent's identity in the cache
    std::vector<std::string> mirrors;  // asked in turn after url
    std::string workDir;               // the run's working directory: the signature lands there
    StartFacts start;                  // what must hold before anything is asked
    BundleKey key;
    BundleFloor floor;
};

// The agent is ready in the cache.
struct AgentReady {
    std::string dir;
};
using RunResult = std::variant<AgentReady, Failure>;

// Where a run is: one of these at a time.
namespace stage {
struct Starting {};
struct WaitingForOther {};  // another installer downloads into the cache
struct Asking {             // `asked` is under way; its first answer has not come
    Ask asked;
    const net::DownloadTask* task;
};
struct Receiving {  // the answer's body is taken
    Ask asked;
    const net::DownloadTask* task;
};
struct WaitingToFetch {  // `after` has ended or is ending; `next` is asked for at `until`
    Fetch next;
    std::chrono::steady_clock::time_point until;
    RetryCause cause;
    const net::DownloadTask* after;
};
struct Verifying {};  // the archive's signature is checked
struct Extracting {};
struct Ready {
    AgentReady agent;
};
struct Failed {
    Failure failure;
};
struct Cancelled {};
}  // namespace stage
using RunState =
    std::variant<stage::Starting, stage::WaitingForOther, stage::Asking, stage::Receiving, stage::WaitingToFetch,
                 stage::Verifying, stage::Extracting, stage::Ready, stage::Failed, stage::Cancelled>;

class DownloadRun final : public net::DownloadDelegate {
public:
    // The window shows the run; it must outlive it.
    DownloadRun(RunInputs inputs, const Settings& settings, ui::Window& window);
    ~DownloadRun() override;  // NOLINT(bugprone-exception-escape): see run.cpp

    // Starts the run on the session's worker (after the window's first snapshot), or fails it at
    // once when it cannot start.
    void start();
    // The user gave up: the run stops where it is. On the main thread.
    void cancel();
    // Cancels what still goes on and waits for the worker to end; then the result.
    RunResult finish();

    void onProgress(net::DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten,
                    int64_t totalBytesExpectedToWrite) override;
    void onArrived(net::DownloadTask& task, const std::string& location) override;
    void onEnded(net::DownloadTask& task, const std::optional<net::TransferError>& error) override;

private:
    // The state, under the mutex: the main thread may cancel at any time. A run that was
    // cancelled, has failed or is ready changes no more.
    bool enter(RunState next);
    void shutDown();
    // The state when it is `Stage`, of `task` where the stage has one.
    template <typename Stage>
    std::optional<Stage> in(const net::DownloadTask* task = nullptr) const;

    // On the worker (run.cpp).
    void begin();
    void fetch(Fetch what);
    void send(Ask ask);
    Answer answerOf(const net::DownloadTask& task, const Ask& asked, bool bodyless) const;
    void firstAnswer(net::DownloadTask& task, const Ask& asked, bool bodyless);
    // The one judgement of the cached agent, for a 304 and for a body whose tag may name it.
    Step judgedCache(const Ask& asked, const Step& step, const std::optional<std::string>& tag);
    void carryOut(net::DownloadTask& task, const Ask& asked, const Step& step);
    void next(net::DownloadTask& task, Fetch what, std::chrono::milliseconds wait, RetryCause cause);
    void archiveArrived(net::DownloadTask& task, const Ask& asked, const std::string& location);
    void signatureArrived(net::DownloadTask& task, const Ask& asked, const std::string& location);
    void identityArrived(net::DownloadTask& task, const Ask& asked, const std::string& location);
    void statementArrived(net::DownloadTask& task, const Ask& asked, const std::string& location);
    void checkSignature(net::DownloadTask& task, const Ask& asked);
    void extract(net::DownloadTask& task, const Ask& asked);
    void offline(net::DownloadTask& task, const Ask& asked, const Step& step);
    void useCached(net::DownloadTask& task, const Step& step);
    void fail(net::DownloadTask* task, const Failure& failure);
    // While another installer downloads: its partial archive's growth, shown as this run's
    // transfer; false when nothing changed.
    bool followOther();
    void rememberTrust(const AgentRecord& record);
    TrustFacts trustFacts() const;
    CacheWait cacheWait();
    // Sleeps on the worker until the time has passed or the run was cancelled; false then.
    bool pause(std::chrono::steady_clock::time_point until);
    // Shows `snapshot_` in the window, on the main thread.
    void publish();

    const RunInputs in_;
    const Settings& settings_;
    ui::Window& window_;
    std::unique_ptr<net::UrlSession> session_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    RunState state_;

    // On the worker: what the plan remembers, the archive under way, what trust the cache learned.
    PlanMemory memory_;
    std::optional<PartialArchive> partial_;  // what the archive's request continues
    std::optional<std::string> tag_;         // the archive's "ETag"
    int64_t base_ = 0;                       // bytes kept from earlier when the attempt began
    std::unique_ptr<FileHasher> hasher_;     // of the partial archive, when the bundle has a key
    TrustState trust_;
    std::string signature_;       // the archive's .minisig, once fetched
    std::string trustedComment_;  // its trusted comment, once verified
    const size_t logMark_;        // the log lines before the run: the later ones are its details
    ui::RunSnapshot snapshot_;
};

}  // namespace bi
