// Bundles with the vendor's keys: the built installer against nginx, with keys, signatures and
// key statements made by the real minisign. Only an agent signed with a key the bundle trusts
// starts, judged by key statements beside the archive, retired keys, the floor and expiry.
#include <gtest/gtest.h>
#include <utime.h>

#include <ctime>
#include <filesystem>
#include <thread>

#include "fixture.h"
#include "nginx.h"

namespace bi {

namespace {

class Trust : public InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        nginx_ = std::make_unique<testsupport::Nginx>(www_.path());
    }

    // A new agent on the server under `name`, signed by `key` ("" for none) with minisign's
    // options `more`, or for "flip" signed and then one byte of it flipped.
    void serve(const std::string& key, std::vector<std::string> more = {}, const std::string& name = "agent.zip") {
        const std::string zip = www_ / name;
        testsupport::makeZip(zip, agentFiles(std::to_string(++version_)));
        const bool flip = more == std::vector<std::string>{"flip"};
        ::unlink((zip + ".minisig").c_str());
        if (!key.empty()) sign(zip, key, flip ? std::vector<std::string>{} : std::move(more));
        if (flip) {
            std::string bytes = testsupport::readFile(zip);
            bytes[bytes.size() / 2] ^= 1;
            testsupport::writeFile(zip, bytes);
        }
        const utimbuf when = {1700000000 + version_, 1700000000 + version_};  // and so its tag
        ::utime(zip.c_str(), &when);
    }
    // A key statement signed by `key` ("" for none) at `time`, changing what `body` says.
    std::string statement(const std::string& key, long time, const std::string& body) {
        const std::string text = "bootstrap-installer key statement\n" + body, path = dir_ / "statement.txt";
        testsupport::writeFile(path, text);
        if (key.empty()) return text;
        sign(path, key, {"-t", "timestamp:" + std::to_string(time)});
        return text + testsupport::readFile(path + ".minisig");
    }
    // A statement's line "key <key line>", or "retire <key id>", of key pair `key`.
    std::string keyLine(const std::string& key, bool retire = false) {
        const std::string pub = testsupport::readFile(publicKey(key)), verify = BI_INSTALLER "-verify";
        return retire ? "retire " + testsupport::runProcess({verify, publicKey(key)}).out.substr(4)
                      : "key " + pub.substr(pub.find('\n') + 1);
    }
    // Key pair `key`, made again until minisign's comment shows its id short of 16 digits, as
    // it does for an id with a leading zero: that id, as the comment shows it.
    std::string shortIdKey(const std::string& key) {
        for (int tries = 0; tries < 1000; ++tries) {
            const std::string pub = testsupport::readFile(publicKey(key)), comment = pub.substr(0, pub.find('\n'));
            const std::string id = comment.substr(comment.rfind(' ') + 1);
            if (id.size() < 16) return id;
            ::unlink(publicKey(key).c_str());
            ::unlink((dir_ / ("keys/" + key + ".key")).c_str());
        }
        ADD_FAILURE() << "no key id with a leading zero";
        return "";
    }
    // A bundle of the keys `keys` ("ab": a and b; "!": a damaged key) for `url` (agent.zip on nginx).
    testsupport::Bundle keyed(const std::string& keys, std::string url = "") {
        if (url.empty()) url = nginx_->url("agent.zip");
        const std::string parent = keys + url.substr(url.rfind('/') + 1);
        testsupport::removeTree(dir_ / parent);
        auto b = downloadBundle(url, parent);
        std::string text;
        for (const char key : keys)
            text += key == '!' ? "untrusted comment: x\nRWQ=\n" : testsupport::readFile(publicKey(std::string(1, key)));
        testsupport::writeFile(b.resources + "/installAgentKey.pub", text);
        return b;
    }
    // What a refused run must leave: the cache's files as they were.
    std::map<std::string, std::string> cacheFiles() const {
        std::map<std::string, std::string> files;
        for (const auto& name : testsupport::listDir(cacheDir())) {
            if (name.starts_with(".trust-") || name == ".agentrecord")
                files[name] = testsupport::readFile(cacheDir() + "/" + name);
        }
        return files;
    }
    void expectRefused(const testsupport::ProcessResult& r, const std::string& text,
                       const std::map<std::string, std::string>& before, int runs) {
        EXPECT_EQ(r.exitStatus, 255) << r.err;
        EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
        EXPECT_TRUE(r.err.ends_with("Installation failed.\n")) << r.err;
        EXPECT_EQ(agentRuns(), runs);
        EXPECT_EQ(cacheFiles(), before);
        EXPECT_EQ(cachedAgent(), !before.empty());
        EXPECT_FALSE(testsupport::exists(cacheDir() + "/.download"));  // nothing refused is kept
        EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
    }

