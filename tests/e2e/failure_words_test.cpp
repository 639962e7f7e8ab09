// Each kind of failure in plain words with what to do, in the user's language, in the window
// with a display (GTK under Xvfb, read through BI_WINDOW_TRANSCRIPT) and on standard error, and
// for the log in English with libcurl's words, the status and the URL.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <regex>

#include "fixture.h"
#include "nginx.h"
#include "xserver.h"

namespace bi {

using namespace std::chrono_literals;
using testsupport::reply;
using testsupport::ScriptedReply;
using testsupport::ScriptedRequest;

class FailureWords : public InstallerTest {};

// A row's server answers every request with `answer`; by default a proxy's request (for a whole
// URL, or a CONNECT) with 407, "/page" with a sign-in page, "/agent.zip" with the archive,
// "/bomb" with a small archive of a large agent, "/<status>" with that status.
ScriptedReply defaultAnswer(const ScriptedRequest& q) {
    static const std::string archive = InstallerTest::heavyArchive("1", 3 << 20), bomb = InstallerTest::bombArchive();
    if (!q.path.starts_with("/")) return ScriptedReply{407, {{"Proxy-Authenticate", "Basic realm=\"p\""}}};
    if (q.path == "/page") return reply(200, {{"Content-Type", "text/html; charset=utf-8"}}, "<html>sign in</html>");
    if (q.path == "/agent.zip") return testsupport::serveArchive(q, archive, "\"t\"");
    if (q.path == "/bomb") return testsupport::serveArchive(q, bomb, "\"b\"");
    return ScriptedReply{std::stoi(q.path.substr(1))};
}

struct FailureRow {
    std::string name;
    std::string url;  // installAgentURL.txt: "$S" the server ("$H" its host and port), "$T" an HTTPS one, "$D" the
                      // test's directory
    std::vector<std::string> log;  // on standard error, in English; the same placeholders
    std::string german = "";       // the window's words in German; none: no run with a window
    std::function<ScriptedReply(const ScriptedRequest&)> answer = defaultAnswer;
    InstallerTest::Env env = {};
    std::vector<std::string> resumable = {};
    std::function<std::string()> shipped = {};  // the shipped archive's bytes; none: the recording agent's
    int signal = 0;                             // sent once unzip, which then waits for ever, has started
    bool diskFull = false, keyed = false, terminal = false;
    enum { Download, NoUrlFile, Shipped } road = Download;
    bool noResources = false;  // the bundle has no Contents/Resources; an archive lies in the working directory
    bool noTmp = false;        // run as a user, with a /tmp of root's: no working directory anywhere
    bool retry = false;        // the window offers another attempt
    std::string tmpfs{};       // "home" or "tmp": a tmpfs of 2 MiB there
    // The log files' directory: as usual, under a .local of mode 0777, in XDG_STATE_HOME=$D/shared of
    // mode 0777, under a link, none (no HOME).
    enum { Private, Shared, SharedBase, Linked, Unreachable } stateDir = Private;
};

namespace {

int modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// The log file for support: the run's log lines as on standard error, 0600 in 0700, named
// before the last words, the oldest of ten earlier ones gone and nothing else touched; none
// where the run logged nothing, or its directory is not the user's alone.
void expectLogFile(const testsupport::ProcessResult& r, const std::string& logs, bool kept) {
    static const std::regex logLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S+\[\d+:\d+\] .*)");
    std::string lines, line;
    for (std::istringstream err(r.err); std::getline(err, line);) {
        if (std::regex_match(line, logLine)) lines += line + "\n";
    }
    const auto names = testsupport::listDir(logs);
    std::vector<std::string> fresh;
    std::copy_if(names.begin(), names.end(), std::back_inserter(fresh),
                 [](const std::string& name) { return !name.starts_with("2001-") && name != "notes.txt"; });
    const std::string said = "The installer's log for the vendor's support: ";
    if (!kept || lines.empty()) {
        EXPECT_EQ(fresh, std::vector<std::string>{});
        EXPECT_EQ(r.err.find(said), std::string::npos) << r.err;
        return;
    }
    ASSERT_EQ(fresh.size(), 1u);
    const std::string file = logs + "/" + fresh[0];
    EXPECT_EQ(testsupport::readFile(file), lines);
    EXPECT_TRUE(r.err.ends_with(said + file + "\nInstallation failed.\n")) << r.err;
    EXPECT_EQ(modeOf(file), 0600);
    EXPECT_EQ(modeOf(logs), 0700);
    EXPECT_EQ(names.size(), 11u);  // ten logs and notes.txt
    EXPECT_FALSE(testsupport::exists(logs + "/2001-01-01_00-00-00_0.log"));
}

}  // namespace

