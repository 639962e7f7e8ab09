#include "driver/driver.h"
#include "host/report.h"

int main(int argc, const char* argv[]) {
    const int result = bi::runInstaller(argc, argv, bi::reportMessage);
    if (result != 0) bi::reportMessage("Installation failed.", true);
    return result;
}
