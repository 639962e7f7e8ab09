#include "download/fetch_plan.h"

#include "download/download_texts.h"
#include "download/retry_policy.h"

namespace bi {

namespace {

using Action = Step::Action;
using net::TransferErrorKind;

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

// Another attempt of the same fetch after its wait; nothing when none is left.
std::optional<Step> retry(FetchState& state, std::string reason, const std::optional<std::string>& retryAfter,
                          double scale, RetryCause cause) {
    if (state.attempt >= kMaxAttempts) return std::nullopt;
    Step step = act(Action::Retry);
    step.cause = cause;
    step.wait = retryWait(++state.attempt, retryAfter, scale);
    step.reason = std::move(reason);
    return step;
}

Step judgeFailure(FetchState& state, const std::string& url, const net::TransferError& error, double scale) {
    const bool reachedBefore = state.reached;
    state.reached = state.reached || error.responded;
    if (isTransientError(error, reachedBefore)) {
        const RetryCause cause = error.kind == TransferErrorKind::ConnectionLost ? RetryCause::ConnectionLost
                                 : error.kind == TransferErrorKind::TimedOut     ? RetryCause::NoAnswer
                                                                                 : RetryCause::Unreachable;
        if (auto step = retry(state, error.reason, std::nullopt, scale, cause)) return *step;
    }
    const bool lostFile = error.kind == TransferErrorKind::BadRange || error.kind == TransferErrorKind::DiskFull;
    if (error.kind == TransferErrorKind::ProxyAuth) return fail({Failure::Kind::ProxyAuth, url}, lostFile);
    Failure failure{error.kind == TransferErrorKind::NoLibrary ? Failure::Kind::NoLibrary : Failure::Kind::Transfer,
                    error.url, error.reason};
    failure.transfer = error.kind;
    failure.proxy = error.proxy;
    // Only when no HTTP answer came at all: a server that answers with errors is not away.
    if (!state.reached && isUnreachable(error)) {
        Step step = fail(std::move(failure));
        step.action = Action::Offline;
        step.reason = error.reason;
        return step;
    }
    return fail(std::move(failure), lostFile);
}

Step judgeStatus(FetchState& state, const ArchiveAsk& asked, const Answer& answer, double scale) {
    const std::string& url = asked.request.url;
    const long status = answer.status;
    const bool archive = state.fetch == Fetch::Archive;
    if (archive && status == 416 && asked.request.resumeFrom > 0 && !state.restarted) {
        // The partial archive is whole, or longer than the archive now is: start over, once.
        state.restarted = true;
        return act(Action::AskAgain, true);
    }
    if (status == 407) return fail({Failure::Kind::ProxyAuth, url});
    // No signature to tell the agent by: the archive's own request decides, as without a key.
    if (state.fetch == Fetch::Identity && !isTransientStatus(status)) return act(Action::AskArchive);
    if (!archive && (status == 404 || status == 410)) {
        // Without statements the archive's key stays one the bundle does not know.
        const bool statement = state.fetch == Fetch::Statement;
        Failure missing{Failure::Kind::Signature, url,
                        format(statement ? "no key statement, HTTP %ld" : "HTTP %ld", status)};
        missing.signature = statement ? SignatureStatus::OtherKey : SignatureStatus::Missing;
        return fail(std::move(missing), true);
    }
    if (isTransientStatus(status)) {
        if (auto step = retry(state, format("HTTP %ld", status), answer.retryAfter, scale, RetryCause::Busy))
            return *step;
    }
    Failure failure{Failure::Kind::Http, url};
    failure.status = status;
    failure.bodyless = answer.bodyless;
    return fail(std::move(failure), archive && !isTransientStatus(status));
}

// A server that cannot serve now is left for the next: unreachable, busy or silent after its
// retries, or without the archive (a mirror may lag behind).
bool leavesServer(const FetchState& state, const Answer& answer) {
    if (answer.error) {
        return isUnreachable(*answer.error) || answer.error->kind == TransferErrorKind::TimedOut ||
               answer.error->kind == TransferErrorKind::ConnectionLost;
    }
    return isTransientStatus(answer.status) ||
           (state.fetch == Fetch::Archive && (answer.status == 404 || answer.status == 410));
}

Step moveOn(FetchState& state, const Answer& answer, Step step) {
    if ((step.action != Action::Fail && step.action != Action::Offline) || state.servers.size() < 2 ||
        !leavesServer(state, answer)) {
        return step;
    }
    if (state.server == 0) state.primaryFailure = step.failure;
    if (state.server + 1 < state.servers.size()) {
        Step next = act(Action::NextServer);
        next.reason = answer.error ? answer.error->reason : format("HTTP %ld", answer.status);
        state.earlierAnswered = state.earlierAnswered || state.reached;
        state.reached = false;
        state.attempt = 1;
        ++state.server;
        return next;
    }
    // None could serve: the run ends as the first server's attempt did, offline only when no
    // server answered at all.
    step.failure = state.primaryFailure;
    step.serversFailed = state.servers.size();
    if (step.action == Action::Offline && state.earlierAnswered) step.action = Action::Fail;
    return step;
}

}  // namespace

std::string serverUrl(const FetchState& state) {
    return state.server < state.servers.size() ? state.servers[state.server] : state.url;
}

ArchiveAsk planArchive(const FetchState& state, const OnDisk& disk) {
    ArchiveAsk ask;
    ask.request.url = serverUrl(state);
    const auto& partial = disk.partial;
    const bool resumable = partial && partial->record.url == state.url && isStrongTag(partial->record.tag);
    if (resumable && partial->complete()) {
        // Downloaded whole before: still the server's current archive?
        ask.forPartial = true;
        ask.request.ifNoneMatch = partial->record.tag;
        return ask;
    }
    const auto& cached = disk.cached;
    if (!state.conditionsDropped && cached && cached->url == state.url && isSendableTag(cached->tag) &&
        (state.keyId.empty() || cached->keyId == state.keyId) && disk.cachedTagStored && !disk.cachedExpired) {
        ask.request.ifNoneMatch = cached->tag;
    }
    if (resumable) {
        ask.request.resumeFrom = partial->size;
        ask.request.ifRange = partial->record.tag;
    }
    return ask;
}

static Step judgeAnswer(FetchState& state, const ArchiveAsk& asked, const Answer& answer, double scale) {
    if (answer.error && state.fetch == Fetch::Statement && answer.error->kind == TransferErrorKind::Other &&
        answer.error->responded) {
        // Longer than any statement: nothing to wait for.
        state.reached = true;
        Failure oversized{Failure::Kind::Signature, asked.request.url, answer.error->reason};
        oversized.signature = SignatureStatus::StatementInvalid;
        return fail(std::move(oversized), true);
    }
    if (answer.error) return judgeFailure(state, asked.request.url, *answer.error, scale);
    state.reached = true;
    if (answer.status >= 400) return judgeStatus(state, asked, answer, scale);
    if (state.fetch != Fetch::Archive) return act(Action::Accept);
    if (answer.status == 304) return act(asked.forPartial ? Action::UsePartial : Action::CheckCached);
    const bool ranged = asked.request.resumeFrom > 0;
    if (answer.status == 206) {
        // If-Range promised the same archive; a server that ignores it must not mix two.
        if (!ranged || (answer.tag && *answer.tag != asked.request.ifRange)) {
            if (state.restarted) return fail({Failure::Kind::ResumedOther, asked.request.url}, true);
            state.restarted = true;
            return act(Action::AskAgain, true);
        }
        return act(Action::Accept);
    }
    Step step = act(Action::Accept);
    step.startOver = ranged;
    return step;
}

Step judge(FetchState& state, const ArchiveAsk& asked, const Answer& answer, double scale) {
    return moveOn(state, answer, judgeAnswer(state, asked, answer, scale));
}

Step cachedAgentGone(FetchState& state, const ArchiveAsk& asked) {
    // The agent went between the question and the answer: ask again, for the archive itself.
    if (state.fetch == Fetch::Archive && asked.request.ifNoneMatch && !state.conditionsDropped) {
        state.conditionsDropped = true;
        return act(Action::AskAgain);
    }
    return fail({Failure::Kind::NotModifiedPlain, asked.request.url});
}

bool asksIdentityFirst(const FetchState& state, const OnDisk& disk) {
    const auto& cached = disk.cached;
    return !state.keyId.empty() && cached && cached->url == state.url && cached->keyId == state.keyId &&
           !cached->hash.empty() && !disk.cachedExpired;
}

Step judgeIdentity(const SignatureCheck& check, const FetchState& state, const std::optional<CacheRecord>& cached,
                   const TrustFacts& facts) {
    const bool names = judgeSignedArchive(check, facts) == SignatureStatus::Valid && cached && !state.keyId.empty() &&
                       cached->url == state.url && cached->keyId == state.keyId && !cached->hash.empty();
    return act(names ? Action::UseCached : Action::AskArchive);
}

SignatureStatus judgeRollback(const SignatureCheck& check, const FetchState& state,
                              const std::optional<CacheRecord>& cached) {
    if (check.status == SignatureStatus::Valid && cached && cached->url == state.url && cached->keyId == state.keyId &&
        isRollback(check.trustedComment, cached->trustedComment)) {
        return SignatureStatus::Rollback;
    }
    return check.status;
}

bool needsKeyStatement(FetchState& state, const Keyring& keyring, const std::optional<KeyId>& signer) {
    if (!signer || state.statementAsked || keyring.find(*signer) != nullptr || keyring.isRetired(*signer)) return false;
    state.statementAsked = true;
    return true;
}

SignatureStatus judgeSignedArchive(const SignatureCheck& check, const TrustFacts& facts) {
    if (check.status != SignatureStatus::Valid) return check.status;
    const auto signedAt = commentTime(check.trustedComment, "timestamp");
    if (facts.floor && (!signedAt || *signedAt < *facts.floor)) return SignatureStatus::BelowFloor;
    if (hasExpired(check.trustedComment, facts.now)) return SignatureStatus::Expired;
    if (facts.newestSigned && signedAt && *signedAt < *facts.newestSigned) return SignatureStatus::Rollback;
    return SignatureStatus::Valid;
}

bool hasExpired(const std::string& trustedComment, int64_t now) {
    if (!commentField(trustedComment, "expires")) return false;
    const auto expires = commentTime(trustedComment, "expires");
    return !expires || *expires <= now;
}

}  // namespace bi
