// Every decision of a download as one pure table: whether a run may start, what to ask for given
// the disk, and what to do next given what was asked and what came back (an answer, a failure
// of the transfer, the cache's judgement, a signature's check, key statements, the archive's
// extraction). No I/O and no threads: the run reads the disk, sends, and carries out the steps.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agent/cache_fill.h"
#include "agent/cache_record.h"
#include "agent/key_statement.h"
#include "agent/keyring.h"
#include "agent/partial_archive.h"
#include "download/failure.h"
#include "net/url_session.h"
#include "ui/run_snapshot.h"

namespace bi {

// What a request asks for. Identity: a signed bundle's signature asked for before the archive,
// to tell whether it names the cached agent.
enum class Fetch { Archive, Signature, Identity, Statement };

using ui::RetryCause;

// What this run's earlier answers taught the plan, for its later decisions. Where the run is
// now is the run's own state (download/run.h).
struct PlanMemory {
    std::string url;
    std::string keyId;               // the bundle key's, empty for an unsigned bundle
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
    bool cachedExpired = false;             // the cached agent is past its expiry
    int64_t length = -1;                    // the whole archive's, once an answer said it
    // A signed bundle's first run asks for the signature before the archive, from the server
    // that is to send the archive.
    bool signatureFirst = false;
    bool archiveHere = false;     // the archive has arrived whole
    bool signatureAgain = false;  // the signature was asked once more, the archive having failed it
};

// The URL of the server asked now.
std::string serverUrl(const PlanMemory& memory);

// What a run needs before it asks for anything.
struct StartFacts {
    std::optional<std::string> cacheDistrust;  // why the cache cannot be trusted
    bool hasUrl = true;                        // a URL to ask: the bundle's file, or the setting
    std::string urlFile;
    BundleKeyState key = BundleKeyState::Absent;
    bool floorDamaged = false;
    std::string keyFile, floorFile;
};

// Why the run cannot start; nullopt when it can.
std::optional<Failure> judgeStart(const StartFacts& facts);

// A request, and what it is for: forPartial when its If-None-Match names the whole partial archive.
struct Ask {
    Fetch fetch = Fetch::Archive;
    net::TransferRequest request;
    bool forPartial = false;
};

// What the cache holds for this run, read before the archive is asked for.
struct OnDisk {
    std::optional<PartialArchive> partial;  // this URL's
    std::optional<AgentRecord> cached;      // the cached agent's record, when the agent is whole
    bool cachedTagStored = false;           // its tag file holds the record's tag
    bool cachedExpired = false;             // its signature's "expires:" has passed
};

// The archive's request: If-None-Match for a whole partial archive or for the cached agent
// (only one cached for this URL and, with a key, under it), Range and If-Range for a partial one.
Ask planArchive(const PlanMemory& memory, const OnDisk& disk);

// The request for the archive's signature (Signature, Identity) or its key statements, from the
// server asked now.
Ask planBeside(const PlanMemory& memory, Fetch fetch);

// The first answer to a request (status 0: none), or how it failed.
struct Answer {
    long status = 0;
    bool bodyless = false;
    std::optional<std::string> tag, retryAfter;
    int64_t length = -1;  // of this body, -1 when not stated
    std::optional<net::TransferError> error;
    std::string proxy;  // the proxy the request went through, without a password; "" for none
};

struct Step {
    enum class Action {
        Accept,          // take the body: `startOver` a whole archive where a range was asked;
                         // `checkCached` the cached agent may be current all the same
        UsePartial,      // the whole partial archive is the server's current one
        CheckCached,     // a 304: the cached agent is the server's current one, if it is still there
        AskAgain,        // ask for the whole archive again, at once (`dropPartial` first)
        Retry,           // the same fetch after `wait`
        Offline,         // the server cannot be reached: the cached agent, else `failure`
        Fail,            // `failure`; `dropPartial` first
        NextServer,      // the same fetch from the next server, from its first attempt; `reason`: why
        FetchNext,       // ask for `fetch` from its first attempt
        CheckSignature,  // verify the archive's signature with the keys trusted now
        Extract,         // the whole archive goes into the cache
        UseCached,       // the cached agent is current: start it (`offlineSince`: without the server)
        Stop,            // the run was given up while it waited: nothing more to do
    };
    Action action = Action::Fail;
    bool startOver = false;
    bool checkCached = false;
    bool dropPartial = false;
    Fetch fetch = Fetch::Archive;
    std::chrono::milliseconds wait{0};
    RetryCause cause = RetryCause::ConnectionLost;
    std::optional<std::string> tag;  // Accept of the archive: its tag (for a 206, the partial archive's)
    std::string reason;              // why a retry, a move or an offline start, for the log
    std::optional<Failure> failure;
    size_t serversFailed = 0;             // when every server of several was left, how many
    std::optional<int64_t> offlineSince;  // starting offline: when the agent was stored, seconds since the epoch
};

// What follows an answer to `asked`. `scale` multiplies every wait.
Step judge(PlanMemory& memory, const Ask& asked, const Answer& answer, double scale = 1.0);

// What follows the cache's judgement that `step` (Accept with checkCached, or CheckCached) asked for.
Step judgeCached(PlanMemory& memory, const Ask& asked, const Step& step, CacheJudgement judgement);

// Whether the cached agent's record says it came from this run's URL (and for a signed bundle,
// that it was verified with the bundle's key).
bool cameFromHere(const AgentRecord& record, const PlanMemory& memory);

// What follows an archive that has arrived whole: not a zip (`contentType` as the server said
// it), its signature to fetch, or its extraction.
Step judgeArrived(PlanMemory& memory, const std::string& url, bool isZip, const std::string& contentType);

// Whether a signed bundle asks for the signature first: the agent cached for this URL under
// its key has its archive's hash on record.
bool asksIdentityFirst(const PlanMemory& memory, const OnDisk& disk);

// What a run asks for first: the signature that may name the cached agent (Identity); else,
// for a signed bundle, the signature, so that what it alone refuses costs no archive; else the
// archive.
Fetch firstFetch(PlanMemory& memory, const OnDisk& disk);

// What a verified archive is judged against besides its key.
struct TrustFacts {
    int64_t now = 0;
    std::optional<int64_t> floor;         // the bundle's: no archive signed earlier
    std::optional<int64_t> newestSigned;  // the newest signing time verified for this key and URL
};

// What follows the signature asked first, checked against the cached agent's hash: the cached
// agent starts only when the signature would be taken for a new archive.
Step judgeIdentity(const SignatureCheck& check, PlanMemory& memory, const std::optional<AgentRecord>& cached,
                   const TrustFacts& facts);

// UseCached stands only while the agent held under the cache's lock is the one judged.
Step judgeHeld(const Step& step, PlanMemory& memory, const std::optional<AgentRecord>& held,
               const std::optional<AgentRecord>& judged);

// What follows the archive's signature file, which names `signer`: the key statements first for
// a key the run neither trusts nor knows as retired (once per run), else the check.
Step judgeSignatureArrived(PlanMemory& memory, const Keyring& keyring, const std::optional<KeyId>& signer);

// What follows the key statements: the archive's signature is checked with what they taught,
// unless they were refused.
Step judgeStatements(const StatementOutcome& outcome, const std::string& url);

// A valid signature whose timestamp is older than the agent cached for the same URL and key
// is a rollback.
SignatureStatus judgeRollback(const SignatureCheck& check, const PlanMemory& memory,
                              const std::optional<AgentRecord>& cached);

// A valid signature signed before the floor (or without a timestamp under one), past its
// expiry, or older than the newest seen is refused.
SignatureStatus judgeSignedArchive(const SignatureCheck& check, const TrustFacts& facts);

// What follows the signature asked for before the archive, checked without it (the key, the
// trusted comment, the file it names, the floor, expiry and rollback): the archive, or the
// refusal.
Step judgeSignatureAhead(const SignatureCheck& check, PlanMemory& memory, const std::optional<AgentRecord>& cached,
                         const TrustFacts& facts);

// What follows the archive's signature check: its extraction, or the refusal. An archive that
// fails the signature asked for before it has the signature asked for once more: a release may
// have come out meanwhile.
Step judgeSignature(const SignatureCheck& check, PlanMemory& memory, const std::optional<AgentRecord>& cached,
                    const TrustFacts& facts);

// A shipped archive's signature check: nullopt when it may be extracted, else why not.
std::optional<Failure> judgeShippedSignature(const SignatureCheck& check, const TrustFacts& facts,
                                             const std::string& archive);

// What follows Offline, given the agent cached from this URL (held under the cache's lock, or
// nullopt) and the time: it starts, or has expired, or the run fails as `offline` says.
Step judgeOffline(const Step& offline, const PlanMemory& memory, const std::optional<AgentRecord>& held, int64_t now);

// Whether `needed` bytes fit in the `free` ones (-1: unknown, taken to fit) at `place`; else the
// step that ends the run before they are written, saying what they are for (`what`). A partial
// archive stays for a later run unless `dropPartial`.
std::optional<Step> judgeRoom(int64_t needed, int64_t free, const std::string& place, const std::string& what,
                              bool dropPartial = false);

// What follows the extraction of `archive` into the cache; `needed`: what its entries take.
Step judgeFill(CacheFill filled, const std::string& archive, const std::string& cacheDir, int64_t needed);

// Whether another attempt may pass where this failure stopped: a server away, busy or silent,
// a lost connection, a full disk, a page that was not the archive. Another attempt cannot mend
// a refusal, an address or a certificate that does not work, nor a password the proxy refused.
bool mayPassAgain(const Failure& failure);

// Whether a trusted comment's "expires:" has passed; one that is not a number has. Without
// the field nothing expires.
bool hasExpired(const std::string& trustedComment, int64_t now);

}  // namespace bi
