// Bundles with the vendor's key: the built installer against nginx, with keys and signatures
// made by the real minisign. Only a signed agent starts; every other archive fails closed.
#include <gtest/gtest.h>
#include <utime.h>

#include "fixture.h"
#include "nginx.h"

namespace bi {

namespace {

class Signatures : public InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        serve("1");
        nginx_ = std::make_unique<testsupport::Nginx>(www_.path());
    }

    // A new agent archive on the server, with a time (nginx's tag) of its own; unsigned.
    void serve(const std::string& version, time_t when = 1700000000) {
        testsupport::makeZip(www_ / "agent.zip", agentFiles(version));
        ::unlink((www_ / "agent.zip.minisig").c_str());
        struct utimbuf t{when, when};
        ::utime((www_ / "agent.zip").c_str(), &t);
    }

    testsupport::Bundle keyed(const std::string& key = "a") {
        auto b = downloadBundle(nginx_->url("agent.zip"));
        testsupport::writeFile(b.resources + "/installAgentKey.pub", testsupport::readFile(publicKey(key)));
        return b;
    }

    testsupport::ScratchDir www_;
    std::unique_ptr<testsupport::Nginx> nginx_;
};

}  // namespace

TEST_F(Signatures, SignedAgentsStartWithEitherAlgorithmAndAreRevalidatedWithoutTheirSignature) {
    // An agent cached by an unsigned bundle from the same URL is fetched again and verified.
    ASSERT_EQ(run(downloadBundle(nginx_->url("agent.zip"), "plain")).exitStatus, 0);
    for (const bool legacy : {false, true}) {
        SCOPED_TRACE(legacy ? "legacy" : "hashed");
        serve(legacy ? "legacy" : "hashed", legacy ? 1700000300 : 1700000200);
        sign(www_ / "agent.zip", "a", legacy ? std::vector<std::string>{"-l"} : std::vector<std::string>{});
        const auto b = keyed();
        auto r = run(b);
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_NE(r.err.find("Install agent signature verified: timestamp:"), std::string::npos) << r.err;
        EXPECT_EQ(version(), legacy ? "legacy" : "hashed");
        // Current now: revalidated without a body and without asking for the signature again.
        const auto signaturesBefore = nginx_->sent(".minisig");
        r = run(b);
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(nginx_->sent(".minisig"), signaturesBefore);
        EXPECT_TRUE(nginx_->accessLog().ends_with("304 0 \"GET /agent.zip HTTP/1.1\"\n")) << nginx_->accessLog();
        testsupport::removeTree(dir_ / "apps");
    }
    EXPECT_EQ(agentRuns(), 5);
}

TEST_F(Signatures, EveryOtherArchiveFailsClosedAndLeavesNothing) {
    const std::string archive = www_ / "agent.zip", signature = archive + ".minisig";
    struct Row {
        std::string name;
        std::function<void()> setUp;
        std::string text;
    };
    const std::vector<Row> rows = {
        {"one flipped byte, same tag",
         [&] {
             sign(archive);
             std::string bytes = testsupport::readFile(archive);
             bytes[bytes.size() / 2] ^= 1;
             testsupport::writeFile(archive, bytes);
             struct utimbuf same{1700000000, 1700000000};
             ::utime(archive.c_str(), &same);
         },
         "The installer archive's signature is not valid."},
        {"the signature of another file",
         [&] {
             testsupport::writeFile(www_ / "other.zip", testsupport::readFile(archive));
             sign(www_ / "other.zip");
             ::rename((www_ / "other.zip.minisig").c_str(), signature.c_str());
         },
         "The installer archive's signature is for another file."},
        {"another key", [&] { sign(archive, "b"); }, "The installer archive is signed with another key."},
        {"a trusted comment changed by one byte",
         [&] {
             sign(archive);
             std::string text = testsupport::readFile(signature);
             text[text.find("timestamp:") + 10] ^= 1;
             testsupport::writeFile(signature, text);
         },
         "The installer archive's signature is not valid."},
        {"a short signature file",
         [&] {
             sign(archive);
             const std::string text = testsupport::readFile(signature);
             testsupport::writeFile(signature, text.substr(0, text.find("trusted comment")));
         },
         "The installer archive's signature is not valid."},
        {"no signature", [] {}, "The installer archive is not signed."},
        {"a damaged key",
         [&] { sign(archive); },
         "The installer's signing key is damaged."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        serve("bad");
        row.setUp();
        auto b = keyed();
        if (row.name == "a damaged key") testsupport::writeFile(b.resources + "/installAgentKey.pub", "untrusted comment: x\nRWQ=\n");
        const auto r = run(b);
        EXPECT_EQ(r.exitStatus, 255) << r.err;
        EXPECT_NE(r.err.find(row.text), std::string::npos) << r.err;
        EXPECT_TRUE(r.err.ends_with("Installation failed.\n")) << r.err;
        EXPECT_EQ(agentRuns(), 0);
        EXPECT_FALSE(cachedAgent());
        EXPECT_EQ(cacheLeftovers(), std::vector<std::string>{});
        EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
        if (row.name == "another key") {
            EXPECT_NE(r.err.find("(expected key "), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(", found key "), std::string::npos) << r.err;
        }
        testsupport::removeTree(dir_ / "apps");
    }
}

TEST_F(Signatures, AnOlderSignedArchiveIsRefusedAsARollback) {
    sign(www_ / "agent.zip", "a", {"-t", "timestamp:1800000000\tfile:agent.zip"});
    const auto b = keyed();
    ASSERT_EQ(run(b).exitStatus, 0);
    serve("old", 1700000100);
    sign(www_ / "agent.zip", "a", {"-t", "timestamp:1700000000\tfile:agent.zip"});
    const auto r = run(b);
    EXPECT_EQ(r.exitStatus, 255) << r.err;
    EXPECT_NE(r.err.find("The installer archive is older than the installed one."), std::string::npos) << r.err;
    EXPECT_EQ(agentRuns(), 1);
    EXPECT_EQ(version(), "1");
}

TEST_F(Signatures, TheShippedRoadChecksTheSignatureBesideItsArchive) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"missing", "The installer archive is not signed."},
        {"key", "The installer's signing key is damaged."},
    };
    for (const auto& [name, text] : rows) {
        SCOPED_TRACE(name);
        auto b = bundle(name, "InstallAgent.zip");
        testsupport::writeFile(b.resources + "/installAgentKey.pub", testsupport::readFile(publicKey()));
        if (name != "missing") sign(b.resources + "/InstallAgent.zip");
        if (name == "key") testsupport::writeFile(b.resources + "/installAgentKey.pub", "untrusted comment: k\nnot a key\n");
        const auto r = run(b);
        EXPECT_EQ(r.exitStatus, 255);
        EXPECT_TRUE(r.err.ends_with(text + "\nFailed to initialize the install agent.\nInstallation failed.\n")) << r.err;
        EXPECT_EQ(agentRuns(), 0);
        EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
    }
}

}  // namespace bi
