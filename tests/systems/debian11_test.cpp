// A bundle in a Debian 11 userland (glibc 2.31, libcurl 7.74, GTK 3.24, ATK 2.36) made by
// scripts/make-userland: both roads, its .run and the window, as a screen reader hears it there.
// Run by scripts/test's step for other systems (label debian11), as root.
#include <unistd.h>

#include <future>

#include "accessibility.h"
#include "nginx.h"
#include "other_system.h"
#include "xserver.h"

namespace bi {

// The userland's own sh, unzip, libcurl and GTK; the scratch directory at the same path inside
// (on a tmpfs over its /tmp, in a mount namespace that ends with the run, so the userland
// stays as it was); the servers, the X server and the accessibility bus of the test, through
// the shared network and a mount of the bus's directory.
TEST_F(OtherSystem, InADebian11UserlandBothRoadsTheRunFileAndTheWindowWork) {
    const char* userland = std::getenv("BI_USERLAND");
    const std::string root = userland != nullptr ? userland : "/var/cache/bootstrap-installer-tests/debian11";
    if (!testsupport::exists(root + "/.recipe"))
        GTEST_SKIP() << "no Debian 11 userland at " << root << " (scripts/make-userland)";
    if (::geteuid() != 0) GTEST_SKIP() << "chroot needs root";
#ifndef BI_PORTABLE
    GTEST_SKIP() << "the sanitizer build links the build machine's C++ and sanitizer runtimes";
#endif
    testsupport::Nginx nginx(dir_.path());
    const bool reader = testsupport::AccessibilityBus::installed() && testsupport::AccessibilityBus::get().ready();
    makeBundle({"-o", dir_ / "Setup.app", "--agent", dir_ / "agent.zip", "--archive", "run"});
    makeBundle({"-o", dir_ / "Download.app", "--url", nginx.url("/agent.zip")});
    wrapper_ = {"/usr/bin/unshare",
                "-m",
                "/bin/sh",
                "-c",
                R"(root=$1 scratch=$2 bus=$3; shift 3
                   mount -t tmpfs tmpfs "$root/tmp" && mkdir -p "$root$scratch" && mount --bind "$scratch" "$root$scratch" &&
                   { [ -z "$bus" ] || { mkdir -p "$root$bus" && mount --bind "$bus" "$root$bus"; }; } &&
                   mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" &&
                   exec chroot "$root" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$scratch" "$@")",
                "in-debian11",
                root,
                dir_.path(),
                reader ? testsupport::AccessibilityBus::get().directory() : ""};
    // glibc 2.31 there: the loader would refuse a binary that needs more before anything runs.
    auto ldd = wrapper_;
    ldd.insert(ldd.end(), {"/usr/bin/ldd", "--version"});
    EXPECT_NE(testsupport::runProcess(ldd).out.find("2.31"), std::string::npos);

    auto r = run(made("Setup"), {"-mode", "silent"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(handedBundle(), dir_ / "Setup.app/Contents/Resources/bundle.zip");
    r = run({"", dir_ / "Setup.run", ""}, {"a b"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(handedBundle().starts_with(tmp_ + "/run.")) << handedBundle();

    // The download road in the window (its plug-in loaded with the userland's GTK), then on the
    // console, where the agent it cached is current.
    const std::string transcript = dir_ / "window.txt";
    r = run(made("Download"), {},
            {{"DISPLAY", testsupport::XServer::get().display()},
             {"NO_AT_BRIDGE", "1"},
             {"BI_WINDOW_TRANSCRIPT", transcript}});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(testsupport::readFile(transcript).find("status: "), std::string::npos) << r.err;
    r = run(made("Download"));
    EXPECT_EQ(r.exitStatus, 0) << r.err;

    // ATK 2.36 has no announcements: a screen reader hears the status's description change to
    // the failure; then Return closes the window.
    if (reader) {
        testsupport::Hearing hearing({"object:property-change:accessible-description"});
        makeBundle({"-o", dir_ / "Failing.app", "--url", nginx.url("/missing.zip")});
        const std::string display = testsupport::XServer::get().display();
        auto failing = std::async(std::launch::async, [&] {
            return run(made("Failing"), {}, {{"DISPLAY", display}, {"NO_AT_BRIDGE", std::nullopt}});
        });
        const std::string failure =
            "Download failed with error code 404. The installer file is not on the server. Contact the vendor of the "
            "product.";
        EXPECT_TRUE(testsupport::pump([&] {
            return std::any_of(hearing.heard.begin(), hearing.heard.end(),
                               [&](auto& h) { return h.role == ATSPI_ROLE_STATUS_BAR && h.text == failure; });
        }));
        EXPECT_EQ(testsupport::pressKey(display, "Failing", "Return"), 0);
        EXPECT_EQ(failing.get().exitStatus, 255);
    }
    EXPECT_EQ(agentRuns(), 4);
    EXPECT_EQ(nginx.accessLog().substr(0, 4), "200 ");
    EXPECT_NE(nginx.accessLog().find("\n304 "), std::string::npos) << nginx.accessLog();
}

}  // namespace bi
