// The download road in the real window: GTK under an Xvfb and under a headless Weston of the
// test's own, and the window in the user's language.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <regex>
#include <set>
#include <thread>

#include "fixture.h"
#include "nginx.h"
#include "xserver.h"

namespace bi {

using namespace std::chrono_literals;

namespace {

class GtkDownload : public InstallerTest {};

// Magenta and green, alternating from one pixel to the next.
constexpr guint32 kChecks[2] = {0xff00ffff, 0x00ff00ff};

void writeCheckerboard(const std::string& path, int width, int height) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    for (int y = 0; y < height; ++y) {
        guchar* row = gdk_pixbuf_get_pixels(pixbuf) + y * gdk_pixbuf_get_rowstride(pixbuf);
        for (int x = 0; x < width; ++x) {
            const guint32 c = kChecks[(x + y) % 2];
            row[3 * x] = guchar(c >> 24), row[3 * x + 1] = guchar(c >> 16), row[3 * x + 2] = guchar(c >> 8);
        }
    }
    gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr);
    g_object_unref(pixbuf);
}

// Saves the X server's whole screen as a PNG; returns how many pixels of the checkerboard's
// colours have a neighbour of the other colour to their right: where it is drawn pixel for
// pixel, all of them; where it is stretched, at most half, blurred fewer.
size_t screenshotCheckPairs(const std::string& path) {
    GdkWindow* root = gdk_get_default_root_window();
    GdkPixbuf* shot = gdk_pixbuf_get_from_window(root, 0, 0, gdk_window_get_width(root), gdk_window_get_height(root));
    if (shot == nullptr) return 0;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    gdk_pixbuf_save(shot, path.c_str(), "png", nullptr, nullptr);
    const auto colour = [&](int x, int y) {
        const guchar* p =
            gdk_pixbuf_get_pixels(shot) + y * gdk_pixbuf_get_rowstride(shot) + x * gdk_pixbuf_get_n_channels(shot);
        return guint32(p[0]) << 24 | guint32(p[1]) << 16 | guint32(p[2]) << 8 | 0xff;
    };
    size_t pairs = 0;
    for (int y = 0; y < gdk_pixbuf_get_height(shot); ++y) {
        for (int x = 0; x + 1 < gdk_pixbuf_get_width(shot); ++x) {
            const guint32 a = colour(x, y), b = colour(x + 1, y);
            if ((a == kChecks[0] && b == kChecks[1]) || (a == kChecks[1] && b == kChecks[0])) ++pairs;
        }
    }
    g_object_unref(shot);
    return pairs;
}

int windowsNamed(const std::string& display, const std::string& name) {
    testsupport::ProcessOptions options;
    options.env["DISPLAY"] = display;
    const auto r = testsupport::runProcess({"/usr/bin/xdotool", "search", "--onlyvisible", "--name", name}, options);
    return static_cast<int>(std::count(r.out.begin(), r.out.end(), '\n'));
}

// The test's X server, for this process and the installers it starts.
std::string useXServer() {
    const std::string display = testsupport::XServer::get().display();
    ::setenv("DISPLAY", display.c_str(), 1);
    ::setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus on a bare X server
    return display;
}

}  // namespace

// A download of about `seconds`, so that the window can be seen in the middle of it.
class SlowAgentServer {
public:
    SlowAgentServer(std::map<std::string, std::string> files, double seconds)
        : archive_(zipBytes(withBlob(std::move(files), seconds))),
          server_([this](const testsupport::ScriptedRequest& q, int) {
              auto r = testsupport::serveArchive(q, archive_, "\"gtk\"");
              r.pace = 20ms, r.piece = 24 << 10;
              return r;
          }) {}
    std::string url() const { return server_.url("/agent.zip"); }
    std::vector<testsupport::ScriptedRequest> requests() const { return server_.requests(); }

private:
    static std::map<std::string, std::string> withBlob(std::map<std::string, std::string> files, double seconds) {
        files["lib/blob.bin"] = randomBytes(static_cast<size_t>(seconds * (1 << 20)));
        return files;
    }
    std::string archive_;
    testsupport::ScriptedServer server_;
};

