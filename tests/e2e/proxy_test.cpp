// Proxies where people set them: the environment, GNOME's settings (GSettings' keyfile
// backend in the test's own configuration directory), KDE's kioslaverc, a PAC script served by
// the test's nginx and run by libproxy; squid from Debian with its own Basic and Digest helpers,
// and a scripted proxy that runs NTLM's handshake.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "fixture.h"
#include "nginx.h"
#include "squid.h"

namespace bi {

using namespace std::chrono_literals;
using testsupport::ScriptedReply;
using testsupport::ScriptedRequest;
using testsupport::Squid;

namespace {

const std::string& archive() {
    static const std::string a = InstallerTest::heavyArchive("1", 1 << 20);
    return a;
}

std::string base64(const std::string& in) {
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
        for (size_t j = 0; j < 4; ++j) out += i + j <= in.size() ? k[(v >> (18 - 6 * j)) & 63] : '=';
    }
    return out;
}

std::string unbase64(const std::string& in) {
    static const std::string k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t v = 0;
    int bits = 0;
    for (const char c : in) {
        if (k.find(c) == std::string::npos) break;
        v = (v << 6) | static_cast<uint32_t>(k.find(c));
        if ((bits += 6) >= 8) out += static_cast<char>((v >> (bits -= 8)) & 0xff);
    }
    return out;
}

uint32_t le(const std::string& m, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(m.at(at + i));
    return v;
}

// NTLM's challenge (type 2) with target information, which makes the client answer with
// NTLMv2: its answer then carries these bytes back.
const std::string kTargetInfo = std::string(
    "\x02\x00\x04\x00"
    "D\0M\0"
    "\x00\x00\x00\x00",
    12);
std::string ntlmChallenge() {
    std::string m(
        "NTLMSSP\0\x02\0\0\0"
        "\0\0\0\0\x30\0\0\0"
        "\x01\x02\x88\x00",
        24);
    m += "\x11\x22\x33\x44\x55\x66\x77\x88" + std::string(8, '\0');
    m += std::string("\x0c\x00\x0c\x00\x30\x00\x00\x00", 8) + kTargetInfo;
    return m;
}

// A proxy that asks for NTLM and takes only a third message, on the connection of its
// challenge, from user "ann" whose NTLMv2 answer holds the challenge's target information.
struct NtlmProxy {
    std::atomic<bool> answered{false};
    std::atomic<int> challenged{-1};
    testsupport::ScriptedServer server{[this](const ScriptedRequest& q, int) -> ScriptedReply {
        const std::string auth = q.header("proxy-authorization");
        const std::string m = auth.starts_with("NTLM ") ? unbase64(auth.substr(5)) : "";
        ScriptedReply ask{407, {{"Proxy-Authenticate", "NTLM"}}};
        ask.keepOpen = true;
        if (m.size() < 12 || !m.starts_with(std::string("NTLMSSP\0", 8))) return ask;
        if (le(m, 8, 4) == 1) {
            challenged = q.connection;
            ask.headers = {{"Proxy-Authenticate", "NTLM " + base64(ntlmChallenge())}};
            return ask;
        }
        const std::string nt = m.substr(le(m, 24, 4), le(m, 20, 2)), user = m.substr(le(m, 40, 4), le(m, 36, 2));
        if (q.connection != challenged || user != std::string("a\0n\0n\0", 6) ||
            nt.find(kTargetInfo) == std::string::npos) {
            return ScriptedReply{403};
        }
        answered = true;
        return testsupport::serveArchive(q, archive(), "\"t\"");
    }};
};

}  // namespace

