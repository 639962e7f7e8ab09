#include "download/fetch_plan.h"

#include <ctime>

#include "download/retry_policy.h"
#include "host/text.h"

namespace bi {

namespace {

using Action = Step::Action;
using net::TransferErrorKind;

constexpr int64_t kLongestSignature = int64_t{64} * 1024;

Step act(Action action, bool dropPartial = false) {
    Step step;
    step.action = action;
    step.dropPartial = dropPartial;
    return step;
}

Step fail(Failure failure, bool dropPartial = false) {
    Step step = act(Action::Fail, dropPartial);
    step.failure = std::move(failure);
    return step;
}

// The next fetch starts from its first attempt.
Step fetchNext(PlanMemory& memory, Fetch fetch) {
    memory.attempt = 1;
    Step step = act(Action::FetchNext);
    step.fetch = fetch;
    return step;
}

Step refused(SignatureStatus status, const std::string& where, std::string detail, bool dropPartial = true) {
    Failure failure{Failure::Kind::Signature, where, std::move(detail)};
    failure.signature = status;
    return fail(std::move(failure), dropPartial);
}

// Another attempt of the same fetch after its wait; nothing when none is left.
std::optional<Step> retry(PlanMemory& memory, std::string reason, const std::optional<std::string>& retryAfter,
                          double scale, RetryCause cause) {
    if (memory.attempt >= kMaxAttempts) return std::nullopt;
    Step step = act(Action::Retry);
    step.cause = cause;
    step.wait = retryWait(++memory.attempt, retryAfter, scale);
    step.reason = std::move(reason);
    return step;
}

Step judgeFailure(PlanMemory& memory, const std::string& url, const Answer& answer, double scale) {
    const net::TransferError& error = *answer.error;
    const bool reachedBefore = memory.reached;
    memory.reached = memory.reached || error.responded;
    if (isTransientError(error, reachedBefore)) {
        const RetryCause cause = error.kind == TransferErrorKind::ConnectionLost ? RetryCause::ConnectionLost
                                 : error.kind == TransferErrorKind::TimedOut     ? RetryCause::NoAnswer
                                                                                 : RetryCause::Unreachable;
        if (auto step = retry(memory, error.reason, std::nullopt, scale, cause)) return *step;
    }
    const bool lostFile = error.kind == TransferErrorKind::BadRange || error.kind == TransferErrorKind::DiskFull;
    if (error.kind == TransferErrorKind::ProxyAuth)
        return fail({Failure::Kind::ProxyAuth, url, answer.proxy}, lostFile);
    Failure failure{error.kind == TransferErrorKind::NoLibrary ? Failure::Kind::NoLibrary : Failure::Kind::Transfer,
                    error.url, error.reason};
    failure.transfer = error.kind;
    if (error.kind == TransferErrorKind::DiskFull && memory.length > 0) failure.needed = memory.length;
    // Only when no HTTP answer came at all: a server that answers with errors is not away.
    if (!memory.reached && isUnreachable(error)) {
        Step step = fail(std::move(failure));
        step.action = Action::Offline;
        step.reason = error.reason;
        return step;
    }
    return fail(std::move(failure), lostFile);
}

Step judgeStatus(PlanMemory& memory, const Ask& asked, const Answer& answer, double scale) {
    const std::string& url = asked.request.url;
    const long status = answer.status;
    const bool archive = asked.fetch == Fetch::Archive;
    if (archive && status == 416 && asked.request.resumeFrom > 0 && !memory.restarted) {
        // The partial archive is whole, or longer than the archive now is: start over, once.
        memory.restarted = true;
        return act(Action::AskAgain, true);
    }
    if (status == 407) return fail({Failure::Kind::ProxyAuth, url, answer.proxy});
    // No signature to tell the agent by: the archive's own request decides, as without a key.
    if (asked.fetch == Fetch::Identity && !isTransientStatus(status)) return fetchNext(memory, Fetch::Archive);
    if (asked.fetch == Fetch::Statement && (status == 404 || status == 410)) {
        // No statements published: the archive's key stays one the bundle does not know.
        return act(Action::CheckSignature);
    }
    if (asked.fetch == Fetch::Signature && (status == 404 || status == 410)) {
        return refused(SignatureStatus::Missing, url, format("HTTP %ld", status));
    }
    if (isTransientStatus(status)) {
        if (auto step = retry(memory, format("HTTP %ld", status), answer.retryAfter, scale, RetryCause::Busy))
            return *step;
    }
    Failure failure{Failure::Kind::Http, url};
    failure.status = status;
    failure.bodyless = answer.bodyless;
    return fail(std::move(failure), archive && !isTransientStatus(status));
}

// A server that cannot serve now is left for the next: unreachable, busy or silent after its
// retries, or without the archive or, before it, its signature (a mirror may lag behind).
bool leavesServer(const PlanMemory& memory, const Ask& asked, const Answer& answer) {
    if (answer.error) {
        return isUnreachable(*answer.error) || answer.error->kind == TransferErrorKind::TimedOut ||
               answer.error->kind == TransferErrorKind::ConnectionLost;
    }
    const bool archiveOrAhead =
        asked.fetch == Fetch::Archive || (asked.fetch == Fetch::Signature && !memory.archiveHere);
    return isTransientStatus(answer.status) || (archiveOrAhead && (answer.status == 404 || answer.status == 410));
}

Step moveOn(PlanMemory& memory, const Ask& asked, const Answer& answer, Step step) {
    if ((step.action != Action::Fail && step.action != Action::Offline) || memory.servers.size() < 2 ||
        !leavesServer(memory, asked, answer)) {
        return step;
    }
    if (memory.server == 0) memory.primaryFailure = step.failure;
    if (memory.server + 1 < memory.servers.size()) {
        Step next = act(Action::NextServer);
        // The archive comes from the server whose signature was taken: the next one's first.
        next.fetch = asked.fetch == Fetch::Archive && memory.signatureFirst ? Fetch::Signature : asked.fetch;
        next.reason = answer.error ? answer.error->reason : format("HTTP %ld", answer.status);
        memory.earlierAnswered = memory.earlierAnswered || memory.reached;
        memory.reached = false;
        memory.attempt = 1;
        ++memory.server;
        return next;
    }
    // None could serve: the run ends as the first server's attempt did, offline only when no
    // server answered at all.
    step.failure = memory.primaryFailure;
    step.serversFailed = memory.servers.size();
    if (step.action == Action::Offline && memory.earlierAnswered) step.action = Action::Fail;
    return step;
}

Step judgeAnswer(PlanMemory& memory, const Ask& asked, const Answer& answer, double scale) {
    if (answer.error && asked.fetch == Fetch::Statement && answer.error->kind == TransferErrorKind::Other &&
        answer.error->responded) {
        // Longer than any statement: nothing to wait for.
        memory.reached = true;
        return refused(SignatureStatus::StatementInvalid, asked.request.url, answer.error->reason);
    }
    if (answer.error) return judgeFailure(memory, asked.request.url, answer, scale);
    memory.reached = true;
    if (answer.status >= 400) return judgeStatus(memory, asked, answer, scale);
    if (asked.fetch != Fetch::Archive) return act(Action::Accept);
    if (answer.status == 304) return act(asked.forPartial ? Action::UsePartial : Action::CheckCached);
    const bool ranged = asked.request.resumeFrom > 0;
    if (answer.status == 206 && (!ranged || (answer.tag && *answer.tag != asked.request.ifRange))) {
        // If-Range promised the same archive; a server that ignores it must not mix two.
        if (memory.restarted) return fail({Failure::Kind::ResumedOther, asked.request.url}, true);
        memory.restarted = true;
        return act(Action::AskAgain, true);
    }
    // A 206 continues the partial archive; a 200 to a Range starts it over.
    Step step = act(Action::Accept);
    step.startOver = ranged && answer.status != 206;
    // If-Range made sure that a 206 continues the archive of the partial archive's tag.
    step.tag = answer.status == 206 ? asked.request.ifRange : answer.tag;
    const int64_t kept = step.startOver ? 0 : asked.request.resumeFrom;
    memory.length = answer.length >= 0 ? kept + answer.length : -1;
    // The cached agent may be current all the same (a server that ignores If-None-Match),
    // unless it has expired.
    step.checkCached = !memory.cachedExpired;
    return step;
}

}  // namespace

std::string serverUrl(const PlanMemory& memory) {
    return memory.server < memory.servers.size() ? memory.servers[memory.server] : memory.url;
}

std::optional<Failure> judgeStart(const StartFacts& facts) {
    if (facts.cacheDistrust) return Failure{Failure::Kind::CacheUntrusted, "", *facts.cacheDistrust};
    if (!facts.hasUrl) return Failure{Failure::Kind::NoUrlFile, facts.urlFile};
    if (facts.key == BundleKeyState::Damaged || (facts.key == BundleKeyState::Present && facts.floorDamaged)) {
        Failure damaged{Failure::Kind::Signature, facts.floorDamaged ? facts.floorFile : facts.keyFile};
        damaged.signature = SignatureStatus::DamagedKey;
        return damaged;
    }
    return std::nullopt;
}

bool cameFromHere(const AgentRecord& record, const PlanMemory& memory) {
    return record.url == memory.url && (memory.keyId.empty() || record.keyId == memory.keyId);
}

Ask planArchive(const PlanMemory& memory, const OnDisk& disk) {
    Ask ask;
    ask.request.url = serverUrl(memory);
    const auto& partial = disk.partial;
    const bool resumable = partial && partial->record.url == memory.url && isStrongTag(partial->record.tag);
    if (resumable && partial->complete()) {
        // Downloaded whole before: still the server's current archive?
        ask.forPartial = true;
        ask.request.ifNoneMatch = partial->record.tag;
        return ask;
    }
    const auto& cached = disk.cached;
    if (!memory.conditionsDropped && cached && cameFromHere(*cached, memory) && isSendableTag(cached->tag) &&
        disk.cachedTagStored && !disk.cachedExpired) {
        ask.request.ifNoneMatch = cached->tag;
    }
    if (resumable) {
        ask.request.resumeFrom = partial->size;
        ask.request.ifRange = partial->record.tag;
    }
    return ask;
}

Ask planBeside(const PlanMemory& memory, Fetch fetch) {
    Ask ask;
    ask.fetch = fetch;
    const bool statement = fetch == Fetch::Statement;
    ask.request.url = statement ? keyStatementUrlOf(serverUrl(memory)) : signatureUrlOf(serverUrl(memory));
    ask.request.maxBodyBytes = statement ? kLongestStatements : kLongestSignature;
    return ask;
}

Step judge(PlanMemory& memory, const Ask& asked, const Answer& answer, double scale) {
    return moveOn(memory, asked, answer, judgeAnswer(memory, asked, answer, scale));
}

Step judgeCached(PlanMemory& memory, const Ask& asked, const Step& step, CacheJudgement judgement) {
    switch (judgement) {
        case CacheJudgement::Current:
            return act(Action::UseCached);
        case CacheJudgement::GaveUp:
            return act(Action::Stop);
        case CacheJudgement::Stale:
        case CacheJudgement::Empty:
            break;
    }
    if (step.action != Action::CheckCached) {
        Step body = step;
        body.checkCached = false;
        return body;
    }
    // A 304 for an agent that went between the question and the answer: ask again, once, for
    // the archive itself.
    if (asked.fetch == Fetch::Archive && asked.request.ifNoneMatch && !memory.conditionsDropped) {
        memory.conditionsDropped = true;
        return act(Action::AskAgain);
    }
    return fail({Failure::Kind::NotModifiedPlain, asked.request.url});
}

Step judgeArrived(PlanMemory& memory, const std::string& url, bool isZip, const std::string& contentType) {
    if (!isZip) return fail({Failure::Kind::NotZip, url, contentType}, true);
    if (memory.keyId.empty()) return act(Action::Extract);
    memory.archiveHere = true;
    // The signature asked for first is the one the archive is checked with.
    return memory.signatureFirst ? act(Action::CheckSignature) : fetchNext(memory, Fetch::Signature);
}

bool asksIdentityFirst(const PlanMemory& memory, const OnDisk& disk) {
    const auto& cached = disk.cached;
    return !memory.keyId.empty() && cached && cameFromHere(*cached, memory) && !cached->hash.empty() &&
           !disk.cachedExpired;
}

Fetch firstFetch(PlanMemory& memory, const OnDisk& disk) {
    if (asksIdentityFirst(memory, disk)) return Fetch::Identity;
    memory.signatureFirst = !memory.keyId.empty();
    return memory.signatureFirst ? Fetch::Signature : Fetch::Archive;
}

Step judgeIdentity(const SignatureCheck& check, PlanMemory& memory, const std::optional<AgentRecord>& cached,
                   const TrustFacts& facts) {
    const bool names = judgeSignedArchive(check, facts) == SignatureStatus::Valid && cached && !memory.keyId.empty() &&
                       cameFromHere(*cached, memory) && !cached->hash.empty();
    return names ? act(Action::UseCached) : fetchNext(memory, Fetch::Archive);
}

Step judgeHeld(const Step& step, PlanMemory& memory, const std::optional<AgentRecord>& held,
               const std::optional<AgentRecord>& judged) {
    if (step.action != Action::UseCached ||
        (held && judged && cameFromHere(*held, memory) && held->hash == judged->hash)) {
        return step;
    }
    return fetchNext(memory, Fetch::Archive);
}

Step judgeSignatureArrived(PlanMemory& memory, const Keyring& keyring, const std::optional<KeyId>& signer) {
    // Key statements are asked for once, for a key neither trusted nor retired.
    if (!signer || memory.statementAsked || keyring.find(*signer) != nullptr || keyring.isRetired(*signer)) {
        return act(Action::CheckSignature);
    }
    memory.statementAsked = true;
    return fetchNext(memory, Fetch::Statement);
}

Step judgeStatements(const StatementOutcome& outcome, const std::string& url) {
    // None published (OtherKey), or taken: the archive's signature decides.
    if (outcome.status == SignatureStatus::OtherKey || outcome.status == SignatureStatus::Valid) {
        return act(Action::CheckSignature);
    }
    return refused(outcome.status, url, outcome.why);
}

SignatureStatus judgeRollback(const SignatureCheck& check, const PlanMemory& memory,
                              const std::optional<AgentRecord>& cached) {
    if (check.status == SignatureStatus::Valid && cached && cached->url == memory.url &&
        cached->keyId == memory.keyId && isRollback(check.trustedComment, cached->trustedComment)) {
        return SignatureStatus::Rollback;
    }
    return check.status;
}

SignatureStatus judgeSignedArchive(const SignatureCheck& check, const TrustFacts& facts) {
    if (check.status != SignatureStatus::Valid) return check.status;
    const auto signedAt = commentTime(check.trustedComment, "timestamp");
    if (facts.floor && (!signedAt || *signedAt < *facts.floor)) return SignatureStatus::BelowFloor;
    if (hasExpired(check.trustedComment, facts.now)) return SignatureStatus::Expired;
    if (facts.newestSigned && signedAt && *signedAt < *facts.newestSigned) return SignatureStatus::Rollback;
    return SignatureStatus::Valid;
}

namespace {

// A signature's status once rollback, floor and expiry are judged too.
SignatureStatus judgedStatus(const SignatureCheck& check, const PlanMemory& memory,
                             const std::optional<AgentRecord>& cached, const TrustFacts& facts) {
    SignatureCheck judged = check;
    judged.status = judgeRollback(check, memory, cached);
    return judgeSignedArchive(judged, facts);
}

Step refusedSignature(SignatureStatus status, const SignatureCheck& check, const PlanMemory& memory) {
    return refused(status, memory.url,
                   "expected key " + memory.keyId + (check.keyId.empty() ? "" : ", found key " + check.keyId));
}

}  // namespace

Step judgeSignatureAhead(const SignatureCheck& check, PlanMemory& memory, const std::optional<AgentRecord>& cached,
                         const TrustFacts& facts) {
    const SignatureStatus status = judgedStatus(check, memory, cached, facts);
    if (status == SignatureStatus::Valid) return fetchNext(memory, Fetch::Archive);
    return refusedSignature(status, check, memory);
}

Step judgeSignature(const SignatureCheck& check, PlanMemory& memory, const std::optional<AgentRecord>& cached,
                    const TrustFacts& facts) {
    const SignatureStatus status = judgedStatus(check, memory, cached, facts);
    if (status == SignatureStatus::Valid) return act(Action::Extract);
    if (status == SignatureStatus::Invalid && memory.signatureFirst && !memory.signatureAgain) {
        memory.signatureAgain = true;
        return fetchNext(memory, Fetch::Signature);
    }
    return refusedSignature(status, check, memory);
}

std::optional<Failure> judgeShippedSignature(const SignatureCheck& check, const TrustFacts& facts,
                                             const std::string& archive) {
    const SignatureStatus status = judgeSignedArchive(check, facts);
    if (status == SignatureStatus::Valid) return std::nullopt;
    Failure failure{Failure::Kind::Signature, archive};
    failure.signature = status;
    failure.shipped = true;
    return failure;
}

Step judgeOffline(const Step& offline, const PlanMemory& memory, const std::optional<AgentRecord>& held, int64_t now) {
    if (!held || !cameFromHere(*held, memory)) return fail(*offline.failure);
    if (hasExpired(held->trustedComment, now)) {
        // Not started: an agent past its expiry may be one the vendor has withdrawn.
        return refused(SignatureStatus::CachedExpired, memory.url,
                       offline.reason + "; " + readableTrustedComment(held->trustedComment), false);
    }
    Step step = act(Action::UseCached);
    step.offlineSince = held->storedAt;
    step.reason = offline.reason;
    return step;
}

std::optional<Step> judgeRoom(int64_t needed, int64_t free, const std::string& place, const std::string& what,
                              bool dropPartial) {
    if (free < 0 || needed <= free) return std::nullopt;
    Failure failure{Failure::Kind::NoSpace, place, what};
    failure.needed = needed;
    failure.free = free;
    return fail(std::move(failure), dropPartial);
}

Step judgeFill(CacheFill filled, const std::string& archive, const std::string& cacheDir, int64_t needed) {
    switch (filled) {
        case CacheFill::Filled:
            return act(Action::UseCached, true);
        case CacheFill::GaveUp:
            return act(Action::Stop);  // the whole archive stays for the next run
        case CacheFill::ExtractionFailed:
            return fail({Failure::Kind::Extraction, archive}, true);
        case CacheFill::DiskFull: {
            // The whole archive stays: once there is room, it is extracted without a download.
            Failure full{Failure::Kind::NoSpace, cacheDir, archive};
            full.needed = needed;
            return fail(std::move(full));
        }
        case CacheFill::CacheNotWritable:
            break;
    }
    return fail({Failure::Kind::CacheNotWritable, cacheDir});
}

bool mayPassAgain(const Failure& failure) {
    switch (failure.kind) {
        case Failure::Kind::Transfer:
            switch (failure.transfer) {
                case TransferErrorKind::Refused:
                case TransferErrorKind::UnknownHost:
                case TransferErrorKind::TimedOut:
                case TransferErrorKind::ConnectionLost:
                case TransferErrorKind::DiskFull:
                    return true;
                default:
                    return false;
            }
        case Failure::Kind::Http:
            return isTransientStatus(failure.status);
        case Failure::Kind::NoSpace:
        case Failure::Kind::NotZip:  // once signed in to the network
            return true;
        case Failure::Kind::Signature:
            // Offline, with the cached agent past its expiry: the server may answer now.
            return failure.signature == SignatureStatus::CachedExpired;
        default:
            return false;
    }
}

bool hasExpired(const std::string& trustedComment, int64_t now) {
    if (!commentField(trustedComment, "expires")) return false;
    const auto expires = commentTime(trustedComment, "expires");
    return !expires || *expires <= now;
}

}  // namespace bi
