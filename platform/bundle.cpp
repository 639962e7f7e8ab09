#include "platform/bundle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace bi::platform {
namespace {

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<std::string> executablePath() {
    // Read once: the program's path does not change while it runs.
    static const std::optional<std::string> path = []() -> std::optional<std::string> {
        std::string buf(4096, '\0');
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return std::nullopt;
        buf.resize(static_cast<size_t>(n));
        return buf;
    }();
    return path;
}

Bundle bundleForExecutable(const std::string& exePath) {
    const std::string exeDir = parentOf(exePath);
    const std::string contents = parentOf(exeDir);
    if (lastComponent(exeDir) == "MacOS" && lastComponent(contents) == "Contents") {
        Bundle b{parentOf(contents), ""};
        const std::string resources = contents + "/Resources";
        if (isDirectory(resources)) b.resourceDir = resources;
        return b;
    }
    return Bundle{exeDir, exeDir};
}

std::optional<Bundle> runningBundle() {
    const auto exe = executablePath();
    if (!exe) return std::nullopt;
    return bundleForExecutable(*exe);
}

std::optional<std::string> temporaryDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    if (tmp == nullptr || *tmp == '\0') return std::nullopt;
    return std::string(tmp);
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    std::string joined = dir;
    while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
    if (joined != "/") joined += '/';
    return joined + name;
}

}  // namespace bi::platform
