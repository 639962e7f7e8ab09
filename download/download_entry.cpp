#include "download/download_entry.h"

#include <unistd.h>

#include "agent/cache_fill.h"
#include "agent/mirror_file.h"
#include "host/constants.h"
#include "host/locations.h"
#include "platform/bundle.h"
#include "platform/signal_watch.h"
#include "platform/system_log.h"

namespace bi {

namespace {

// Owns the window's loop: opening the window starts the run, closing it (its user, or the
// window once the run is over) gives the run up and ends the loop. Try again starts a new run
// of the same inputs in the same window.
class RunWindow final : public ui::WindowDelegate {
public:
    explicit RunWindow(const Settings& settings) : settings_(settings) {}

    RunResult run(RunInputs inputs) {
        inputs_ = std::move(inputs);
        window_ = ui::openWindow(*this, setup(settings_));
        run_ = std::make_unique<DownloadRun>(inputs_, settings_, *window_);
        window_->show(ui::RunSnapshot{});
        loop();
        return run_->finish();
    }

    // A failure found before any run, shown as a run's would be.
    void show(const Failure& failure) {
        window_ = ui::openWindow(*this, setup(settings_));
        failure_ = ui::RunSnapshot{};
        failure_->stage = ui::Stage::Failed;
        failure_->trouble = troubleOf(failure);
        failure_->details = platform::logLinesSince(0);
        failure_->logFile = platform::logFilePath();
        loop();
    }

    void onWindowOpen() override {
        if (run_) run_->start();
        if (failure_) window_->show(*failure_);
    }
    void onWindowClose() override {
        if (run_) run_->cancel();
        window_->mainLoop().stop(0);
    }
    void onProxyLogin(std::optional<ui::ProxyLogin> login) override {
        if (run_) run_->proxyLogin(std::move(login));
    }
    // The failed run's worker has published its last snapshot, whose showing offered this:
    // it waits for nothing on this thread any more, so finishing it cannot block.
    void onTryAgain() override {
        if (!run_) return;
        run_->finish();
        run_.reset();  // its locks go before the next run takes them
        run_ = std::make_unique<DownloadRun>(inputs_, settings_, *window_);
        window_->show(ui::RunSnapshot{});
        run_->start();
    }

private:
    static ui::WindowSetup setup(const Settings& settings) {
        ui::WindowSetup setup;
        setup.title = ui::windowTitle();
        setup.settings = settings.window;
        if (const auto bundle = platform::runningBundle(); bundle && !bundle->resourceDir.empty()) {
            const auto found = [&](const char* name) {
                const std::string path = platform::joinPath(bundle->resourceDir, name);
                return ::access(path.c_str(), F_OK) == 0 ? path : std::string();
            };
            setup.splash = found("splash.png");
            if (!setup.splash.empty()) setup.splash2x = found("splash@2x.png");
            setup.icon = found("icon.png");
        }
        return setup;
    }

    void loop() {
        // Ctrl-C, SIGTERM and SIGHUP close the window, whichever backend shows it.
        const platform::SignalWatch signals([this] { window_->mainLoop().runAfter(0, [this] { window_->close(); }); });
        window_->mainLoop().run();
    }

    const Settings& settings_;
    RunInputs inputs_;
    std::unique_ptr<ui::Window> window_;
    std::unique_ptr<DownloadRun> run_;
    std::optional<ui::RunSnapshot> failure_;
};

RunInputs inputsFor(const std::string& workDir, const std::string& url, const Settings& settings) {
    RunInputs in;
    in.url = settings.agentUrl.value_or(url);
    // A URL of its own, for which the bundle's mirrors do not speak.
    if (!settings.agentUrl) {
        const std::string file = getBundleLocation() + PATH_SEPARATOR + kMirrorFileName;
        MirrorList list = readMirrorFile(file);
        if (!list.ignored.empty()) {
            platform::systemLog("The mirror file " + file + " is ignored: " + list.ignored +
                                "; only the bundle's URL is used");
        }
        in.mirrors = std::move(list.urls);
    }
    in.workDir = workDir;
    in.key = loadBundleKey();
    in.floor = loadBundleFloor();
    StartFacts& start = in.start;
    if (std::string why; !isCacheTrusted(&why)) start.cacheDistrust = why;
    start.urlFile = getBundleLocation() + PATH_SEPARATOR + INSTALL_AGENT_URL_FILE;
    start.hasUrl = !in.url.empty() || settings.agentUrl || ::access(start.urlFile.c_str(), F_OK) == 0;
    start.key = in.key.state;
    start.floorDamaged = in.floor.damaged;
    start.keyFile = getBundleLocation() + PATH_SEPARATOR + INSTALL_AGENT_KEY_FILE;
    start.floorFile = getBundleLocation() + PATH_SEPARATOR + INSTALL_AGENT_FLOOR_FILE;
    return in;
}

}  // namespace

RunResult downloadAgent(const std::string& workDir, const std::string& url, const Settings& settings) {
    return RunWindow(settings).run(inputsFor(workDir, url, settings));
}

void showFailure(const Failure& failure, const Settings& settings, bool onConsole) {
    if (!onConsole && !ui::wantsGtk(settings.window)) return;
    platform::systemLog(logLine(failure));
    RunWindow(settings).show(failure);
}

}  // namespace bi
