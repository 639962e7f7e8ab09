#include "agent/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <exception>

#include "agent/zip_directory.h"
#include "host/shell.h"
#include "platform/system_log.h"

namespace bi {

namespace {

// unzip's exit status when the disk is (or was) full during extraction.
constexpr int kUnzipDiskFull = 50;

}  // namespace

bool isZipArchive(const std::string& path) {
    // The record is 22 bytes and ends the file, after a comment of at most 65,535 bytes.
    constexpr size_t kRecord = 22, kLongestTail = kRecord + 65535;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    std::string tail, head(4, '\0');
    const bool local = ::pread(fd, head.data(), head.size(), 0) == 4 && head == "PK\x03\x04";
    if (!local && ::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= kRecord) {
        tail.resize(std::min(static_cast<size_t>(st.st_size), kLongestTail));
        if (::pread(fd, tail.data(), tail.size(), st.st_size - static_cast<off_t>(tail.size())) !=
            static_cast<ssize_t>(tail.size())) {
            tail.clear();
        }
    }
    ::close(fd);
    if (local) return true;
    for (size_t at = tail.size() >= kRecord ? tail.size() - kRecord + 1 : 0; at-- > 0;) {
        if (tail.compare(at, 4, "PK\x05\x06") != 0) continue;
        const auto comment = static_cast<size_t>(static_cast<unsigned char>(tail[at + 20]) |
                                                 static_cast<unsigned char>(tail[at + 21]) << 8);
        if (at + kRecord + comment == tail.size()) return true;
    }
    return false;
}

Unzipped unzipInstallAgent(const std::string& archive, const std::string& destination, const std::string& tool,
                           Reporter report, const std::function<bool()>& cancelled) {
    struct stat st {};
    if (::stat(archive.c_str(), &st) != 0) return Unzipped::Failed;

    // unzip reads the archive through an inherited descriptor: it takes "*", "?" and "[" in an
    // archive's name as a pattern that may match other archives, and a leading "-" as options.
    const int fd = ::open(archive.c_str(), O_RDONLY);
    if (fd < 0) {
        report("Failed to unzip the install agent", true);
        return Unzipped::Failed;
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
        return Unzipped::Failed;
    }
    ::close(fd);
    if (status == 0) return Unzipped::Done;
    const bool stopped = cancelled && cancelled();
    report(stopped ? "The installation was cancelled." : "Failed to unzip the install agent", true);
    return !stopped && WIFEXITED(status) && WEXITSTATUS(status) == kUnzipDiskFull ? Unzipped::DiskFull
                                                                                  : Unzipped::Failed;
}

int64_t unpackedSize(const std::string& archive) {
    const ZipRead read = readZipDirectoryOf(archive);
    if (!read.directory) return -1;
    const uint64_t size = read.directory->unpackedSize();
    return size > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(size);
}

}  // namespace bi