TEST_F(GtkDownload, WindowShowsTheDownloadAndClosesByItselfThenTheAgentRuns) {
    const std::string display = useXServer();
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));

    SlowAgentServer server(agentFiles(), 4);
    auto b = bundle();
    testsupport::writeFile(b.resources + "/installAgentURL.txt", server.url());
    // At scale 2 the window draws the splash of twice the pixels, 800 x 400, into 400 x 200 points,
    // pixel for pixel; the one for scale 1, enlarged, would blur the checks.
    writeCheckerboard(b.resources + "/splash.png", 400, 200);
    writeCheckerboard(b.resources + "/splash@2x.png", 800, 400);

    // Ctrl-C while the window downloads cancels as on the console: no agent, nothing left in TMPDIR.
    const auto cancelled = run(b, {}, {{"DISPLAY", display}, {"NO_AT_BRIDGE", "1"}}, 60s, [&](pid_t pid) {
        if (waitUntil([&] { return windowsNamed(display, "^Setup$") == 1; }, 30s)) ::kill(pid, SIGINT);
    });
    EXPECT_EQ(cancelled.exitStatus, 255) << cancelled.err;
    EXPECT_NE(cancelled.err.find("The installation was cancelled.\nInstallation failed.\n"), std::string::npos);
    EXPECT_EQ(agentRuns(), 0);
    EXPECT_TRUE(testsupport::listDir(tmp_).empty());
    testsupport::removeTree(home_ + "/.tolvar");  // the whole download again, not the rest

    // In the middle of the download: the window is up under the bundle's name, its splash sharp.
    auto running = std::async(std::launch::async, [&] {
        return run(b, {"--gui"}, {{"DISPLAY", display}, {"NO_AT_BRIDGE", "1"}, {"GDK_SCALE", "2"}});
    });
    EXPECT_TRUE(waitUntil([&] { return windowsNamed(display, "^Setup$") == 1; }, 60s));
    EXPECT_TRUE(
        waitUntil([&] { return screenshotCheckPairs(BI_SCREENSHOT_DIR "/installer-downloading.png") > 300000u; }, 30s));

    const auto r = running.get();
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(agentRuns(), 1);
    EXPECT_EQ(recorded(), (std::vector<std::string>{"-installbundle", b.resources + "/bundle.zip", "--gui"}));
    EXPECT_EQ(windowsNamed(display, "^Setup$"), 0);
    EXPECT_TRUE(testsupport::listDir(tmp_).empty());
}

TEST_F(GtkDownload, OnWaylandTheWindowOpensAndTheAgentStartsOnce) {
    if (::access("/usr/bin/weston", X_OK) != 0) GTEST_SKIP() << "weston is not installed";
    // A headless Weston on the socket "bi-test" in a runtime directory of the test's own.
    const std::string runtimeDir = dir_ / "run";
    ::mkdir(runtimeDir.c_str(), 0700);
    const testsupport::Daemon weston(
        {"/usr/bin/weston", "--backend=headless-backend.so", "--socket=bi-test", "--idle-time=0", "--no-config"},
        [&] { return testsupport::exists(runtimeDir + "/bi-test"); }, {{"XDG_RUNTIME_DIR", runtimeDir}});
    ASSERT_TRUE(weston.ready()) << "weston did not start";

    SlowAgentServer server(agentFiles(), 1);
    auto b = downloadBundle(server.url());
    const auto r = run(b, {"--wayland"},
                       {{"WAYLAND_DISPLAY", "bi-test"},
                        {"XDG_RUNTIME_DIR", runtimeDir},
                        {"NO_AT_BRIDGE", "1"},
                        {"WAYLAND_DEBUG", "client"}});

    EXPECT_EQ(r.exitStatus, 0) << r.err.substr(0, 4000);
    // The protocol's own record: a window titled with the bundle's name.
    EXPECT_TRUE(std::regex_search(r.err, std::regex("xdg_toplevel@\\d+\\.set_title\\(\"Setup\"\\)")));
    EXPECT_EQ(r.err.find("\nDownloading\n"), std::string::npos) << "the console window was used";
    EXPECT_EQ(agentRuns(), 1);
    EXPECT_EQ(recorded(), (std::vector<std::string>{"-installbundle", b.resources + "/bundle.zip", "--wayland"}));
}

