#include "driver/sourcing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <optional>

#include "agent/cache.h"
#include "agent/extract.h"
#include "agent/signature.h"
#include "download/download_entry.h"
#include "host/constants.h"
#include "host/locations.h"
#include "platform/signal_watch.h"
#include "platform/system_log.h"

namespace bi {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool isAlternativeArchiveName(const std::string& name) {
    static const std::string prefix = "InstallAgent_";
    static const std::string suffix = ".zip";
    return name.size() >= prefix.size() + suffix.size() && name.starts_with(prefix) && name.ends_with(suffix);
}

// The first "InstallAgent_*.zip" that the listing of the default location's directory yields.
std::optional<std::string> findAlternativeArchive(const std::string& defaultLocation) {
    const auto sep = defaultLocation.find_last_of("/\\");
    const std::string dir = sep == std::string::npos ? defaultLocation : defaultLocation.substr(0, sep);
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) return std::nullopt;
    std::optional<std::string> found;
    while (const dirent* entry = ::readdir(listing)) {
        if (isAlternativeArchiveName(entry->d_name)) {
            found = dir + PATH_SEPARATOR + entry->d_name;
            break;
        }
    }
    ::closedir(listing);
    return found;
}

// With the bundle's key, no byte of an archive reaches unzip before its signature is checked.
bool isSignedAsRequired(const std::string& archive, Reporter report) {
    const BundleKey key = loadBundleKey();
    if (key.state == BundleKeyState::Absent) return true;
    const SignatureCheck check = verifyArchiveFile(key, archive);
    if (check.status != SignatureStatus::Valid) {
        report(signatureFailureText(check.status), true);
        return false;
    }
    platform::systemLog("Install agent signature verified: " + check.trustedComment);
    return true;
}

std::string extractAgent(const std::string& archive, const std::string& destination, Reporter report) {
    std::string executable = getInstallAgentExecutable(destination);
    // Ctrl-C, SIGTERM or SIGHUP end the extraction, so the run can still clean up after itself.
    std::atomic<bool> interrupted{false};
    const platform::SignalWatch watch([&] { interrupted = true; });
    // An archive without "install" would leave sh nothing to run while the run reports success.
    if (!isSignedAsRequired(archive, report) ||
        !unzipInstallAgent(archive, destination, "unzip", report, [&] { return interrupted.load(); }) ||
        !holdsInstallAgent(destination)) {
        // A cancelled extraction has said so already.
        if (!interrupted) report("Failed to initialize the install agent.", true);
        return "";
    }
    return executable;
}

// The cache lies under the home directory, which must not be created: a home that is not
// there is a mistake, not a place to fill.
bool homeExists(Reporter report) {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0' || exists(home)) return true;
    report("The home directory " + std::string(home) + " does not exist.", true);
    return false;
}

}  // namespace

std::string sourceInstallAgent(const std::string& workDir, const std::string& url, Reporter report) {
    const std::string defaultLocation = getDefaultInstallAgentLocation();
    if (exists(defaultLocation)) return extractAgent(defaultLocation, workDir, report);
    if (const auto alternative = findAlternativeArchive(defaultLocation)) {
        return extractAgent(*alternative, workDir, report);
    }

    if (!homeExists(report)) return "";
    mkpath(getInstallAgentCacheDir() + INSTALL_AGENT_DIR_NAME, 0700);
    const std::string destination = workDir + PATH_SEPARATOR + INSTALL_AGENT_ZIP;
    if (!downloadAgent(destination, url)) return "";
    if (const std::string cached = installAgentDirOnDisk(); !cached.empty()) {
        return getInstallAgentExecutable(cached);
    }
    report("Failed to initialize the install agent.", true);
    return "";
}

}  // namespace bi