struct ProxyRow {
    std::string name;
    // The proxy: squid with this authentication, or (ntlm) the scripted NTLM proxy.
    std::optional<Squid::Auth> squid = Squid::Auth::None;
    // installAgentURL.txt: "$O" the origin (nginx) as 127.0.0.1, "$L" as localhost.
    std::string url = "$O/agent.zip";
    // "$P" the proxy's URL, "$p" its host and port, "$n" its port; port 9 has nobody listening.
    InstallerTest::Env env = {};
    // GNOME's settings (a GVariant keyfile), or KDE's kioslaverc; the same placeholders.
    std::string gnome = "", kde = "";
    int exit = 0;
    std::vector<std::string> log = {};  // on standard error
    bool proxied = true;                // the archive's request reached the proxy
    bool hideLibproxy = false, noPacRunner = false, ntlm = false, dropHalfWay = false, interrupt = false;
};

class Proxies : public InstallerTest, public ::testing::WithParamInterface<ProxyRow> {};

const std::string kGnomeManual =
    "[system/proxy]\nmode='manual'\nignore-hosts=@as []\n[system/proxy/http]\n"
    "host='127.0.0.1'\nport=$n\n";
const std::string kGnomePac = "[system/proxy]\nmode='auto'\nautoconfig-url='$O/proxy.pac'\nignore-hosts=@as []\n";
// Through the proxy for localhost, through a dead one first for /two/, directly for the rest.
const std::string kPac =
    "function FindProxyForURL(url, host) {\n"
    "  if (url.indexOf('/two/') >= 0) return 'PROXY 127.0.0.1:9; PROXY $p';\n"
    "  return host == 'localhost' ? 'PROXY $p' : 'DIRECT';\n}\n";