    testsupport::ScratchDir www_;
    std::unique_ptr<testsupport::Nginx> nginx_;
    int version_ = 0;
};

}  // namespace

TEST_F(Trust, KeysAndStatementsDecideWhichSignaturesAreTaken) {
    const std::string s1 = statement("a", 100, keyLine("c")),
                      s2 = statement("c", 200, keyLine("d") + keyLine("a", true));
    std::string forged = statement("a", 100, keyLine("d"));
    forged.replace(forged.find(keyLine("d")), keyLine("d").size(), keyLine("c"));
    std::string chain;  // b introduces k1, k1 k2 ... up to k5: one more than a run takes
    for (int i = 1; i <= 5; ++i)
        chain += statement(i == 1 ? "b" : "k" + std::to_string(i - 1), i, keyLine("k" + std::to_string(i)));
    // a retires z by its id as minisign's comment shows it, typed in lower case; then a line that
    // is no key id, on the file's line 10
    std::string zId = shortIdKey("z");
    std::transform(zId.begin(), zId.end(), zId.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string retiresZ = statement("a", 10, keyLine("f") + "retire " + zId + "\n");
    const std::string unreadable = retiresZ + statement("a", 20, keyLine("g") + "retire 0x12\n");
    struct Row {
        std::string name, keys, signer, statements, refusal;
        int statementRequests;
        std::vector<std::string> more = {};  // minisign's options, or "flip"
        std::string query = "";              // after the archive's URL
        bool shipped = false;                // the archive shipped in the bundle instead
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"no signature", "a", "", "", "The installer archive is not signed. Do not run", 0},
        {"one flipped byte", "a", "a", "", "The installer archive's signature is not valid. Do not run", 0, {"flip"}},
        {"the signature of another file", "a", "a", "", "signature is for another file. Do not run", 0, {"-t", "file:other.zip"}},
        {"a damaged key, never read as none", "!", "a", "", "The installer's signing key is damaged. Do not run", 0},
        {"a bundle of keys a and b takes b's archive", "ab", "b", "", "", 0},
        {"c is unknown and no statement published", "a", "c", "", "signed with another key. Do not run", 1},
        {"a page that is no statement leaves c unknown", "a", "c", "<html>", "signed with another key. Do not run", 1},
        {"a statement signed by an unknown key", "a", "c", statement("d", 100, keyLine("c")), "key statement is not valid.", 1},
        {"an unsigned statement", "a", "c", statement("", 100, keyLine("c")), "key statement is not valid.", 1},
        {"a statement changed after signing", "a", "c", forged, "key statement is not valid.", 1},
        {"a introduces c, asked for with the URL's query", "a", "c", s1, "", 1, {}, "?v=1"},
        {"c learned: no statement asked for", "a", "c", s1, "", 0},
        {"c introduces d and retires a", "a", "d", s1 + s2, "", 1},
        {"a retired", "a", "a", s1 + s2, "signed with a key that its vendor has retired.", 0},
        {"a retired, shipped", "a", "a", s1 + s2, "signed with a key that its vendor has retired.", 0, {}, "", true},
        {"d would trust a again", "a", "e", s1 + s2 + statement("d", 300, keyLine("a")), "would trust a retired key again.", 1},
        {"nothing newer than the statements taken", "a", "e", s1 + s2, "key statement is not valid.", 1},
        {"five statements in a row", "b", "k5", chain, "too long a chain.", 1},
        {"a retires z by an id without its leading zero", "az", "f", retiresZ, "", 1},
        {"z retired", "az", "z", retiresZ, "signed with a key that its vendor has retired.", 0},
        {"a line that is no key id", "az", "g", unreadable, "cannot be read: line 10: 0x12 is not a key id", 1},
    };
    // clang-format on
    int runs = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        serve(row.signer, row.more);
        ::unlink((www_ / "agent.zip.keys").c_str());  // none published: a 404
        if (!row.statements.empty()) testsupport::writeFile(www_ / "agent.zip.keys", row.statements);
        const auto before = cacheFiles();
        const int asked = nginx_->sent(".keys").second, archives = nginx_->sent("GET /agent.zip HTTP").second,
                  signatures = nginx_->sent(".minisig").second;
        auto b = keyed(row.keys, nginx_->url("agent.zip") + row.query);
        if (row.shipped) {
            std::filesystem::copy_file(www_ / "agent.zip", b.resources + "/InstallAgent.zip");
            sign(b.resources + "/InstallAgent.zip", row.signer);
        }
        const auto r = run(b);
        EXPECT_EQ(nginx_->sent(".keys").second - asked, row.statementRequests);
        // On a first run the signature comes first: what it alone refuses costs no archive, and
        // an archive that fails it has it asked for once more.
        const bool flipped = row.more == std::vector<std::string>{"flip"};
        if (runs == 0 && !row.shipped) {
            EXPECT_EQ(nginx_->sent("GET /agent.zip HTTP").second - archives, row.refusal.empty() || flipped ? 1 : 0);
            EXPECT_EQ(nginx_->sent(".minisig").second - signatures, row.keys == "!" ? 0 : flipped ? 2 : 1);
        }
        if (!row.refusal.empty()) {
            expectRefused(r, row.refusal, before, runs);
        } else {
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(agentRuns(), ++runs);
            EXPECT_EQ(version(), std::to_string(version_));
        }
    }
}

