#include "download/run.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "agent/cache.h"
#include "agent/cache_lock.h"
#include "agent/extract.h"
#include "agent/key_statement.h"
#include "agent/partial_archive.h"
#include "download/retry_policy.h"
#include "host/files.h"
#include "host/report.h"
#include "host/text.h"
#include "net/url.h"
#include "platform/system_log.h"

namespace bi {

namespace {

using Action = Step::Action;
using Clock = std::chrono::steady_clock;
constexpr auto kLockPoll = std::chrono::milliseconds(50);

int64_t sizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

int64_t now() { return static_cast<int64_t>(std::time(nullptr)); }

std::string dayOf(int64_t seconds) {
    char date[32] = "an earlier day";
    const auto stored = static_cast<time_t>(seconds);
    tm local{};
    if (::localtime_r(&stored, &local) != nullptr) std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    return date;
}

void logNoServer(size_t count, const std::string& url) {
    platform::systemLog("All mirrors failed: none of the " + std::to_string(count) + " servers could be reached (" +
                        url + " and its mirrors)");
}

bool ended(const RunState& state) {
    return std::holds_alternative<stage::Ready>(state) || std::holds_alternative<stage::Failed>(state) ||
           std::holds_alternative<stage::Cancelled>(state);
}

}  // namespace

DownloadRun::DownloadRun(RunInputs inputs, const Settings& settings, ui::Window& window)
    : in_(std::move(inputs)), settings_(settings), window_(window), logMark_(platform::logLinesLogged()) {
    memory_.url = in_.url;
    memory_.keyId = in_.key.idText();
    if (!in_.mirrors.empty()) {
        memory_.servers = {in_.url};
        memory_.servers.insert(memory_.servers.end(), in_.mirrors.begin(), in_.mirrors.end());
    }
}

// The variant's assignment of the empty Cancelled cannot throw, whatever clang-tidy assumes.
DownloadRun::~DownloadRun() { shutDown(); }  // NOLINT(bugprone-exception-escape)

bool DownloadRun::enter(RunState next) {
    std::lock_guard lock(mutex_);
    if (ended(state_)) return false;
    state_ = std::move(next);
    return true;
}

template <typename Stage>
std::optional<Stage> DownloadRun::in(const net::DownloadTask* task) const {
    std::lock_guard lock(mutex_);
    const Stage* held = std::get_if<Stage>(&state_);
    if (held == nullptr) return std::nullopt;
    if constexpr (requires { held->task; }) {
        if (held->task != task) return std::nullopt;
    }
    if constexpr (requires { held->after; }) {
        if (held->after != task) return std::nullopt;
    }
    return *held;
}

void DownloadRun::start() {
    if (auto failure = judgeStart(in_.start)) return fail(nullptr, *failure);
    net::SessionOptions options;
    // Only the signature lands there, in the run's working directory, which goes with the run.
    options.temporaryDirectory = in_.workDir;
    options.idleTimeout = settings_.idleTimeout;
    session_ = net::makeUrlSession(*this, options);
    session_->post([this] { begin(); });
}

void DownloadRun::cancel() {
    bool unpacking = false;
    {
        std::lock_guard lock(mutex_);
        if (ended(state_)) return;
        unpacking = std::holds_alternative<stage::Extracting>(state_);
        state_ = stage::Cancelled{};
    }
    wake_.notify_all();
    // An extraction under way says so itself once it has stopped.
    if (!unpacking) reportMessage("The installation was cancelled.", true);
    if (session_) session_->cancelAll();  // every task, whichever runs now
}

RunResult DownloadRun::finish() {
    shutDown();
    std::lock_guard lock(mutex_);
    if (const auto* ready = std::get_if<stage::Ready>(&state_)) return ready->agent;
    if (const auto* failed = std::get_if<stage::Failed>(&state_)) return failed->failure;
    return Failure{Failure::Kind::Cancelled};
}

void DownloadRun::shutDown() {
    if (session_) session_->cancelAll();
    {
        std::lock_guard lock(mutex_);
        if (!ended(state_)) state_ = stage::Cancelled{};
    }
    wake_.notify_all();
    session_.reset();  // joins the worker; its runSync calls return at once now
    hasher_.reset();
    CacheLock::download().unlock();
}

void DownloadRun::publish() {
    window_.mainLoop().runSync([this, shown = snapshot_] { window_.show(shown); });
}

bool DownloadRun::pause(Clock::time_point until) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_until(lock, until, [this] { return std::holds_alternative<stage::Cancelled>(state_); });
}

