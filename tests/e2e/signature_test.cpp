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
public:
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

struct ClosedRow {
    std::string name;
    std::function<void(Signatures&, const std::string& archive)> setUp;
    std::string text;
};

class FailsClosed : public Signatures, public ::testing::WithParamInterface<ClosedRow> {};

TEST_P(FailsClosed, AndLeavesNothing) {
    serve("bad");
    GetParam().setUp(*this, www_ / "agent.zip");
    auto b = keyed();
    if (GetParam().name == "a damaged key")
        testsupport::writeFile(b.resources + "/installAgentKey.pub", "untrusted comment: x\nRWQ=\n");
    const auto r = run(b);
    expectFailed(r, {GetParam().text});
    EXPECT_FALSE(cachedAgent());
    if (GetParam().name == "another key") {
        EXPECT_NE(r.err.find("(expected key "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(", found key "), std::string::npos) << r.err;
    }
}

namespace {

// Signed, then one byte of the archive flipped, its time (nginx's tag) kept.
void flipped(Signatures& test, const std::string& archive) {
    test.sign(archive);
    std::string bytes = testsupport::readFile(archive);
    bytes[bytes.size() / 2] ^= 1;
    testsupport::writeFile(archive, bytes);
    struct utimbuf same {
        1700000000, 1700000000
    };
    ::utime(archive.c_str(), &same);
}

}  // namespace

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, FailsClosed, ::testing::Values(
    ClosedRow{"one flipped byte", flipped, "The installer archive's signature is not valid."},
    ClosedRow{"the signature of another file", [](Signatures& test, const std::string& archive) {
                  testsupport::writeFile(test.www_ / "other.zip", testsupport::readFile(archive));
                  test.sign(test.www_ / "other.zip");
                  ::rename((test.www_ / "other.zip.minisig").c_str(), (archive + ".minisig").c_str());
              }, "The installer archive's signature is for another file."},
    ClosedRow{"another key", [](Signatures& test, const std::string& archive) { test.sign(archive, "b"); },
              "The installer archive is signed with another key."},
    ClosedRow{"no signature", [](Signatures&, const std::string&) {}, "The installer archive is not signed."},
    ClosedRow{"a damaged key", [](Signatures& test, const std::string& archive) { test.sign(archive); },
              "The installer's signing key is damaged."}), RowName());
// clang-format on

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

struct LeftRow {
    std::string name;
    bool leftWhole, dropFirst;  // by an earlier run; the first answer broken off
    std::string key;            // that signed what the server sends as the signature
    int exit, requests;
};

class WhatWasLeft : public Signatures, public ::testing::WithParamInterface<LeftRow> {};

TEST_P(WhatWasLeft, IsVerifiedBeforeItIsExtracted) {
    const auto& row = GetParam();
    const std::string archive = testsupport::readFile(www_ / "agent.zip");
    sign(www_ / "agent.zip", row.key);
    std::string signature = testsupport::readFile(www_ / "agent.zip.minisig");
    serve("2");  // what the server has once the first answer broke off
    sign(www_ / "agent.zip");
    const std::string archive2 = testsupport::readFile(www_ / "agent.zip");
    if (row.dropFirst) signature = testsupport::readFile(www_ / "agent.zip.minisig");
    testsupport::ScriptedServer server([&](const ScriptedRequest& q, int n) {
        if (q.path.ends_with(".minisig")) return testsupport::reply(200, {}, signature);
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
    EXPECT_EQ(agentRuns(), row.exit == 0 ? 1 : 0);
    EXPECT_EQ(r.err.find("signed with another key") != std::string::npos, row.exit != 0) << r.err;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, WhatWasLeft, ::testing::Values(
    LeftRow{"a whole archive confirmed by a 304", true, false, "a", 0, 2},
    LeftRow{"the same with another key's signature", true, false, "b", 255, 3},
    LeftRow{"a new archive sent whole to a Range: file and hash start over", false, true, "a", 0, 3}), RowName());
// clang-format on

}  // namespace bi
