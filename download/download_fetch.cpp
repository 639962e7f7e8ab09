// The controller's fetches, on the session's worker: it reads the disk, sends what the fetch
// plan asks for, and carries out what the plan decides of each answer.
#include <sys/stat.h>

#include <cmath>
#include <ctime>

#include "agent/cache.h"
#include "agent/cache_lock.h"
#include "agent/key_statement.h"
#include "download/download.h"
#include "download/download_texts.h"
#include "download/retry_policy.h"
#include "host/files.h"
#include "platform/system_log.h"

namespace bi {

namespace {

using Action = Step::Action;

constexpr int64_t kLongestSignature = int64_t{64} * 1024;

// A zip archive starts with a local file header, or is an empty one: a captive portal's page
// or a proxy's error page does not.
bool looksLikeZip(const std::string& path) {
    char magic[4] = {};
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    const size_t n = std::fread(magic, 1, sizeof magic, file);
    std::fclose(file);
    const std::string head(magic, n);
    return head == std::string("PK\x03\x04", 4) || head == std::string("PK\x05\x06", 4);
}

int64_t sizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

int64_t now() { return static_cast<int64_t>(std::time(nullptr)); }

std::string hexOf(const Blake2bDigest& digest) {
    static const char* const digits = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0xf];
    }
    return hex;
}

std::optional<Blake2bDigest> digestOfHex(const std::string& hex) {
    Blake2bDigest digest{};
    if (hex.size() != digest.size() * 2) return std::nullopt;
    for (size_t i = 0; i < digest.size(); ++i) {
        const std::string pair = hex.substr(i * 2, 2);
        if (pair.find_first_not_of("0123456789abcdef") != std::string::npos) return std::nullopt;
        digest[i] = static_cast<unsigned char>(std::stoul(pair, nullptr, 16));
    }
    return digest;
}

}  // namespace

void Download::begin() {
    // One downloader per cache: the others wait, then find the agent it brought current.
    CacheLock& lock = CacheLock::download();
    for (bool announced = false; !lock.tryLock(CacheLock::Mode::Exclusive); announced = true) {
        if (!announced) showStatus(tr("Waiting for another installer to finish"));
        if (!pause(std::chrono::milliseconds(50))) return;
    }
    if (key_.state == BundleKeyState::Present) trust_ = readTrustState(trustStatePath(key_.idText()));
    OnDisk disk{std::nullopt, cachedAgentRecord()};
    disk.cachedExpired = disk.cached && hasExpired(disk.cached->trustedComment, now());
    asksIdentityFirst(state_, disk) ? startSignature(Fetch::Identity) : startArchive();
}

void Download::startArchive() {
    OnDisk disk{partialArchiveFor(url_), cachedAgentRecord()};
    disk.cachedTagStored = disk.cached && isCacheValid(getInstallAgentCacheDir(), disk.cached->tag);
    disk.cachedExpired = disk.cached && hasExpired(disk.cached->trustedComment, now());
    cachedExpired_ = disk.cachedExpired;
    partial_ = disk.partial;
    state_.fetch = Fetch::Archive;
    asked_ = planArchive(state_, disk);
    asked_.request.file = partialArchivePath();
    base_ = asked_.request.resumeFrom;
    hasher_.reset();
    if (key_.state == BundleKeyState::Present) hasher_ = std::make_unique<FileHasher>(partialArchivePath());
    send(asked_.request);
}

void Download::startSignature(Fetch fetch) {
    state_.fetch = fetch;
    asked_ = ArchiveAsk{};
    asked_.request.url = signatureUrlOf(serverUrl(state_));
    asked_.request.maxBodyBytes = kLongestSignature;
    send(asked_.request);
}

void Download::startStatement() {
    state_.fetch = Fetch::Statement;
    asked_ = ArchiveAsk{};
    asked_.request.url = keyStatementUrlOf(serverUrl(state_));
    asked_.request.maxBodyBytes = kLongestStatements;
    send(asked_.request);
}

void Download::send(net::TransferRequest request) {
    task_ = &session_->downloadTask(std::move(request));
    task_->resume();
}

