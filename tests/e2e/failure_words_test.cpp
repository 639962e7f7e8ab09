// Each kind of failure in plain words with what to do, in the user's language, in the window
// with a display (GTK under Xvfb, read through BI_WINDOW_TRANSCRIPT) and on standard error.
#include <unistd.h>

#include <future>

#include "fixture.h"
#include "nginx.h"
#include "xserver.h"

namespace bi {

using testsupport::ScriptedReply;
using testsupport::ScriptedRequest;

class FailureWords : public InstallerTest {};

struct WordsRow {
    std::string name, url;  // "$S" the scripted server, "$T" an HTTPS server, "$D" the test's directory;
                            // no URL: a bundle that ships its archive
    InstallerTest::Env env;
    std::string english, german;
    bool signedBundle = false, diskFull = false;
};

namespace {


class Words : public InstallerTest, public ::testing::WithParamInterface<WordsRow> {};

}  // namespace

// Each kind of failure, in English and in German: the window shows it with "Close" and without
// libcurl's words, and standard error has it too.
TEST_P(Words, AreSaidWithWhatToDoInTheWindowAndOnStandardError) {
    const WordsRow& row = GetParam();
    const std::string display = testsupport::XServer::get().display();
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    testsupport::ScriptedServer server([&](const ScriptedRequest& q, int) {
        static const std::string archive = heavyArchive("1", 2 << 20);
        if (q.path.starts_with("http://")) return ScriptedReply{407, {{"Proxy-Authenticate", "Basic realm=\"p\""}}};
        if (q.path == "/page") return testsupport::reply(200, {{"Content-Type", "text/html"}}, "<html>sign in</html>");
        if (q.path == "/agent.zip") return testsupport::serveArchive(q, archive, "\"t\"");
        return ScriptedReply{q.path.ends_with(".minisig") ? 404 : std::stoi(q.path.substr(1))};  // "/503"
    });
    std::unique_ptr<testsupport::Nginx> tls;
    const int tlsPort = testsupport::freeLoopbackPort();
    if (row.url.starts_with("$T")) tls = std::make_unique<testsupport::Nginx>(dir_.path(), httpsOn(tlsPort, dir_.path()));
    const auto fill = [&](const std::string& text) {
        return expand(expand(expand(text, server.url("")), "https://127.0.0.1:" + std::to_string(tlsPort), "$T"),
                      dir_.path(), "$D");
    };
    testsupport::makeDirs(dir_ / "bin");
    ::symlink("/bin/sh", (dir_ / "bin/sh").c_str());
    const std::string transcript = dir_ / "window";
    for (const bool german : {false, true}) {
        SCOPED_TRACE(german ? "German" : "English");
        const std::string said = fill(german ? row.german : row.english);
        auto b = row.url.empty() ? bundle("s" + std::to_string(german), "InstallAgent.zip")
                                 : downloadBundle(fill(row.url), "b" + std::to_string(german));
        if (row.signedBundle) testsupport::writeFile(b.resources + "/installAgentKey.pub", testsupport::readFile(publicKey()));
        Env env = {{"DISPLAY", display}, {"NO_AT_BRIDGE", "1"}, {"BI_WINDOW_TRANSCRIPT", transcript}};
        for (const auto& [name, value] : row.env) env[name] = value ? std::optional(fill(*value)) : std::nullopt;
        if (german) env.insert({{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "de"}});
        if (row.diskFull) wrapper_ = kDiskFull;
        ::unlink(transcript.c_str());
        auto running = std::async(std::launch::async, [&] { return run(b, {}, env, std::chrono::seconds(30)); });
        // The window stays until the user closes it: Escape, once the failure shows.
        EXPECT_TRUE(waitUntil([&] { return testsupport::readFile(transcript).find(said) != std::string::npos; },
                              std::chrono::seconds(20)));
        testsupport::ProcessOptions x;
        x.env["DISPLAY"] = display;
        testsupport::runProcess({"/usr/bin/xdotool", "search", "--sync", "--onlyvisible", "--name", "^Setup$",
                                 "windowfocus", "--sync", "key", "Escape"},
                                x);
        const auto r = running.get();
        const std::string shown = testsupport::readFile(transcript);
        EXPECT_EQ(r.exitStatus, 255) << r.err;
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
        EXPECT_TRUE(r.err.ends_with("\nInstallation failed.\n")) << r.err;  // the log stays English
        EXPECT_NE(shown.find(german ? "button: Schließen" : "button: Close"), std::string::npos) << shown;
        for (const char* curl : {"Failed to connect", "SSL", "curl", "certificate problem", "error setting"}) {
            EXPECT_EQ(shown.find(curl), std::string::npos) << shown;
        }
        testsupport::removeTree(home_);
        testsupport::makeDirs(home_);
    }
    if (row.name == "no unzip" || row.name == "no home") {
        EXPECT_EQ(server.requests().size(), 0u) << "the archive was asked for";
        EXPECT_FALSE(testsupport::exists(dir_ / "no")) << "a home was created";
    }
}

namespace {

const InstallerTest::Env kNoCa = {{"SSL_CERT_FILE", std::nullopt}, {"SSL_CERT_DIR", std::nullopt}};
const char* const kDoNotRun = "The installer archive is not signed. Do not run this installer;";

}  // namespace

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, Words, ::testing::Values(
    WordsRow{"refused", "http://127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort()) + "/a.zip", {},
             "Error during the download process. The server cannot be reached. Check the internet connection",
             "Der Server ist nicht erreichbar. Prüfen Sie die Internetverbindung"},
    WordsRow{"untrusted certificate", "$T/a.zip", kNoCa,
             "The certificate of the server 127.0.0.1 is not trusted. Check that the date and time", "wird nicht vertraut"},
    WordsRow{"no certificate store", "$T/a.zip", {{"SSL_CERT_FILE", "$D/none.pem"}},
             "Install the package of the system's CA certificates (ca-certificates)", "CA-Zertifikaten des Systems (ca-certificates)"},
    WordsRow{"404", "$S/404", {}, "Download failed with error code 404. The installer file is not on the server. Contact the vendor",
             "Die Datei des Installationsprogramms ist nicht auf dem Server"},
    WordsRow{"403", "$S/403", {}, "Download failed with error code 403. The server refused access", "verweigert den Zugriff"},
    WordsRow{"503", "$S/503", {}, "The server is busy or has a problem. Try again later.", "ausgelastet oder gestört"},
    WordsRow{"a proxy's password", "http://example.invalid/a.zip", {{"http_proxy", "$S"}},
             "Check the user name and password in the proxy settings", "Benutzername und Passwort"},
    WordsRow{"an HTML page", "$S/page", {}, "The server did not send the installer archive (got text/html). A network's sign-in page",
             "Anmeldeseite"},
    WordsRow{"not signed", "$S/agent.zip", {}, kDoNotRun, "Führen Sie dieses Installationsprogramm nicht aus", true},
    WordsRow{"shipped, not signed", "", {}, kDoNotRun, "Führen Sie dieses Installationsprogramm nicht aus", true},
    WordsRow{"a full disk", "$S/agent.zip", {}, "The disk is full: the installer needs 2.0 MiB of free space in $D/home/",
             "Der Datenträger ist voll", false, true},
    WordsRow{"no unzip", "$S/agent.zip", {{"PATH", "$D/bin"}},
             "The program unzip, which the installer needs, is not installed. Install the package unzip",
             "Installieren Sie das Paket unzip"},
    WordsRow{"no home", "$S/agent.zip", {{"HOME", "$D/no/home"}},
             "The home directory $D/no/home does not exist. Set HOME", "Setzen Sie HOME"}), RowName());