// An agent cached by an unsigned bundle, or under another key, is fetched whole. One verified
// is known again by its signature, asked first; a legacy signature (over the whole archive)
// cannot tell, and the archive gets a 304.
TEST_F(Trust, ASignedBundleNeverStartsAnAgentItDidNotVerify) {
    serve("");
    const auto plain = downloadBundle(nginx_->url("agent.zip"), "plain");
    ASSERT_EQ(run(plain).exitStatus, 0);
    sign(www_ / "agent.zip");  // its tag unchanged
    for (const bool legacy : {false, true}) {
        SCOPED_TRACE(legacy ? "legacy" : "hashed");
        if (legacy) serve("a", {"-l"});
        auto r = run(keyed("a"));
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_NE(r.err.find("Install agent signature verified: timestamp:"), std::string::npos) << r.err;
        EXPECT_EQ(nginx_->accessLog().find("304 0 "), std::string::npos) << nginx_->accessLog();
        EXPECT_EQ(version(), std::to_string(version_));
        const int archives = nginx_->sent("\"GET /agent.zip HTTP").second;
        ASSERT_EQ(run(keyed("a")).exitStatus, 0);
        EXPECT_EQ(nginx_->sent("\"GET /agent.zip HTTP").second, archives + (legacy ? 1 : 0));
        EXPECT_EQ(nginx_->accessLog().ends_with("304 0 \"GET /agent.zip HTTP/1.1\"\n"), legacy);
    }
    // Offline, none starts that came from another URL, under another key, or by an unsigned bundle.
    const int port = nginx_->port();
    const std::string url = nginx_->url("agent.zip");
    for (const auto& [keys, from] :
         std::vector<std::pair<std::string, std::string>>{{"a", url + "?other"}, {"b", url}, {"a", url}}) {
        if (keys == "a" && from == url) {  // the cached agent now one of the unsigned bundle's
            nginx_ = std::make_unique<testsupport::Nginx>(www_.path(), "", port);
            serve("");
            ASSERT_EQ(run(plain).exitStatus, 0);
        }
        nginx_.reset();
        const auto r = run(keyed(keys, from));
        EXPECT_EQ(r.exitStatus, 255) << r.err;
        EXPECT_EQ(r.err.find("Could not reach the server"), std::string::npos) << r.err;
    }
    EXPECT_EQ(agentRuns(), 6);
}