namespace {

const char* retryText(RetryCause cause) {
    switch (cause) {
        case RetryCause::Busy:
            return tr("The server is busy. Trying again in %d s (attempt %d of %d)");
        case RetryCause::NoAnswer:
            return tr("The server stopped answering. Trying again in %d s (attempt %d of %d)");
        case RetryCause::Unreachable:
            return tr("The server cannot be reached. Trying again in %d s (attempt %d of %d)");
        case RetryCause::ConnectionLost:
            break;
    }
    return tr("Connection lost. Retrying in %d s (attempt %d of %d)");
}

}  // namespace

void Download::sendNext(Next next) {
    // A window counts the wait down; a console says it once, so that a pipe gets a line per attempt.
    const bool countDown = window_->waitsForUserAfterFailure();
    for (auto left = next.wait; left.count() > 0; left -= std::chrono::milliseconds(1000)) {
        const int seconds = static_cast<int>(std::ceil(static_cast<double>(left.count()) / 1000));
        if (countDown || left == next.wait) {
            showStatus(format(retryText(next.cause), seconds, state_.attempt, kMaxAttempts));
        }
        if (!pause(std::min(left, std::chrono::milliseconds(1000)))) return;
    }
    if (next.wait.count() > 0) showStatus(tr("Downloading"));
    if (next.fetch == Fetch::Statement) return startStatement();
    next.fetch == Fetch::Archive ? startArchive() : startSignature(next.fetch);
}

bool Download::firstAnswer(net::DownloadTask& task, bool bodyless) {
    const net::HttpResponse response = task.response();
    Answer answer;
    answer.status = response.statusCode;
    answer.bodyless = bodyless;
    answer.tag = response.header("ETag");
    answer.retryAfter = response.header("Retry-After");
    const Step step = judge(state_, asked_, answer, waitScale_);
    if (step.action != Action::Accept) {
        carryOut(task, step);
        return false;
    }
    if (state_.fetch != Fetch::Archive) return true;

    tag_ = response.header("ETag");
    if (response.statusCode == 206) tag_ = partial_->record.tag;  // the plan made sure it is the same
    if (step.startOver) {
        base_ = 0;
        if (hasher_) hasher_->restart();
    }
    const int64_t expected = response.expectedContentLength;
    length_ = expected >= 0 ? base_ + expected : -1;

    // The cached agent may be current all the same (a server that ignores If-None-Match),
    // unless it has expired.
    switch (cachedExpired_ ? CacheJudgement::Stale
                           : judgeCache(AgentIdentity{url_, tag_, key_.idText()}, cacheWait())) {
        case CacheJudgement::Current:
            finishReady(task);
            return false;
        case CacheJudgement::GaveUp:
            return false;
        case CacheJudgement::Stale:
        case CacheJudgement::Empty:
            break;
    }
    // Only an archive with a strong tag can be resumed; any other is dropped by the next run.
    recordPartialArchive(CacheRecord{url_, tag_.value_or(""), "", "", now(), length_, "", ""});
    onMain([&] {
        window_->setProgressValue(static_cast<double>(base_));
        if (length_ < 0) {
            window_->setProgressIndeterminate(true);
            window_->startProgressAnimation();
        } else {
            window_->setProgressMaxValue(static_cast<double>(length_));
            window_->setProgressIndeterminate(false);
        }
    });
    return true;
}

void Download::carryOut(net::DownloadTask& task, const Step& step) {
    if (step.dropPartial) dropPartialArchive();
    switch (step.action) {
        case Action::Accept:
            return;
        case Action::UsePartial:
            tag_ = partial_->record.tag;
            archiveArrived(task, partialArchivePath());
            return;
        case Action::CheckCached:
            switch (judgeCache(AgentIdentity{url_, asked_.request.ifNoneMatch, key_.idText()}, cacheWait())) {
                case CacheJudgement::Current:
                    finishReady(task);
                    return;
                case CacheJudgement::GaveUp:
                    return;
                case CacheJudgement::Stale:
                case CacheJudgement::Empty:
                    carryOut(task, cachedAgentGone(state_, asked_));
                    return;
            }
            return;
        case Action::AskAgain:
            next_ = Next{Fetch::Archive, {}};
            task.cancel();
            return;
        case Action::Retry:
            platform::systemLog("Download attempt " + std::to_string(state_.attempt - 1) + " failed (" + step.reason +
                                "); retrying in " + std::to_string(step.wait.count()) + " ms: " + task.url());
            next_ = Next{state_.fetch, step.wait, step.cause};
            task.cancel();
            return;
        case Action::Offline:
            if (step.serversFailed > 1) logNoServer(step.serversFailed);
            if (!startOffline(task, step.reason)) fail(task, *step.failure);
            return;
        case Action::Fail:
            if (state_.fetch == Fetch::Statement && step.failure->signature == SignatureStatus::OtherKey) {
                // No statements published: the archive's key stays unknown.
                return checkSignature(task);
            }
            if (step.serversFailed > 1) logNoServer(step.serversFailed);
            fail(task, *step.failure);
            return;
        case Action::NextServer: {
            const std::string next = serverUrl(state_);
            platform::systemLog("Download from " + task.url() + " left (" + step.reason + "); trying " + next);
            showStatus(format(tr("Trying another server (%d of %d)"), static_cast<int>(state_.server) + 1,
                              static_cast<int>(state_.servers.size())));
            next_ = Next{state_.fetch, {}};
            task.cancel();
            return;
        }
        case Action::AskArchive:
            state_.attempt = 1;
            next_ = Next{Fetch::Archive, {}};
            task.cancel();
            return;
        case Action::UseCached:
            finishReady(task);
            return;
    }
}

