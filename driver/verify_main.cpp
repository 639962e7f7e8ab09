// bootstrap-installer-verify: the vendor's check, with the installer's own code, that keys,
// a signed archive and key statements are what the installer will accept. The bundle tool
// runs it.
//
//   bootstrap-installer-verify KEYS.pub            are these minisign public keys? (their ids)
//   bootstrap-installer-verify KEYS.pub ARCHIVE.zip [NAME]
//                                  does ARCHIVE.zip.minisig verify with one of them, for an
//                                  archive shipped under NAME (by default its own file name),
//                                  and has it not expired? (a warning when it expires within
//                                  30 days)
//   bootstrap-installer-verify --statement KEYS.pub FILE.keys
//                                  do the key statements verify for a bundle with KEYS.pub,
//                                  and what do they change?
//   bootstrap-installer-verify --signed-time KEYS.pub FILE.minisig
//                                  the signing time of a signature by one of the keys
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "agent/key_statement.h"
#include "agent/keyring.h"
#include "download/failure.h"
#include "download/fetch_plan.h"
#include "host/files.h"
#include "ui/words.h"

namespace {

// What a refused signature means, in the installer's own English words.
const char* sentenceOf(bi::SignatureStatus status) { return bi::ui::refusalSentence(bi::refusalOf(status)); }

using namespace bi;

int usage(const char* me) {
    std::fprintf(stderr,
                 "usage: %s KEYS.pub [ARCHIVE.zip [NAME]]\n       %s --statement KEYS.pub FILE.keys\n"
                 "       %s --signed-time KEYS.pub FILE.minisig\n",
                 me, me, me);
    return 2;
}

int statement(const BundleKey& key, const char* path) {
    const auto text = readSmallFile(path, static_cast<size_t>(kLongestStatements));
    TrustState trust;
    const StatementOutcome outcome = takeKeyStatements(text.value_or(""), key.keys, trust);
    if (outcome.status != SignatureStatus::Valid) {
        std::fprintf(stderr, "%s: %s (%s)\n", path, sentenceOf(outcome.status),
                     text ? outcome.why.c_str() : "missing, or longer than a statement may be");
        return 1;
    }
    for (const auto& taken : outcome.taken) {
        std::printf("statement of %s, signed by key %s\n",
                    readableTrustedComment("timestamp:" + std::to_string(taken.time)).c_str(), taken.signer.c_str());
        for (const auto& line : taken.added)
            std::printf("  trusts key %s\n", keyIdText(parseKeyLine(line)->id).c_str());
        for (const auto& id : taken.retired) std::printf("  retires key %s\n", id.c_str());
    }
    if (outcome.passedOver > 0) {
        std::printf("%d statement(s) passed over: no newer than the one before\n", outcome.passedOver);
    }
    std::printf("keys trusted after it:");
    const Keyring keyring = keyringOf(key.keys, trust);
    for (const auto& k : keyring.keys) {
        if (!keyring.isRetired(k.id)) std::printf(" %s", keyIdText(k.id).c_str());
    }
    std::printf("\n");
    return 0;
}

// "2026-06-01 12:00:00 UTC"
std::string utcDate(int64_t seconds) {
    const auto t = static_cast<time_t>(seconds);
    tm utc{};
    char date[40] = "";
    if (::gmtime_r(&t, &utc) != nullptr) std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return date;
}

// An archive past its trusted comment's "expires:" is refused, as the installer refuses it; one
// that expires within 30 days is shipped with a warning, for users who run the bundle later.
int judgeExpiry(const char* archive, const std::string& trustedComment) {
    const auto now = static_cast<int64_t>(std::time(nullptr));
    const auto expires = commentTime(trustedComment, "expires");
    if (hasExpired(trustedComment, now)) {
        std::fprintf(stderr, "%s: %s (%s; sign it again with a later expires:)\n", archive,
                     sentenceOf(SignatureStatus::Expired),
                     expires ? ("expired " + utcDate(*expires)).c_str() : "its expires: is not a time");
        return 1;
    }
    if (expires && *expires - now < int64_t{30} * 24 * 60 * 60) {
        std::fprintf(stderr, "%s: warning: its signature expires within 30 days, on %s; sign it again before then\n",
                     archive, utcDate(*expires).c_str());
    }
    return 0;
}

int signedTime(const BundleKey& key, const char* path) {
    const std::string signature = readSmallFile(path).value_or("");
    const auto id = signatureKeyId(signature);
    const Keyring keyring{key.keys, {}};
    const PublicKey* signer = id ? keyring.find(*id) : nullptr;
    if (signer == nullptr) {
        std::fprintf(stderr, "%s: %s\n", path, sentenceOf(id ? SignatureStatus::OtherKey : SignatureStatus::Invalid));
        return 1;
    }
    const SignatureCheck check = verifyTrustedComment(*signer, signature);
    const auto time = commentTime(check.trustedComment, "timestamp");
    if (check.status != SignatureStatus::Valid || !time) {
        std::fprintf(stderr, "%s: %s\n", path,
                     check.status != SignatureStatus::Valid ? sentenceOf(check.status) : "no timestamp");
        return 1;
    }
    std::printf("%lld\n", static_cast<long long>(*time));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const bool twoFiles = mode == "--statement" || mode == "--signed-time";
    if (argc < 2 || argc > 4 || (twoFiles && argc != 4) || (!twoFiles && mode.starts_with("-"))) return usage(argv[0]);
    const char* keys = twoFiles ? argv[2] : argv[1];
    const BundleKey key = loadBundleKey(keys);
    if (key.state != BundleKeyState::Present) {
        std::fprintf(stderr, "%s: not a minisign public key\n", keys);
        return 1;
    }
    if (mode == "--statement") return statement(key, argv[3]);
    if (mode == "--signed-time") return signedTime(key, argv[3]);
    if (argc == 2) {
        for (const auto& k : key.keys) std::printf("key %s\n", keyIdText(k.id).c_str());
        return 0;
    }
    const SignatureCheck check = verifyArchiveFile(Keyring{key.keys, {}}, argv[2], argc == 4 ? argv[3] : "");
    if (check.status != SignatureStatus::Valid) {
        std::fprintf(stderr, "%s: %s\n", argv[2], sentenceOf(check.status));
        return 1;
    }
    if (judgeExpiry(argv[2], check.trustedComment) != 0) return 1;
    std::printf("%s: signed by key %s: %s\n", argv[2], check.keyId.c_str(), check.trustedComment.c_str());
    return 0;
}