struct LeftRow {
    std::string name;
    bool leftWhole, dropFirst;  // by an earlier run; the first answer broken off
    std::string key;            // that signed what the server sends as the signature
    int exit, requests;
};

class WhatWasLeft : public Trust, public ::testing::WithParamInterface<LeftRow> {};

TEST_P(WhatWasLeft, IsVerifiedBeforeItIsExtracted) {
    const auto& row = GetParam();
    serve(row.key);
    const std::string archive = testsupport::readFile(www_ / "agent.zip");
    std::string signature = testsupport::readFile(www_ / "agent.zip.minisig");
    serve("a");  // what the server has once the first answer broke off
    const std::string archive2 = testsupport::readFile(www_ / "agent.zip");
    if (row.dropFirst) signature = testsupport::readFile(www_ / "agent.zip.minisig");
    int archives = 0;
    testsupport::ScriptedServer server([&](const testsupport::ScriptedRequest& q, int) {
        if (q.path.ends_with(".minisig")) return testsupport::reply(200, {}, signature);
        const int n = ++archives;
        auto reply = row.dropFirst && n > 1 ? testsupport::serveArchive(q, archive2, "\"v2\"")
                                            : testsupport::serveArchive(q, archive, "\"v1\"");
        // Late enough that the bytes kept differ from the new archive's.
        if (row.dropFirst && n == 1) reply.dropAfter = archive.size() * 9 / 10;
        return reply;
    });
    const auto b = keyed("a", server.url("/agent.zip"));
    if (row.leftWhole) {
        testsupport::writeFile(cacheDir() + "/.download", archive);
        testsupport::writeFile(cacheDir() + "/.download.record",
                               "bootstrap-installer cache record 1\nurl " + server.url("/agent.zip") +
                                   "\ntag \"v1\"\nlength " + std::to_string(archive.size()) + "\n");
    }
    const auto r = run(b);
    EXPECT_EQ(r.exitStatus, row.exit) << r.err;
    EXPECT_EQ(static_cast<int>(server.requests().size()), row.requests);
    EXPECT_EQ(cachedAgent(), row.exit == 0);
    EXPECT_EQ(agentRuns(), row.exit == 0 ? 1 : 0);
    EXPECT_EQ(r.err.find(", found key ") != std::string::npos, row.exit != 0) << r.err;  // the log names the keys
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, WhatWasLeft, ::testing::Values(
    LeftRow{"a whole archive confirmed by a 304", true, false, "a", 0, 2},
    LeftRow{"the same with another key's signature: refused before the archive", true, false, "b", 255, 2},
    LeftRow{"a new archive sent whole to a Range: file and hash start over", false, true, "a", 0, 3}), RowName());
// clang-format on

