// The download road in the real GTK window, under an Xvfb of the test's own.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <httplib.h>

#include <filesystem>
#include <future>
#include <thread>

#include "fixture.h"
#include "xserver.h"

using namespace std::chrono_literals;

namespace {

class GtkDownload : public InstallerTest {};

// The X server's whole screen as a PNG; returns how many distinct colours it holds.
size_t screenshot(const std::string& path) {
    GdkWindow* root = gdk_get_default_root_window();
    GdkPixbuf* shot =
        gdk_pixbuf_get_from_window(root, 0, 0, gdk_window_get_width(root), gdk_window_get_height(root));
    if (shot == nullptr) return 0;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    gdk_pixbuf_save(shot, path.c_str(), "png", nullptr, nullptr);
    std::set<uint32_t> colours;
    const guchar* pixels = gdk_pixbuf_get_pixels(shot);
    const int stride = gdk_pixbuf_get_rowstride(shot), channels = gdk_pixbuf_get_n_channels(shot);
    for (int y = 0; y < gdk_pixbuf_get_height(shot); y += 4) {
        for (int x = 0; x < gdk_pixbuf_get_width(shot); x += 4) {
            const guchar* p = pixels + y * stride + x * channels;
            colours.insert(uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]);
        }
    }
    g_object_unref(shot);
    return colours.size();
}

int windowsNamed(const std::string& display, const std::string& name) {
    testsupport::ProcessOptions options;
    options.env["DISPLAY"] = display;
    const auto r = testsupport::runProcess({"/usr/bin/xdotool", "search", "--onlyvisible", "--name", name}, options);
    return static_cast<int>(std::count(r.out.begin(), r.out.end(), '\n'));
}

}  // namespace

// A download of about `seconds`, so that the window can be seen in the middle of it.
class SlowAgentServer {
public:
    SlowAgentServer(std::map<std::string, std::string> files, double seconds) {
        files["lib/blob.bin"] = randomBytes(static_cast<size_t>(seconds * (1 << 20)));
        archive_ = zipBytes(files);
        (*server_).Get("/agent.zip", [this](const httplib::Request&, httplib::Response& res) {
            res.set_header("ETag", "\"gtk\"");
            res.set_content_provider(archive_.size(), "application/zip",
                                     [this](size_t offset, size_t, httplib::DataSink& sink) {
                                         std::this_thread::sleep_for(20ms);
                                         return sink.write(archive_.data() + offset,
                                                           std::min<size_t>(24 << 10, archive_.size() - offset));
                                     });
        });
    }
    std::string url() const { return server_.url("/agent.zip"); }

private:
    std::string archive_;
    FaultServer server_;
};

TEST_F(GtkDownload, WindowShowsTheDownloadAndClosesByItselfThenTheAgentRuns) {
    const std::string display = testsupport::XServer::get().display();
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    ::setenv("DISPLAY", display.c_str(), 1);
    ::setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus on a bare X server
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));

    SlowAgentServer server(agentFiles(), 3);
    auto b = bundle();
    testsupport::writeFile(b.resources + "/installAgentURL.txt", server.url());
    std::filesystem::copy_file(BI_SPLASH, b.resources + "/splash.png");
    auto running = std::async(std::launch::async, [&] {
        return run(b, {"--gui"}, {{"DISPLAY", display}, {"NO_AT_BRIDGE", "1"}});
    });

    // In the middle of the download: the window is up, and the screen shows more than a blank.
    int shown = 0;
    for (int i = 0; i < 40 && shown == 0; ++i) {
        std::this_thread::sleep_for(50ms);
        shown = windowsNamed(display, "^Installer$");
    }
    EXPECT_EQ(shown, 1);
    std::this_thread::sleep_for(800ms);
    EXPECT_GT(screenshot(BI_SCREENSHOT_DIR "/installer-downloading.png"), 20u);

    const auto r = running.get();
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(agentRuns(), 1);
    EXPECT_EQ(recorded(), (std::vector<std::string>{"-installbundle", b.resources + "/bundle.zip", "--gui"}));
    EXPECT_EQ(windowsNamed(display, "^Installer$"), 0);
    EXPECT_TRUE(testsupport::listDir(tmp_).empty());
}
