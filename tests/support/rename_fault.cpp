// Preloaded into the installer by tests: rename(2) of a path that contains $BI_FAULT_RENAME
// fails with EIO, or kills the process when $BI_FAULT_ACTION is "kill", so that a test can
// stop the cache's swap exactly there (as root, permissions cannot make it fail).
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" int rename(const char* from, const char* to) {
    using Rename = int (*)(const char*, const char*);
    static const Rename real = reinterpret_cast<Rename>(::dlsym(RTLD_NEXT, "rename"));
    const char* match = std::getenv("BI_FAULT_RENAME");
    if (match != nullptr && *match != '\0' && std::strstr(from, match) != nullptr) {
        const char* action = std::getenv("BI_FAULT_ACTION");
        if (action != nullptr && std::strcmp(action, "kill") == 0) ::kill(::getpid(), SIGKILL);
        errno = EIO;
        return -1;
    }
    return real(from, to);
}
