// What the cache has learned for one bundle key, in a file of its own beside the agent
// (".trust-<bundle key>"), so that bundles with other keys never share it: the keys key
// statements introduced and retired, the newest statement taken, and the newest signing
// time of each URL's agent, which outlives the agent when products take turns in the cache.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "agent/keyring.h"

namespace bi {

struct TrustState {
    std::vector<std::string> learned;             // key lines, as a public key file holds them
    std::vector<std::string> retired;             // key ids
    int64_t newestStatement = 0;                  // the timestamp of the newest statement taken
    std::map<std::string, int64_t> newestSigned;  // per URL: the newest signing time verified
};

// The file of the bundle key `bundleId` (BundleKey::idText) in the cache.
std::string trustStatePath(const std::string& bundleId);

// An empty state when the file is missing or not ours: it only ever adds refusals and keys
// that a statement signed.
TrustState readTrustState(const std::string& path);
// Through a temporary file, renamed, and synced first when `durable`; false when a value holds
// a line feed or writing failed.
bool writeTrustState(const std::string& path, const TrustState& state, bool durable);

// The bundle's keys, then the learned ones, less the retired.
Keyring keyringOf(const std::vector<PublicKey>& bundleKeys, const TrustState& state);

// The bundle's floor: the signing time, in seconds since the epoch, on the first line of its
// file. No file, no floor; a file that holds anything else is damaged.
struct BundleFloor {
    bool damaged = false;
    std::optional<int64_t> time;
};
BundleFloor loadBundleFloor(const std::string& path);
BundleFloor loadBundleFloor();  // in the bundle's resource directory

}  // namespace bi
