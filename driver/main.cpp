#include <fcntl.h>

#include <cerrno>

#include "driver/driver.h"
#include "host/report.h"
#include "host/settings.h"
#include "platform/system_log.h"
#include "ui/i18n.h"

int main(int argc, const char* argv[]) {
    // A standard descriptor left closed would be the number of the first pipe or file opened,
    // the log file's say, and the installer's messages would go there: each closed one is
    // /dev/null from here on, before anything opens a file.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) ::open("/dev/null", O_RDWR);
    }
    bi::platform::keepLogFile();
    const int result = bi::runInstaller(argc, argv, bi::reportMessage, bi::readSettings());
    if (result != 0) {
        // In the user's language: it tells them what to send to the vendor's support.
        if (const std::string log = bi::platform::logFilePath(); !log.empty()) {
            bi::reportMessage(bi::ui::userLanguage().format(
                                  bi::ui::tr("The installer's log for the vendor's support: %s"), log.c_str()),
                              true);
        }
        bi::reportMessage("Installation failed.", true);
    }
    return result;
}
