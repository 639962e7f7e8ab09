#include "agent/keyring.h"

#include <sys/stat.h>

#include <algorithm>

#include "agent/file_hasher.h"
#include "host/files.h"

namespace bi {

bool Keyring::isRetired(const KeyId& id) const {
    return std::find(retired.begin(), retired.end(), keyIdText(id)) != retired.end();
}

const PublicKey* Keyring::find(const KeyId& id) const {
    if (isRetired(id)) return nullptr;
    const auto found = std::find_if(keys.begin(), keys.end(), [&](const PublicKey& key) { return key.id == id; });
    return found == keys.end() ? nullptr : &*found;
}

namespace {

// `verify` with the key the signature names, or why there is none to verify with.
SignatureCheck withNamedKey(const Keyring& keyring, const std::string& signature,
                            const std::function<SignatureCheck(const PublicKey&)>& verify) {
    const auto id = signatureKeyId(signature);
    if (!id) return {};
    const PublicKey* key = keyring.find(*id);
    if (key == nullptr) {
        return {keyring.isRetired(*id) ? SignatureStatus::Retired : SignatureStatus::OtherKey, keyIdText(*id), ""};
    }
    return verify(*key);
}

}  // namespace

SignatureCheck verifySigned(const Keyring& keyring, const std::string& signature, const std::string& archive,
                            const std::string& name, const std::function<std::optional<Blake2bDigest>()>& digest) {
    return withNamedKey(keyring, signature,
                        [&](const PublicKey& key) { return verifySignature(key, signature, archive, name, digest); });
}

SignatureCheck verifySignedAhead(const Keyring& keyring, const std::string& signature, const std::string& name) {
    return withNamedKey(keyring, signature, [&](const PublicKey& key) { return verifyAhead(key, signature, name); });
}

SignatureCheck verifyArchiveFile(const Keyring& keyring, const std::string& path, std::string name) {
    const auto signature = readSmallFile(path + ".minisig");
    if (!signature) return {SignatureStatus::Missing, "", ""};
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    if (name.empty()) name = path.substr(path.find_last_of('/') + 1);
    return verifySigned(keyring, *signature, path, name, [&] { return FileHasher(path).digest(st.st_size); });
}

}  // namespace bi
