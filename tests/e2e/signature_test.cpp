// Bundles with the vendor's key: the built installer against nginx, with keys and signatures
// made by the real minisign. Only a signed agent starts; every other archive fails closed.
#include <gtest/gtest.h>
#include <utime.h>

#include "fixture.h"
#include "nginx.h"
#include "scripted_server.h"

namespace bi {

using testsupport::ScriptedRequest;

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
        struct utimbuf t {
            when, when
        };
        ::utime((www_ / "agent.zip").c_str(), &t);
    }

    testsupport::Bundle keyed(const std::string& key = "a", const std::string& parent = "apps",
                              const std::string& url = "") {
        auto b = downloadBundle(url.empty() ? nginx_->url("agent.zip") : url, parent);
        testsupport::writeFile(b.resources + "/installAgentKey.pub", testsupport::readFile(publicKey(key)));
        return b;
    }

    testsupport::ScratchDir www_;
    std::unique_ptr<testsupport::Nginx> nginx_;
};

}  // namespace

TEST_F(Signatures, SignedAgentsStartWithEitherAlgorithmAndAreKnownAgainByTheirSignature) {
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
        // Current now: its signature, asked first, names the cached agent, and the archive is not
        // asked for; a legacy one (over the whole archive) cannot tell, and the archive gets a 304.
        const auto signaturesBefore = nginx_->sent(".minisig");
        r = run(b);
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(nginx_->sent(".minisig").second, signaturesBefore.second + 1);
        EXPECT_TRUE(nginx_->accessLog().ends_with(legacy ? "304 0 \"GET /agent.zip HTTP/1.1\"\n"
                                                         : " \"GET /agent.zip.minisig HTTP/1.1\"\n"))
            << nginx_->accessLog();
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
    const auto flipped = [&](std::vector<std::string> legacy) {
        return [&, legacy] {
            sign(archive, "a", legacy);
            std::string bytes = testsupport::readFile(archive);
            bytes[bytes.size() / 2] ^= 1;
            testsupport::writeFile(archive, bytes);
            struct utimbuf same {
                1700000000, 1700000000
            };
            ::utime(archive.c_str(), &same);
        };
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"one flipped byte, same tag", flipped({}), "The installer archive's signature is not valid."},
        {"one flipped byte, a legacy signature", flipped({"-l"}), "The installer archive's signature is not valid."},
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
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        serve("bad");
        row.setUp();
        auto b = keyed();
        if (row.name == "a damaged key")
            testsupport::writeFile(b.resources + "/installAgentKey.pub", "untrusted comment: x\nRWQ=\n");
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
    // Another product's newer agent in the cache makes nothing of this one a rollback.
    testsupport::writeFile(www_ / "p2.zip", testsupport::readFile(www_ / "agent.zip"));
    sign(www_ / "p2.zip", "a", {"-t", "timestamp:1700000000\tfile:p2.zip"});
    EXPECT_EQ(run(keyed("a", "p2", nginx_->url("p2.zip"))).exitStatus, 0);
}

TEST_F(Signatures, ASignedBundleNeverStartsAnAgentItDidNotVerify) {
    // Cached by an unsigned bundle, then signed on the server with its tag unchanged: fetched
    // whole, not revalidated, and verified.
    const auto plain = downloadBundle(nginx_->url("agent.zip"), "plain");
    const auto a = keyed("a", "a"), b = keyed("b", "b");
    ASSERT_EQ(run(plain).exitStatus, 0);
    sign(www_ / "agent.zip");
    auto r = run(a);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.err.find("Install agent signature verified"), std::string::npos) << r.err;
    EXPECT_EQ(nginx_->sent("\"GET /agent.zip HTTP").second, 2);
    EXPECT_EQ(nginx_->accessLog().find("304 0 "), std::string::npos) << nginx_->accessLog();

    // Offline, an agent cached under another key, or under none, does not start.
    const int port = nginx_->port();
    for (const auto* bundle : {&b, &a}) {
        if (bundle == &a) {  // the cached agent now one of the unsigned bundle's
            nginx_ = std::make_unique<testsupport::Nginx>(www_.path(), "", port);
            serve("2", 1700000500);
            ASSERT_EQ(run(plain).exitStatus, 0);
        }
        nginx_.reset();
        r = run(*bundle);
        EXPECT_EQ(r.exitStatus, 255) << r.err;
        EXPECT_EQ(r.err.find("Could not reach the server"), std::string::npos) << r.err;
    }
    EXPECT_EQ(agentRuns(), 3);
}

TEST_F(Signatures, WhatAnEarlierAttemptOrRunLeftIsVerifiedBeforeItIsExtracted) {
    const std::string archive = testsupport::readFile(www_ / "agent.zip");
    sign(www_ / "agent.zip", "b");
    const std::string otherKeys = testsupport::readFile(www_ / "agent.zip.minisig");
    sign(www_ / "agent.zip");
    const std::string good = testsupport::readFile(www_ / "agent.zip.minisig");
    serve("2");  // what the server has once the first answer broke off
    sign(www_ / "agent.zip");
    const std::string archive2 = testsupport::readFile(www_ / "agent.zip"),
                      good2 = testsupport::readFile(www_ / "agent.zip.minisig");
    struct Row {
        std::string name;
        bool leftWhole, dropFirst;  // by an earlier run; the first answer broken off
        std::string signature;
        int exit, requests;
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"a whole archive confirmed by a 304", true, false, good, 0, 2},
        {"the same with another key's signature", true, false, otherKeys, 255, 3},
        {"a new archive, whole, where a range was asked for: file and hash start over", false, true, good2, 0, 3},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::ScriptedServer server([&](const ScriptedRequest& q, int n) {
            if (q.path.ends_with(".minisig")) return testsupport::reply(200, {}, row.signature);
            auto reply = row.dropFirst && n > 1 ? testsupport::serveArchive(q, archive2, "\"v2\"")
                                                : testsupport::serveArchive(q, archive, "\"v1\"");
            // Late enough that the bytes kept differ from the new archive's.
            if (row.dropFirst && n == 1) reply.dropAfter = archive.size() * 9 / 10;
            return reply;
        });
        const auto b = keyed("a", "apps", server.url("/agent.zip"));
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
        if (row.exit != 0) {
            EXPECT_NE(r.err.find("signed with another key"), std::string::npos) << r.err;
        }
        testsupport::removeTree(dir_ / "apps");
        testsupport::removeTree(home_ + "/.tolvar");
    }
    EXPECT_EQ(agentRuns(), 2);
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
        if (name == "key")
            testsupport::writeFile(b.resources + "/installAgentKey.pub", "untrusted comment: k\nnot a key\n");
        const auto r = run(b);
        EXPECT_EQ(r.exitStatus, 255);
        EXPECT_TRUE(r.err.ends_with(text + " Do not run this installer; contact the vendor of the product.\n"
                                           "Failed to initialize the install agent.\nInstallation failed.\n"))
            << r.err;
        EXPECT_EQ(agentRuns(), 0);
        EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
    }
}

}  // namespace bi