// clang-format on

// In a pipe: a line per retry, the offline sentence once, the trusted comment without escapes.
TEST_F(FailureWords, AConsoleInAPipeSaysEachThingOnce) {
    const std::string archive = zipBytes(agentFiles());
    auto server = std::make_unique<testsupport::ScriptedServer>([&](const ScriptedRequest& q, int n) {
        if (q.path.ends_with(".minisig"))
            return testsupport::reply(200, {}, testsupport::readFile(dir_ / "a.zip.minisig"));
        return n <= 2 ? ScriptedReply{503} : testsupport::serveArchive(q, archive, "\"t\"");
    });
    testsupport::writeFile(dir_ / "a.zip", archive);
    sign(dir_ / "a.zip");
    auto b = downloadBundle(server->url("/a.zip"));
    testsupport::writeFile(b.resources + "/installAgentKey.pub", testsupport::readFile(publicKey()));
    auto r = run(b, {}, {{"BI_RETRY_WAIT", "1.5"}});
    const auto count = [&](const std::string& text) {
        size_t n = 0;
        for (size_t at = r.err.find(text); at != std::string::npos; at = r.err.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(server->requests().at(0).header("user-agent").starts_with("bootstrap-installer/"));
    EXPECT_EQ(count("The server is busy. Trying again in "), 2u) << r.err;  // a wait of 3 s among them
    EXPECT_EQ(count("Connection lost"), 0u) << r.err;
    EXPECT_NE(r.err.find("Install agent signature verified: timestamp:"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" UTC), file:a.zip"), std::string::npos) << r.err;
    EXPECT_EQ(count("\\t"), 0u) << r.err;

    server.reset();  // offline now
    r = run(b);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(count("Could not reach the server; starting the installer downloaded on"), 1u) << r.err;
}

// On a terminal (tmux renders what a person sees): a revalidating run leaves no progress line
// above what the agent prints, and a Ctrl-C leaves no time left.
TEST_F(FailureWords, ATerminalShowsNoStaleProgress) {
    auto files = agentFiles();
    files["install"] = "#!/bin/sh\necho AGENT SAYS HELLO\n";
    testsupport::ScriptedServer server(archiveServer(zipBytes(files), "\"t\""));
    const std::string slowArchive = heavyArchive("2", 8 << 20);
    testsupport::ScriptedServer slow(archiveServer(slowArchive, "\"s\"", std::chrono::milliseconds(50)));
    const std::string sock = dir_ / "tmux";
    const auto tmux = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/tmux", "-S", sock});
        return testsupport::runProcess(args).out;
    };
    // The pane outlives the installer, so that what it left can be read.
    wrapper_ = {"/usr/bin/tmux",
                "-S",
                sock,
                "-f",
                "/dev/null",
                "new-session",
                "-d",
                "-x",
                "100",
                "-y",
                "12",
                "/bin/sh",
                "-c",
                "trap : INT; \"$0\" \"$@\"; echo END; sleep 60"};
    const auto screen = [&](const testsupport::Bundle& b, bool interrupt) {
        run(b);
        if (interrupt) {
            waitUntil([&] { return tmux({"capture-pane", "-p"}).find("left") != std::string::npos; });
            tmux({"send-keys", "C-c"});
        }
        waitUntil([&] { return tmux({"capture-pane", "-p"}).find("END") != std::string::npos; });
        const std::string shown = tmux({"capture-pane", "-p"});
        tmux({"kill-server"});
        return shown;
    };
    const auto b = downloadBundle(server.url("/agent.zip"));
    EXPECT_NE(screen(b, false).find("AGENT SAYS HELLO"), std::string::npos);
    std::string shown = screen(b, false);  // revalidated: a 304
    EXPECT_NE(shown.find("AGENT SAYS HELLO"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("Downloading"), std::string::npos) << shown;
    shown = screen(downloadBundle(slow.url("/agent.zip"), "slow"), true);
    EXPECT_NE(shown.find("The installation was cancelled."), std::string::npos) << shown;
    EXPECT_EQ(shown.find("left"), std::string::npos) << shown;
}

}  // namespace bi
