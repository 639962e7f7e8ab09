#include "driver/driver.h"
#include "host/report.h"

int main(int argc, const char* argv[]) {
    const int result = bootstrapInstallerMainFunc(argc, argv, report_message_main);
    if (result != 0) report_message_main("Installation failed.", true);
    return result;
}
