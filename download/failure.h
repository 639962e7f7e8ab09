// A failure of either road, made once where it is found: turned here into the system log's
// line (English, technical) and into what a person is told (ui/words.h says it).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "agent/signature.h"
#include "net/url_session.h"
#include "ui/run_snapshot.h"

namespace bi {

struct Failure {
    enum class Kind {
        Http,              // an error status; `status`, `bodyless`
        ProxyAuth,         // 407, or the proxy refused the tunnel; `detail`: the proxy
        Transfer,          // libcurl's failure; `transfer`, `detail`: its text
        NoLibrary,         // no libcurl on the machine; `detail`: what to install
        ResumedOther,      // a 206 of another archive, after the one restart
        NotModifiedPlain,  // a 304 to a request without conditions
        NotZip,            // `detail`: the content type, empty when none
        Signature,         // `signature`, `detail`: the key ids, or the HTTP status of a missing one
        Extraction,        // `where`: the archive
        NoSpace,           // `where`: where the bytes go; `needed`, `free` (-1: the disk filled meanwhile);
                           // `detail`: what they are of (the archive's URL, or the archive)
        CacheNotWritable,  // `where`: the cache
        CacheUntrusted,    // `detail`: why
        NoUrlFile,         // `where`: the URL file
        NoProgram,         // a program the run needs is not on PATH; `detail`: its name
        NoHome,            // `where`: the home directory that does not exist
        NoWorkDir,         // no private working directory; `where`: TMPDIR, "" when unset; `detail`: why
        Cancelled,         // the user closed the window or pressed Ctrl-C
    };
    Failure(Kind k, std::string w = {}, std::string d = {}) : kind(k), where(std::move(w)), detail(std::move(d)) {}

    Kind kind;
    std::string where;  // the URL, or the file
    std::string detail;
    long status = 0;
    bool bodyless = false;
    SignatureStatus signature = SignatureStatus::Invalid;
    net::TransferErrorKind transfer = net::TransferErrorKind::Other;
    int64_t needed = -1;   // a full disk: the bytes the archive needs, -1 when unknown
    int64_t free = -1;     // NoSpace: the bytes free there, -1 when the disk filled while being written
    bool shipped = false;  // the archive shipped in the bundle, not a download
};

// The system log's line: English, with the technical detail.
std::string logLine(const Failure& failure);
// What a person is told about it.
ui::Trouble troubleOf(const Failure& failure);
// What a refused signature is to a person.
ui::Refusal refusalOf(SignatureStatus status);
// The installer's exit status: -1 (255 to the shell) for every kind, as callers expect.
int exitStatus(const Failure& failure);

}  // namespace bi