class Failure : public InstallerTest, public ::testing::WithParamInterface<FailureRow> {};

// Each failure, first on the console in English: what the log says, what the user is told, and
// nothing left but what a later run may resume; then, where the row has German words, in the
// window in German with "Close", "Try again" where another attempt may mend it, the log's lines
// in its details, without libcurl's words elsewhere, the log still English.
TEST_P(Failure, IsSaidForTheLogInEnglishAndForTheUserInTheirLanguage) {
    const FailureRow& row = GetParam();
    std::unique_ptr<Tmpfs> small;
    if (!row.tmpfs.empty()) {
        small = std::make_unique<Tmpfs>(row.tmpfs == "home" ? home_ : tmp_, 2048);
        if (!small->mounted()) GTEST_SKIP() << "mounting a tmpfs is not allowed here (it needs root)";
    }
    defaultAnswer({});  // its archive made before the server answers, so that no answer waits for zip
    testsupport::ScriptedServer server([&](const ScriptedRequest& q, int) { return row.answer(q); });
    std::unique_ptr<testsupport::Nginx> tls;
    const int tlsPort = testsupport::freeLoopbackPort();
    if (row.url.starts_with("$T"))
        tls = std::make_unique<testsupport::Nginx>(dir_.path(), httpsOn(tlsPort, dir_.path()));
    const auto fill = [&](const std::string& text) {
        const std::string h = expand(text, server.url("").substr(7), "$H");
        return expand(expand(expand(h, server.url("")), "https://127.0.0.1:" + std::to_string(tlsPort), "$T"),
                      dir_.path(), "$D");
    };
    testsupport::makeDirs(dir_ / "bin");
    ::symlink("/bin/sh", (dir_ / "bin/sh").c_str());
    testsupport::writeFile(dir_ / "badsh/sh", "#!/nonexistent/sh\n", 0755);  // on the PATH, but no shell
    ::symlink("/usr/bin/unzip", (dir_ / "badsh/unzip").c_str());
    testsupport::writeFile(dir_ / "InstallAgent.zip", zipBytes(agentFiles()));  // not the bundle's
    // Ten logs of earlier runs and a file of the user's, or the state directory a link elsewhere.
    if (row.stateDir == FailureRow::Linked) {
        testsupport::makeDirs(home_ + "/.local");
        testsupport::makeDirs(dir_ / "elsewhere");
        ::symlink((dir_ / "elsewhere").c_str(), (home_ + "/.local/state").c_str());
    }
    for (int i = 0; i < 10 && row.stateDir != FailureRow::Linked; ++i)
        testsupport::writeFile(logDir() + "/2001-01-01_00-00-00_" + std::to_string(i) + ".log", "old\n");
    testsupport::writeFile(logDir() + "/notes.txt", "mine\n");
    if (row.stateDir == FailureRow::Shared) ::chmod((home_ + "/.local").c_str(), 0777);
    if (row.stateDir == FailureRow::SharedBase) {
        testsupport::makeDirs(dir_ / "shared");
        ::chmod((dir_ / "shared").c_str(), 0777);
    }
    const auto make = [&](const std::string& parent) {
        auto b = row.road == FailureRow::Shipped ? bundle(parent, "InstallAgent.zip") : bundle(parent);
        if (row.noResources) testsupport::removeTree(b.resources);
        if (row.shipped) testsupport::writeFile(b.resources + "/InstallAgent.zip", row.shipped());
        if (row.road == FailureRow::Download)
            testsupport::writeFile(b.resources + "/installAgentURL.txt", fill(row.url) + "\n");
        if (row.keyed) testsupport::writeFile(b.resources + "/installAgentKey.pub", testsupport::readFile(publicKey()));
        return b;
    };
    Env env;
    for (const auto& [name, value] : row.env) env[name] = value ? std::optional(fill(*value)) : std::nullopt;
    if (row.signal != 0) env.merge(slowUnzip());
    if (row.diskFull) wrapper_ = kDiskFull;
    testsupport::ScratchDir rootsTmp;
    if (row.noTmp) {
        if (!canUnshare()) GTEST_SKIP() << "needs root and mount namespaces";
        ::chmod(rootsTmp.path().c_str(), 0755);
        env.merge(privateTmp(rootsTmp.path()));
        unprivileged_ = true;
    }
    terminal_ = row.terminal;
    const auto r = run(make("en"), {}, env, 20s, [&](pid_t pid) {
        if (row.signal != 0 && waitUntil([&] { return testsupport::exists(dir_ / "unzip-started"); }))
            ::kill(pid, row.signal);
    });
    std::vector<std::string> log;
    for (const auto& text : row.log) log.push_back(fill(text));
    expectFailed(r, log, row.resumable);
    expectLogFile(r, logDir(), row.stateDir == FailureRow::Private);
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << "a raw carriage return reached the output";
    EXPECT_EQ(r.err.find("100%"), std::string::npos) << "what failed was never whole";
    EXPECT_LT(r.err.size(), 16384u);
    EXPECT_EQ(r.err.find("/dev/fd/"), std::string::npos) << "unzip's words name the descriptor, not the archive";
    EXPECT_EQ(r.tty.find("password"), std::string::npos) << r.tty;
    EXPECT_EQ(r.err.find("ann:wrong"), std::string::npos) << "the log shows the proxy's password";
    EXPECT_EQ(testsupport::listDir(dir_ / "en"), std::vector<std::string>{"Setup.app"}) << "left beside the bundle";
    EXPECT_TRUE(row.road != FailureRow::Shipped || !testsupport::exists(home_ + "/.tolvar")) << "the cache touched";
    if (row.name == "no unzip" || row.name == "no home" || row.noTmp) {
        EXPECT_EQ(server.requests().size(), 0u) << "the archive was asked for";
        EXPECT_FALSE(testsupport::exists(dir_ / "no")) << "a home was created";
    }
    if (row.german.empty()) return;

    const std::string display = testsupport::XServer::get().display(), transcript = dir_ / "window";
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    testsupport::removeTree(home_);
    testsupport::makeDirs(home_);
    terminal_ = false;
    env.insert({{"DISPLAY", display},
                {"NO_AT_BRIDGE", "1"},
                {"BI_WINDOW_TRANSCRIPT", transcript},
                {"LANG", "de_DE.UTF-8"},
                {"LANGUAGE", "de"}});
    const auto b = make("de");
    auto running = std::async(std::launch::async, [&] { return run(b, {}, env, std::chrono::seconds(30)); });
    // The window stays until the user closes it: Escape, once the failure shows.
    EXPECT_TRUE(waitUntil([&] { return testsupport::readFile(transcript).find(row.german) != std::string::npos; },
                          std::chrono::seconds(20)));
    testsupport::ProcessOptions x;
    x.env["DISPLAY"] = display;
    testsupport::runProcess({"/usr/bin/xdotool", "search", "--sync", "--onlyvisible", "--name", "^Setup$",
                             "windowfocus", "--sync", "key", "Escape"},
                            x);
    const auto german = running.get();
    const std::string shown = testsupport::readFile(transcript);
    EXPECT_EQ(german.exitStatus, 255) << german.err;
    EXPECT_NE(german.err.find(row.german), std::string::npos) << german.err;
    EXPECT_NE(german.err.find("\nInstallation failed.\n"), std::string::npos) << german.err;  // the log stays English
    EXPECT_NE(shown.find("button: Schließen"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("button: Erneut versuchen") != std::string::npos, row.retry) << shown;
    // The details hold what the log said, as it said it; the rest of the window none of libcurl's words.
    const size_t details = shown.find("details: ");
    ASSERT_NE(details, std::string::npos) << shown;
    const std::regex logLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} setup\[\d+:\d+\] [^\n]*)");
    int lines = 0;
    for (std::sregex_iterator it(german.err.begin(), german.err.end(), logLine), end; it != end; ++it, ++lines)
        EXPECT_NE(shown.find(it->str(), details), std::string::npos) << it->str() << "\n" << shown;
    EXPECT_GT(lines, 0) << german.err;
    for (const char* curl : {"Failed to connect", "SSL", "curl", "certificate problem", "error setting"})
        EXPECT_EQ(shown.substr(0, details).find(curl), std::string::npos) << shown;
}

