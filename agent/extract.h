#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/report.h"

namespace bi {

enum class Unzipped {
    Done,
    Failed,    // silently when there is no archive; with a message when the tool fails
    DiskFull,  // the disk (or a file-size limit) filled while the tool wrote
};

// Extracts archive into destination with `tool` (the system's unzip), overwriting without a
// prompt. The tool runs without a terminal, so it cannot wait for a password; once `cancelled`
// says so, it is ended and the extraction has failed.
Unzipped unzipInstallAgent(const std::string& archive, const std::string& destination, const std::string& tool,
                           Reporter report, const std::function<bool()>& cancelled = {});

// The bytes the archive's entries take once extracted, from its central directory; -1 when
// it cannot be read (unzip then says what is wrong with it).
int64_t unpackedSize(const std::string& archive);

// Whether the file is a zip archive, damaged or not: it starts with a local file header, or it
// ends with the end-of-central-directory record where unzip looks for it (an archive with a
// stub before it, a self-extracting one). A sign-in page or a proxy's error page is neither.
bool isZipArchive(const std::string& path);

}  // namespace bi