CacheWait DownloadRun::cacheWait() {
    return CacheWait{[this] {
                         snapshot_.stage = ui::Stage::WaitingForOther;
                         publish();
                     },
                     [this] { return in<stage::Cancelled>().has_value(); }};
}

void DownloadRun::begin() {
    // One downloader per cache: the others wait, then find the agent it brought current.
    bool waited = false;
    for (; !CacheLock::download().tryLock(CacheLock::Mode::Exclusive); waited = true) {
        if (!waited) {
            if (!enter(stage::WaitingForOther{})) return;
            snapshot_.stage = ui::Stage::WaitingForOther;
            followOther();
            publish();
        } else if (followOther()) {
            publish();
        }
        if (!pause(Clock::now() + kLockPoll)) return;
    }
    if (waited) {  // the other's progress is not this run's
        snapshot_.transfer = {};
        snapshot_.stage = ui::Stage::Downloading;
        publish();
    }
    if (!memory_.keyId.empty()) trust_ = readTrustState(trustStatePath(memory_.keyId));
    OnDisk disk{std::nullopt, cachedAgentRecord()};
    disk.cachedExpired = disk.cached && hasExpired(disk.cached->trustedComment, now());
    const auto left = peekPartialArchive();
    snapshot_.keepsPartial = left && left->record.url == in_.url && isStrongTag(left->record.tag);
    fetch(firstFetch(memory_, disk));
}

bool DownloadRun::followOther() {
    const auto other = peekPartialArchive();
    ui::TransferMeter& meter = snapshot_.transfer;
    if (!other || (meter.receiving() && static_cast<double>(other->size) == meter.received())) return false;
    const auto at = ui::TransferMeter::Clock::now();
    meter.setMaximum(static_cast<double>(std::max<int64_t>(other->record.length, 0)));
    meter.setIndeterminate(other->record.length < 0);
    if (!meter.receiving() || static_cast<double>(other->size) < meter.received()) {
        // What was there before counts as arrived, not as a burst of speed.
        meter.setValue(static_cast<double>(other->size));
        meter.add(0, at);
    } else {
        meter.add(static_cast<double>(other->size) - meter.received(), at);
    }
    return true;
}

void DownloadRun::fetch(Fetch what) {
    if (what != Fetch::Archive) return send(planBeside(memory_, what));
    OnDisk disk{partialArchiveFor(in_.url), cachedAgentRecord()};
    disk.cachedTagStored = disk.cached && isCacheValid(getInstallAgentCacheDir(), disk.cached->tag);
    disk.cachedExpired = disk.cached && hasExpired(disk.cached->trustedComment, now());
    memory_.cachedExpired = disk.cachedExpired;
    partial_ = disk.partial;
    snapshot_.keepsPartial = partial_.has_value();
    Ask ask = planArchive(memory_, disk);
    ask.request.file = partialArchivePath();
    base_ = ask.request.resumeFrom;
    hasher_.reset();
    if (!memory_.keyId.empty()) hasher_ = std::make_unique<FileHasher>(partialArchivePath());
    send(std::move(ask));
}

void DownloadRun::send(Ask ask) {
    net::DownloadTask& task = session_->downloadTask(ask.request);
    if (enter(stage::Asking{std::move(ask), &task})) task.resume();
}

