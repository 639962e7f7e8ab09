#include "agent/trust_store.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "agent/cache.h"
#include "host/constants.h"
#include "host/files.h"
#include "host/locations.h"

namespace bi {

namespace {

const std::string kFirstLine = "bootstrap-installer trust 1";

}  // namespace

std::string trustStatePath(const std::string& bundleId) { return getInstallAgentCacheDir() + ".trust-" + bundleId; }

TrustState readTrustState(const std::string& path) {
    std::istringstream in(readSmallFile(path, 1 << 20).value_or(""));
    std::string line;
    TrustState state;
    if (!std::getline(in, line) || line != kFirstLine) return state;
    while (std::getline(in, line)) {
        const auto space = line.find(' ');
        const std::string name = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (name == "key") state.learned.push_back(value);
        if (name == "retired") state.retired.push_back(value);
        if (name == "statement") state.newestStatement = std::strtoll(value.c_str(), nullptr, 10);
        if (const auto gap = value.find(' '); name == "signed" && gap != std::string::npos) {
            state.newestSigned[value.substr(gap + 1)] = std::strtoll(value.substr(0, gap).c_str(), nullptr, 10);
        }
    }
    return state;
}

bool writeTrustState(const std::string& path, const TrustState& state, bool durable) {
    std::string text = kFirstLine + "\nstatement " + std::to_string(state.newestStatement) + "\n";
    for (const auto& key : state.learned) text += "key " + key + "\n";
    for (const auto& id : state.retired) text += "retired " + id + "\n";
    for (const auto& [url, time] : state.newestSigned) {
        if (url.find('\n') != std::string::npos) return false;
        text += "signed " + std::to_string(time) + " " + url + "\n";
    }
    return writeFileWhole(path, text, durable);
}

Keyring keyringOf(const std::vector<PublicKey>& bundleKeys, const TrustState& state) {
    Keyring keyring{bundleKeys, state.retired};
    for (const auto& line : state.learned) {
        if (const auto key = parseKeyLine(line)) keyring.keys.push_back(*key);
    }
    return keyring;
}

BundleFloor loadBundleFloor(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return {};
    std::string text = readSmallFile(path, 64).value_or("");
    text = text.substr(0, text.find('\n'));
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return {true, {}};
    return {false, std::strtoll(text.c_str(), nullptr, 10)};
}

BundleFloor loadBundleFloor() {
    return loadBundleFloor(getBundleLocation() + PATH_SEPARATOR + INSTALL_AGENT_FLOOR_FILE);
}

}  // namespace bi
