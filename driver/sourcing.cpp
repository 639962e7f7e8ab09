#include "driver/sourcing.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string_view>

#include "agent/cache.h"
#include "agent/cache_fill.h"
#include "agent/extract.h"
#include "agent/signature.h"
#include "agent/trust_store.h"
#include "download/download_entry.h"
#include "download/fetch_plan.h"
#include "host/constants.h"
#include "host/files.h"
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
std::optional<Failure> refusedSignature(const std::string& archive, const Settings& settings) {
    const BundleKey key = loadBundleKey();
    if (key.state == BundleKeyState::Absent) return std::nullopt;
    const BundleFloor floor = loadBundleFloor();
    SignatureCheck check{SignatureStatus::DamagedKey, "", ""};
    if (key.state == BundleKeyState::Present && !floor.damaged) {
        // What this user's cache learned for the key: its retired keys are refused here too.
        TrustState trust;
        if (std::string why; isCacheTrusted(&why)) trust = readTrustState(trustStatePath(key.idText()));
        check = verifyArchiveFile(keyringOf(key.keys, trust), archive);
    }
    const TrustFacts facts{static_cast<int64_t>(std::time(nullptr)), floor.time, {}};
    if (auto failure = judgeShippedSignature(check, facts, archive)) {
        showFailure(*failure, settings);
        return failure;
    }
    platform::systemLog("Install agent signature verified: " + readableTrustedComment(check.trustedComment));
    return std::nullopt;
}

// The directory a person would free or change: TMPDIR, not the working directory made in it.
std::string parentOf(const std::string& dir) {
    const auto slash = dir.find_last_of('/', dir.size() > 1 ? dir.size() - 2 : 0);
    return slash == std::string::npos ? dir : slash == 0 ? "/" : dir.substr(0, slash);
}

SourcedAgent refuseExtraction(Failure failure, Reporter report, const Settings& settings, bool onConsole) {
    failure.shipped = true;
    showFailure(failure, settings, onConsole);
    report("Failed to initialize the install agent.", true);
    return {"", std::move(failure)};
}

SourcedAgent extractAgent(const std::string& archive, const std::string& destination, Reporter report,
                          const Settings& settings) {
    if (auto refused = refusedSignature(archive, settings)) {
        report("Failed to initialize the install agent.", true);
        return {"", std::move(refused)};
    }
    // What unzip will write must fit where it writes, often a small tmpfs.
    const int64_t needed = unpackedSize(archive);
    if (auto full = judgeRoom(needed, freeSpace(destination), parentOf(destination), archive)) {
        return refuseExtraction(*full->failure, report, settings, true);
    }
    // Ctrl-C, SIGTERM or SIGHUP end the extraction, so the run can still clean up after itself.
    std::atomic<bool> interrupted{false};
    const platform::SignalWatch watch([&] { interrupted = true; });
    const Unzipped unzipped =
        unzipInstallAgent(archive, destination, "unzip", report, [&] { return interrupted.load(); });
    // An archive without "install" would leave sh nothing to run while the run reports success.
    if (unzipped == Unzipped::Done && holdsInstallAgent(destination)) {
        return {getInstallAgentExecutable(destination), std::nullopt};
    }
    // A cancelled extraction has said so already.
    if (interrupted) return {"", Failure{Failure::Kind::Cancelled}};
    if (unzipped == Unzipped::DiskFull) {
        Failure full{Failure::Kind::NoSpace, parentOf(destination), archive};
        full.needed = needed;
        return refuseExtraction(full, report, settings, true);
    }
    return refuseExtraction(Failure{Failure::Kind::Extraction, archive}, report, settings, false);
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t end = 0; !dirs.empty(); dirs.remove_prefix(std::min(dirs.size(), end + 1))) {
        end = dirs.find(':');
        const std::string dir(dirs.substr(0, end));
        if (::access(((dir.empty() ? "." : dir) + "/" + program).c_str(), X_OK) == 0) return true;
        if (end == std::string_view::npos) break;
    }
    return false;
}

// What the run needs, checked before anything is fetched or extracted, so that a missing
// program does not show only after a long download.
std::optional<Failure> lacksWhatTheRunNeeds(bool download) {
    std::optional<Failure> lack;
    for (const char* program : {"unzip", "sh"}) {
        if (!lack && !onPath(program)) {
            const char* path = std::getenv("PATH");
            lack = Failure{Failure::Kind::NoProgram, path != nullptr ? path : "", program};
        }
    }
    if (lack || !download) return lack;
    // The cache lies under the home directory, which must not be created: a home that is not
    // there is a mistake, not a place to fill.
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0' && !exists(home)) return Failure{Failure::Kind::NoHome, home};
    const std::string cache = getInstallAgentCacheDir();
    // Judged before a directory is made in it; an untrusted cache is refused by the download
    // with its own words.
    if (std::string why; prepareCache(&why) && ::access(cache.c_str(), W_OK) != 0) {
        return Failure{Failure::Kind::CacheNotWritable, cache};
    }
    return std::nullopt;
}

}  // namespace

SourcedAgent sourceInstallAgent(const std::string& workDir, const std::string& url, Reporter report,
                                const Settings& settings) {
    const std::string defaultLocation = getDefaultInstallAgentLocation();
    std::optional<std::string> shipped;
    if (exists(defaultLocation)) {
        shipped = defaultLocation;
    } else {
        shipped = findAlternativeArchive(defaultLocation);
    }
    if (auto lack = lacksWhatTheRunNeeds(!shipped)) {
        showFailure(*lack, settings);
        return {"", std::move(lack)};
    }
    if (shipped) return extractAgent(*shipped, workDir, report, settings);

    RunResult result = downloadAgent(workDir, url, settings);
    if (auto* failure = std::get_if<Failure>(&result)) return {"", std::move(*failure)};
    return {getInstallAgentExecutable(std::get<AgentReady>(result).dir), std::nullopt};
}

}  // namespace bi
