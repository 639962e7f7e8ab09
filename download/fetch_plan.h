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
#include "agent/keyring.h"
#include "agent/partial_archive.h"
#include "download/failure.h"
#include "net/url_session.h"

namespace bi {

// Identity: a signed bundle's signature asked for before the archive, to tell whether it names
// the cached agent.
enum class Fetch { Archive, Signature, Identity, Statement };

// What the cache holds for this run, read before the archive is asked for.
struct OnDisk {
    std::optional<PartialArchive> partial;  // this URL's
    std::optional<CacheRecord> cached;      // the cached agent's record, when the agent is whole
    bool cachedTagStored = false;           // its tag file holds the record's tag
    bool cachedExpired = false;             // its signature's "expires:" has passed
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
    bool statementAsked = false;            // the key statements were fetched in this run
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

// A valid signature whose timestamp is older than the agent cached for the same URL and key
// is a rollback.
SignatureStatus judgeRollback(const SignatureCheck& check, const FetchState& state,
                              const std::optional<CacheRecord>& cached);

// Whether a signature that names `signer` first needs the key statements: only for a key the
// run neither trusts nor knows as retired, and once per run.
bool needsKeyStatement(FetchState& state, const Keyring& keyring, const std::optional<KeyId>& signer);

// What a verified archive is judged against besides its key.
struct TrustFacts {
    int64_t now = 0;
    std::optional<int64_t> floor;         // the bundle's: no archive signed earlier
    std::optional<int64_t> newestSigned;  // the newest signing time verified for this key and URL
};

// A valid signature signed before the floor (or without a timestamp under one), past its
// expiry, or older than the newest seen is refused.
SignatureStatus judgeSignedArchive(const SignatureCheck& check, const TrustFacts& facts);

// What follows the signature asked first, checked against the cached agent's hash: the cached
// agent starts only when the signature would be taken for a new archive.
Step judgeIdentity(const SignatureCheck& check, const FetchState& state, const std::optional<CacheRecord>& cached,
                   const TrustFacts& facts);

// Whether a trusted comment's "expires:" has passed; one that is not a number has. Without
// the field nothing expires.
bool hasExpired(const std::string& trustedComment, int64_t now);

}  // namespace bi
