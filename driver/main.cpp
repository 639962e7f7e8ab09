#include "driver/driver.h"
#include "host/report.h"
#include "host/settings.h"

int main(int argc, const char* argv[]) {
    const int result = bi::runInstaller(argc, argv, bi::reportMessage, bi::readSettings());
    if (result != 0) bi::reportMessage("Installation failed.", true);
    return result;
}