// Each place a proxy is set, and each kind of proxy: the archive comes through the proxy that
// the settings name, or directly where they say so; the log names the proxy and where it came
// from, never a password; what cannot work is said.
TEST_P(Proxies, CarryTheDownloadFromWhereverTheyAreSet) {
    const ProxyRow& row = GetParam();
    testsupport::ScratchDir www;
    testsupport::writeFile(www / "agent.zip", archive());
    testsupport::makeDirs(www / "two");
    testsupport::writeFile(www / "two/agent.zip", archive());
    testsupport::Nginx origin(www.path());
    std::unique_ptr<Squid> squid;
    if (row.squid) squid = std::make_unique<Squid>(*row.squid);
    NtlmProxy ntlm;
    int dropped = 0;
    testsupport::ScriptedServer dropping([&](const ScriptedRequest& q, int n) {
        auto reply = testsupport::serveArchive(q, archive(), "\"t\"");
        if (n == 1) reply.dropAfter = archive().size() / 2;
        dropped = n;
        return reply;
    });
    const std::string proxy = row.ntlm ? ntlm.server.url("") : squid ? squid->url() : "http://127.0.0.1:9";
    const std::string server = row.dropHalfWay ? dropping.url("") : origin.url("");
    const auto fill = [&](const std::string& text) {
        const std::string at =
            expand(expand(text, server.substr(0, server.find_last_not_of('/') + 1), "$O"), proxy, "$P");
        const std::string local = expand(at, "http://localhost:" + std::to_string(origin.port()), "$L");
        return expand(expand(local, proxy.substr(7), "$p"), proxy.substr(proxy.rfind(':') + 1), "$n");
    };
    testsupport::writeFile(www / "proxy.pac", fill(kPac));
    Env env = {{"XDG_CONFIG_HOME", dir_ / "config"}};
    if (!row.gnome.empty()) {
        testsupport::makeDirs(dir_ / "config/glib-2.0/settings");
        testsupport::writeFile(dir_ / "config/glib-2.0/settings/keyfile", fill(row.gnome));
        env.insert({{"DESKTOP_SESSION", "gnome"}, {"GSETTINGS_BACKEND", "keyfile"}});
    }
    if (!row.kde.empty()) {
        testsupport::writeFile(dir_ / "config/kioslaverc", fill(row.kde));
        env.insert({"KDE_FULL_SESSION", "true"});
    }
    if (row.noPacRunner) {
        // libproxy's modules but its PAC runner.
        const auto modules = testsupport::runProcess({"/bin/sh", "-c", "echo /usr/lib/*/libproxy/*/modules"}).out;
        testsupport::makeDirs(dir_ / "modules");
        for (const auto& m : testsupport::listDir(modules.substr(0, modules.find('\n')))) {
            const std::string from = modules.substr(0, modules.find('\n')) + "/" + m;
            if (!m.starts_with("pacrunner")) ::symlink(from.c_str(), (dir_ / "modules/" + m).c_str());
        }
        env.insert({"PX_MODULE_PATH", dir_ / "modules"});
    }
    for (const auto& [name, value] : row.env) env[name] = value ? std::optional(fill(*value)) : std::nullopt;
    if (row.hideLibproxy) {
        if (testsupport::runProcess({"/usr/bin/unshare", "-m", "/bin/true"}).exitStatus != 0)
            GTEST_SKIP() << "no mount namespace here to hide libproxy in";
        wrapper_ = {
            "/usr/bin/unshare",
            "-m",
            "/bin/sh",
            "-c",
            "for f in /usr/lib/*/libproxy.so.1*; do mount --bind /dev/null \"$f\" || exit 97; done; exec \"$@\"",
            "hide-libproxy"};
    }
    if (row.interrupt) {
        // KDE's settings that take until the test is done to read: libproxy waits for them.
        testsupport::writeFile(dir_ / "hold", "");
        testsupport::writeFile(dir_ / "bin/kreadconfig5",
                               "#!/bin/sh\n: > \"$HOLD.read\"\nwhile [ -e \"$HOLD\" ]; do sleep 0.1; done\n", 0755);
        env.insert({{"PATH", dir_ / "bin:" + std::getenv("PATH")}, {"HOLD", dir_ / "hold"}});
    }
    bool endedWhileWaiting = false;
    const auto r = run(downloadBundle(fill(row.url)), {}, env, 60s, [&](pid_t pid) {
        if (!row.interrupt) return;
        waitUntil([&] { return testsupport::exists(dir_ / "hold.read"); });
        ::kill(pid, SIGINT);
        // The run ends while libproxy still waits (at its time limit it would go direct); then
        // the settings come, so that nothing outlives the test.
        const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
        endedWhileWaiting = waitUntil([&] {
            return testsupport::readFile(stat).find(") Z ") != std::string::npos || !testsupport::exists(stat);
        });
        ::unlink((dir_ / "hold").c_str());
    });
    EXPECT_EQ(r.exitStatus, row.exit) << r.err;
    EXPECT_EQ(endedWhileWaiting, row.interrupt) << "the cancel waited for libproxy's time limit";
    EXPECT_EQ(agentRuns(), row.exit == 0 ? 1 : 0);
    for (const auto& text : row.log)
        EXPECT_NE(r.err.find(fill(text)), std::string::npos) << fill(text) << "\n" << r.err;
    EXPECT_EQ(r.err.find("secret"), std::string::npos) << "the log shows the proxy's password";
    if (squid) {
        EXPECT_EQ(squid->accessLog().find("/agent.zip") != std::string::npos, row.proxied) << squid->accessLog();
        const bool named = squid->accessLog().find(" ann ") != std::string::npos;
        EXPECT_EQ(named, row.squid != Squid::Auth::None && row.exit == 0) << squid->accessLog();
    }
    EXPECT_EQ(ntlm.answered, row.ntlm) << "the client did not answer the NTLM challenge";
    if (row.dropHalfWay) {
        ASSERT_EQ(dropped, 2);
        EXPECT_EQ(dropping.requests()[1].header("range"), "bytes=" + std::to_string(archive().size() / 2) + "-");
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, Proxies, ::testing::Values(
    ProxyRow{.name = "squid from http_proxy", .env = {{"http_proxy", "$P"}},
             .log = {"Through the proxy $P (the environment (http_proxy)) for $O/agent.zip"}},
    ProxyRow{.name = "squid with Basic, the password in http_proxy", .squid = Squid::Auth::Basic,
             .env = {{"http_proxy", "http://ann:secret@$p"}}, .log = {"Through the proxy http://$p "}},
    ProxyRow{.name = "squid with Digest, the password in all_proxy", .squid = Squid::Auth::Digest,
             .env = {{"all_proxy", "http://ann:secret@$p"}}},
    ProxyRow{.name = "squid with Basic and no password", .squid = Squid::Auth::Basic, .env = {{"http_proxy", "$P"}},
             .exit = 255, .log = {"The proxy server requires authentication."}},
    ProxyRow{.name = "a resume through squid", .env = {{"http_proxy", "$P"}}, .dropHalfWay = true},
    ProxyRow{.name = "NTLM", .squid = std::nullopt, .env = {{"http_proxy", "http://ann:secret@$p"}}, .ntlm = true},
    ProxyRow{.name = "a proxy that cannot be reached", .squid = std::nullopt, .url = "$L/agent.zip", .env = {{"http_proxy", "http://127.0.0.1:9"}},
             .exit = 255, .log = {"The proxy server 127.0.0.1 cannot be reached. Check the proxy settings."}},
    ProxyRow{.name = "GNOME manual", .gnome = kGnomeManual, .log = {"Through the proxy $P (GNOME's settings (manual))"}},
    ProxyRow{.name = "GNOME manual, no_proxy names the server", .env = {{"no_proxy", "127.0.0.1"}}, .gnome = kGnomeManual,
             .log = {"No proxy (GNOME's settings (manual), bypassed by no_proxy)"}, .proxied = false},
    ProxyRow{.name = "GNOME manual, a variable for another scheme decides", .env = {{"https_proxy", "http://127.0.0.1:9"}},
             .gnome = kGnomeManual, .proxied = false},
    ProxyRow{.name = "GNOME PAC, the proxy for one host", .url = "$L/agent.zip", .gnome = kGnomePac,
             .log = {"Through the proxy $P (GNOME's settings (PAC $O/proxy.pac))"}},
    ProxyRow{.name = "GNOME PAC, directly for another", .gnome = kGnomePac, .log = {"No proxy (GNOME's settings (PAC"},
             .proxied = false},
    ProxyRow{.name = "GNOME PAC, a dead proxy first", .url = "$O/two/agent.zip", .gnome = kGnomePac,
             .log = {"The proxy http://127.0.0.1:9 cannot be reached", "; trying http://$p"}},
    ProxyRow{.name = "GNOME PAC without a PAC runner", .url = "$L/agent.zip", .gnome = kGnomePac,
             .log = {"ask for a PAC script, but libproxy has no PAC runner"}, .proxied = false, .noPacRunner = true},
    ProxyRow{.name = "GNOME PAC without a PAC runner, the server away", .url = "http://localhost:9/agent.zip",
             .gnome = kGnomePac, .exit = 255, .log = {"Install the package libproxy1-plugin-webkit"}, .proxied = false,
             .noPacRunner = true},
    ProxyRow{.name = "KDE, cancelled while libproxy reads the settings", .kde = "[Proxy Settings]\nProxyType=1\n",
             .exit = 255, .log = {"The installation was cancelled."}, .proxied = false, .interrupt = true},
    ProxyRow{.name = "GNOME manual without libproxy", .gnome = kGnomeManual,
             .log = {"libproxy (libproxy.so.1) cannot be loaded: only the proxy environment variables are read"},
             .proxied = false, .hideLibproxy = true},
    ProxyRow{.name = "KDE manual", .kde = "[Proxy Settings]\nProxyType=1\nhttpProxy=http://127.0.0.1 $n\n",
             .log = {"Through the proxy $P (KDE's settings (manual))"}}),
    RowName());
// clang-format on

}  // namespace bi
