// What a vendor ships: binaries that need only what every mainstream Linux has, an installer
// that takes its shipped road without libcurl, and the bundle tool's checks, tarball and .run.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <csignal>
#include <ctime>

#include <filesystem>
#include <regex>
#include <set>

#include "../e2e/fixture.h"

namespace bi {

namespace {

using testsupport::runProcess;

const std::string kPlugin = std::filesystem::path(BI_INSTALLER).replace_filename("bootstrap-installer-gtk.so").string();
// This build's architecture as bundles name it, and as uname -m does: under qemu the
// machine's own uname says x86_64.
#if defined(__aarch64__)
const std::string kArchName = "arm64", kArch = "aarch64", kOtherArchName = "x86-64";
#else
const std::string kArchName = "x86-64", kArch = "x86_64", kOtherArchName = "arm64";
#endif
const std::string kVerify = std::filesystem::path(BI_INSTALLER).replace_filename("bootstrap-installer-verify").string();

// What the loader reads: the needed libraries, the glibc versions asked for, and the symbols
// the file offers to others. readelf reads the binaries of every architecture.
struct Elf {
    std::set<std::string> needed, glibc, exported;
    // The newest glibc version asked for, as "2.17".
    std::string newestGlibc() const {
        std::string newest = "0";
        const auto parts = [](const std::string& v) {
            std::vector<int> n;
            for (std::istringstream in(v); in.good();) {
                std::string part;
                std::getline(in, part, '.');
                n.push_back(std::stoi(part));
            }
            return n;
        };
        for (const auto& v : glibc) {
            if (parts(v) > parts(newest)) newest = v;
        }
        return newest;
    }
};

Elf readElf(const std::string& path) {
    Elf elf;
    std::istringstream lines(runProcess({"/usr/bin/readelf", "-d", "--dyn-syms", "-W", path}).out);
    const std::regex needed(R"(\(NEEDED\) +Shared library: \[(\S+)\])"), glibc(R"(@GLIBC_([0-9.]+))");
    const std::regex defined(R"(^ *\d+: +[0-9a-f]+ +\d+ +\w+ +(GLOBAL|WEAK) +DEFAULT +\d+ +(\S+))");
    for (std::string line; std::getline(lines, line);) {
        if (std::smatch m; std::regex_search(line, m, needed)) elf.needed.insert(m[1]);
        if (std::smatch m; std::regex_search(line, m, glibc)) elf.glibc.insert(m[1]);
        if (std::smatch m; std::regex_search(line, m, defined)) elf.exported.insert(m[2]);
    }
    return elf;
}

class Vendor : public InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        testsupport::makeZip(product_, {{"product.txt", "the product"}});
        testsupport::makeZip(agent_, agentFiles());
    }
    std::string product_ = dir_ / "product.zip", agent_ = dir_ / "agent.zip";
};

}  // namespace

// On x86-64 and, in the arm64 build under qemu, on arm64.
TEST(Elf, EveryBinaryNeedsGlibc217AndItsOwnLibrariesOnlyAndThePluginShowsNoCppRuntime) {
#ifndef BI_PORTABLE
    GTEST_SKIP() << "the sanitizer build links the shared C++ runtime";
#endif
    const std::set<std::string> glibcs = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1"};
    for (const auto& path : {std::string(BI_INSTALLER), kVerify, kPlugin}) {
        const Elf elf = readElf(path);
        EXPECT_EQ(elf.newestGlibc(), "2.17") << path;  // 2.17 itself: the reading found the imports
        for (const auto& lib : elf.needed) {
            const bool gtk = path == kPlugin && !lib.starts_with("libstdc++") && !lib.starts_with("libgcc");
            EXPECT_TRUE(glibcs.count(lib) || lib.starts_with("ld-linux") || gtk) << path << " needs " << lib;
        }
    }
    const Elf plugin = readElf(kPlugin);
    EXPECT_TRUE(plugin.needed.count("libgtk-3.so.0"));
    // Its C++ runtime stays inside: the factory is all it offers.
    ASSERT_EQ(plugin.exported.size(), 1u);
    EXPECT_EQ(plugin.exported.begin()->rfind("bi_gtk_open_window_v", 0), 0u) << *plugin.exported.begin();
}