namespace {

const std::string kError = "Error during the download process. ";
const std::string kUnzipFailed = "Failed to unzip the install agent\nFailed to initialize the install agent.\n";

ScriptedReply zipReply(const std::string& bytes) {
    return reply(200, {{"ETag", "\"z\""}, {"Content-Type", "application/zip"}}, bytes);
}

}  // namespace

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, Failure, ::testing::Values(
    FailureRow{.name = "404", .url = "http://ann:wrong@$H/404/@x", .log = {"Download failed with error code 404. The installer file is not "
               "on the server. Contact the vendor", "Download failed! Error code- 404 $S/404/@x"},
               .german = "Die Datei des Installationsprogramms ist nicht auf dem Server"},
    FailureRow{.name = "410", .url = "$S/410", .log = {"Download failed with error code 410. The installer file is not on the server. "}},
    FailureRow{.name = "403 with a page", .url = "$S/403", .log = {"Download failed with error code 403. The server refused access",
               "Download failed with http error code- 403 $S/403"}, .german = "verweigert den Zugriff",
               .answer = [](const ScriptedRequest&) { return reply(403, {{"Content-Type", "text/html"}}, "<html>no</html>"); },
               .stateDir = FailureRow::Shared},
    FailureRow{.name = "503 every time", .url = "$S/503", .log = {"The server is busy. Trying again in 1 s (attempt 4 of 4)",
               "The server is busy or has a problem. Try again later."}, .german = "ausgelastet oder gestört",
               .env = {{"XDG_STATE_HOME", "$D/home/.local/state/"}}, .retry = true, .stateDir = FailureRow::Linked},
    FailureRow{.name = "a proxy's password", .url = "http://example.invalid/a.zip", .log = {"Check the user name and password in the "
               "proxy settings", "requires authentication: http://$H "}, .german = "Benutzername und Passwort",
               .env = {{"http_proxy", "http://ann:wrong@$H"}}},
    FailureRow{.name = "a wrong password for a CONNECT", .url = "https://example.invalid/a.zip", .log = {"The proxy server requires "
               "authentication.", "requires authentication: http://$H "}, .env = {{"https_proxy", "http://ann:wrong@$H"}}},
    FailureRow{.name = "a captive portal's page", .url = "$S/page", .log = {"The server did not send the installer archive (got text/html; "
               "charset=utf-8). A network's sign-in page", "Download failed! The server did not send a zip archive (got text/html; charset=utf-8): "
               "$S/page"}, .german = "Anmeldeseite", .retry = true},
    FailureRow{.name = "refused", .url = "http://127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort()) + "/a.zip",
               .log = {kError + "The server cannot be reached. Check the internet connection", "Error - Failed to connect to 127.0.0.1"},
               .german = "Der Server ist nicht erreichbar. Prüfen Sie die Internetverbindung", .retry = true},
    FailureRow{.name = "an untrusted certificate", .url = "$T/a.zip", .log = {"The certificate of the server 127.0.0.1 is not trusted. Check "
               "that the date and time"}, .german = "wird nicht vertraut", .env = {{"SSL_CERT_FILE", std::nullopt}, {"SSL_CERT_DIR", std::nullopt},
               {"XDG_STATE_HOME", "$D/shared"}}, .stateDir = FailureRow::SharedBase},
    FailureRow{.name = "no certificate store", .url = "$T/a.zip", .log = {"Install the package of the system's CA certificates (ca-certificates)"},
               .german = "CA-Zertifikaten des Systems (ca-certificates)", .env = {{"SSL_CERT_FILE", "$D/none.pem"}}},
    FailureRow{.name = "shipped, corrupt", .log = {kUnzipFailed + "Installation failed.\n", "$D/en/Setup.app/Contents/Resources/InstallAgent.zip"},
               .shipped = [] { return std::string("PK\x03\x04 this is not a zip archive"); }, .road = FailureRow::Shipped},
    FailureRow{.name = "shipped, no install at the top", .log = {"Failed to initialize the install agent.\nInstallation failed.\n"},
               .shipped = [] { return zipBytes({{"setup.sh", "echo hi"}}); }, .road = FailureRow::Shipped},
    FailureRow{.name = "shipped, encrypted, with a terminal to prompt on", .log = {kUnzipFailed + "Installation failed.\n"},
               .shipped = InstallerTest::encryptedArchive, .terminal = true, .road = FailureRow::Shipped},
    FailureRow{.name = "shipped, a full disk, with a terminal to ask on", .log = {"Failed to unzip the install agent\n", "disk full",
               "The disk is full: the installer needs 3.0 MiB of free space in $D/tmp. Free some space", "The shipped installer "
               "archive was not extracted: The disk filled while extracting $D/en/Setup.app/Contents/Resources/InstallAgent.zip into $D/tmp",
               "Failed to initialize the install agent.\n"},
               .shipped = InstallerTest::bombArchive, .diskFull = true, .terminal = true, .road = FailureRow::Shipped},
    FailureRow{.name = "shipped, TMPDIR too small for the agent", .log = {"The installer needs 3.0 MiB free in $D/tmp; ", " are free.",
               "Not enough free space in $D/tmp: 31", "Failed to initialize the install agent.\n"},
               .german = "braucht 3,0 MiB freien Speicher in", .shipped = InstallerTest::bombArchive, .road = FailureRow::Shipped,
               .tmpfs = "tmp"},
    FailureRow{.name = "the cache too small for the archive", .url = "$S/agent.zip", .log = {"The installer needs 3.0 MiB free in "
               "$D/home/.tolvar/app_installer_cache/V0917k/xarc64; ", "Not enough free space in $D/home/.tolvar/app_installer_cache/"
               "V0917k/xarc64/: 31", " free, for $S/agent.zip"}, .german = "braucht 3,0 MiB freien Speicher", .retry = true, .tmpfs = "home"},
    FailureRow{.name = "the cache too small for the agent", .url = "$S/bomb", .log = {"The installer needs 3.0 MiB free in "
               "$D/home/.tolvar/app_installer_cache/V0917k/xarc64; ", " free, for $D/home/.tolvar/app_installer_cache/V0917k/xarc64/.download",
               "The next run of the installer continues where this one stopped."}, .german = "braucht 3,0 MiB freien Speicher",
               .resumable = {".download", ".download.record"}, .retry = true, .tmpfs = "home"},
    FailureRow{.name = "a full disk while extracting", .url = "$S/bomb", .log = {"The disk is full: the installer needs 3.0 MiB of free "
               "space in $D/home/.tolvar/app_installer_cache/V0917k/xarc64. Free some space", "Download failed! The disk filled while extracting "
               "$D/home/.tolvar/app_installer_cache/V0917k/xarc64/.download into"}, .resumable = {".download", ".download.record"},
               .diskFull = true},
    FailureRow{.name = "shipped, SIGTERM while extracting", .log = {"The installation was cancelled.\nInstallation failed.\n"},
               .shipped = [] { return zipBytes(InstallerTest::agentFiles()); }, .signal = SIGTERM, .road = FailureRow::Shipped},
    FailureRow{.name = "shipped, install a link", .log = {"Failed to initialize the install agent.\nInstallation failed.\n"},
               .shipped = InstallerTest::linkArchive, .road = FailureRow::Shipped},
    FailureRow{.name = "shipped, no sh to start the agent with", .log = {"Failed to start the install agent: sh: No such file or "
               "directory\nInstallation failed.\n"}, .env = {{"PATH", "$D/badsh"}}, .road = FailureRow::Shipped},
    FailureRow{.name = "no working directory", .url = "$S/agent.zip", .log = {"The installer cannot make a private working directory "
               "in $D/none or in /tmp. Set TMPDIR to a directory of yours", "No private working directory can be made: $D/none is not a "
               "directory that only its owner can change (No such file or directory); /tmp cannot hold a directory: Permission denied"},
               .env = {{"TMPDIR", "$D/none"}}, .noTmp = true},
    FailureRow{.name = "shipped, not signed", .log = {"The installer archive is not signed. Do not run this installer;"},
               .german = "Führen Sie dieses Installationsprogramm nicht aus", .keyed = true, .road = FailureRow::Shipped},
    FailureRow{.name = "a full disk while downloading", .url = "$S/agent.zip", .log = {kError + "The disk is full: the installer needs ",
               "MiB of free space in $D/home/.tolvar/", "Error - cannot write the downloaded file: File too large"},
               .german = "Der Datenträger ist voll", .diskFull = true, .retry = true},
    FailureRow{.name = "no unzip", .url = "$S/agent.zip", .log = {"The program unzip, which the installer needs, is not installed. Install "
               "the package unzip"}, .german = "Installieren Sie das Paket unzip", .env = {{"PATH", "$D/bin"}}},
    FailureRow{.name = "no home", .url = "$S/agent.zip", .log = {"The home directory $D/no/home does not exist. Set HOME"},
               .german = "Setzen Sie HOME", .env = {{"HOME", "$D/no/home"}}, .stateDir = FailureRow::Unreachable},
    FailureRow{.name = "a redirect loop", .url = "$S/loop", .log = {kError, "Error - Maximum (10) redirects followed"},
               .answer = [](const ScriptedRequest&) { return reply(302, {{"Location", "/loop"}}); },
               .env = {{"XDG_STATE_HOME", "state"}}},  // relative: ignored
    FailureRow{.name = "a redirect to ftp", .url = "$S/to-ftp", .log = {kError, "Error - Protocol \"ftp\" not supported", "(redirected to ftp://"},
               .answer = [](const ScriptedRequest&) { return reply(302, {{"Location", "ftp://127.0.0.1:9/agent.zip"}}); }},
    FailureRow{.name = "an empty body", .url = "$S/empty", .log = {"The server did not send the installer archive (got no content type)."},
               .answer = [](const ScriptedRequest&) { return reply(200, {{"ETag", "\"e\""}}); }},
    FailureRow{.name = "a corrupt archive", .url = "$S/corrupt", .log = {"Failed to unzip the installer.", "Failed to unzip the install agent",
               "The archive could not be extracted: $D/home/.tolvar/app_installer_cache/V0917k/xarc64/.download"},
               .answer = [](const ScriptedRequest&) { return zipReply("PK\x03\x04" + std::string(5000, 'z')); }},
    FailureRow{.name = "an archive without install at its top", .url = "$S/a.zip", .log = {"Failed to unzip the installer."},
               .answer = [](const ScriptedRequest&) { return zipReply(zipBytes({{"agent/install", "#!/bin/sh\n"}})); }},
    FailureRow{.name = "an archive whose install is a link", .url = "$S/a.zip", .log = {"Failed to unzip the installer."},
               .answer = [](const ScriptedRequest&) { return zipReply(InstallerTest::linkArchive()); }},
    FailureRow{.name = "a tag of 100 KiB", .url = "$S/a.zip", .log = {kError + "The server answered with a header that is too large.",
               "Error - the response's header is larger than libcurl takes"},
               .answer = [](const ScriptedRequest&) { return reply(200, {{"ETag", '"' + std::string(100 << 10, 'e') + '"'}}, "PK"); }},
    FailureRow{.name = "a trickle, a byte at a time", .url = "$S/a.zip", .log = {kError + "The server did not answer in time.",
               "Download failed! Error - less than 1 KiB received in 300 ms $S/a.zip"}, .answer = [](const ScriptedRequest&) {
                   return reply(200, {{"ETag", "\"z\""}}, std::string(4096, 'z'), 50ms, 1);
               }, .env = {{"BI_IDLE_TIMEOUT", "0.3"}}, .resumable = {".download", ".download.record"}},
    FailureRow{.name = "a connection lost every time", .url = "$S/drop", .log = {kError, "Download failed! Error - ",
               "The next run of the installer continues where this one stopped."},
               .answer = [](const ScriptedRequest&) {
                   auto r = zipReply(zipBytes(InstallerTest::agentFiles()));
                   r.headers.emplace_back("Content-Length", std::to_string(r.body.size() + 100000));
                   return r;
               }, .resumable = {".download", ".download.record"}},
    FailureRow{.name = "a URL file in CRLF", .url = "$S/404\r", .log = {kError, "Error - URL using bad/illegal format or missing URL: \"$S/404\\\\r\""}},
    FailureRow{.name = "1 MB on one line", .url = "$S/" + std::string(1 << 20, 'a'),
               .log = {kError, "Error - URL too long: 1048599 bytes (at most 65536): \"$S/aaa"}},
    FailureRow{.name = "no URL before a NUL", .url = std::string(1, '\0') + "$S/404", .log = {kError, "Error - URL using bad/illegal format or missing URL"}},
    FailureRow{.name = "no URL file", .log = {"This installer has no download address: ", "/installAgentURL.txt is missing."},
               .road = FailureRow::NoUrlFile},
    FailureRow{.name = "no resources, and an archive in the working directory", .log = {"This installer has no download address: "
               "$D/en/Setup.app/installAgentURL.txt is missing."}, .road = FailureRow::NoUrlFile, .noResources = true}), RowName());
