// What a download run has come to, as a person sees it. The run publishes a snapshot on the
// main thread whenever something a person would notice has changed; the windows render it
// (ui/words.h says it in words) and never decide anything of the run.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/progress_text.h"

namespace bi::ui {

enum class Stage {
    Downloading,      // asking and receiving; the archive's bytes in `transfer`
    WaitingForOther,  // another installer holds the cache
    MovingOn,         // the next server is asked: `server` of `servers`
    Retrying,         // waiting before another attempt: `retry`
    Extracting,       // the archive is whole and being unpacked
    Ready,            // the agent is ready; `offlineSince` when the server could not be reached
    Failed,           // `trouble`
};

// Why another attempt follows, as its words say it.
enum class RetryCause { Busy, ConnectionLost, NoAnswer, Unreachable };

struct RetryWait {
    RetryCause cause = RetryCause::ConnectionLost;
    int attempt = 0;   // the attempt that follows the wait
    int attempts = 0;  // of how many
    std::chrono::steady_clock::time_point until;
};

// What a signature check, a key statement or the bundle's key refused.
enum class Refusal {
    Unsigned,
    OtherKey,
    Invalid,
    OtherFile,
    Rollback,
    DamagedKey,
    Retired,
    BelowFloor,
    Expired,
    CachedExpired,  // the cached agent has expired, and the server cannot be reached
    StatementInvalid,
    StatementReadmits,
    ChainTooLong,
};

// What went wrong, in the terms a person is told it; the technical detail goes to the log.
struct Trouble {
    enum class Kind {
        HttpStatus,        // `status`
        ProxyAuth,         // the proxy wants credentials it was not given
        Unreachable,       // no connection to the server
        NoAnswer,          // it did not answer in time
        ConnectionLost,    // the connection ended before the archive did
        Certificate,       // `place`: the server's host, whose certificate is not trusted
        NoCaStore,         // no certificates to check a server with
        DiskFull,          // `place`: where; `bytes`: what is needed, -1 when unknown
        NoSpace,           // `place`: where the agent goes; `bytes`: what it needs; `free`: what is free, -1
                           // when the disk filled meanwhile
        BadAddress,        // the URL or its redirects do not work
        HeaderTooLarge,    // the server's header is beyond what is read
        TransferFailed,    // any other failure of the transfer, or another archive resumed
        NoLibrary,         // no libcurl
        NotModifiedPlain,  // a 304 to a plain request
        NotZip,            // `detail`: the content type, "" when none
        Refused,           // `refusal`
        Extraction,        // `shipped`: of the archive in the bundle
        CacheNotWritable,  // `place`
        CacheUntrusted,    // `detail`: why
        NoUrlFile,         // `place`: the URL file
        NoProgram,         // `detail`: the program
        NoHome,            // `place`
        NoWorkDir,         // no private working directory; `place`: TMPDIR, "" when unset
        Cancelled,
    };
    Kind kind = Kind::TransferFailed;
    long status = 0;
    std::string place;
    std::string detail;
    int64_t bytes = -1;
    int64_t free = -1;
    Refusal refusal = Refusal::Invalid;
    bool shipped = false;
};

struct RunSnapshot {
    Stage stage = Stage::Downloading;
    // The archive's bytes: received, total, speed; while WaitingForOther, the other
    // installer's partial archive as it grows on disk.
    TransferMeter transfer;
    int64_t resumedFrom = 0;      // while Downloading: the bytes an earlier attempt or run left, continued now
    RetryWait retry;              // while Retrying
    int server = 0, servers = 0;  // while MovingOn: 1-based
    std::string offlineSince;     // when Ready without the server: the day the agent came
    Trouble trouble;              // once Failed
    bool mayRetry = false;        // once Failed: another attempt may pass
    // The cache keeps a partial archive of this run that the next one continues.
    bool keepsPartial = false;
    // Once Failed: what the log said during the run (URLs, statuses, libcurl's words, the
    // proxy), and the file that keeps it ("" for none).
    std::vector<std::string> details;
    std::string logFile;
};

}  // namespace bi::ui