void Download::logNoServer(size_t count) {
    platform::systemLog("All mirrors failed: none of the " + std::to_string(count) + " servers could be reached (" +
                        url_ + " and its mirrors)");
}

void Download::archiveArrived(net::DownloadTask& task, const std::string& location) {
    if (!looksLikeZip(location)) {
        dropPartialArchive();
        const auto type = task.response().header("Content-Type");
        fail(task, {Failure::Kind::NotZip, task.url(), type ? platform::printable(type->substr(0, 100)) : ""});
        return;
    }
    // Whole now: a run that ends before the archive is used leaves it for the next.
    const std::string tag = tag_.value_or("");
    recordPartialArchive(CacheRecord{url_, tag, "", "", now(), sizeOf(location), "", ""});
    if (key_.state != BundleKeyState::Present) {
        handOff(task, CacheRecord{url_, tag, "", "", now(), -1, "", ""});
        return;
    }
    state_.attempt = 1;
    next_ = Next{Fetch::Signature, {}};
}

void Download::signatureArrived(net::DownloadTask& task, const std::string& location) {
    signature_ = readSmallFile(location).value_or("");
    if (needsKeyStatement(state_, keyringOf(key_.keys, trust_), signatureKeyId(signature_))) {
        state_.attempt = 1;
        next_ = Next{Fetch::Statement, {}};
        return;
    }
    checkSignature(task);
}

void Download::statementArrived(net::DownloadTask& task, const std::string& location) {
    const auto text = readSmallFile(location, static_cast<size_t>(kLongestStatements)).value_or("");
    const StatementOutcome outcome = takeKeyStatements(text, key_.keys, trust_);
    if (outcome.status == SignatureStatus::OtherKey) return checkSignature(task);
    if (outcome.status != SignatureStatus::Valid) {
        dropPartialArchive();
        Failure failure{Failure::Kind::Signature, task.url(), outcome.why};
        failure.signature = outcome.status;
        fail(task, std::move(failure));
        return;
    }
    for (const auto& taken : outcome.taken) {
        std::string changes;
        for (const auto& key : taken.added) changes += ", trusts " + keyIdText(parseKeyLine(key)->id);
        for (const auto& id : taken.retired) changes += ", retires " + id;
        platform::systemLog("Key statement of " + readableTrustedComment("timestamp:" + std::to_string(taken.time)) +
                            " taken: signed by " + taken.signer + changes);
    }
    checkSignature(task);
}

void Download::checkSignature(net::DownloadTask& task) {
    const std::string archive = partialArchivePath();
    const int64_t size = sizeOf(archive);
    SignatureCheck check = verifySigned(keyringOf(key_.keys, trust_), signature_, archive, archiveNameOfUrl(url_),
                                        [&] { return hasher_ ? hasher_->digest(size) : std::nullopt; });
    check.status = judgeRollback(check, state_, cachedAgentRecord());
    check.status = judgeSignedArchive(check, trustFacts());
    if (check.status != SignatureStatus::Valid) {
        dropPartialArchive();
        Failure failure{Failure::Kind::Signature, url_,
                        "expected key " + key_.idText() + (check.keyId.empty() ? "" : ", found key " + check.keyId)};
        failure.signature = check.status;
        fail(task, std::move(failure));
        return;
    }
    platform::systemLog("Install agent signature verified: " + readableTrustedComment(check.trustedComment));
    CacheRecord record{url_, tag_.value_or(""), key_.idText(), check.trustedComment, now(), -1, "", ""};
    // What tells this agent by its signature later, whichever server sends the signature then.
    if (const auto digest = hasher_ ? hasher_->digest(size) : std::nullopt) {
        record.hash = hexOf(*digest);
        record.signature = signature_;
    }
    handOff(task, record);
}

