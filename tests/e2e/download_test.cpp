// The download road: the built installer, without a shipped archive, fetching the agent from
// servers that the test starts on 127.0.0.1, with the console window (no display).
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <utime.h>

#include <filesystem>

#include "fixture.h"
#include "http_server.h"
#include "nginx.h"

namespace bi {

using namespace std::chrono_literals;
using testsupport::reply;
using testsupport::ScriptedReply;
using testsupport::ScriptedRequest;

namespace {

class DownloadRoad : public InstallerTest {};

}  // namespace

TEST_F(DownloadRoad, FirstRunFillsTheCacheTheSecondRevalidatesTheThirdReplacesAndProductsNeverShare) {
    testsupport::ScratchDir www;
    const auto place = [&](const std::string& name, const std::string& version, time_t when) {
        testsupport::makeZip(www / "next.zip", agentFiles(version));
        struct utimbuf t {
            when, when
        };  // nginx's tag is the time and the size
        ::utime((www / "next.zip").c_str(), &t);
        ::rename((www / "next.zip").c_str(), (www / name).c_str());
    };
    place("a.zip", "a", 1700000000);
    place("b.zip", "b", 1700000000);
    testsupport::Nginx nginx(www.path());
    const auto a = downloadBundle(nginx.url("a.zip"), "a"), b = downloadBundle(nginx.url("b.zip"), "b");
    const std::vector<std::string> args = {"--mode", "a b", "$(touch pwned)"};
    struct Step {
        const testsupport::Bundle* bundle;
        std::string version, answer;  // the agent that runs, and nginx's answer
    };
    const std::vector<Step> steps = {
        {&a, "a", "200"}, {&a, "a", "304 0 "}, {&b, "b", "200"}, {&a, "a", "200"}, {&a, "a2", "200"}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.version);
        if (step.version == "a2") place("a.zip", "a2", 1700000100);
        const auto r = run(*step.bundle, args, {{"AGENT_SIGNALS", dir_ / "signals"}});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(version(), step.version);
        std::vector<std::string> expected = {"-installbundle", step.bundle->resources + "/bundle.zip"};
        expected.insert(expected.end(), args.begin(), args.end());
        EXPECT_EQ(recorded(), expected);
        EXPECT_EQ(testsupport::readFile(self_), cacheDir() + "/installagent/install");
        const std::string log = nginx.accessLog();
        EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1, step.answer.size()), step.answer) << log;
        EXPECT_EQ(storedTag().front(), '"');  // nginx's own tag, stored as sent
        EXPECT_EQ(cacheLeftovers(), std::vector<std::string>{});
        EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
    }
    EXPECT_FALSE(testsupport::exists(dir_ / "pwned"));
    // The agent starts with none of the signals ignored that a shell would not ignore.
    const std::string sigIgn = testsupport::readFile(dir_ / "signals");
    ASSERT_TRUE(sigIgn.starts_with("SigIgn:\t")) << sigIgn;
    const auto ignored = std::stoull(sigIgn.substr(8), nullptr, 16);
    for (const int sig : {SIGPIPE, SIGXFSZ, SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        EXPECT_EQ(ignored >> (sig - 1) & 1, 0u) << sig;
}

TEST_F(DownloadRoad, EveryFailureIsSaidClearlyAndLeavesNothingButWhatCanBeResumed) {
    const std::string agent = zipBytes(agentFiles());
    auto bomb = agentFiles();
    bomb["lib/zeros.bin"] = std::string(3 << 20, '\0');  // small archive, large when extracted
    testsupport::writeFile(dir_ / "enc/install", testsupport::recordingAgentScript(), 0755);
    ASSERT_EQ(
        testsupport::runProcess({"/usr/bin/zip", "-q", "-j", "-P", "secret", dir_ / "enc.zip", dir_ / "enc/install"})
            .exitStatus,
        0);
    const auto zip = [](const std::string& bytes) {
        return reply(200, {{"ETag", "\"z\""}, {"Content-Type", "application/zip"}}, bytes);
    };
    std::map<std::string, ScriptedReply> routes = {
        {"/404", reply(404)},
        {"/404-page", reply(404, {{"Content-Type", "text/html"}}, "<html>not here</html>")},
        {"/loop", reply(302, {{"Location", "/loop"}})},
        {"/to-ftp", reply(302, {{"Location", "ftp://127.0.0.1:9/agent.zip"}})},
        {"/to-file", reply(302, {{"Location", "file:///etc/passwd"}})},
        {"/portal", reply(200, {{"ETag", "\"p\""}, {"Content-Type", "text/html; charset=utf-8"}},
                          "<html><body>Please log in to use this network</body></html>")},
        {"/empty", reply(200, {{"ETag", "\"e\""}})},
        {"/corrupt", zip("PK\x03\x04" + std::string(5000, 'z'))},
        {"/no-install", zip(zipBytes({{"agent/install", "#!/bin/sh\n"}}))},
        {"/encrypted", zip(testsupport::readFile(dir_ / "enc.zip"))},
        {"/big", zip(heavyArchive("1", 3 << 20))},
        {"/bomb", zip(zipBytes(bomb))},
        {"/drop", zip(agent)},
        {"/stall", zip(agent)},
    };
    routes["/drop"].headers.emplace_back("Content-Length", std::to_string(agent.size() + 100000));
    routes["/stall"].pace = 3s;
    testsupport::ScriptedServer server(
        [&](const ScriptedRequest& q, int) { return routes.at(q.path.substr(0, q.path.find('?'))); });
    const std::string refused = "http://127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort()) + "/agent.zip";
    const std::vector<std::string> diskFull = {"/bin/sh", "-c", "trap '' XFSZ; exec \"$0\" \"$@\"", "/usr/bin/prlimit",
                                               "--fsize=1000000"};
    struct Row {
        std::string name, urlFile;  // what installAgentURL.txt holds; no file for "-"
        std::vector<std::string> texts, resumable = {}, wrapper = {};
        Env env = {};
    };
    const std::string error = "Error during the download process. ";
    // clang-format off
    const std::vector<Row> rows = {
        {"404 without a body", server.url("/404"),
         {"Download failed with error code 404", "Download failed! Error code- 404 " + server.url("/404")}},
        {"404 with a page", server.url("/404-page"),
         {"Download failed with error code 404", "Download failed with http error code- 404 " + server.url("/404-page")}},
        {"a redirect loop", server.url("/loop"), {error, "Error - Maximum (10) redirects followed"}},
        {"a redirect to ftp", server.url("/to-ftp"), {error, "Error - Protocol \"ftp\" not supported", "(redirected to ftp://"}},
        {"a redirect to a file", server.url("/to-file"),
         {error, "Error - Protocol \"file\" not supported", "(redirected to file:///etc/passwd)"}},
        {"a captive portal's page", server.url("/portal"),
         {"The server did not send the installer archive (got text/html; charset=utf-8).",
          "Download failed! The server did not send a zip archive (got text/html; charset=utf-8): " + server.url("/portal")}},
        {"an empty body", server.url("/empty"), {"The server did not send the installer archive (got no content type)."}},
        {"a corrupt archive", server.url("/corrupt"), {"Failed to unzip the installer.", "Failed to unzip the install agent"}},
        {"an archive without install at its top", server.url("/no-install"), {"Failed to unzip the installer."}},
        {"an encrypted archive, with a terminal", server.url("/encrypted"), {"Failed to unzip the installer."}},
        {"a connection lost every time", server.url("/drop"), {error, "Download failed! Error - "}, partialArchive()},
        {"a server that stalls", server.url("/stall"), {error, "Error - no data received for 300 ms"}, {}, {},
         {{"BI_IDLE_TIMEOUT", "0.3"}}},
        {"a refused connection", refused, {error, "Error - Failed to connect to 127.0.0.1"}},
        {"no URL", "", {error, "Error - URL using bad/illegal format or missing URL"}},
        {"a URL file in CRLF", server.url("/404") + "\r\n",
         {error, "Error - URL using bad/illegal format or missing URL: \"" + server.url("/404") + "\\\\r\""}},
        {"1 MB on one line", server.url("/") + std::string(1 << 20, 'a'),
         {error, "Error - URL too long: 1048599 bytes (at most 65536): \"" + server.url("/aaa")}},
        {"a NUL before the URL", std::string(1, '\0') + server.url("/404"), {error, "Error - URL using bad/illegal format"}},
        {"no URL file", "-", {"This installer has no download address: ", "/installAgentURL.txt is missing."}},
        {"a full disk while downloading", server.url("/big"),
         {error, "Error - cannot write the downloaded file: File too large", "Download failed! Error - cannot write the downloaded file"},
         {}, diskFull},
        {"a full disk while extracting", server.url("/bomb"), {"Failed to unzip the installer.", "disk full"}, {}, diskFull},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto b = bundle();
        if (row.urlFile != "-") testsupport::writeFile(b.resources + "/installAgentURL.txt", row.urlFile + "\n");
        wrapper_ = row.wrapper;
        terminal_ = row.name.find("terminal") != std::string::npos || row.name.ends_with("extracting");
        const auto r = run(b, {}, row.env, 20s);
        expectFailed(r, row.texts, row.resumable);
        EXPECT_EQ(r.err.find('\r'), std::string::npos) << "a raw carriage return reached the output";
        EXPECT_LT(r.err.size(), 16384u);
        EXPECT_EQ(r.tty.find("password"), std::string::npos) << r.tty;
        testsupport::removeTree(dir_ / "apps");
        testsupport::removeTree(home_ + "/.tolvar");
    }
}

TEST_F(DownloadRoad, WhatTheServerSendsIsTakenExactly) {
    std::string tag, version = "first";
    const std::string drip = heavyArchive("drip", 16 << 10);
    testsupport::ScriptedServer server([&](const ScriptedRequest& q, int) {
        auto r = reply(200, {}, q.path == "/drip" ? drip : zipBytes(agentFiles(version)));
        if (!tag.empty()) r.headers.emplace_back("ETag", tag);
        if (q.path == "/drip") r.pace = 100ms, r.piece = 1024;
        return r;
    });
    const auto b = downloadBundle(server.url("/agent.zip"));
    // Long or odd tags are stored as sent and make the agent current; none makes nothing current.
    for (const std::string& t :
         {"\"" + std::string(8192, 'e') + "\"", std::string("W/\"\x01\xff\xfe \t\x7f\""), std::string()}) {
        SCOPED_TRACE(t.size());
        tag = t;
        version = "first";
        ASSERT_EQ(run(b).exitStatus, 0);
        EXPECT_EQ(storedTag(), t);
        version = "second";
        ASSERT_EQ(run(b).exitStatus, 0);
        EXPECT_EQ(this->version(), t.empty() ? "second" : "first");
        testsupport::removeTree(home_ + "/.tolvar");
    }
    // A stored tag whose first line is the server's did not come from it.
    tag = "\"t\"";
    ASSERT_EQ(run(b).exitStatus, 0);
    testsupport::writeFile(cacheDir() + "/.validatestring", "\"t\"\n\"more\"");
    version = "fresh";
    ASSERT_EQ(run(b).exitStatus, 0);
    EXPECT_EQ(this->version(), "fresh");
    EXPECT_EQ(storedTag(), "\"t\"");

    // A NUL byte ends the URL: what follows never reaches the server; a slow drip is a download.
    testsupport::writeFile(b.resources + "/installAgentURL.txt",
                           server.url("/agent.zip") + std::string("\0/../secret\n", 12));
    EXPECT_EQ(run(b).exitStatus, 0);
    EXPECT_EQ(server.requests().back().path, "/agent.zip");
    testsupport::removeTree(home_ + "/.tolvar");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run(downloadBundle(server.url("/drip"), "drip")).exitStatus, 0);
    EXPECT_GT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(this->version(), "drip");
    EXPECT_EQ(agentRuns(), 10);

    // HTTPS: refused while its CA is unknown, a download once SSL_CERT_FILE names it.
    testsupport::makeCertificate(dir_.path());
    testsupport::HttpServer tls(
        std::make_unique<httplib::SSLServer>((dir_ / "cert.pem").c_str(), (dir_ / "key.pem").c_str()), "https");
    (*tls).Get("/agent.zip", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(zipBytes(agentFiles("tls")), "application/zip");
    });
    testsupport::removeTree(home_ + "/.tolvar");
    const auto secure = downloadBundle(tls.url("/agent.zip"), "tls");
    ::unlink(runs_.c_str());
    expectFailed(run(secure, {}, {{"SSL_CERT_FILE", std::nullopt}, {"SSL_CERT_DIR", std::nullopt}}),
                 {"Error during the download process. ", "certificate"});
    EXPECT_EQ(run(secure, {}, {{"SSL_CERT_FILE", dir_ / "cert.pem"}}).exitStatus, 0);
    EXPECT_EQ(this->version(), "tls");
}

