#include "agent/launch.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "host/constants.h"

// Weak, so that it is read through the GOT from libc's own: linked against the stubs of old
// glibc, a copy of it in the program would never see the environment libc sets up.
extern char** environ __attribute__((weak));

namespace bi {

std::optional<std::string> launchAgent(const std::string& agent, const std::string& bundleLocation, int argc,
                                       const char* const argv[]) {
    // A relative HOME or TMPDIR may start the path with "-", which sh would take for options.
    const std::string script = agent.starts_with("-") ? "./" + agent : agent;
    const std::string bundleZip = bundleLocation + PATH_SEPARATOR + PRODUCT_ARCHIVE_FILE;
    std::vector<const char*> args = {"sh", script.c_str(), "-installbundle", bundleZip.c_str()};
    args.insert(args.end(), argv + std::min(argc, 1), argv + argc);
    args.push_back(nullptr);

    // As system(3) does: while the agent runs, Ctrl-C and Ctrl-\ are its to act on, and it gets
    // them as the installer got them.
    struct sigaction ignore {};
    struct sigaction oldInt {};
    struct sigaction oldQuit {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGINT, &ignore, &oldInt);
    ::sigaction(SIGQUIT, &ignore, &oldQuit);
    sigset_t defaults;
    sigemptyset(&defaults);
    if (oldInt.sa_handler != SIG_IGN) sigaddset(&defaults, SIGINT);
    if (oldQuit.sa_handler != SIG_IGN) sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

    // The spawn reports a failed execve (sh not found, E2BIG) as its own error.
    pid_t pid = -1;
    const int error = ::posix_spawnp(&pid, "sh", nullptr, &attr, const_cast<char* const*>(args.data()), environ);
    posix_spawnattr_destroy(&attr);
    int status = 0;
    while (error == 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGQUIT, &oldQuit, nullptr);
    if (error != 0) return std::string("sh: ") + std::strerror(error);
    return std::nullopt;
}

}  // namespace bi