void Download::identityArrived(net::DownloadTask& task, const std::string& location) {
    const auto cached = cachedAgentRecord();
    const auto digest = cached ? digestOfHex(cached->hash) : std::nullopt;
    // The keys trusted now, the floor and the expiry judge the cached agent as a new archive.
    const SignatureCheck check = digest
                                     ? verifySigned(keyringOf(key_.keys, trust_), readSmallFile(location).value_or(""),
                                                    "", archiveNameOfUrl(url_), [&] { return digest; })
                                     : SignatureCheck{};
    Step step = judgeIdentity(check, state_, cached, trustFacts());
    if (step.action == Action::UseCached) {
        // Held under the shared lock, and still the agent that was judged.
        const auto held = holdCachedAgentFrom(url_, key_.idText(), cacheWait());
        if (held && held->hash == cached->hash) {
            platform::systemLog("The cached install agent is the one its signature names (" +
                                readableTrustedComment(check.trustedComment) + "): " + task.url());
        } else {
            if (held) CacheLock::process().unlock();
            step.action = Action::AskArchive;
        }
    }
    carryOut(task, step);
}

TrustFacts Download::trustFacts() const {
    const auto seen = trust_.newestSigned.find(url_);
    return {now(), floor_.time, seen == trust_.newestSigned.end() ? std::nullopt : std::optional(seen->second)};
}

void Download::rememberTrust(const CacheRecord& record) {
    if (key_.state != BundleKeyState::Present) return;
    if (const auto signedAt = commentTime(record.trustedComment, "timestamp")) {
        int64_t& newest = trust_.newestSigned[url_];
        newest = std::max(newest, *signedAt);
    }
    // Only a later run's judgement: a failure to write it leaves the agent as good. Keys and
    // retirements are synced; a signing time alone is not worth a sync after a large archive,
    // and the agent's own record keeps it too.
    if (!writeTrustState(trustStatePath(key_.idText()), trust_, state_.statementAsked)) {
        platform::systemLog("Could not store what the installer learned about its keys: " +
                            trustStatePath(key_.idText()));
    }
}

void Download::onProgress(net::DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten, int64_t) {
    if (&task != task_ || phase_ != Phase::Fetching || next_) return;
    if (judged_ != &task && !(judged_ = &task, firstAnswer(task, false))) return;
    if (state_.fetch != Fetch::Archive) return;
    received_ += bytesWritten;
    if (hasher_) hasher_->grownTo(base_ + totalBytesWritten);
    onMain([&] {
        window_->setStatusText(tr("Downloading"), ui::TextColor::Normal);
        window_->advanceProgress(static_cast<double>(bytesWritten));
        window_->refresh();
    });
}

void Download::onArrived(net::DownloadTask& task, const std::string& location) {
    if (&task != task_ || phase_ != Phase::Fetching || next_) return;
    // A body-less response gives no progress report: its first answer is judged here.
    if (judged_ != &task && !(judged_ = &task, firstAnswer(task, true))) return;
    switch (state_.fetch) {
        case Fetch::Archive:
            archiveArrived(task, location);
            return;
        case Fetch::Signature:
            signatureArrived(task, location);
            return;
        case Fetch::Identity:
            identityArrived(task, location);
            return;
        case Fetch::Statement:
            statementArrived(task, location);
            return;
    }
}

void Download::onEnded(net::DownloadTask& task, const std::optional<net::TransferError>& error) {
    if (&task != task_ || stopped()) return;
    if (!next_ && phase_ == Phase::Fetching && error && error->kind != net::TransferErrorKind::Cancelled) {
        Answer answer;
        answer.error = *error;
        carryOut(task, judge(state_, asked_, answer, waitScale_));
    }
    // What an answer decided to do next: another attempt, or the signature after the archive.
    if (const auto next = std::exchange(next_, std::nullopt)) sendNext(*next);
}

}  // namespace bi
