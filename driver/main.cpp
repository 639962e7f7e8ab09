#include <fcntl.h>

#include <cerrno>

#include "driver/driver.h"
#include "host/report.h"

int main(int argc, const char* argv[]) {
    // A standard descriptor left closed would be the number of the first pipe or file opened,
    // and the installer's messages would go there: each closed one is /dev/null from here on.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) ::open("/dev/null", O_RDWR);
    }
    const int result = bi::runInstaller(argc, argv, bi::reportMessage);
    if (result != 0) bi::reportMessage("Installation failed.", true);
    return result;
}
