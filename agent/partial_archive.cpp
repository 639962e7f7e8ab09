#include "agent/partial_archive.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/cache.h"
#include "host/constants.h"

namespace bi {

namespace {

std::string recordPath() { return getInstallAgentCacheDir() + PARTIAL_RECORD_FILE; }

// Records that a crashed installer left half written.
void removeRecordTemporaries() {
    const std::string dir = getInstallAgentCacheDir();
    if (DIR* listing = ::opendir(dir.c_str())) {
        while (const dirent* entry = ::readdir(listing)) {
            if (std::string(entry->d_name).starts_with(PARTIAL_RECORD_FILE + "."))
                ::unlinkat(::dirfd(listing), entry->d_name, 0);
        }
        ::closedir(listing);
    }
}

}  // namespace

std::string partialArchivePath() { return getInstallAgentCacheDir() + PARTIAL_ARCHIVE_FILE; }

std::optional<PartialArchive> partialArchiveFor(const std::string& url) {
    removeRecordTemporaries();
    struct stat st {};
    const auto record = readPartialRecord(recordPath());
    if (::lstat(partialArchivePath().c_str(), &st) == 0 && S_ISREG(st.st_mode) && record && record->url == url &&
        isStrongTag(record->tag) && (record->length < 0 || st.st_size <= record->length)) {
        return PartialArchive{*record, st.st_size};
    }
    dropPartialArchive();
    return std::nullopt;
}

std::optional<PartialArchive> peekPartialArchive() {
    struct stat st {};
    const auto record = readPartialRecord(recordPath());
    if (!record || ::stat(partialArchivePath().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return PartialArchive{*record, st.st_size};
}

// Not synced: a sync would first write back the whole archive, and a record lost in a crash
// only drops the partial archive.
bool recordPartialArchive(const PartialRecord& record) { return writePartialRecord(recordPath(), record, false); }

void dropPartialArchive() {
    ::unlink(recordPath().c_str());
    ::unlink(partialArchivePath().c_str());
}

}  // namespace bi