TEST_F(Vendor, WithoutLibcurlTheShippedRoadWorksAndTheDownloadRoadSaysWhatToInstall) {
    if (runProcess({"/usr/bin/unshare", "-m", "/bin/true"}).exitStatus != 0) {
        GTEST_SKIP() << "no mount namespace here (unshare -m needs root or user namespaces) to hide libcurl in";
    }
    // /dev/null over every libcurl the loader could open, in a private mount namespace.
    const std::string hide =
        R"(for f in $(/sbin/ldconfig -p | awk '/libcurl(-gnutls)?\.so\.4 /{print $NF}') )"
        R"(/usr/lib*/libcurl*.so.4* /usr/lib*/*/libcurl*.so.4* /lib*/libcurl*.so.4* /lib*/*/libcurl*.so.4*; do )"
        R"(if [ -e "$f" ]; then mount --bind /dev/null "$f" || exit 97; fi; done; exec "$@")";
    wrapper_ = {"/usr/bin/unshare", "-m", "/bin/sh", "-c", hide, "hide-libcurl"};
    auto r = run(bundle("shipped", "InstallAgent.zip"), {"-mode", "silent"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(recorded().size(), 4u);

    testsupport::ScriptedServer server(archiveServer(zipBytes(agentFiles())));
    const auto download = downloadBundle(server.url("/agent.zip"), "download");
    r = run(download);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_NE(r.err.find("\nThis installer needs libcurl to download the installer (package libcurl4 or libcurl).\n"
                         "The installer's log for the vendor's support: " +
                         logDir() + "/"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(r.err.ends_with(".log\nInstallation failed.\n")) << r.err;
    EXPECT_EQ(server.requests().size(), 0u);
    // Outside the namespace the same bundle downloads: hiding libcurl was the only difference.
    wrapper_.clear();
    EXPECT_EQ(run(download).exitStatus, 0);
    EXPECT_EQ(server.requests().size(), 1u);
}

// libcurl 7.61, as RHEL 8 has it: waits with curl_multi_wait and the pipe, and a connection
// lost in the body resumes as with any libcurl.
TEST_F(Vendor, WithLibcurl761TheDownloadRoadWaitsWithoutCurlMultiPollAndResumes) {
    const std::string archive = heavyArchive("1", 1 << 20);
    testsupport::ScriptedServer server([&](const testsupport::ScriptedRequest& q, int n) {
        auto reply = testsupport::serveArchive(q, archive, "\"t\"");
        reply.pace = std::chrono::milliseconds(2);
        if (n == 1) reply.dropAfter = archive.size() / 2;
        return reply;
    });
    const auto r = run(downloadBundle(server.url("/agent.zip")), {},
                       {{"LD_LIBRARY_PATH", BI_OLD_CURL_DIR}, {"OLD_CURL_WAITS", dir_ / "waits"}});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(agentRuns(), 1);
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_NE(server.requests()[1].header("range"), "");
    EXPECT_GT(testsupport::readFile(dir_ / "waits").size(), 2u);
}

struct RefusalRow {
    std::string name;
    std::vector<std::string> fault;  // after good arguments ("$D": the test's directory); a later option wins
    int status;
    std::string says;
};

class Refusal : public Vendor, public ::testing::WithParamInterface<RefusalRow> {};

TEST_P(Refusal, MakeBundleRefusesWhatWouldFailOnTheUsersMachineAndWritesNothing) {
    const std::string d = dir_.path();
    testsupport::writeFile(d + "/text.zip", "not an archive");
    testsupport::makeZip(d + "/nested.zip", {{"agent/install", "#!/bin/sh\n"}});
    testsupport::writeFile(d + "/splash.png", "GIF89a not a PNG");
    testsupport::writeFile(d + "/lonely/bootstrap-installer", testsupport::readFile(BI_INSTALLER), 0755);
    // The installer's ELF header made i386's (32-bit, machine 3), and the verify tool under its name.
    std::string i386 = testsupport::readFile(BI_INSTALLER);
    i386[4] = 1, i386[18] = 3, i386[19] = 0;
    testsupport::writeFile(d + "/i386/bootstrap-installer", i386, 0755);
    testsupport::writeFile(d + "/other/bootstrap-installer", testsupport::readFile(kVerify), 0755);
    // The plug-in beside it made the other architecture's.
    testsupport::writeFile(d + "/mixed/bootstrap-installer", testsupport::readFile(BI_INSTALLER), 0755);
    std::string other = testsupport::readFile(kPlugin);
    other[18] = kArch == "x86_64" ? '\xb7' : '\x3e';
    testsupport::writeFile(d + "/mixed/bootstrap-installer-gtk.so", other);
    // The installer's own header and marker, cut short: every check before the copy passes,
    // strip then fails after the bundle's directory was made.
    const std::string whole = testsupport::readFile(BI_INSTALLER);
    testsupport::writeFile(d + "/fake/bootstrap-installer", whole.substr(0, 64) + "bootstrap-installer/1.0", 0755);
    testsupport::writeFile(d + "/fake/bootstrap-installer-gtk.so", testsupport::readFile(kPlugin).substr(0, 64));
    // Signed as the vendor named it, shipped as InstallAgent.zip.
    testsupport::writeFile(d + "/agent-1.2.zip", testsupport::readFile(agent_));
    sign(d + "/agent-1.2.zip");
    testsupport::writeFile(d + "/old/InstallAgent.zip", testsupport::readFile(agent_));
    sign(d + "/old/InstallAgent.zip", "a", {"-t", "timestamp:1700000000 expires:1700000001"});
    const std::string usage = "make-bundle -o DIR/NAME.app --bundle-zip FILE";
    const auto before = testsupport::listDir(d);
    std::vector<std::string> argv = {BI_MAKE_BUNDLE, "-o",   d + "/Setup.app", "--bundle-zip", product_,
                                     "--agent",      agent_, "--installer",    BI_INSTALLER};
    for (const auto& arg : GetParam().fault) argv.push_back(expand(arg, d, "$D"));
    const auto r = runProcess(argv);
    EXPECT_EQ(r.exitStatus, GetParam().status);
    EXPECT_NE(r.err.find(expand(GetParam().says, d, "$D")), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(usage) != std::string::npos, GetParam().status == 2) << r.err;
    EXPECT_EQ(testsupport::listDir(d), before);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, Refusal, ::testing::Values(
    RefusalRow{"unknown option", {"--frobnicate"}, 2, "unknown option: --frobnicate"},
    RefusalRow{"not a zip", {"--agent", "$D/text.zip"}, 1, "not a zip archive: $D/text.zip"},
    RefusalRow{"no install at the top", {"--agent", "$D/nested.zip"}, 1, "no \"install\" at the top level of the agent archive: $D/nested.zip"},
    RefusalRow{"a splash not PNG, its directory not made", {"-o", "$D/out/Setup.app", "--splash", "$D/splash.png"}, 1,
               "the splash image is not a PNG file: $D/splash.png"},
    RefusalRow{"no binary to strip, once its directory was made", {"-o", "$D/out/new/Setup.app", "--installer", "$D/fake/bootstrap-installer"},
               1, "cannot strip $D/fake/bootstrap-installer"},
    RefusalRow{"a file for the directory", {"-o", "$D/text.zip/Setup.app"}, 1, "the directory for the bundle is not a directory: $D/text.zip"},
    RefusalRow{"an icon not PNG", {"--icon", "$D/splash.png"}, 1, "the icon is not a PNG file: $D/splash.png"},
    RefusalRow{"a HiDPI splash alone", {"--splash-2x", "$D/splash.png"}, 2, "--splash-2x needs --splash"},
    RefusalRow{"an ftp URL", {"--url", "ftp://example.com/a.zip"}, 1, "must start with http:// or https://: ftp://example.com/a.zip"},
    RefusalRow{"a URL with a blank", {"--url", "https://example.com/my agent.zip"}, 1, "holds a blank"},
    RefusalRow{"two URLs", {"--url", "https://example.com/a.zip\nhttps://example.com/b.zip"}, 1, "holds a line break"},
    RefusalRow{"a name without app", {"-o", "$D/Setup"}, 1, "the bundle's name must end in .app: $D/Setup"},
    RefusalRow{"an archive of another kind", {"--archive", "$D/setup.zip"}, 1, "must end in .tar.gz, .tgz or .run: $D/setup.zip"},
    RefusalRow{"no plug-in beside the installer", {"--installer", "$D/lonely/bootstrap-installer"}, 1,
               "no window plug-in bootstrap-installer-gtk.so beside $D/lonely/bootstrap-installer"},
    RefusalRow{"an installer for i386", {"--installer", "$D/i386/bootstrap-installer"}, 1,
               "not an installer for x86-64 or arm64: $D/i386/bootstrap-installer is a program for i386 (32-bit x86)"},
    RefusalRow{"a program that is not the installer", {"--installer", "$D/other/bootstrap-installer"}, 1,
               "not the bootstrap installer: $D/other/bootstrap-installer is an " + kArchName + " program of another kind"},
    RefusalRow{"a plug-in of another architecture", {"--installer", "$D/mixed/bootstrap-installer"}, 1,
               "the window plug-in $D/mixed/bootstrap-installer-gtk.so is " + kOtherArchName + ", but its installer "
               "$D/mixed/bootstrap-installer is " + kArchName},
    RefusalRow{"not a program", {"--installer", "$D/text.zip"}, 1, "not an installer for x86-64 or arm64: $D/text.zip is not a program (ELF)"},
    RefusalRow{"not a key", {"--public-key", "$D/text.zip"}, 1, "not a minisign public key: $D/text.zip"},
    RefusalRow{"no signature", {"--public-key", "$D/keys/a.pub"}, 1, "no signature $D/agent.zip.minisig for the agent archive"},
    RefusalRow{"signed under another name", {"--public-key", "$D/keys/a.pub", "--agent", "$D/agent-1.2.zip"}, 1,
               "signature is for another file. (the bundle ships the archive as InstallAgent.zip); sign the archive under that "
               "name: cp '$D/agent-1.2.zip' '$D/InstallAgent.zip' && minisign -Sm '$D/InstallAgent.zip', then pass --agent "
               "'$D/InstallAgent.zip' --public-key '$D/keys/a.pub'"},
    RefusalRow{"an expired agent", {"--public-key", "$D/keys/a.pub", "--agent", "$D/old/InstallAgent.zip"}, 1,
               "$D/old/InstallAgent.zip.minisig: The installer archive has expired. (expired 2023-11-14 22:13:21 UTC;"}), RowName());
// clang-format on

// A PNG's signature and header alone: all that make-bundle reads of it.
std::string pngHeader(uint32_t width, uint32_t height) {
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    for (const uint32_t v : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>(v >> shift & 0xff);
    return png + std::string("\x08\x02\0\0\0\0\0\0\0", 9);
}

struct SplashRow {
    std::string name;
    std::map<std::string, std::pair<uint32_t, uint32_t>> files;  // in $D, with their pixels
    std::vector<std::string> args;
    std::string says, warns;  // on standard output, and as a warning; "" none
    bool hidpi = false;       // the bundle has splash@2x.png
};

class Splash : public Vendor, public ::testing::WithParamInterface<SplashRow> {};

// make-bundle says which pixels the splash needs on each screen, takes the HiDPI splash given
// or found beside it, and warns where a screen would enlarge one.
TEST_P(Splash, MakeBundleSaysWhatSizesTheSplashNeedsAndWarnsWhereAScreenWouldEnlargeIt) {
    const SplashRow& row = GetParam();
    const std::string d = dir_.path();
    for (const auto& [file, size] : row.files)
        testsupport::writeFile(d + "/" + file, pngHeader(size.first, size.second));
    std::vector<std::string> argv = {BI_MAKE_BUNDLE, "-o",   d + "/Setup.app", "--bundle-zip", product_,
                                     "--agent",      agent_, "--installer",    BI_INSTALLER};
    for (const auto& arg : row.args) argv.push_back(expand(arg, d, "$D"));
    const auto r = runProcess(argv);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find(expand(row.says, d, "$D")), std::string::npos) << r.out;
    EXPECT_EQ(r.err, row.warns.empty() ? "" : "make-bundle: " + expand(row.warns, d, "$D") + "\n");
    const std::string resources = d + "/Setup.app/Contents/Resources/";
    EXPECT_EQ(testsupport::exists(resources + "splash@2x.png"), row.hidpi);
    EXPECT_EQ(testsupport::exists(resources + "icon.png"), std::count(row.args.begin(), row.args.end(), "--icon") > 0);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, Splash, ::testing::Values(
    SplashRow{"for scale 1 only", {{"a.png", {400, 300}}}, {"--splash", "$D/a.png"},
              "the splash is shown at 400 x 300 points: 400 x 300 pixels for a screen of scale 1, 800 x 600 for scale 2",
              "the splash (400 x 300 pixels) would be enlarged on a screen of scale 2, which draws it with 800 x 600 pixels: "
              "add that size with --splash-2x, or as $D/a@2x.png beside it"},
    SplashRow{"large enough for both", {{"a.png", {1600, 1200}}}, {"--splash", "$D/a.png"}, "shown at 400 x 300 points", ""},
    SplashRow{"tall and small", {{"t.png", {150, 300}}, {"t@2x.png", {400, 800}}}, {"--splash", "$D/t.png"},
              "the splash is shown at 200 x 400 points", "the splash (150 x 300 pixels) is enlarged to 200 x 400 points on every "
              "screen: give it 200 x 400 pixels", true},
    SplashRow{"its HiDPI splash beside it", {{"b.png", {400, 300}}, {"b@2x.png", {800, 600}}, {"i.png", {64, 64}}},
              {"--splash", "$D/b.png", "--icon", "$D/i.png"}, "found the HiDPI splash $D/b@2x.png beside the splash", "", true},
    SplashRow{"a HiDPI splash too small", {{"a.png", {400, 300}}, {"h.png", {600, 450}}},
              {"--splash", "$D/a.png", "--splash-2x", "$D/h.png"}, "800 x 600 for scale 2",
              "the HiDPI splash (600 x 450 pixels) would be enlarged on a screen of scale 2: give it 800 x 600 pixels", true},
    SplashRow{"a HiDPI splash of another shape", {{"a.png", {400, 300}}, {"q.png", {800, 800}}},
              {"--splash", "$D/a.png", "--splash-2x", "$D/q.png"}, "800 x 600 for scale 2",
              "the HiDPI splash (800 x 800 pixels) is not of the splash's shape (400 x 300): give it 800 x 600 pixels", true}),
    RowName());
// clang-format on

TEST_F(Vendor, AnInstalledToolMakesATarballWhoseBundleStartsItsSignedAgentWithStrippedBinaries) {
    const std::string tarball = dir_ / "dist/setup.tar.gz", signedAgent = dir_ / "InstallAgent_1.zip";
    // Signed, as the vendor signs it, under the name the bundle ships it with; to expire in 10 days.
    testsupport::writeFile(signedAgent, testsupport::readFile(agent_));
    const long now = std::time(nullptr);
    sign(signedAgent, "a",
         {"-t",
          "timestamp:" + std::to_string(now) + " file:InstallAgent_1.zip expires:" + std::to_string(now + 864000)});
    // The tool as cmake --install puts it, with no --installer: it takes what was installed with it.
    const std::string prefix = dir_ / "prefix";
    auto r = runProcess({BI_CMAKE, "--install", BI_BUILD_DIR, "--prefix", prefix});
    ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
    r = runProcess({prefix + "/bin/bootstrap-installer-make-bundle", "-o", dir_ / "vendor/Product Setup.app",
                    "--bundle-zip", product_, "--agent", signedAgent, "--public-key", publicKey(), "--splash",
                    BI_SPLASH, "--archive", tarball});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    for (const char* made : {"vendor", "dist"})
        EXPECT_NE(r.out.find("made the directory " + dir_ / made + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(signedAgent + ": warning: its signature expires within 30 days, on "), std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("added the window plug-in " + prefix +
                         "/bin/../lib/bootstrap-installer/bootstrap-installer-gtk.so\n"),
              std::string::npos)
        << r.out;

    testsupport::makeDirs(dir_ / "user");
    ASSERT_EQ(runProcess({"/bin/tar", "-xzf", tarball, "-C", dir_ / "user"}).exitStatus, 0);
    const std::string root = dir_ / "user/Product Setup.app";
    const testsupport::Bundle b{root, root + "/Contents/MacOS/Product Setup", root + "/Contents/Resources"};
    const std::pair<std::string, int> limits[] = {{b.executable, 2'000'000},
                                                  {root + "/Contents/MacOS/bootstrap-installer-gtk.so", 500'000}};
    for ([[maybe_unused]] const auto& [file, limit] : limits) {
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 0777, 0755u) << file;
        EXPECT_EQ(runProcess({"/usr/bin/readelf", "-S", file}).out.find(".symtab"), std::string::npos) << file;
#ifdef BI_PORTABLE
        EXPECT_LE(st.st_size, limit) << file;
#endif
    }
    r = run(b, {"-mode", "silent"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.err.find("Install agent signature verified: timestamp:"), std::string::npos) << r.err;
    EXPECT_EQ(recorded(), (std::vector<std::string>{"-installbundle", b.resources + "/bundle.zip", "-mode", "silent"}));
}

// A tmpfs mounted noexec for as long as the object lives.
struct NoexecMount {
    explicit NoexecMount(std::string at) : path(std::move(at)) {
        testsupport::makeDirs(path);
        mounted = ::mount("tmpfs", path.c_str(), "tmpfs", MS_NOEXEC | MS_NOSUID | MS_NODEV, "size=64m") == 0;
    }
    ~NoexecMount() {
        if (mounted) ::umount2(path.c_str(), MNT_DETACH);
    }
    NoexecMount(const NoexecMount&) = delete;
    NoexecMount& operator=(const NoexecMount&) = delete;
    std::string path;
    bool mounted = false;
};

struct RunRow {
    std::string name, file;  // Setup.run, Failing.run (its installer fails), cut.run, flipped.run
    bool noexecTmp, noexecHome;
    int status;
    std::string unpackedIn, says;  // "tmp", "home" or "" (nothing may start) for where bundle.zip lay
    bool interrupt = false;        // Ctrl-C to its process group while the agent runs
    // The machine as uname -m and getconf GNU_LIBC_VERSION tell it ("" for this build's
    // architecture, and the real glibc), and a display with a zenity that records its words.
    std::string arch, glibc;
    bool display = false;
};

// The .run files, made once: Setup.run, Failing.run (nothing listens on its URL), and the first one
// cut in half and with one byte flipped.
class RunFile : public Vendor, public ::testing::WithParamInterface<RunRow> {
public:
    static void SetUpTestSuite() {
        files_ = std::make_unique<testsupport::ScratchDir>();
        const std::string d = files_->path();
        testsupport::makeZip(d + "/product.zip", {{"product.txt", "the product"}});
        // The recording agent, which sleeps when asked so that Ctrl-C finds it running; in steps,
        // since the shell holds back a Ctrl-C that comes while it starts a command until that ends.
        std::string agent = testsupport::recordingAgentScript();
        agent.insert(agent.rfind("exit"),
                     "n=${AGENT_SLEEP:-0}; while [ \"$n\" -gt 0 ]; do sleep 1; n=$((n - 1)); done\n");
        testsupport::makeZip(d + "/agent.zip", {{"install", agent}});
        for (const auto& more :
             {std::vector<std::string>{"-o", d + "/Setup.app", "--agent", d + "/agent.zip", "--archive", "run"},
              {"-o", d + "/Failing.app", "--url", "http://127.0.0.1:9/agent.zip", "--archive", d + "/Failing.run"}}) {
            std::vector<std::string> argv = {BI_MAKE_BUNDLE, "--bundle-zip", d + "/product.zip", "--installer",
                                             BI_INSTALLER};
            argv.insert(argv.end(), more.begin(), more.end());
            ASSERT_EQ(runProcess(argv, {.cwd = d}).exitStatus, 0);
        }
        const std::string bytes = testsupport::readFile(d + "/Setup.run");
        std::string flipped = bytes;
        flipped[bytes.size() / 2] ^= 0x10;
        testsupport::writeFile(d + "/flipped.run", flipped, 0755);
        testsupport::writeFile(d + "/cut.run", bytes.substr(0, bytes.size() / 2), 0755);
    }
    static void TearDownTestSuite() { files_.reset(); }
    static inline std::unique_ptr<testsupport::ScratchDir> files_;
};

TEST_P(RunFile, PassesArgumentsAndStatusUnpacksWhereProgramsMayRunRefusesDamageAndLeavesNothing) {
    const auto& row = GetParam();
    const NoexecMount noexec(dir_ / "noexec");
    if (!noexec.mounted) GTEST_SKIP() << "cannot mount a noexec tmpfs here (needs root): " << std::strerror(errno);
    const std::vector<std::string> args = {"a b", "it's \"quoted\"", "two\nlines", "$(touch pwned)",
                                           "",    "--help",          "-mode"};
    const std::string cache = "/.cache/bootstrap-installer";
    Env env = {{"XDG_CACHE_HOME", std::nullopt}};
    if (row.noexecTmp) env["TMPDIR"] = noexec.path;
    if (row.noexecHome) env["HOME"] = noexec.path;
    if (row.interrupt) env["AGENT_SLEEP"] = "30";
    // uname, getconf and zenity as the row has them, first on the PATH.
    const std::string stubs = dir_ / "stubs", zenity = dir_ / "zenity-said";
    testsupport::writeFile(stubs + "/uname",
                           "#!/bin/sh\n[ \"$1\" = -m ] && exec echo " + (row.arch.empty() ? kArch : row.arch) +
                               "\nexec /bin/uname \"$@\"\n",
                           0755);
    if (!row.glibc.empty()) {
        testsupport::writeFile(stubs + "/getconf", "#!/bin/sh\necho 'glibc " + row.glibc + "'\n", 0755);
    }
    testsupport::writeFile(
        stubs + "/zenity",
        "#!/bin/sh\nfor a; do case $a in --text=*) printf %s \"${a#--text=}\" > " + zenity + ";; esac; done\n", 0755);
    env["PATH"] = stubs + ":" + std::getenv("PATH");
    if (row.display) env["DISPLAY"] = ":404";
    const auto r = run({"", *files_ / row.file, ""}, args, env, std::chrono::seconds(20), [&](pid_t pid) {
        if (row.interrupt && waitUntil([&] { return agentRuns() == 1; })) ::kill(-pid, SIGINT);
    });
    EXPECT_EQ(r.exitStatus, row.status) << r.err;
    EXPECT_NE(r.err.find(expand(row.says, noexec.path + cache, "$N")), std::string::npos) << r.err;
    EXPECT_EQ(agentRuns(), row.unpackedIn.empty() ? 0 : 1);
    if (!row.unpackedIn.empty()) {
        const auto got = recorded();
        ASSERT_EQ(got.size(), args.size() + 2);
        EXPECT_TRUE(got[1].starts_with((row.unpackedIn == "tmp" ? tmp_ : home_ + cache) + "/run.")) << got[1];
        EXPECT_EQ(std::vector<std::string>(got.begin() + 2, got.end()), args);
    }
    for (const auto& place : {tmp_, noexec.path, home_ + cache, noexec.path + cache}) {
        for (const auto& name : testsupport::listDir(place)) EXPECT_EQ(name, ".cache") << place;
    }
    EXPECT_FALSE(testsupport::exists(dir_ / "pwned"));
    // With a display, what stops the .run is also said in a window, in the same words (as
    // zenity's markup).
    EXPECT_EQ(testsupport::exists(zenity), row.display && row.status == 1);
    if (row.display) {
        std::string said = expand(r.err, "", row.file + ": ");
        said = expand(expand(expand(said, "&amp;", "&"), "&lt;", "<"), "&gt;", ">");
        EXPECT_EQ(testsupport::readFile(zenity) + "\n", said);
    }
}

namespace {

const std::string kDamaged = "this download is damaged or incomplete, so nothing was started; download ";
const std::string kNeeds = "Setup needs 64-bit Linux on " + kArchName + " with glibc 2.17 or later; this machine has ";
const std::string kAsk = ". Ask the vendor for a version for this system.";

}  // namespace

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, RunFile, ::testing::Values(
    RunRow{"unpacked in TMPDIR", "Setup.run", false, false, 0, "tmp", ""},
    RunRow{"a noexec TMPDIR: in the cache", "Setup.run", true, false, 0, "home", ""},
    RunRow{"noexec everywhere", "Setup.run", true, true, 1, "", "programs may not run from $N (is it mounted noexec?)"},
    RunRow{"the installer fails", "Failing.run", false, false, 255, "", "Installation failed."},
    RunRow{"cut", "cut.run", false, false, 1, "", kDamaged + "cut.run again."},
    RunRow{"flipped", "flipped.run", false, false, 1, "", kDamaged + "flipped.run again."},
    RunRow{"Ctrl-C while the agent runs", "Setup.run", false, false, 130, "tmp", "", true},
    RunRow{"flipped, with a display", "flipped.run", false, false, 1, "", kDamaged + "flipped.run again.", false, "", "", true},
    RunRow{"noexec everywhere, with a display", "Setup.run", true, true, 1, "", "programs may not run from $N", false, "", "", true},
    RunRow{"i686 with glibc 2.12, with a display", "Setup.run", false, false, 1, "", kNeeds + "glibc 2.12 on i686" + kAsk, false,
           "i686", "2.12", true},
    RunRow{"glibc 2.16", "Setup.run", false, false, 1, "", kNeeds + "glibc 2.16 on " + kArch + kAsk, false, "", "2.16"},
    RunRow{"glibc 2.17", "Setup.run", false, false, 0, "tmp", "", false, "", "2.17"},
    RunRow{"the other architecture", "Setup.run", false, false, 1, "", kNeeds + "glibc 2.31 on " +
           (kArch == "x86_64" ? "aarch64" : "x86_64") + kAsk, false, kArch == "x86_64" ? "aarch64" : "x86_64", "2.31"}), RowName());
// clang-format on

}  // namespace bi
