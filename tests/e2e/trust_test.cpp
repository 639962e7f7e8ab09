// Trust that outlives a key: several keys in a bundle, key statements beside the archive,
// retired keys, the bundle's floor and signed expiry, judged by the built installer against
// nginx, with keys, signatures and statements made by the real minisign.
#include <gtest/gtest.h>
#include <utime.h>

#include <ctime>
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

    // A new agent on the server under `name`, signed by `key` with minisign's options `more`.
    void serve(const std::string& key, std::vector<std::string> more = {}, const std::string& name = "agent.zip") {
        testsupport::makeZip(www_ / name, agentFiles(std::to_string(++version_)));
        const utimbuf when = {1700000000 + version_, 1700000000 + version_};  // and so its tag
        ::utime((www_ / name).c_str(), &when);
        sign(www_ / name, key, std::move(more));
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
    // A bundle of the keys `keys` ("ab": a and b) for `name` on the server.
    testsupport::Bundle keyed(const std::string& keys, const std::string& name = "agent.zip") {
        testsupport::removeTree(dir_ / (keys + name));
        auto b = downloadBundle(nginx_->url(name), keys + name);
        std::string text;
        for (const char key : keys) text += testsupport::readFile(publicKey(std::string(1, key)));
        testsupport::writeFile(b.resources + "/installAgentKey.pub", text);
        return b;
    }
    // What a refused run must leave: the cache's files as they were.
    std::map<std::string, std::string> cacheFiles() const {
        std::map<std::string, std::string> files;
        if (!testsupport::exists(cacheDir())) return files;
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
    struct Row {
        std::string name, keys, signer, statements, refusal;
        int statementRequests;
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"a bundle of keys a and b takes b's archive", "ab", "b", "", "", 0},
        {"c is unknown and no statement published", "a", "c", "", "signed with another key.", 1},
        {"a statement signed by an unknown key", "a", "c", statement("d", 100, keyLine("c")), "key statement is not valid.", 1},
        {"an unsigned statement", "a", "c", statement("", 100, keyLine("c")), "key statement is not valid.", 1},
        {"a statement changed after signing", "a", "c", forged, "key statement is not valid.", 1},
        {"a introduces c", "a", "c", s1, "", 1},
        {"c learned: no statement asked for", "a", "c", s1, "", 0},
        {"c introduces d and retires a", "a", "d", s1 + s2, "", 1},
        {"a retired", "a", "a", s1 + s2, "signed with a key that its vendor has retired.", 0},
        {"d would trust a again", "a", "e", s1 + s2 + statement("d", 300, keyLine("a")), "would trust a retired key again.", 1},
        {"nothing newer than the statements taken", "a", "e", s1 + s2, "key statement is not valid.", 1},
        {"five statements in a row", "b", "k5", chain, "too long a chain.", 1},
    };
    // clang-format on
    int runs = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        serve(row.signer);
        testsupport::writeFile(www_ / "agent.zip.keys", row.statements);
        const auto before = cacheFiles();
        const int asked = nginx_->sent(".keys").second;
        const auto r = run(keyed(row.keys));
        EXPECT_EQ(nginx_->sent(".keys").second - asked, row.statementRequests);
        if (!row.refusal.empty()) {
            expectRefused(r, row.refusal, before, runs);
        } else {
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(agentRuns(), ++runs);
            EXPECT_EQ(version(), std::to_string(version_));
        }
    }
}

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
    const long soon = static_cast<long>(std::time(nullptr)) + 4;
    serve("a", {"-t", at + " expires:" + std::to_string(soon)});
    ASSERT_EQ(run(floored).exitStatus, 0);
    std::this_thread::sleep_for(std::chrono::seconds(soon + 1 - static_cast<long>(std::time(nullptr))));
    const auto before = cacheFiles();
    expectRefused(run(floored), "The installer archive has expired.", before, 1);
    nginx_.reset();
    expectRefused(run(floored), "reached for a new one. Check the internet connection, then try again.", before, 1);
}

TEST_F(Trust, RollbackIsJudgedPerKeyAndUrlAlsoWhenProductsTakeTurns) {
    serve("a", {"-t", "timestamp:1750000000\tfile:agent.zip"});
    ASSERT_EQ(run(keyed("a")).exitStatus, 0);
    serve("a", {"-t", "timestamp:1700000000\tfile:p2.zip"}, "p2.zip");
    ASSERT_EQ(run(keyed("a", "p2.zip")).exitStatus, 0);  // the cache now holds the other product's
    serve("a", {"-t", "timestamp:1740000000\tfile:agent.zip"});
    expectRefused(run(keyed("a")), "older than the installed one.", cacheFiles(), 2);
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
