#include "agent/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>

#include "host/shell.h"
#include "platform/system_log.h"

namespace bi {

bool unzipInstallAgent(const std::string& archive, const std::string& destination, const std::string& tool,
                       Reporter report, const std::function<bool()>& cancelled) {
    struct stat st {};
    if (::stat(archive.c_str(), &st) != 0) return false;

    // unzip reads the archive through an inherited descriptor: it takes "*", "?" and "[" in an
    // archive's name as a pattern that may match other archives, and a leading "-" as options.
    const int fd = ::open(archive.c_str(), O_RDONLY);
    if (fd < 0) {
        report("Failed to unzip the install agent", true);
        return false;
    }
    // -P '' and no standard input: neither an encrypted entry (a password prompt on the
    // terminal) nor a full disk (a question on standard input) may wait for an answer.
    const std::string command = shellQuote(tool) + " -qq -o -P '' /dev/fd/" + std::to_string(fd) + " -d " +
                                shellQuote(destination) + " </dev/null";
    // unzip's own messages name the archive, not the descriptor it was given.
    const std::string given = "/dev/fd/" + std::to_string(fd);
    const std::string shown = platform::printable(archive);
    const auto rewrite = [&](const std::string& line) {
        std::string out = line;
        for (size_t at = 0; (at = out.find(given, at)) != std::string::npos; at += shown.size())
            out.replace(at, given.size(), shown);
        return out;
    };
    int status = 0;
    try {
        status = runShellCancellable(command, cancelled, rewrite);
    } catch (const std::exception&) {
        ::close(fd);
        return false;
    }
    ::close(fd);
    if (status != 0) {
        report(cancelled && cancelled() ? "The installation was cancelled." : "Failed to unzip the install agent",
               true);
        return false;
    }
    return true;
}

}  // namespace bi
