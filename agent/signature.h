// Install agents signed by their vendor, in minisign's format (Ed25519): the bundle's public
// key, the archive's detached ".minisig" signature, and the checks that fail closed, one
// named reason per check.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bi {

using Blake2bDigest = std::array<unsigned char, 64>;
using KeyId = std::array<unsigned char, 8>;

struct PublicKey {
    KeyId id{};
    std::array<unsigned char, 32> key{};
};

// A minisign public key file: "untrusted comment: ..." and the key's base64; nullopt when
// the text is anything else.
std::optional<PublicKey> parsePublicKey(const std::string& text);

// A key id as minisign shows it: 16 hex digits, most significant first.
std::string keyIdText(const std::array<unsigned char, 8>& id);

// A key's line of a public key file (the base64 of "Ed", the id and the key); nullopt when
// it is anything else.
std::optional<PublicKey> parseKeyLine(const std::string& line);

// A file of one or more public keys, each its "untrusted comment:" line and its key line as
// minisign writes them, blank lines between; nullopt when anything else is in it.
std::optional<std::vector<PublicKey>> parsePublicKeys(const std::string& text);

enum class BundleKeyState { Absent, Present, Damaged };
struct BundleKey {
    BundleKeyState state = BundleKeyState::Absent;
    std::vector<PublicKey> keys;  // in the file's order
    // The bundle's identity in the cache: its keys' ids joined by "+" (one key: its id alone,
    // as before), "" without a key.
    std::string idText() const;
};
// The key file at path: absent when there is no file; damaged when it cannot be read or
// holds anything but keys.
BundleKey loadBundleKey(const std::string& path);

// The bundle's own key, in its resource directory.
BundleKey loadBundleKey();

enum class SignatureStatus {
    Valid,
    Missing,
    OtherKey,
    Invalid,
    OtherFile,
    Rollback,
    DamagedKey,
    Retired,            // signed by a key a statement retired
    BelowFloor,         // signed before the time the bundle was made with
    Expired,            // past its trusted comment's "expires:"
    CachedExpired,      // the cached agent is past its expiry, and the server cannot be reached
    StatementInvalid,   // a key statement unsigned, damaged, signed by a key not trusted, or stale
    StatementReadmits,  // a key statement would trust a retired key again
    ChainTooLong,       // more key statements to follow than a run takes
};

struct SignatureCheck {
    SignatureStatus status = SignatureStatus::Invalid;
    std::string keyId;           // the key the signature names, once it could be read
    std::string trustedComment;  // once the signature is Valid
};

// Checks `signature` (a .minisig file's text) of the archive named `name` at `archive`:
// the key id, the signature (over BLAKE2b-512 of the archive, from `digest`, or over the
// whole archive for the legacy algorithm), the global signature over the trusted comment,
// and that a trusted comment naming a file ("file:<name>") names this archive.
SignatureCheck verifySignature(const PublicKey& key, const std::string& signature, const std::string& archive,
                               const std::string& name, const std::function<std::optional<Blake2bDigest>()>& digest);

// What can be checked of an archive's signature before the archive has come: the key id, the
// global signature over the trusted comment and the file it names. The signature over the
// archive itself is left to verifySignature once it is here.
SignatureCheck verifyAhead(const PublicKey& key, const std::string& signature, const std::string& name);

// Checks `signature` over `message` (a key statement's text) with key: key id, signature,
// global signature; a trusted comment's "file:" is not looked at.
SignatureCheck verifyMessage(const PublicKey& key, const std::string& signature, const std::string& message);

// Checks only the key id and the global signature, so that the trusted comment is known to be
// the key holder's whatever file was signed: for reading a signing time without the archive.
SignatureCheck verifyTrustedComment(const PublicKey& key, const std::string& signature);

// The key id a signature file names; nullopt when it cannot be read.
std::optional<KeyId> signatureKeyId(const std::string& signature);

// The trusted comment of a signature file, unverified ("" when there is none).
std::string unverifiedTrustedComment(const std::string& signature);

// The value of a trusted comment's field "name:value"; fields are separated by tabs as
// minisign writes them or, in a comment without a tab, by spaces as a vendor types them.
std::optional<std::string> commentField(const std::string& comment, const std::string& name);

// A time field ("timestamp", "expires") of a trusted comment: seconds since the epoch;
// nullopt when it is missing or not a number.
std::optional<int64_t> commentTime(const std::string& comment, const std::string& name);

// The URL of an archive's signature: ".minisig" appended to its path, before any query.
std::string signatureUrlOf(const std::string& url);

// Whether a signature whose trusted comment is `newer` was made before `cached`'s: both
// must carry minisign's "timestamp:<seconds>".
bool isRollback(const std::string& newer, const std::string& cached);

// The trusted comment for a log line: its tab-separated fields joined by ", ", and minisign's
// "timestamp:<seconds>" followed by the date it stands for.
std::string readableTrustedComment(const std::string& comment);

}  // namespace bi