Answer DownloadRun::answerOf(const net::DownloadTask& task, const Ask& asked, bool bodyless) const {
    const net::HttpResponse response = task.response();
    Answer answer;
    answer.status = response.statusCode;
    answer.bodyless = bodyless;
    answer.tag = response.header("ETag");
    answer.retryAfter = response.header("Retry-After");
    answer.length = response.expectedContentLength;
    answer.proxy = net::proxyShownFor(asked.request.url);
    return answer;
}

void DownloadRun::firstAnswer(net::DownloadTask& task, const Ask& asked, bool bodyless) {
    Step step = judge(memory_, asked, answerOf(task, asked, bodyless), settings_.retryWaitScale);
    if (step.action == Action::Accept && asked.fetch == Fetch::Archive) {
        tag_ = step.tag;
        if (step.startOver) {
            base_ = 0;
            if (hasher_) hasher_->restart();
        }
        if (step.checkCached) step = judgedCache(asked, step, tag_);
        // The rest of the archive must fit beside what is already in the cache.
        const std::string cacheDir = getInstallAgentCacheDir();
        const int64_t rest = memory_.length >= 0 ? memory_.length - base_ : -1;
        if (step.action == Action::Accept) {
            if (auto full = judgeRoom(rest, freeSpace(cacheDir), cacheDir, task.url(), base_ == 0)) step = *full;
        }
    }
    if (step.action != Action::Accept) return carryOut(task, asked, step);
    if (!enter(stage::Receiving{asked, &task}) || asked.fetch != Fetch::Archive) return;
    // Only an archive with a strong tag can be resumed; any other is dropped by the next run.
    recordPartialArchive(PartialRecord{in_.url, tag_.value_or(""), now(), memory_.length});
    snapshot_.keepsPartial = isStrongTag(tag_.value_or(""));
    ui::TransferMeter& meter = snapshot_.transfer;
    meter.setValue(static_cast<double>(base_));
    meter.setMaximum(static_cast<double>(std::max<int64_t>(memory_.length, 0)));
    meter.setIndeterminate(memory_.length < 0);
    snapshot_.resumedFrom = base_;
    snapshot_.stage = ui::Stage::Downloading;
    publish();
}

Step DownloadRun::judgedCache(const Ask& asked, const Step& step, const std::optional<std::string>& tag) {
    const CacheJudgement judgement = judgeCache(AgentIdentity{in_.url, tag, memory_.keyId}, cacheWait());
    return judgeCached(memory_, asked, step, judgement);
}

void DownloadRun::carryOut(net::DownloadTask& task, const Ask& asked, const Step& step) {
    if (step.dropPartial) dropPartialArchive();
    switch (step.action) {
        case Action::Accept:
        case Action::Stop:
            return;
        case Action::UsePartial:
            tag_ = partial_->record.tag;
            return archiveArrived(task, asked, partialArchivePath());
        case Action::CheckCached:
            return carryOut(task, asked, judgedCache(asked, step, asked.request.ifNoneMatch));
        case Action::AskAgain:
            return next(task, Fetch::Archive, {}, step.cause);
        case Action::Retry:
            platform::systemLog("Download attempt " + std::to_string(memory_.attempt - 1) + " failed (" + step.reason +
                                "); retrying in " + std::to_string(step.wait.count()) + " ms: " + task.url());
            return next(task, asked.fetch, step.wait, step.cause);
        case Action::Offline:
            return offline(task, asked, step);
        case Action::Fail:
            if (step.serversFailed > 1) logNoServer(step.serversFailed, in_.url);
            return fail(&task, *step.failure);
        case Action::NextServer:
            platform::systemLog("Download from " + task.url() + " left (" + step.reason + "); trying " +
                                serverUrl(memory_));
            snapshot_.stage = ui::Stage::MovingOn;
            snapshot_.server = static_cast<int>(memory_.server) + 1;
            snapshot_.servers = static_cast<int>(memory_.servers.size());
            publish();
            return next(task, step.fetch, {}, step.cause);
        case Action::FetchNext:
            return next(task, step.fetch, {}, step.cause);
        case Action::CheckSignature:
            return checkSignature(task, asked);
        case Action::Extract:
            return extract(task, asked);
        case Action::UseCached:
            return useCached(task, step);
    }
}