TEST_F(Trust, AFloorAndExpiryRefuseOldAgentsAlsoOnAnEmptyCache) {
    const auto now = static_cast<long>(std::time(nullptr));
    const std::string at = "timestamp:" + std::to_string(now) + " file:agent.zip";
    auto floored = keyed("a");
    testsupport::writeFile(floored.resources + "/installAgentFloor.txt", std::to_string(now - 60) + "\n");
    serve("a", {"-t", "timestamp:" + std::to_string(now - 61) + "\tfile:agent.zip"});
    expectRefused(run(floored), "older than this installer accepts.", {}, 0);
    serve("a", {"-t", at + " expires:" + std::to_string(now - 1)});
    expectRefused(run(floored), "The installer archive has expired. Do not run", {}, 0);
    auto shipped = bundle("shipped", "InstallAgent.zip");
    testsupport::writeFile(shipped.resources + "/installAgentKey.pub", testsupport::readFile(publicKey()));
    sign(shipped.resources + "/InstallAgent.zip", "a", {"-t", "timestamp:1 expires:2"});
    expectRefused(run(shipped),
                  "has expired. Do not run this installer; contact the vendor of the product.\nFailed to initialize",
                  {}, 0);

    // Good for a few seconds: it runs, then, once past, neither a 304 nor an offline run start it.
    const long soon = static_cast<long>(std::time(nullptr)) + 3;
    serve("a", {"-t", at + " expires:" + std::to_string(soon)});
    ASSERT_EQ(run(floored).exitStatus, 0);
    const auto before = cacheFiles();
    while (std::time(nullptr) < soon) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    expectRefused(run(floored), "The installer archive has expired.", before, 1);
    nginx_.reset();
    expectRefused(run(floored), "reached for a new one. Check the internet connection, then try again.", before, 1);
}

// An older archive is a rollback for the same key and URL, also after another product, whose
// older agent is none, took the cache.
TEST_F(Trust, RollbackIsJudgedPerKeyAndUrlAlsoWhenProductsTakeTurns) {
    serve("a", {"-t", "timestamp:1750000000\tfile:agent.zip"});
    ASSERT_EQ(run(keyed("a")).exitStatus, 0);
    serve("a", {"-t", "timestamp:1700000000\tfile:p2.zip"}, "p2.zip");
    ASSERT_EQ(run(keyed("a", nginx_->url("p2.zip"))).exitStatus, 0);
    serve("a", {"-t", "timestamp:1740000000\tfile:agent.zip"});
    expectRefused(run(keyed("a")), "The installer archive is older than the installed one.", cacheFiles(), 2);
}

TEST_F(Trust, MakeBundleTakesSeveralKeysAndRecordsTheFloor) {
    const std::string keys = dir_ / "ab.pub", product = dir_ / "product.zip", agent = dir_ / "InstallAgent.zip";
    testsupport::writeFile(keys, testsupport::readFile(publicKey("a")) + testsupport::readFile(publicKey("b")));
    testsupport::makeZip(product, {{"p", "p"}});
    testsupport::makeZip(agent, agentFiles());
    sign(agent, "b", {"-t", "timestamp:1750000000\tfile:InstallAgent.zip"});
    serve("a", {"-t", "timestamp:1760000000\tfile:agent.zip"});
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
        {{"--agent", agent}, "1750000000\n"},
        {{"--url", nginx_->url("agent.zip")}, "1760000000\n"},
        {{"--url", nginx_->url("agent.zip"), "--floor", "1800000000"}, "1800000000\n"},
    };
    for (auto [argv, floor] : rows) {
        const std::string app = dir_ / (floor.substr(0, 10) + ".app");
        argv.insert(argv.begin(), {BI_MAKE_BUNDLE, "-o", app, "--bundle-zip", product, "--public-key", keys,
                                   "--installer", BI_INSTALLER});
        const auto made = testsupport::runProcess(argv);
        ASSERT_EQ(made.exitStatus, 0) << made.err;
        EXPECT_EQ(testsupport::readFile(app + "/Contents/Resources/installAgentFloor.txt"), floor);
    }
    EXPECT_NE(testsupport::runProcess({BI_MAKE_BUNDLE, "--help"}).out.find("minisign -Sm s.txt -s backup.key"),
              std::string::npos);
}

}  // namespace bi
