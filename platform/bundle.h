// The main bundle: where the running program and the files shipped with it lie.
//
// An executable at <B>/Contents/MacOS/<name> belongs to the bundle <B>, whose resource
// directory is <B>/Contents/Resources when that directory exists. Any other executable's
// bundle is the directory that holds it, which is also its resource directory.
#pragma once

#include <optional>
#include <string>

namespace bi::platform {

struct Bundle {
    std::string bundleDir;    // the bundle's own directory
    std::string resourceDir;  // empty when the bundle has no resource directory
};

// The path of the running program, from /proc/self/exe, read once; nullopt when it cannot be read.
std::optional<std::string> executablePath();

// The bundle of the running program; nullopt only when its path cannot be read.
std::optional<Bundle> runningBundle();

// The bundle that an executable at `exePath` belongs to.
Bundle bundleForExecutable(const std::string& exePath);

// The user's temporary directory: TMPDIR when set and not empty, else nullopt.
std::optional<std::string> temporaryDirectory();

// Joins a directory and one name with exactly one "/" between them.
std::string joinPath(const std::string& dir, const std::string& name);

}  // namespace bi::platform