// What follows once `task` has ended: onEnded sends it, after the wait.
void DownloadRun::next(net::DownloadTask& task, Fetch what, std::chrono::milliseconds wait, RetryCause cause) {
    if (enter(stage::WaitingToFetch{what, Clock::now() + wait, cause, &task})) task.cancel();
}

void DownloadRun::offline(net::DownloadTask& task, const Ask& asked, const Step& step) {
    if (step.serversFailed > 1) logNoServer(step.serversFailed, in_.url);
    const auto held = holdCachedAgent(cacheWait());
    const Step then = judgeOffline(step, memory_, held, now());
    if (held && then.action != Action::UseCached) CacheLock::process().unlock();
    carryOut(task, asked, then);
}

void DownloadRun::archiveArrived(net::DownloadTask& task, const Ask& asked, const std::string& location) {
    const auto type = task.response().header("Content-Type");
    const Step step = judgeArrived(memory_, task.url(), isZipArchive(location),
                                   type ? platform::printable(type->substr(0, 100)) : "");
    // Whole now: a run that ends before the archive is used leaves it for the next.
    if (step.action != Action::Fail) {
        recordPartialArchive(PartialRecord{in_.url, tag_.value_or(""), now(), sizeOf(location)});
    }
    carryOut(task, asked, step);
}

void DownloadRun::signatureArrived(net::DownloadTask& task, const Ask& asked, const std::string& location) {
    signature_ = readSmallFile(location).value_or("");
    carryOut(task, asked, judgeSignatureArrived(memory_, keyringOf(in_.key.keys, trust_), signatureKeyId(signature_)));
}

void DownloadRun::statementArrived(net::DownloadTask& task, const Ask& asked, const std::string& location) {
    const auto text = readSmallFile(location, static_cast<size_t>(kLongestStatements)).value_or("");
    const StatementOutcome outcome = takeKeyStatements(text, in_.key.keys, trust_);
    for (const auto& taken : outcome.taken) {
        std::string changes;
        for (const auto& key : taken.added) changes += ", trusts " + keyIdText(parseKeyLine(key)->id);
        for (const auto& id : taken.retired) changes += ", retires " + id;
        platform::systemLog("Key statement of " + readableTrustedComment("timestamp:" + std::to_string(taken.time)) +
                            " taken: signed by " + taken.signer + changes);
    }
    carryOut(task, asked, judgeStatements(outcome, task.url()));
}

void DownloadRun::checkSignature(net::DownloadTask& task, const Ask& asked) {
    if (!memory_.archiveHere) {
        // Before the archive is asked for: what the signature alone can refuse costs no archive.
        const SignatureCheck ahead =
            verifySignedAhead(keyringOf(in_.key.keys, trust_), signature_, net::lastPathSegment(in_.url));
        return carryOut(task, asked, judgeSignatureAhead(ahead, memory_, cachedAgentRecord(), trustFacts()));
    }
    if (!enter(stage::Verifying{})) return;
    const std::string archive = partialArchivePath();
    const int64_t size = sizeOf(archive);
    const SignatureCheck check =
        verifySigned(keyringOf(in_.key.keys, trust_), signature_, archive, net::lastPathSegment(in_.url),
                     [&] { return hasher_ ? hasher_->digest(size) : std::nullopt; });
    const Step step = judgeSignature(check, memory_, cachedAgentRecord(), trustFacts());
    if (step.action == Action::Extract) {
        platform::systemLog("Install agent signature verified: " + readableTrustedComment(check.trustedComment));
        trustedComment_ = check.trustedComment;
    }
    carryOut(task, asked, step);
}

