#include "driver/driver.h"
#include "host/report.h"

int main(int argc, const char* argv[]) {
    const int result = bi::bootstrapInstallerMainFunc(argc, argv, bi::report_message_main);
    if (result != 0) bi::report_message_main("Installation failed.", true);
    return result;
}
