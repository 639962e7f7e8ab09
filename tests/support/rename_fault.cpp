// Preloaded into the installer by tests: rename(2) of a path that contains $BI_FAULT_RENAME
// (that ends with it, when it ends with "$") fails with EIO, or kills the process when
// $BI_FAULT_ACTION is "kill", so that a test can stop the cache's swap exactly there (as
// root, permissions cannot make it fail).
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
    const size_t length = match != nullptr ? std::strlen(match) : 0, fromLength = std::strlen(from);
    const bool atEnd = length > 0 && match[length - 1] == '$';
    if (length > 0 &&
        (atEnd ? fromLength >= length - 1 && std::strncmp(from + fromLength - (length - 1), match, length - 1) == 0
               : std::strstr(from, match) != nullptr)) {
        const char* action = std::getenv("BI_FAULT_ACTION");
        if (action != nullptr && std::strcmp(action, "kill") == 0) ::kill(::getpid(), SIGKILL);
        errno = EIO;
        return -1;
    }
    return real(from, to);
}