// clang-format on

// In a pipe: a line per retry, the status once for all the download's reports, the offline
// sentence once, the trusted comment without escapes.
TEST_F(FailureWords, AConsoleInAPipeSaysEachThingOnce) {
    const std::string archive = heavyArchive("1", 1 << 20);
    int archives = 0;
    auto server = std::make_unique<testsupport::ScriptedServer>([&](const ScriptedRequest& q, int) {
        if (q.path.ends_with(".minisig"))
            return testsupport::reply(200, {}, testsupport::readFile(dir_ / "a.zip.minisig"));
        if (++archives <= 2) return ScriptedReply{503};
        auto reply = testsupport::serveArchive(q, archive, "\"t\"");
        reply.pace = 20ms, reply.piece = 32 << 10;  // a report for each piece
        return reply;
    });
    testsupport::writeFile(dir_ / "a.zip", archive);
    sign(dir_ / "a.zip");
    auto b = downloadBundle(server->url("/a.zip"));
    testsupport::writeFile(b.resources + "/installAgentKey.pub", testsupport::readFile(publicKey()));
    auto r = run(b, {}, {{"BI_RETRY_WAIT", "1"}});
    const auto count = [&](const std::string& text) {
        size_t n = 0;
        for (size_t at = r.err.find(text); at != std::string::npos; at = r.err.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(server->requests().at(0).header("user-agent").starts_with("bootstrap-installer/"));
    EXPECT_EQ(count("The server is busy. Trying again in "), 2u) << r.err;  // a wait of 2 s among them
    EXPECT_EQ(count("Connection lost"), 0u) << r.err;
    EXPECT_EQ(count("Downloading\n"), 3u) << r.err;  // at the start and after each wait
    EXPECT_NE(r.err.find("Install agent signature verified: timestamp:"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" UTC), file:a.zip"), std::string::npos) << r.err;
    EXPECT_EQ(count("\\t"), 0u) << r.err;

    server.reset();  // offline now
    r = run(b);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(count("Could not reach the server; starting the installer downloaded on"), 1u) << r.err;
}

// On a terminal (tmux renders what a person sees): after a download the agent still has
// standard error, a revalidating run leaves no progress line above what the agent prints; a
// server that stops sending is said without a time left; a Ctrl-C leaves no time left and says
// what the next run does. Each wait ends when the screen shows what it waits for.
TEST_F(FailureWords, ATerminalShowsNoStaleProgress) {
    auto files = agentFiles();
    files["install"] = "#!/bin/sh\necho AGENT SAYS HELLO\necho AGENT WARNS >&2\n";
    testsupport::ScriptedServer server(archiveServer(zipBytes(files), "\"t\""));
    const std::string slowArchive = heavyArchive("2", 8 << 20);
    // 1 MiB, then nothing for 9 s.
    testsupport::ScriptedServer slow([&](const ScriptedRequest& q, int) {
        auto r = testsupport::serveArchive(q, slowArchive, "\"s\"");
        r.piece = 1 << 20, r.stall = 9s;
        return r;
    });
    std::string stalled;
    const std::string sock = dir_ / "tmux";
    const auto tmux = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/tmux", "-S", sock});
        return testsupport::runProcess(args).out;
    };
    // The pane outlives the installer, so that what it left can be read.
    wrapper_ = {"/usr/bin/tmux", "-S", sock, "-f", "/dev/null", "new-session", "-d", "-x", "100", "-y", "12"};
    wrapper_.insert(wrapper_.end(), {"/bin/sh", "-c", "trap : INT; \"$0\" \"$@\"; echo END; sleep 60"});
    const auto screen = [&](const testsupport::Bundle& b, bool interrupt) {
        run(b);
        if (interrupt) {
            waitUntil([&] { return tmux({"capture-pane", "-p"}).find("left") != std::string::npos; });
            waitUntil([&] {
                return (stalled = tmux({"capture-pane", "-p"})).find("No data for ") != std::string::npos;
            });
            tmux({"send-keys", "C-c"});
        }
        EXPECT_TRUE(waitUntil([&] { return tmux({"capture-pane", "-p"}).find("END") != std::string::npos; }, 120s));
        const std::string shown = tmux({"capture-pane", "-p"});
        tmux({"kill-server"});
        return shown;
    };
    const auto b = downloadBundle(server.url("/agent.zip"));
    std::string shown = screen(b, false);
    EXPECT_NE(shown.find("AGENT SAYS HELLO\nAGENT WARNS"), std::string::npos) << shown;
    shown = screen(b, false);  // revalidated: a 304
    EXPECT_NE(shown.find("AGENT SAYS HELLO"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("Downloading"), std::string::npos) << shown;
    shown = screen(downloadBundle(slow.url("/agent.zip"), "slow"), true);
    EXPECT_TRUE(std::regex_search(stalled, std::regex("1.0 MiB of 8.0 MiB  No data for \\d s\n"))) << stalled;
    EXPECT_EQ(stalled.find("left"), std::string::npos) << stalled;
    EXPECT_NE(shown.find("The installation was cancelled.\nThe next run of the installer continues where this one "
                         "stopped."),
              std::string::npos)
        << shown;
    EXPECT_EQ(shown.find("left"), std::string::npos) << shown;
}

}  // namespace bi
