// The session's lifetime and its one worker: a serial queue of tasks and posted work, and
// the reports to the delegate. The transfer itself is in curl_transfer.cpp.
#include "net/url_session.h"

#include <signal.h>
#include <strings.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "net/curl_library.h"
#include "net/curl_transfer.h"
#include "net/url.h"

namespace bi::net {

std::string proxyShownFor(const std::string& url) {
    const bool https = ::strncasecmp(url.c_str(), "https:", 6) == 0;
    // libcurl's own order; it never reads HTTP_PROXY in capitals.
    static const std::vector<const char*> forHttps = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
    static const std::vector<const char*> forHttp = {"http_proxy", "all_proxy", "ALL_PROXY"};
    for (const char* name : https ? forHttps : forHttp) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        return withoutPassword(value);
    }
    return "";
}

namespace {

void ignoreSignal(int) {}

void setUpProcessOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A peer that closes its end must not kill the process, and past a file size limit a
        // write must fail with EFBIG (reported as a full disk) rather than kill it. Handlers,
        // unlike SIG_IGN, are not inherited by unzip and the agent. A handler the program
        // installed itself is left alone.
        for (const int signo : {SIGPIPE, SIGXFSZ}) {
            struct sigaction current {};
            if (::sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
                struct sigaction quiet {};
                quiet.sa_handler = &ignoreSignal;
                ::sigemptyset(&quiet.sa_mask);
                quiet.sa_flags = SA_RESTART;
                ::sigaction(signo, &quiet, nullptr);
            }
        }
    });
}

class CurlSession;

class CurlTask final : public DownloadTask {
public:
    CurlTask(CurlSession& session, TransferRequest request) : session_(session), request_(std::move(request)) {}

    void resume() override;
    void cancel() override;
    // Only sets the flag; for callers that hold the session's lock and wake it themselves.
    void flagCancelled() { cancelled_ = true; }
    // Under the session's lock: true the first time only.
    bool markResumed() { return !std::exchange(resumed_, true); }
    HttpResponse response() const override {
        std::lock_guard lock(response_.mutex);
        return response_.response;
    }
    const TransferRequest& request() const override { return request_; }

    // On the worker thread: the whole transfer and its reports.
    void run(MultiHandle& multi, const SessionOptions& options, DownloadDelegate& delegate,
             const std::atomic<bool>& quiet);

private:
    CurlSession& session_;
    const TransferRequest request_;
    std::atomic<bool> cancelled_{false};
    bool resumed_ = false;  // under the session's lock
    SharedResponse response_;
};

class CurlSession final : public UrlSession {
public:
    CurlSession(DownloadDelegate& delegate, SessionOptions options)
        : delegate_(delegate), options_(std::move(options)) {
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
    }

    DownloadTask& downloadTask(TransferRequest request) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::make_unique<CurlTask>(*this, std::move(request)));
        if (invalidated_) tasks_.back()->flagCancelled();
        return *tasks_.back();
    }

    void post(std::function<void()> fn) override {
        {
            std::lock_guard lock(mutex_);
            if (invalidated_) return;
            queue_.push_back(std::move(fn));
        }
        wake();
    }

    void cancelAll() override {
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
            queue_.emplace_back([this, &task] { task.run(multi_, options_, delegate_, quiet_); });
        }
        wake();
    }

    // Interrupts the worker's wait, whether it waits for work or in the middle of a transfer.
    // Callers change what the worker waits for under the lock first.
    void wake() {
        ready_.notify_all();
        multi_.wake();
    }

private:
    void work() {
        for (;;) {
            std::function<void()> item;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                item = std::move(queue_.front());
                queue_.pop_front();
            }
            item();
        }
    }

    DownloadDelegate& delegate_;
    const SessionOptions options_;
    MultiHandle multi_;
    std::atomic<bool> quiet_{false};
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<std::unique_ptr<CurlTask>> tasks_;
    std::deque<std::function<void()>> queue_;
    bool invalidated_ = false;
    bool stopping_ = false;
    std::thread worker_;  // last, so that it starts after everything it uses
};

void CurlTask::resume() { session_.enqueue(*this); }

void CurlTask::cancel() {
    cancelled_ = true;
    session_.wake();
}

void CurlTask::run(MultiHandle& multi, const SessionOptions& options, DownloadDelegate& delegate,
                   const std::atomic<bool>& quiet) {
    // No report once the session is being destroyed.
    const TransferReports reports{[&](int64_t bytes, int64_t total, int64_t expected) {
                                      if (!quiet) delegate.onProgress(*this, bytes, total, expected);
                                  },
                                  [&](const std::string& location) {
                                      if (!quiet) delegate.onArrived(*this, location);
                                  }};
    const std::optional<TransferError> result =
        performTransfer(multi, options, request_, cancelled_, response_, reports);
    if (!quiet) delegate.onEnded(*this, result);
}

}  // namespace

std::unique_ptr<UrlSession> makeUrlSession(DownloadDelegate& delegate, SessionOptions options) {
    setUpProcessOnce();
    return std::make_unique<CurlSession>(delegate, std::move(options));
}

}  // namespace bi::net
