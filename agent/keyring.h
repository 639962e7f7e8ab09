// The keys a run trusts: the bundle's, and those key statements introduced since, less the
// ones they retired. A signature is checked against the key its key id names.
#pragma once

#include <string>
#include <vector>

#include "agent/signature.h"

namespace bi {

struct Keyring {
    std::vector<PublicKey> keys;       // the bundle's first, then those statements introduced
    std::vector<std::string> retired;  // key ids, as keyIdText writes them

    bool isRetired(const KeyId& id) const;
    // The key with this id, unless it is retired; nullptr when there is none.
    const PublicKey* find(const KeyId& id) const;
};

// Checks `signature` with the key it names: Retired for a retired key, OtherKey (with the
// key id) for one the keyring does not hold, and otherwise as verifySignature does.
SignatureCheck verifySigned(const Keyring& keyring, const std::string& signature, const std::string& archive,
                            const std::string& name, const std::function<std::optional<Blake2bDigest>()>& digest);

// The same before the archive has come (verifyAhead).
SignatureCheck verifySignedAhead(const Keyring& keyring, const std::string& signature, const std::string& name);

// Checks the archive at path against its signature file beside it ("<path>.minisig"), as
// shipped in a bundle under `name` (by default its own file name).
SignatureCheck verifyArchiveFile(const Keyring& keyring, const std::string& path, std::string name = "");

}  // namespace bi