// The window's lines, as its transcript has them.
class Transcript {
public:
    explicit Transcript(std::string path) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }
    std::string text() const { return testsupport::readFile(path_); }
    bool has(const std::string& what) const { return text().find(what) != std::string::npos; }
    bool waitFor(const std::string& what) const {
        return waitUntil([&] { return has(what); }, 30s);
    }

private:
    std::string path_;
};

// xdotool's `args` on the window of the bundle's name, focused.
testsupport::ProcessResult keys(const std::string& display, std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/xdotool", "search", "--sync", "--onlyvisible", "--name", "^Setup$",
                               "windowfocus", "--sync"});
    testsupport::ProcessOptions x;
    x.env["DISPLAY"] = display;
    return testsupport::runProcess(args, x);
}

// A failure another attempt may mend: the window offers "Try again" beside "Close", its details
// hold the log's lines and "Copy" puts them on the clipboard; once the server serves, Try again
// (Return: the default) starts the agent from the same window, the archive asked for once.
TEST_F(GtkDownload, TryAgainAfterARefusedConnectionStartsTheAgentOnceTheServerServes) {
    const std::string display = useXServer();
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    const int port = testsupport::freeLoopbackPort();
    testsupport::ScratchDir www;
    testsupport::writeFile(www / "agent.zip", zipBytes(agentFiles()));
    const auto b = downloadBundle("http://127.0.0.1:" + std::to_string(port) + "/agent.zip");
    const Transcript shown(dir_ / "window");
    auto running = std::async(std::launch::async, [&] {
        return run(b, {}, {{"DISPLAY", display}, {"NO_AT_BRIDGE", "1"}, {"BI_WINDOW_TRANSCRIPT", shown.path()}});
    });
    // The window writes its buttons, then its details.
    ASSERT_TRUE(shown.waitFor("button: Try again") && shown.waitFor("details: ")) << shown.text();
    const std::string refused = "Failed to connect to 127.0.0.1 port " + std::to_string(port);
    EXPECT_NE(shown.text().find(refused, shown.text().find("details: ")), std::string::npos) << shown.text();

    EXPECT_EQ(keys(display, {"key", "alt+d", "alt+c"}).exitStatus, 0);
    std::string copied;
    EXPECT_TRUE(waitUntil([&] {
        gchar* text = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
        copied = text != nullptr ? text : "";
        g_free(text);
        return copied.find(refused) != std::string::npos;
    })) << copied;
    EXPECT_NE(copied.find("The installer's log for the vendor's support: " + logDir() + "/"), std::string::npos)
        << copied;

    testsupport::Nginx nginx(www.path(), "", port);
    EXPECT_EQ(keys(display, {"key", "Return"}).exitStatus, 0);
    const auto r = running.get();
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(agentRuns(), 1);
    EXPECT_EQ(nginx.sent("GET /agent.zip").second, 1) << nginx.accessLog();
}

// Two installers at once: the second waits for the first with its window beside the first's,
// not over it, and shows how the first's partial archive grows; both start their agent, and
// the archive comes once.
TEST_F(GtkDownload, AWaitingInstallerShowsTheOthersProgressBesideItsWindow) {
    const std::string display = useXServer();
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    SlowAgentServer server(agentFiles(), 6);
    const auto b = downloadBundle(server.url());
    const Transcript second(dir_ / "second");
    const auto start = [&](const std::string& transcript) {
        return std::async(std::launch::async, [&, transcript] {
            return run(b, {}, {{"DISPLAY", display}, {"NO_AT_BRIDGE", "1"}, {"BI_WINDOW_TRANSCRIPT", transcript}});
        });
    };
    auto first = start(dir_ / "first");
    ASSERT_TRUE(waitUntil([&] { return testsupport::readFile(cacheDir() + "/.download").size() > (64u << 10); }, 30s));
    auto waiting = start(second.path());
    EXPECT_TRUE(second.waitFor("status: Waiting for another installer to finish\n")) << second.text();
    EXPECT_TRUE(waitUntil(
        [&] { return std::regex_search(second.text(), std::regex("progress: [\\d.]+ MiB of 6.0 MiB")); }, 30s))
        << second.text();
    // Where each window is: the two are not at the same place.
    const auto places = [&] {
        testsupport::ProcessOptions x;
        x.env["DISPLAY"] = display;
        const auto found = testsupport::runProcess(
            {"/usr/bin/xdotool", "search", "--onlyvisible", "--name", "^Setup$", "getwindowgeometry", "%@"}, x);
        std::set<std::string> at;
        const std::regex position("Position: (\\d+,\\d+)");
        for (std::sregex_iterator it(found.out.begin(), found.out.end(), position), end; it != end; ++it)
            at.insert((*it)[1]);
        return at;
    };
    EXPECT_TRUE(waitUntil([&] { return places().size() == 2; })) << testsupport::readFile(second.path());
    EXPECT_EQ(first.get().exitStatus, 0);
    EXPECT_EQ(waiting.get().exitStatus, 0);
    EXPECT_EQ(agentRuns(), 2);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].header("if-none-match"), "\"gtk\"");  // the second revalidates the first's agent
}

