#include "agent/extract.h"

#include <sys/stat.h>

#include <exception>

#include "host/shell.h"

bool unzipInstallAgent(std::string archive, std::string destination, std::string tool, ReportMessageCallback report,
                       const std::function<bool()>& cancelled) {
    struct stat st{};
    if (::stat(archive.c_str(), &st) != 0) return false;

    const std::string command =
        smart_quote(tool) + " -qq -o " + smart_quote(archive) + " -d " + smart_quote(destination);
    int status = 0;
    try {
        status = call_system_cancellable(command, cancelled);
    } catch (const std::exception&) {
        return false;
    }
    if (status != 0) {
        report("Failed to unzip the install agent", true);
        return false;
    }
    return true;
}