void DownloadRun::identityArrived(net::DownloadTask& task, const Ask& asked, const std::string& location) {
    const auto cached = cachedAgentRecord();
    const auto hash = cached ? bytesOfHex(cached->hash, Blake2bDigest{}.size()) : std::nullopt;
    // The keys trusted now, the floor and the expiry judge the cached agent as a new archive.
    SignatureCheck check;
    if (hash) {
        Blake2bDigest digest{};
        std::memcpy(digest.data(), hash->data(), digest.size());
        check = verifySigned(keyringOf(in_.key.keys, trust_), readSmallFile(location).value_or(""), "",
                             net::lastPathSegment(in_.url), [&] { return std::optional(digest); });
    }
    Step step = judgeIdentity(check, memory_, cached, trustFacts());
    if (step.action == Action::UseCached) {
        // Held under the shared lock, and still the agent that was judged.
        const auto held = holdCachedAgent(cacheWait());
        step = judgeHeld(step, memory_, held, cached);
        if (step.action == Action::UseCached) {
            platform::systemLog("The cached install agent is the one its signature names (" +
                                readableTrustedComment(check.trustedComment) + "): " + task.url());
        } else if (held) {
            CacheLock::process().unlock();
        }
    }
    carryOut(task, asked, step);
}

void DownloadRun::extract(net::DownloadTask& task, const Ask& asked) {
    AgentRecord record{in_.url, tag_.value_or(""), memory_.keyId, trustedComment_, now(), "", ""};
    // What tells this agent by its signature later, whichever server sends the signature then.
    if (const auto digest = hasher_ ? hasher_->digest(sizeOf(partialArchivePath())) : std::nullopt) {
        record.hash = hexOf(digest->data(), digest->size());
        record.signature = signature_;
    }
    // What unzip will write must fit, beside the agent it replaces.
    const std::string archive = partialArchivePath(), cacheDir = getInstallAgentCacheDir();
    const int64_t needed = unpackedSize(archive);
    if (auto full = judgeRoom(needed, freeSpace(cacheDir), cacheDir, archive)) return carryOut(task, asked, *full);
    if (!enter(stage::Extracting{})) return;
    snapshot_.stage = ui::Stage::Extracting;
    // An archive taken whole from an earlier run was not downloaded now.
    if (snapshot_.transfer.receiving()) snapshot_.transfer.finish(ui::TransferMeter::Clock::now());
    publish();
    const CacheFill filled = fillCache(archive, record, cacheWait());
    if (in<stage::Cancelled>()) return;
    if (filled == CacheFill::Filled) rememberTrust(record);
    carryOut(task, asked, judgeFill(filled, archive, cacheDir, needed));
}

void DownloadRun::useCached(net::DownloadTask& task, const Step& step) {
    if (step.offlineSince) {
        const std::string day = dayOf(*step.offlineSince);
        // Said once: the log line reaches standard error; a window says it besides.
        platform::systemLog("Could not reach the server; starting the installer downloaded on " + day + " (" +
                            step.reason + "): " + in_.url);
        snapshot_.offlineSince = day;
    }
    if (!enter(stage::Ready{AgentReady{cachedAgentDirectory()}})) return;
    task.cancel();
    CacheLock::download().unlock();
    snapshot_.stage = ui::Stage::Ready;
    publish();
}

void DownloadRun::fail(net::DownloadTask* task, const Failure& failure) {
    if (!enter(stage::Failed{failure})) return;
    platform::systemLog(logLine(failure));
    if (task != nullptr) task->cancel();
    const auto left = peekPartialArchive();
    snapshot_.keepsPartial = left && left->record.url == in_.url && isStrongTag(left->record.tag);
    CacheLock::download().unlock();
    snapshot_.stage = ui::Stage::Failed;
    snapshot_.trouble = troubleOf(failure);
    snapshot_.mayRetry = mayPassAgain(failure);
    snapshot_.details = platform::logLinesSince(logMark_);
    snapshot_.logFile = platform::logFilePath();
    snapshot_.transfer.stop();
    // Another attempt publishes a new run's snapshots: this is the last one of this run.
    publish();
}