// A server that stops sending: after five seconds the line says for how long nothing came and
// gives no time left. Closed then, the run keeps what came, and the next one (on a pipe)
// continues it, says so and counts the whole archive in its summary.
TEST_F(GtkDownload, AStallIsSaidAndTheNextRunContinuesWhatCame) {
    const std::string display = useXServer();
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    const std::string archive = heavyArchive("1", 4 << 20);
    // Half the archive at once, the rest 9 s later; a range at once.
    testsupport::ScriptedServer server([&](const testsupport::ScriptedRequest& q, int) {
        auto r = testsupport::serveArchive(q, archive, "\"s\"");
        if (q.header("range").empty()) r.stall = 9s, r.piece = archive.size() / 2 + 1;
        return r;
    });
    const auto b = downloadBundle(server.url("/agent.zip"));
    const Transcript shown(dir_ / "window");
    auto running = std::async(std::launch::async, [&] {
        return run(b, {}, {{"DISPLAY", display}, {"NO_AT_BRIDGE", "1"}, {"BI_WINDOW_TRANSCRIPT", shown.path()}});
    });
    std::smatch stalled;
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::string text = shown.text();
            return std::regex_search(text, stalled, std::regex("progress: 2.0 MiB of 4.0 MiB — No data for \\d+ s\n"));
        },
        30s))
        << shown.text();
    EXPECT_TRUE(std::regex_search(shown.text(), std::regex("progress: 2.0 MiB of 4.0 MiB — [\\d.]+ \\w+/s")))
        << shown.text();  // a speed before
    keys(display, {"key", "Escape"});
    EXPECT_EQ(running.get().exitStatus, 255);

    const auto r = run(b);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.err.find("\nContinuing the download: 2.0 MiB of 4.0 MiB were already here\n"), std::string::npos)
        << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("\nDownloaded 4.0 MiB in \\d+.\\d s\n"))) << r.err;
    EXPECT_EQ(server.requests().back().header("range"), "bytes=" + std::to_string(archive.size() / 2 + 1) + "-");
}

// The console follows the same catalogs; a broken one leaves the words English.
TEST_F(GtkDownload, TheConsoleSpeaksTheUsersLanguageAndABrokenCatalogLeavesItEnglish) {
    SlowAgentServer server(agentFiles(), 0.2);
    const std::map<std::string, std::optional<std::string>> german{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "de"}};
    auto b = downloadBundle(server.url());
    auto r = run(b, {}, german);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("\n\\d+,\\d KiB in \\d,\\d s heruntergeladen\n"))) << r.err;

    const std::string catalog = b.root + "/Contents/MacOS/locale/de/LC_MESSAGES/bootstrap-installer.mo";
    ASSERT_TRUE(testsupport::exists(catalog));
    testsupport::writeFile(catalog, std::string("\xde\x12\x04\x95\xff\xff\xff\xff", 8) + "broken");
    testsupport::removeTree(home_);
    testsupport::makeDirs(home_);
    r = run(b, {}, german);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("\nDownloaded \\d+,\\d KiB in \\d,\\d s\n"))) << r.err;
}

}  // namespace bi
