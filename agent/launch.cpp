#include "agent/launch.h"

#include "host/constants.h"
#include "host/shell.h"

namespace bi {

bool launchAgent(const std::string& shellCommand, const std::string& bundleLocation, int argc,
                 const char* const argv[]) {
    std::string tail = " -installbundle " + shellQuote(bundleLocation + PATH_SEPARATOR + PRODUCT_ARCHIVE_FILE);
    if (argc >= 2) tail += " " + quoteArguments(argc, argv);
    const std::string commandLine = shellCommand + tail;
    return runShell(commandLine) != -1;
}

}  // namespace bi