TEST_F(DownloadRoad, OddHomeAndTmpdirReachEveryCommandUnchangedOnBothRoads) {
    const std::string weird = "-x a 'q' \"d\" $(touch pwned1) `touch pwned2`;touch pwned3\nl2\xff\xfe";
    testsupport::ScriptedServer server(archiveServer(zipBytes(agentFiles()), "\"odd\""));
    // Absolute, and relative to the working directory with a leading dash, which sh is given as "./-x...".
    for (const std::string& base : {dir_.path() + "/", std::string()}) {
        const std::string home = base + weird + "home", tmp = base + weird + "tmp", shown = base.empty() ? "./" : "";
        testsupport::makeDirs(dir_ / (weird + "home"));
        testsupport::makeDirs(dir_ / (weird + "tmp"));
        const Env env = {{"HOME", home}, {"TMPDIR", tmp}};
        SCOPED_TRACE(home);
        for (const bool shipped : {true, false}) {
            const auto b = shipped ? bundle("apps", "InstallAgent.zip") : downloadBundle(server.url("/agent.zip"));
            const auto r = run(b, {weird}, env);
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(recorded(), (std::vector<std::string>{"-installbundle", b.resources + "/bundle.zip", weird}));
            const std::string self = testsupport::readFile(self_);
            EXPECT_TRUE(shipped
                            ? self.starts_with(shown + tmp + "/qv")
                            : self == shown + home + "/.tolvar/app_installer_cache/V0917k/xarc64/installagent/install")
                << self;
            EXPECT_EQ(testsupport::listDir(dir_ / (weird + "tmp")), std::vector<std::string>{});
            testsupport::removeTree(dir_ / "apps");
        }
        EXPECT_EQ(
            testsupport::readFile(dir_ / (weird + "home/.tolvar/app_installer_cache/V0917k/xarc64/.validatestring")),
            "\"odd\"");
        testsupport::removeTree(dir_ / (weird + "home"));
    }
    for (int i = 1; i <= 3; ++i) EXPECT_FALSE(testsupport::exists(dir_ / ("pwned" + std::to_string(i))));
}

}  // namespace bi
