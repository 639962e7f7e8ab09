#include "driver/sourcing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <optional>

#include "agent/cache.h"
#include "agent/extract.h"
#include "download/download_entry.h"
#include "host/constants.h"
#include "host/locations.h"
#include "platform/signal_watch.h"

namespace {

bool exists(const std::string& path) {
    struct stat st{};
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

std::string extractAgent(const std::string& archive, const std::string& destination, ReportMessageCallback report) {
    const std::string executable = getInstallAgentExecutable(destination);
    // Ctrl-C, SIGTERM or SIGHUP end the extraction, so the run can still clean up after itself.
    std::atomic<bool> interrupted{false};
    const platform::SignalWatch watch([&] { interrupted = true; });
    // An archive without "install" would leave sh nothing to run while the run reports success.
    if (!unzipInstallAgent(archive, destination, "unzip", report, [&] { return interrupted.load(); }) ||
        !holdsInstallAgent(destination)) {
        report("Failed to initialize the install agent.", true);
        return "";
    }
    return executable;
}

}  // namespace

std::string sourceInstallAgent(std::string workDir, std::string url, ReportMessageCallback report) {
    const std::string defaultLocation = getDefaultInstallAgentLocation();
    if (exists(defaultLocation)) return extractAgent(defaultLocation, workDir, report);
    if (const auto alternative = findAlternativeArchive(defaultLocation)) {
        return extractAgent(*alternative, workDir, report);
    }

    const std::string agentDir = getInstallAgentCacheDir() + INSTALL_AGENT_DIR_NAME;
    mkpath(agentDir, 0700);
    const std::string destination = workDir + PATH_SEPARATOR + INSTALL_AGENT_ZIP;
    if (!downloadInstallAgentFromQV(destination.c_str(), url.c_str(), report)) return "";
    if (const std::string cached = installAgentDirOnDisk(); !cached.empty()) {
        return getInstallAgentExecutable(cached);
    }
    return extractAgent(destination, agentDir, report);
}
