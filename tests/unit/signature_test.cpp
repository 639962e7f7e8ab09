// Keys and signatures made by the real minisign at test time.
#include "agent/keyring.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support.h"

using namespace bi;

using Lines = std::vector<std::string>;

static Lines linesOf(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The base64 text with its character at `at` changed, and so the byte under it.
static std::string changed(std::string base64, size_t at, char to = 'A') {
    return base64.replace(at, 1, 1, base64.at(at) == to ? 'B' : to);
}

class Signature : public testing::Test {
protected:
    bool minisign(Lines args) {  // run in the scratch directory
        return testsupport::runProcess((args.insert(args.begin(), "/usr/bin/minisign"), args), {.cwd = dir_.path()})
                   .exitStatus == 0;
    }
    void SetUp() override {
        ASSERT_TRUE(minisign({"-G", "-W", "-p", "a.pub", "-s", "a.key"}) &&
                    minisign({"-G", "-W", "-p", "b.pub", "-s", "b.key"}));
    }
    testsupport::ScratchDir dir_;
};

TEST_F(Signature, KeysAreReadAsMinisignWritesThemAndNothingElse) {
    const auto pub = linesOf(testsupport::readFile(dir_ / "a.pub"));
    ASSERT_EQ(pub.size(), 2u);
    const std::string good[] = {pub[0] + "\n" + pub[1] + "\n", pub[0] + "\r\n" + pub[1] + "\r\n\n\n",
                                pub[0] + "\n" + pub[1]};
    const std::string bad[] = {pub[1] + "\n",
                               "trusted comment: x\n" + pub[1],
                               pub[0] + "\n" + pub[1] + "\nmore",
                               pub[0] + "\n" + pub[1].substr(1),
                               pub[0] + "\n" + pub[1] + "AA==",
                               pub[0] + "\n" + changed(pub[1], 1, 'U')};  // "ED", a signature's algorithm
    for (const auto& text : good) {  // the id minisign names it by, which it writes without leading zeros
        EXPECT_EQ(std::stoull(keyIdText(parsePublicKey(text).value_or(PublicKey{}).id), nullptr, 16),
                  std::stoull(pub[0].substr(39), nullptr, 16))
            << text;
    }
    for (const auto& text : bad) EXPECT_FALSE(parsePublicKey(text)) << text;
    // Only base64's own bytes: libsodium's decoder takes any byte above 0x7f for '/'.
    std::string slashes = "untrusted comment: x\nRWT" + std::string(53, '/');
    EXPECT_TRUE(parsePublicKey(slashes));
    EXPECT_FALSE(parsePublicKey(slashes.replace(30, 1, "\xaf")));
}

// A signature's lines: 0 untrusted comment, 1 algorithm, key id and signature, 2 trusted
// comment, 3 the global signature over the signature and the trusted comment.
TEST_F(Signature, OnlyTheArchiveSignedWithTheBundlesKeyUnderItsOwnNameIsValid) {
    using S = SignatureStatus;
    // clang-format off
    const struct {
        std::string what;
        std::function<void(std::string& archive, Lines& sig)> change;
        S status;
        Lines signing = {"a"};  // the key that signs, then minisign's options
        std::string name = "agent.zip", trusted = "timestamp:1700000000\tfile:agent.zip";
    } rows[] = {
        {"prehashed", {}, S::Valid}, {"legacy", {}, S::Valid, {"a", "-l"}}, {"another key", {}, S::OtherKey, {"b"}},
        {"a flipped archive byte", [](std::string& a, auto&) { a[777] ^= 4; }, S::Invalid},
        {"legacy, a flipped archive byte", [](std::string& a, auto&) { a[0] ^= 1; }, S::Invalid, {"a", "-l"}},
        {"a changed signature", [](auto&, Lines& s) { s[1] = changed(s[1], 40); }, S::Invalid},
        {"a changed global signature", [](auto&, Lines& s) { s[3] = changed(s[3], 0); }, S::Invalid},
        {"another trusted comment", [](auto&, Lines& s) { s[2] = "trusted comment: timestamp:1800000000\tfile:agent.zip"; }, S::Invalid},
        {"prehashed read as legacy", [](auto&, Lines& s) { s[1] = changed(s[1], 1, 'W'); }, S::Invalid},
        {"an unknown algorithm", [](auto&, Lines& s) { s[1] = changed(s[1], 0, 'S'); }, S::Invalid},
        {"another file's name", {}, S::OtherFile, {"a"}, "other.zip"}, {"a longer name", {}, S::OtherFile, {"a"}, "agent.zip.old"},
        {"a percent-encoded name", {}, S::Valid, {"a"}, "my%20agent.zip", "timestamp:1\tfile:my agent.zip"},
        {"no file field", {}, S::Valid, {"a"}, "any.zip", "timestamp:1"},
    };
    // clang-format on
    const std::string archive(100000, 'z');
    const BundleKey key = loadBundleKey(dir_ / "a.pub");
    for (const auto& r : rows) {
        testsupport::writeFile(dir_ / "agent.zip", archive);
        Lines args = {"-S", "-s", r.signing[0] + ".key", "-m", "agent.zip", "-t", r.trusted};
        ASSERT_TRUE(minisign((args.insert(args.end(), r.signing.begin() + 1, r.signing.end()), args))) << r.what;
        std::string bytes = archive, text;
        auto sig = linesOf(testsupport::readFile(dir_ / "agent.zip.minisig"));
        ASSERT_EQ(sig.size(), 4u) << r.what;
        if (r.change) r.change(bytes, sig);
        for (const auto& line : sig) text += line + "\n";
        testsupport::writeFile(dir_ / "agent.zip", bytes), testsupport::writeFile(dir_ / "agent.zip.minisig", text);
        const auto check = verifyArchiveFile(Keyring{key.keys, {}}, dir_ / "agent.zip", r.name);
        EXPECT_EQ(check.status, r.status) << r.what << ": " << static_cast<int>(check.status);
        EXPECT_EQ(check.trustedComment, r.status == S::Valid ? r.trusted : "") << r.what;
        EXPECT_TRUE(r.status != S::Valid || check.keyId == key.idText()) << r.what << ": " << check.keyId;
    }
}
