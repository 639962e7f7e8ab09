// Install agents signed by their vendor, in minisign's format (Ed25519): the bundle's public
// key, the archive's detached ".minisig" signature, and the checks that fail closed, one
// named reason per check.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace bi {

using Blake2bDigest = std::array<unsigned char, 64>;

struct PublicKey {
    std::array<unsigned char, 8> id{};
    std::array<unsigned char, 32> key{};
};

// A minisign public key file: "untrusted comment: ..." and the key's base64; nullopt when
// the text is anything else.
std::optional<PublicKey> parsePublicKey(const std::string& text);

// A key id as minisign shows it: 16 hex digits, most significant first.
std::string keyIdText(const std::array<unsigned char, 8>& id);

enum class BundleKeyState { Absent, Present, Damaged };
struct BundleKey {
    BundleKeyState state = BundleKeyState::Absent;
    PublicKey key;
    std::string idText() const { return state == BundleKeyState::Present ? keyIdText(key.id) : ""; }
};
// The key file at path: absent when there is no file; damaged when it cannot be read or is
// not a key.
BundleKey loadBundleKey(const std::string& path);

// The bundle's own key, in its resource directory.
BundleKey loadBundleKey();

enum class SignatureStatus { Valid, Missing, OtherKey, Invalid, OtherFile, Rollback, DamagedKey };

// What the window and standard error say about a status other than Valid.
const char* signatureFailureText(SignatureStatus status);

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

// Checks the archive at path against its signature file beside it ("<path>.minisig"), as
// shipped in a bundle under `name` (by default its own file name).
SignatureCheck verifyArchiveFile(const BundleKey& key, const std::string& path, std::string name = "");

// The archive's name that a signature must carry: the last segment of the URL's path, as
// the bundle gives it.
std::string archiveNameOfUrl(const std::string& url);

// The URL of an archive's signature: ".minisig" appended to its path, before any query.
std::string signatureUrlOf(const std::string& url);

// Whether a signature whose trusted comment is `newer` was made before `cached`'s: both
// must carry minisign's "timestamp:<seconds>".
bool isRollback(const std::string& newer, const std::string& cached);

// The trusted comment for a log line: its tab-separated fields joined by ", ", and minisign's
// "timestamp:<seconds>" followed by the date it stands for.
std::string readableTrustedComment(const std::string& comment);

}  // namespace bi
