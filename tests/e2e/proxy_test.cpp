// Downloads through a real proxy (tinyproxy on 127.0.0.1), given as people give it: the usual
// environment variables, credentials in the proxy's URL, no_proxy.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fixture.h"
#include "nginx.h"
#include "scripted_server.h"

namespace {

class TinyProxy {
public:
    explicit TinyProxy(bool withPassword) : port_(testsupport::freeLoopbackPort()) {
        testsupport::writeFile(dir_ / "tinyproxy.conf", "Port " + std::to_string(port_) +
                                                            "\nListen 127.0.0.1\nAllow 127.0.0.1\nLogLevel Info\nLogFile \"" +
                                                            (dir_ / "log") + "\"\n" +
                                                            (withPassword ? "BasicAuth ann secret\n" : ""));
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl("/usr/bin/tinyproxy", "tinyproxy", "-d", "-c", (dir_ / "tinyproxy.conf").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (!testsupport::waitForPort(port_, 5000)) throw std::runtime_error("tinyproxy did not start");
    }
    ~TinyProxy() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    std::string url(const std::string& credentials = "") const {
        return "http://" + credentials + "127.0.0.1:" + std::to_string(port_);
    }
    std::string log() const { return testsupport::readFile(dir_ / "log"); }

private:
    testsupport::ScratchDir dir_;
    int port_;
    pid_t pid_ = -1;
};

class Proxies : public InstallerTest {};

}  // namespace

TEST_F(Proxies, DownloadsGoThroughTheProxyThatTheEnvironmentNames) {
    const std::string archive = zipBytes(agentFiles("proxied"));
    testsupport::ScriptedServer plain([&](const testsupport::ScriptedRequest& q, int) {
        return testsupport::serveArchive(q, archive, "\"p\"");
    });
    testsupport::ScratchDir keys;
    testsupport::makeCertificate(keys.path());
    testsupport::HttpServer tls(std::make_unique<httplib::SSLServer>((keys / "cert.pem").c_str(), (keys / "key.pem").c_str()),
                                "https");
    (*tls).Get("/agent.zip", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("ETag", "\"t\"");
        res.set_content(archive, "application/zip");
    });
    TinyProxy open(false), guarded(true);
    const std::string dead = "http://127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort());
    struct Row {
        std::string name, url;
        std::map<std::string, std::optional<std::string>> env;
        std::string proxyLog;  // what the proxy saw
        std::string failure;   // "" for a run that starts the agent
    };
    const std::vector<Row> rows = {
        {"http_proxy", plain.url("/agent.zip"), {{"http_proxy", open.url()}}, "GET " + plain.url("/agent.zip")},
        {"https_proxy, CONNECT", tls.url("/agent.zip"), {{"https_proxy", open.url()}, {"SSL_CERT_FILE", keys / "cert.pem"}},
         "CONNECT 127.0.0.1:" + std::to_string(tls.port())},
        {"no_proxy", plain.url("/agent.zip"), {{"http_proxy", dead}, {"no_proxy", "127.0.0.1"}}, ""},
        {"credentials in the URL", plain.url("/agent.zip"), {{"http_proxy", guarded.url("ann:secret@")}}, ""},
        {"no credentials", plain.url("/agent.zip"), {{"http_proxy", guarded.url()}}, "",
         "The proxy server requires authentication."},
        {"a wrong password for a CONNECT", tls.url("/agent.zip"),
         {{"https_proxy", guarded.url("ann:wrong@")}, {"SSL_CERT_FILE", keys / "cert.pem"}}, "",
         "The proxy server requires authentication."},
        {"no credentials for a CONNECT", tls.url("/agent.zip"),
         {{"https_proxy", guarded.url()}, {"SSL_CERT_FILE", keys / "cert.pem"}}, "",
         "The proxy server requires authentication."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto r = run(downloadBundle(row.url), {}, row.env);
        if (row.failure.empty()) {
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(testsupport::readFile(cacheDir() + "/installagent/lib/version.txt"), "proxied");
            EXPECT_NE(open.log().find(row.proxyLog), std::string::npos) << open.log();
        } else {
            EXPECT_EQ(r.exitStatus, 255);
            EXPECT_NE(r.err.find(row.failure), std::string::npos) << r.err;
            // The log names the proxy, never its password.
            const std::string named = row.name.starts_with("a wrong password") ? guarded.url("ann@") : guarded.url();
            EXPECT_NE(r.err.find("requires authentication: " + named + " "), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("wrong"), std::string::npos) << r.err;
        }
        testsupport::removeTree(dir_ / "apps");
        testsupport::removeTree(home_ + "/.tolvar");
    }
}