TrustFacts DownloadRun::trustFacts() const {
    const auto seen = trust_.newestSigned.find(in_.url);
    return {now(), in_.floor.time, seen == trust_.newestSigned.end() ? std::nullopt : std::optional(seen->second)};
}

void DownloadRun::rememberTrust(const AgentRecord& record) {
    if (memory_.keyId.empty()) return;
    if (const auto signedAt = commentTime(record.trustedComment, "timestamp")) {
        int64_t& newest = trust_.newestSigned[in_.url];
        newest = std::max(newest, *signedAt);
    }
    // Only a later run's judgement: a failure to write it leaves the agent as good. Keys and
    // retirements are synced; a signing time alone is not worth a sync after a large archive,
    // and the agent's own record keeps it too.
    if (!writeTrustState(trustStatePath(memory_.keyId), trust_, memory_.statementAsked)) {
        platform::systemLog("Could not store what the installer learned about its keys: " +
                            trustStatePath(memory_.keyId));
    }
}

void DownloadRun::onProgress(net::DownloadTask& task, int64_t bytesWritten, int64_t totalBytesWritten, int64_t) {
    if (const auto asking = in<stage::Asking>(&task)) firstAnswer(task, asking->asked, false);
    const auto receiving = in<stage::Receiving>(&task);
    if (!receiving || receiving->asked.fetch != Fetch::Archive) return;
    if (hasher_) hasher_->grownTo(base_ + totalBytesWritten);
    snapshot_.stage = ui::Stage::Downloading;
    snapshot_.transfer.add(static_cast<double>(bytesWritten), ui::TransferMeter::Clock::now());
    publish();
}

void DownloadRun::onArrived(net::DownloadTask& task, const std::string& location) {
    // A body-less response gives no progress report: its first answer is judged here.
    if (const auto asking = in<stage::Asking>(&task)) firstAnswer(task, asking->asked, true);
    const auto receiving = in<stage::Receiving>(&task);
    if (!receiving) return;
    switch (receiving->asked.fetch) {
        case Fetch::Archive:
            return archiveArrived(task, receiving->asked, location);
        case Fetch::Signature:
            return signatureArrived(task, receiving->asked, location);
        case Fetch::Identity:
            return identityArrived(task, receiving->asked, location);
        case Fetch::Statement:
            return statementArrived(task, receiving->asked, location);
    }
}

void DownloadRun::onEnded(net::DownloadTask& task, const std::optional<net::TransferError>& error) {
    if (error && error->kind != net::TransferErrorKind::Cancelled) {
        std::optional<Ask> asked;
        if (const auto asking = in<stage::Asking>(&task)) asked = asking->asked;
        if (const auto receiving = in<stage::Receiving>(&task)) asked = receiving->asked;
        if (asked) {
            Answer answer;
            answer.error = *error;
            answer.proxy = net::proxyShownFor(asked->request.url);
            carryOut(task, *asked, judge(memory_, *asked, answer, settings_.retryWaitScale));
        }
    }
    // What an answer decided to do next: another attempt, or the signature after the archive.
    const auto waiting = in<stage::WaitingToFetch>(&task);
    if (!waiting) return;
    if (waiting->until > Clock::now()) {
        // A window counts the wait down; a console says it once, so that a pipe gets a line per attempt.
        snapshot_.stage = ui::Stage::Retrying;
        snapshot_.retry = ui::RetryWait{waiting->cause, memory_.attempt, kMaxAttempts, waiting->until};
        publish();
        if (!pause(waiting->until)) return;
        snapshot_.stage = ui::Stage::Downloading;
        publish();
    }
    fetch(waiting->next);
}

}  // namespace bi
