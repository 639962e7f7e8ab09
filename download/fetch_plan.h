// Every decision of a download as one pure table: what to ask for, given what is on disk, and
// what to do next, given what was asked and what came back (or how the transfer failed). No
// I/O and no threads: the controller reads the disk, sends, and carries out the steps.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agent/cache_record.h"
#include "agent/partial_archive.h"
#include "download/failure.h"
#include "net/url_session.h"

namespace bi {

// Identity: a signed bundle's signature asked for before the archive, to tell whether it names
// the cached agent.
enum class Fetch { Archive, Signature, Identity };

// What the cache holds for this run, read before the archive is asked for.
struct OnDisk {
    std::optional<PartialArchive> partial;  // this URL's
    std::optional<CacheRecord> cached;      // the cached agent's record, when the agent is whole
    bool cachedTagStored = false;           // its tag file holds the record's tag
};

// The run so far; the plan updates it as it decides.
struct FetchState {
    std::string url;
    std::string keyId;  // the bundle key's, empty for an unsigned bundle
    Fetch fetch = Fetch::Archive;
    int attempt = 1;                 // of the current fetch
    bool reached = false;            // some HTTP answer came in this run
    bool restarted = false;          // the archive was asked for afresh after a 416 or a stray 206
    bool conditionsDropped = false;  // after a 304 for an agent that has gone
    // Where the archive is asked for, in order: the bundle's URL, then its mirrors (empty: `url`
    // alone). `url` stays the agent's identity whichever of them serves it.
    std::vector<std::string> servers;
    size_t server = 0;                      // the one asked now
    bool earlierAnswered = false;           // a server left before answered over HTTP
    std::optional<Failure> primaryFailure;  // why the first server was left: the run's failure if all fail
};

// The URL of the server asked now.
std::string serverUrl(const FetchState& state);

// The archive's request, and whether its If-None-Match names the whole partial archive.
struct ArchiveAsk {
    net::TransferRequest request;
    bool forPartial = false;
};

// The first answer to a request (status 0: none), or how it failed.
struct Answer {
    long status = 0;
    bool bodyless = false;
    std::optional<std::string> tag, retryAfter;
    std::optional<net::TransferError> error;
};

// What a retry's words say happened.
enum class RetryCause { Busy, ConnectionLost, NoAnswer, Unreachable };

struct Step {
    enum class Action {
        Accept,       // take the body (`startOver`: a whole archive where a range was asked)
        UsePartial,   // the whole partial archive is the server's current one
        CheckCached,  // the cached agent is the server's current one, if it is still there
        AskAgain,     // ask for the whole archive again, at once (`dropPartial` first)
        Retry,        // the same fetch after `wait`
        Offline,      // start the agent cached from this URL; fail with `failure` without one
        Fail,         // `failure`; `dropPartial` first
        NextServer,   // the same fetch from the next server, from its first attempt; `reason`: why
        AskArchive,   // the signature asked first settles nothing: ask for the archive
        UseCached,    // the signature asked first names the cached agent: start it
    };
    Action action = Action::Fail;
    bool startOver = false;
    bool dropPartial = false;
    std::chrono::milliseconds wait{0};
    RetryCause cause = RetryCause::ConnectionLost;
    std::string reason;  // why a retry or an offline start, for the log
    std::optional<Failure> failure;
    size_t serversFailed = 0;  // when every server of several was left, how many
};

// The archive's request: If-None-Match for a whole partial archive or for the cached agent
// (only one cached for this URL and, with a key, under it), Range and If-Range for a partial one.
ArchiveAsk planArchive(const FetchState& state, const OnDisk& disk);

// What follows an answer to `asked`. `scale` multiplies every wait.
Step judge(FetchState& state, const ArchiveAsk& asked, const Answer& answer, double scale = 1.0);

// What follows a 304 for the cached agent that is no longer there.
Step cachedAgentGone(FetchState& state, const ArchiveAsk& asked);

// Whether a signed bundle asks for the signature first: the agent cached for this URL under
// its key has its archive's hash on record.
bool asksIdentityFirst(const FetchState& state, const OnDisk& disk);

// What follows the signature asked first, checked against the cached agent's hash.
Step judgeIdentity(const SignatureCheck& check, const FetchState& state, const std::optional<CacheRecord>& cached);

// A valid signature whose timestamp is older than the agent cached for the same URL and key
// is a rollback.
SignatureStatus judgeRollback(const SignatureCheck& check, const FetchState& state,
                              const std::optional<CacheRecord>& cached);

}  // namespace bi
