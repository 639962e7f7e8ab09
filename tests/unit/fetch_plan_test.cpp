// The fetch plan's decisions, one row each: what is asked for given the disk, and what follows
// each answer. Pure functions, so every row runs in microseconds.
#include "download/fetch_plan.h"

#include <gtest/gtest.h>

namespace bi {

namespace {

using Action = Step::Action;
using Kind = Failure::Kind;
using net::TransferErrorKind;

AgentRecord record(const std::string& url, const std::string& tag, const std::string& key = "",
                   const std::string& hash = "") {
    return AgentRecord{url, tag, key, "", 0, hash};
}
PartialRecord partial(const std::string& url, const std::string& tag, int64_t length = -1) {
    return PartialRecord{url, tag, 0, length};
}

TEST(FetchPlan, TheArchiveIsAskedForWithTheConditionsTheDiskAllows) {
    const std::string u = "http://h/a.zip";
    struct Row {
        const char* name;
        std::string key;
        std::optional<PartialArchive> partial;
        std::optional<AgentRecord> cached;
        bool stored = true, dropped = false;
        std::string ifNoneMatch, ifRange;
        int64_t from = 0;
        bool forPartial = false, expired = false;
        size_t server = 0;  // of the bundle's URL and the mirror m
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"nothing on disk"},
        {"a mirror continues the bundle URL's partial archive, If-Range with its tag", "", PartialArchive{partial(u, "\"p\"", 100), 40},
         record(u, "\"c\""), true, false, "\"c\"", "\"p\"", 40, false, false, 1},
        {"a partial archive", "", PartialArchive{partial(u, "\"p\"", 100), 40}, {}, true, false, "", "\"p\"", 40},
        {"a partial archive of unknown length", "", PartialArchive{partial(u, "\"p\""), 40}, {}, true, false, "", "\"p\"", 40},
        {"a weak tag is never resumed", "", PartialArchive{partial(u, "W/\"p\"", 100), 40}},
        {"another URL's partial archive", "", PartialArchive{partial(u + "?x", "\"p\"", 100), 40}},
        {"a whole partial archive", "", PartialArchive{partial(u, "\"p\"", 100), 100}, record(u, "\"c\""), true, false,
         "\"p\"", "", 0, true},
        {"the cached agent", "", {}, record(u, "\"c\"", "K"), true, false, "\"c\""},
        {"the cached agent and a partial archive", "", PartialArchive{partial(u, "\"p\"", 100), 40}, record(u, "\"c\""),
         true, false, "\"c\"", "\"p\"", 40},
        {"another URL's agent", "", {}, record(u + "?x", "\"c\"")},
        {"an agent whose tag file is gone", "", {}, record(u, "\"c\""), false},
        {"after a 304 for an agent that went", "", {}, record(u, "\"c\""), true, true},
        {"a signed bundle, the agent cached under its key", "K", {}, record(u, "\"c\"", "K"), true, false, "\"c\""},
        {"a signed bundle, the agent cached without a key", "K", {}, record(u, "\"c\"")},
        {"a signed bundle, the agent cached under another key", "K", {}, record(u, "\"c\"", "L")},
        {"a tag that cannot be sent", "", {}, record(u, "\"c\r\n\"")},
        {"an expired agent is fetched whole", "K", {}, record(u, "\"c\"", "K"), true, false, "", "", 0, false, true},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PlanMemory state{u, row.key};
        state.conditionsDropped = row.dropped;
        state.servers = {u, "http://m/a.zip"};
        state.server = row.server;
        OnDisk disk{row.partial, row.cached, row.stored, row.expired};
        const Ask ask = planArchive(state, disk);
        EXPECT_EQ(ask.request.url, state.servers[row.server]);
        EXPECT_EQ(ask.request.ifNoneMatch.value_or(""), row.ifNoneMatch);
        EXPECT_EQ(ask.request.ifRange.value_or(""), row.ifRange);
        EXPECT_EQ(ask.request.resumeFrom, row.from);
        EXPECT_EQ(ask.forPartial, row.forPartial);
    }
}

TEST(FetchPlan, EveryAnswerLeadsToOneStep) {
    struct Row {
        const char* name;
        Fetch fetch = Fetch::Archive;
        int attempt = 1;
        bool reached = false, restarted = false;
        int64_t from = 0;  // the Range asked for, with If-Range "t"
        bool forPartial = false;
        long status = 0;
        std::optional<std::string> tag = {}, retryAfter = {};
        std::optional<TransferErrorKind> error = {};
        bool responded = false;
        Action action = Action::Accept;
        bool drop = false, startOver = false;
        long waitMs = 0;
        std::optional<Kind> failure = {};
        size_t servers = 1, server = 0;  // past the first, the first left with a refused connection
        bool earlierAnswered = false;
        size_t allFailed = 0;
        bool again = false;   // the failure may pass on another attempt
        bool first = false;   // a signed bundle's first run: the signature asked before the archive
        bool canAsk = false;  // the window can ask for the proxy's user name and password
        int refusals = 0;     // of the proxy's, so far
    };
    // clang-format off
    const std::vector<Row> rows = {
        {.name = "200", .status = 200},
        {.name = "a mirror: refused moves on at once", .error = TransferErrorKind::Refused, .action = Action::NextServer, .servers = 3},
        {.name = "a first run: the signature's 404 moves on", .fetch = Fetch::Signature, .status = 404, .action = Action::NextServer, .servers = 2, .first = true},
        {.name = "a first run: the archive's server left, the next one's signature first", .error = TransferErrorKind::Refused, .action = Action::NextServer, .servers = 2, .first = true},
        {.name = "a first run, the last server: the signature's 404 fails as the first server did", .fetch = Fetch::Signature, .status = 404, .action = Action::Fail, .drop = true, .failure = Kind::Transfer, .servers = 2, .server = 1, .earlierAnswered = true, .allFailed = 2, .first = true},
        {.name = "a mirror: 503 after the retries moves on", .attempt = 4, .status = 503, .action = Action::NextServer, .servers = 2},
        {.name = "a mirror: 404 moves on, the partial archive kept", .status = 404, .action = Action::NextServer, .servers = 2},
        {.name = "a mirror: 403 fails the run", .status = 403, .action = Action::Fail, .drop = true, .failure = Kind::Http, .servers = 2},
        {.name = "a mirror: an untrusted certificate fails", .error = TransferErrorKind::Certificate, .action = Action::Fail, .failure = Kind::Transfer, .servers = 2},
        {.name = "the last refused, none answered: offline", .error = TransferErrorKind::Refused, .action = Action::Offline, .failure = Kind::Transfer, .servers = 2, .server = 1, .allFailed = 2},
        {.name = "the last refused, one answered", .error = TransferErrorKind::Refused, .action = Action::Fail, .failure = Kind::Transfer, .servers = 3, .server = 2, .earlierAnswered = true, .allFailed = 3},
        {.name = "the signature after the archive: 404 fails", .fetch = Fetch::Signature, .status = 404, .action = Action::Fail, .drop = true, .failure = Kind::Signature, .servers = 2},
        {.name = "the signature asked first: 404 asks for the archive", .fetch = Fetch::Identity, .status = 404, .action = Action::FetchNext, .servers = 2},
        {.name = "the signature asked first: 503 after the retries moves on", .fetch = Fetch::Identity, .attempt = 4, .status = 503, .action = Action::NextServer, .servers = 2},
        {.name = "200 to a Range starts over", .from = 9, .status = 200, .startOver = true},
        {.name = "206 that continues", .from = 9, .status = 206, .tag = "\"t\""},
        {.name = "206 without a tag trusts If-Range", .from = 9, .status = 206},
        {.name = "206 of another archive", .from = 9, .status = 206, .tag = "\"u\"", .action = Action::AskAgain, .drop = true},
        {.name = "206 of another archive, again", .restarted = true, .from = 9, .status = 206, .tag = "\"u\"",
         .action = Action::Fail, .drop = true, .failure = Kind::ResumedOther},
        {.name = "206 to a plain request", .status = 206, .tag = "\"t\"", .action = Action::AskAgain, .drop = true},
        {.name = "304 for the whole partial archive", .forPartial = true, .status = 304, .action = Action::UsePartial},
        {.name = "304 for the cached agent", .status = 304, .action = Action::CheckCached},
        {.name = "416 to a Range", .from = 9, .status = 416, .action = Action::AskAgain, .drop = true},
        {.name = "416 again", .restarted = true, .from = 9, .status = 416, .action = Action::Fail, .drop = true, .failure = Kind::Http},
        {.name = "407", .status = 407, .action = Action::Fail, .failure = Kind::ProxyAuth},
        {.name = "404", .status = 404, .action = Action::Fail, .drop = true, .failure = Kind::Http},
        {.name = "401", .status = 401, .action = Action::Fail, .drop = true, .failure = Kind::Http},
        {.name = "the signature's 404", .fetch = Fetch::Signature, .status = 404, .action = Action::Fail, .drop = true,
         .failure = Kind::Signature},
        {.name = "the signature's 200", .fetch = Fetch::Signature, .status = 200},
        {.name = "503, first attempt", .status = 503, .action = Action::Retry, .waitMs = 1000},
        {.name = "503, third attempt", .attempt = 3, .status = 503, .action = Action::Retry, .waitMs = 4000},
        {.name = "503, last attempt", .attempt = 4, .status = 503, .action = Action::Fail, .failure = Kind::Http, .again = true},
        {.name = "429 with Retry-After", .status = 429, .retryAfter = "5", .action = Action::Retry, .waitMs = 5000},
        {.name = "Retry-After beyond the cap", .status = 503, .retryAfter = "86400", .action = Action::Retry, .waitMs = 30000},
        {.name = "refused, never reached", .error = TransferErrorKind::Refused, .action = Action::Offline, .failure = Kind::Transfer, .again = true},
        {.name = "unknown host, never reached", .error = TransferErrorKind::UnknownHost, .action = Action::Offline,
         .failure = Kind::Transfer, .again = true},
        {.name = "refused after an answer", .reached = true, .error = TransferErrorKind::Refused, .action = Action::Retry,
         .waitMs = 1000},
        {.name = "503s, then refused", .attempt = 4, .reached = true, .error = TransferErrorKind::Refused, .action = Action::Fail,
         .failure = Kind::Transfer, .again = true},
        {.name = "time-out, last attempt, never reached", .attempt = 4, .error = TransferErrorKind::TimedOut,
         .action = Action::Offline, .failure = Kind::Transfer, .again = true},
        {.name = "time-out mid-body", .attempt = 4, .error = TransferErrorKind::TimedOut, .responded = true,
         .action = Action::Fail, .failure = Kind::Transfer, .again = true},
        {.name = "connection lost, last attempt", .attempt = 4, .error = TransferErrorKind::ConnectionLost, .responded = true,
         .action = Action::Fail, .failure = Kind::Transfer, .again = true},
        {.name = "a trickle mid-body is retried", .error = TransferErrorKind::TimedOut, .responded = true, .action = Action::Retry,
         .waitMs = 1000},
        {.name = "a header too large", .error = TransferErrorKind::HeaderTooLarge, .responded = true, .action = Action::Fail,
         .failure = Kind::Transfer},
        {.name = "connection lost", .error = TransferErrorKind::ConnectionLost, .responded = true, .action = Action::Retry,
         .waitMs = 1000},
        {.name = "a certificate refused", .error = TransferErrorKind::Tls, .action = Action::Fail, .failure = Kind::Transfer},
        {.name = "a 206 that does not continue", .error = TransferErrorKind::BadRange, .action = Action::Fail, .drop = true,
         .failure = Kind::Transfer},
        {.name = "a full disk", .error = TransferErrorKind::DiskFull, .action = Action::Fail, .drop = true, .failure = Kind::Transfer, .again = true},
        {.name = "the proxy wants a password, nobody to ask", .error = TransferErrorKind::ProxyAuth, .action = Action::Fail,
         .failure = Kind::ProxyAuth},
        {.name = "the proxy wants a password: asked", .error = TransferErrorKind::ProxyAuth,
         .action = Action::AskProxyLogin, .canAsk = true},
        {.name = "the proxy refused two: asked again", .error = TransferErrorKind::ProxyAuth, .responded = true,
         .action = Action::AskProxyLogin, .canAsk = true, .refusals = 2},
        {.name = "a proxy that cannot be reached, never reached", .error = TransferErrorKind::ProxyUnreachable,
         .action = Action::Offline, .failure = Kind::Transfer},
        {.name = "a proxy that cannot be reached after an answer", .reached = true,
         .error = TransferErrorKind::ProxyUnreachable, .action = Action::Retry, .waitMs = 1000},
        {.name = "direct, where a PAC script could not run", .error = TransferErrorKind::NoPacRunner,
         .action = Action::Offline, .failure = Kind::Transfer},
        {.name = "the proxy refused three passwords", .error = TransferErrorKind::ProxyRefused, .responded = true,
         .action = Action::Fail, .failure = Kind::Transfer, .canAsk = true, .refusals = 3},
        {.name = "no libcurl", .error = TransferErrorKind::NoLibrary, .action = Action::Fail, .failure = Kind::NoLibrary},
        {.name = "no key statements: the signature decides", .fetch = Fetch::Statement, .status = 404, .action = Action::CheckSignature},
        {.name = "the key statements' 200", .fetch = Fetch::Statement, .status = 200},
        {.name = "key statements longer than any", .fetch = Fetch::Statement, .error = TransferErrorKind::Other,
         .responded = true, .action = Action::Fail, .drop = true, .failure = Kind::Signature},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PlanMemory state{"http://h/a.zip", row.first ? "K" : "", row.attempt, row.reached, row.restarted};
        state.signatureFirst = row.first;
        state.archiveHere = row.fetch == Fetch::Signature && !row.first;
        state.servers.assign(row.servers > 1 ? row.servers : 0, state.url);
        state.server = row.server;
        state.earlierAnswered = row.earlierAnswered;
        state.canAskProxyLogin = row.canAsk;
        if (row.server > 0) state.primaryFailure = Failure{Kind::Transfer, "the first", "refused"};
        Ask asked;
        asked.fetch = row.fetch;
        asked.request.url = state.url;
        asked.forPartial = row.forPartial;
        if (row.from > 0) {
            asked.request.resumeFrom = row.from;
            asked.request.ifRange = "\"t\"";
        }
        Answer answer;
        answer.status = row.status;
        answer.tag = row.tag;
        answer.retryAfter = row.retryAfter;
        if (row.error) {
            answer.error =
                net::TransferError{*row.error, "why", state.url, row.responded, "http://p:3128", row.refusals};
        }
        const Step step = judge(state, asked, answer);
        EXPECT_EQ(step.action, row.action);
        EXPECT_EQ(step.dropPartial, row.drop);
        EXPECT_EQ(step.startOver, row.startOver);
        EXPECT_EQ(step.wait.count(), row.waitMs);
        EXPECT_EQ(step.failure ? std::optional(step.failure->kind) : std::nullopt, row.failure);
        const bool asks = row.action == Action::AskProxyLogin;
        EXPECT_EQ(step.proxy, asks ? "http://p:3128" : "");
        EXPECT_EQ(step.proxyRefusals, asks ? row.refusals : 0);
        EXPECT_EQ(step.failure && mayPassAgain(*step.failure), row.again);
        const bool moved = row.action == Action::NextServer;
        if (moved) {
            EXPECT_EQ(step.fetch, row.first ? Fetch::Signature : row.fetch);
        }
        const bool fresh = moved || row.action == Action::FetchNext;
        EXPECT_EQ(state.attempt, fresh ? 1 : row.attempt + (row.action == Action::Retry ? 1 : 0));
        EXPECT_EQ(state.restarted, row.restarted || row.action == Action::AskAgain);
        EXPECT_EQ(state.reached, !moved && (row.reached || row.status > 0 || row.responded));
        EXPECT_EQ(state.server, row.server + (moved ? 1 : 0));
        EXPECT_EQ(step.serversFailed, row.allFailed);
        // A 206 continues the archive of the tag If-Range named, whatever tag it says.
        if (step.action == Action::Accept && row.fetch == Fetch::Archive) {
            EXPECT_EQ(step.tag, row.status == 206 ? std::optional<std::string>("\"t\"") : row.tag);
        }
        EXPECT_EQ(row.allFailed > 0 && step.failure && step.failure->where == "the first", row.allFailed > 0);
    }
}

TEST(FetchPlan, AGoneAgentIsAskedForOnceAndARollbackIsJudgedPerProductAndKey) {
    PlanMemory state{"http://h/a.zip", "K"};
    Ask asked;
    asked.request.ifNoneMatch = "\"c\"";
    Step notModified;
    notModified.action = Action::CheckCached;
    EXPECT_EQ(judgeCached(state, asked, notModified, CacheJudgement::Empty).action, Action::AskAgain);
    const Step second = judgeCached(state, asked, notModified, CacheJudgement::Stale);
    ASSERT_TRUE(second.failure);
    EXPECT_EQ(second.failure->kind, Kind::NotModifiedPlain);

    const SignatureCheck older{SignatureStatus::Valid, "K", "timestamp:100"};
    const auto cachedNewer = [](const std::string& url, const std::string& key) {
        return std::optional(AgentRecord{url, "\"c\"", key, "timestamp:200", 0});
    };
    EXPECT_EQ(judgeRollback(older, state, cachedNewer(state.url, "K")), SignatureStatus::Rollback);
    EXPECT_EQ(judgeRollback(older, state, cachedNewer(state.url + "?other", "K")), SignatureStatus::Valid);
    EXPECT_EQ(judgeRollback(older, state, cachedNewer(state.url, "L")), SignatureStatus::Valid);
    EXPECT_EQ(judgeRollback(older, state, std::nullopt), SignatureStatus::Valid);
    const SignatureCheck newer{SignatureStatus::Valid, "K", "timestamp:300"};
    EXPECT_EQ(judgeRollback(newer, state, cachedNewer(state.url, "K")), SignatureStatus::Valid);
}

// A signed bundle asks for the signature first only when the record can tell the agent by it,
// and starts the cached agent only when the signature verifies against the cached hash.
TEST(FetchPlan, TheSignatureAskedFirstTellsTheCachedAgentWhateverServerSentIt) {
    const PlanMemory keyed{"http://h/a.zip", "K"}, plain{keyed.url, ""};
    const AgentRecord cached = record(keyed.url, "\"c\"", "K", "ab");
    EXPECT_TRUE(asksIdentityFirst(keyed, {std::nullopt, cached}));
    // Not for a record of an older build (no hash), another key's agent, or an unsigned bundle.
    EXPECT_FALSE(asksIdentityFirst(keyed, {std::nullopt, record(keyed.url, "\"c\"", "K")}));
    EXPECT_FALSE(asksIdentityFirst(keyed, {std::nullopt, record(keyed.url, "\"c\"", "L", "ab")}));
    EXPECT_FALSE(asksIdentityFirst(plain, {std::nullopt, record(keyed.url, "\"c\"", "", "ab")}));
    OnDisk expired{std::nullopt, cached};
    expired.cachedExpired = true;
    EXPECT_FALSE(asksIdentityFirst(keyed, expired));
    // Without an agent its signature can tell, a signed bundle asks for the signature before the archive.
    for (const auto& [state, disk, first, signatureFirst] : std::vector<std::tuple<PlanMemory, OnDisk, Fetch, bool>>{
             {keyed, {std::nullopt, cached}, Fetch::Identity, false},
             {keyed, expired, Fetch::Signature, true},
             {keyed, {}, Fetch::Signature, true},
             {plain, {std::nullopt, cached}, Fetch::Archive, false}}) {
        PlanMemory memory = state;
        EXPECT_EQ(firstFetch(memory, disk), first);
        EXPECT_EQ(memory.signatureFirst, signatureFirst);
    }
    const TrustFacts facts{2000, 1000, 1000};
    const auto told = [&](SignatureStatus status, const std::string& comment, PlanMemory state) {
        return judgeIdentity({status, "K", comment}, state, cached, facts).action;
    };
    EXPECT_EQ(told(SignatureStatus::Valid, "timestamp:1000", keyed), Action::UseCached);
    EXPECT_EQ(told(SignatureStatus::Invalid, "timestamp:1000", keyed), Action::FetchNext);
    EXPECT_EQ(told(SignatureStatus::Valid, "timestamp:1000", plain), Action::FetchNext);
    // Below the floor, past its expiry: such an agent is judged as the archive would be.
    EXPECT_EQ(told(SignatureStatus::Valid, "timestamp:999", keyed), Action::FetchNext);
    EXPECT_EQ(told(SignatureStatus::Valid, "timestamp:1000 expires:2000", keyed), Action::FetchNext);
}

TEST(FetchPlan, ASignedArchiveIsJudgedByItsKeyFloorExpiryAndNewestTime) {
    const std::string t = "timestamp:1000";
    struct Row {
        const char* name;
        std::string comment;
        std::optional<int64_t> floor, newest;
        SignatureStatus status;
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"nothing to judge it by", t, {}, {}, SignatureStatus::Valid},
        {"at the floor", t, 1000, {}, SignatureStatus::Valid},
        {"below the floor", t, 1001, {}, SignatureStatus::BelowFloor},
        {"no timestamp under a floor", "file:a.zip", 1, {}, SignatureStatus::BelowFloor},
        {"expires later", t + "\texpires:2001", {}, {}, SignatureStatus::Valid},
        {"expired now", t + "\texpires:2000", {}, {}, SignatureStatus::Expired},
        {"expired, typed with spaces", "timestamp:1000 expires:1999 file:a.zip", {}, {}, SignatureStatus::Expired},
        {"an expiry that is not a time", t + "\texpires:soon", {}, {}, SignatureStatus::Expired},
        {"as new as the newest seen", t, {}, 1000, SignatureStatus::Valid},
        {"older than the newest seen", t, {}, 1001, SignatureStatus::Rollback},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const SignatureCheck check{SignatureStatus::Valid, "K", row.comment};
        EXPECT_EQ(judgeSignedArchive(check, TrustFacts{2000, row.floor, row.newest}), row.status);
        EXPECT_EQ(hasExpired(row.comment, 2000), row.status == SignatureStatus::Expired);
    }

    // Key statements are fetched once, for a key neither trusted nor retired.
    const Keyring keyring{{PublicKey{KeyId{1}, {}}}, {keyIdText(KeyId{2})}};
    PlanMemory state{"http://h/a.zip", "K"};
    std::string asked;
    for (const auto& signer : std::vector<std::optional<KeyId>>{KeyId{1}, KeyId{2}, std::nullopt, KeyId{3}, KeyId{3}})
        asked += judgeSignatureArrived(state, keyring, signer).action == Action::FetchNext ? "y" : "n";
    EXPECT_EQ(asked, "nnnyn");
}

// What the run does with what it found: the cache's judgement, the archive, the signature, the
// key statements, the agent held offline, the extraction. Each row: the decision's step.
TEST(FetchPlan, WhatTheRunFindsLeadsToOneStep) {
    const std::string u = "http://h/a.zip";
    PlanMemory signed_{u, "K"}, plain{u, ""};
    Step body;
    body.action = Action::Accept;
    body.checkCached = body.startOver = true;
    const TrustFacts facts{2000, 1000, {}};
    const auto held = [&](const std::string& url, const std::string& comment) {
        return std::optional(AgentRecord{url, "\"c\"", "K", comment, 86400, "ab"});
    };
    const auto refusal = [](const Step& s) { return s.failure ? s.failure->signature : SignatureStatus::Valid; };
    const Step offline = judge(plain, Ask{}, Answer{.error = net::TransferError{TransferErrorKind::Refused, "r", u}});
    ASSERT_EQ(offline.action, Action::Offline);
    // A signed bundle's first run, before and after the signature was asked for once more.
    std::vector<PlanMemory> first(7, signed_);  // one each, as the plan changes what it remembers
    for (auto& memory : first) memory.signatureFirst = true;
    first[6].signatureAgain = true;
    const auto room = [](const std::optional<Step>& full) { return full.value_or(Step{.action = Action::Accept}); };
    struct Row {
        const char* name;
        Step step;
        Action action;
        SignatureStatus refused = SignatureStatus::Valid;
        bool drop = false;
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"the cached agent is current after all", judgeCached(plain, Ask{}, body, CacheJudgement::Current), Action::UseCached},
        {"the cached agent is stale: the body, from its start", judgeCached(plain, Ask{}, body, CacheJudgement::Stale), Action::Accept},
        {"given up while waiting for the cache", judgeCached(plain, Ask{}, body, CacheJudgement::GaveUp), Action::Stop},
        {"a page that is not a zip", judgeArrived(plain, u, false, "text/html"), Action::Fail, SignatureStatus::Invalid, true},
        {"an unsigned bundle's zip", judgeArrived(plain, u, true, ""), Action::Extract},
        {"a signed bundle's zip: its signature next", judgeArrived(signed_, u, true, ""), Action::FetchNext},
        {"a first run's zip: checked with the signature asked first", judgeArrived(first[0], u, true, ""), Action::CheckSignature},
        {"a first run's signature: the archive next", judgeSignatureAhead({SignatureStatus::Valid, "K", "timestamp:1500"}, first[1], {}, facts),
         Action::FetchNext},
        {"a first run's signature expired: no archive", judgeSignatureAhead({SignatureStatus::Valid, "K", "timestamp:1500 expires:1999"}, first[2],
         {}, facts), Action::Fail, SignatureStatus::Expired, true},
        {"a first run's signature below the floor", judgeSignatureAhead({SignatureStatus::Valid, "K", "timestamp:999"}, first[3], {}, facts),
         Action::Fail, SignatureStatus::BelowFloor, true},
        {"a first run's signature by another key", judgeSignatureAhead({SignatureStatus::OtherKey, "L"}, first[4], {}, facts), Action::Fail,
         SignatureStatus::OtherKey, true},
        {"the archive fails the signature asked first: asked once more", judgeSignature({SignatureStatus::Invalid, "K"}, first[5], {}, facts),
         Action::FetchNext},
        {"and fails the one asked again", judgeSignature({SignatureStatus::Invalid, "K"}, first[6], {}, facts), Action::Fail,
         SignatureStatus::Invalid, true},
        {"the archive after its signature fails it: no second ask", judgeSignature({SignatureStatus::Invalid, "K"}, signed_, {}, facts),
         Action::Fail, SignatureStatus::Invalid, true},
        {"statements taken", judgeStatements({SignatureStatus::Valid}, u), Action::CheckSignature},
        {"no statement published", judgeStatements({SignatureStatus::OtherKey}, u), Action::CheckSignature},
        {"a statement refused", judgeStatements({SignatureStatus::StatementReadmits}, u), Action::Fail, SignatureStatus::StatementReadmits, true},
        {"a valid signature", judgeSignature({SignatureStatus::Valid, "K", "timestamp:1500"}, signed_, {}, facts), Action::Extract},
        {"below the floor", judgeSignature({SignatureStatus::Valid, "K", "timestamp:999"}, signed_, {}, facts), Action::Fail, SignatureStatus::BelowFloor, true},
        {"older than the cached agent", judgeSignature({SignatureStatus::Valid, "K", "timestamp:1500"}, signed_, held(u, "timestamp:1600"), facts),
         Action::Fail, SignatureStatus::Rollback, true},
        {"another key", judgeSignature({SignatureStatus::OtherKey, "L"}, signed_, {}, facts), Action::Fail, SignatureStatus::OtherKey, true},
        {"offline, the agent of this URL", judgeOffline(offline, plain, held(u, "timestamp:1"), 2000), Action::UseCached},
        {"offline, another URL's agent", judgeOffline(offline, plain, held(u + "?x", ""), 2000), Action::Fail, SignatureStatus::Invalid},
        {"offline, nothing cached", judgeOffline(offline, plain, std::nullopt, 2000), Action::Fail, SignatureStatus::Invalid},
        {"offline, the agent has expired", judgeOffline(offline, plain, held(u, "expires:2000"), 2000), Action::Fail, SignatureStatus::CachedExpired},
        {"the identity held is the one judged", judgeHeld(judgeIdentity({SignatureStatus::Valid, "K", "timestamp:1500"}, signed_, held(u, ""), facts),
         signed_, held(u, ""), held(u, "")), Action::UseCached},
        {"another agent held now", judgeHeld(judgeIdentity({SignatureStatus::Valid, "K", "timestamp:1500"}, signed_, held(u, ""), facts),
         signed_, AgentRecord{u, "\"c\"", "K", "", 86400, "cd"}, held(u, "")), Action::FetchNext},
        {"the identity held has gone", judgeHeld(judgeIdentity({SignatureStatus::Valid, "K", "timestamp:1500"}, signed_, held(u, ""), facts),
         signed_, std::nullopt, held(u, "")), Action::FetchNext},
        {"filled", judgeFill(CacheFill::Filled, "a", "c", 9), Action::UseCached, SignatureStatus::Valid, true},
        {"extraction failed", judgeFill(CacheFill::ExtractionFailed, "a", "c", 9), Action::Fail, SignatureStatus::Invalid, true},
        {"the disk filled while extracting: the archive stays", judgeFill(CacheFill::DiskFull, "a", "c", 9), Action::Fail,
         SignatureStatus::Invalid},
        {"the cache not writable", judgeFill(CacheFill::CacheNotWritable, "a", "c", 9), Action::Fail, SignatureStatus::Invalid},
        {"given up while extracting", judgeFill(CacheFill::GaveUp, "a", "c", 9), Action::Stop},
        {"room enough", room(judgeRoom(10, 10, "c", "a")), Action::Accept},
        {"room unknown", room(judgeRoom(10, -1, "c", "a")), Action::Accept},
        {"a need unknown", room(judgeRoom(-1, 0, "c", "a")), Action::Accept},
        {"a byte short: the partial archive stays", room(judgeRoom(11, 10, "c", "a")), Action::Fail, SignatureStatus::Invalid},
        {"a byte short of a fresh download", room(judgeRoom(11, 10, "c", "a", true)), Action::Fail, SignatureStatus::Invalid, true},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.step.action, row.action);
        EXPECT_EQ(refusal(row.step), row.refused);
        EXPECT_EQ(row.step.dropPartial, row.drop);
    }
    EXPECT_FALSE(rows[1].step.checkCached);
    EXPECT_TRUE(rows[1].step.startOver);
    EXPECT_EQ(rows[21].step.offlineSince, 86400);
    // What a person is told of the room: where, what is needed, what is free; the extraction
    // names the archive.
    const Failure full = *judgeRoom(11, 10, "c/", "http://h/a.zip")->failure;
    EXPECT_EQ(std::make_tuple(full.kind, full.needed, full.free, full.detail),
              std::make_tuple(Kind::NoSpace, 11, 10, u));
    const auto filled = *judgeFill(CacheFill::DiskFull, "c/.download", "c/", 9).failure;
    EXPECT_EQ(std::make_tuple(filled.where, filled.needed, filled.free, mayPassAgain(filled)),
              std::make_tuple("c/", 9, -1, true));
    EXPECT_EQ(judgeFill(CacheFill::ExtractionFailed, "c/.download", "c/", 9).failure->where, "c/.download");
    EXPECT_EQ(judgeOffline(offline, plain, held(u + "?x", ""), 2000).failure->kind, Kind::Transfer);

    // Before anything is asked: the cache, the URL, the bundle's key.
    const auto start = [](StartFacts f) { return judgeStart(f) ? std::optional(judgeStart(f)->kind) : std::nullopt; };
    EXPECT_EQ(start({}), std::nullopt);
    EXPECT_EQ(start({.cacheDistrust = "why"}), Kind::CacheUntrusted);
    EXPECT_EQ(start({.hasUrl = false}), Kind::NoUrlFile);
    EXPECT_EQ(start({.key = BundleKeyState::Damaged}), Kind::Signature);
    EXPECT_EQ(start({.key = BundleKeyState::Present, .floorDamaged = true, .floorFile = "f"}), Kind::Signature);
    EXPECT_EQ(start({.key = BundleKeyState::Absent, .floorDamaged = true}), std::nullopt);
    // The shipped road's archive is judged as a downloaded one would be.
    EXPECT_FALSE(judgeShippedSignature({SignatureStatus::Valid, "K", "timestamp:1500"}, facts, "a.zip"));
    const auto shipped =
        judgeShippedSignature({SignatureStatus::Valid, "K", "timestamp:1500 expires:1999"}, facts, "a.zip");
    ASSERT_TRUE(shipped);
    EXPECT_TRUE(shipped->shipped && shipped->signature == SignatureStatus::Expired && shipped->where == "a.zip");
}

}  // namespace

}  // namespace bi

namespace bi {

namespace {

// An archive of two entries: "a" (its CRC-32 `crc`, 1,000 bytes) and "b" (1 MB), its directory
// of 100 bytes after them.
ZipDirectory twoEntries(uint32_t crc) {
    ZipDirectory d;
    d.entries = {{"a", crc, 970, 970, 8, 0, 1, 1, 0, 1000}, {"b", 7, 999970, 999970, 8, 0, 1, 1, 1000, 1001000}};
    d.directoryOffset = 1001000, d.directorySize = 100, d.fileLength = 1001122;
    return d;
}

}  // namespace

// An update: the archive's end when the archive the cached agent came from is kept, the ranges
// the directories leave, the proof; every answer it cannot use leads to the whole archive in
// the same run, and no update again in it.
TEST(FetchPlan, AnUpdateAsksForWhatChangedAndWhatItCannotUseFetchesTheWholeArchive) {
    const std::string u = "http://h/a.zip";
    const auto started = [&](PlanMemory& m) {
        m = PlanMemory{u};
        return planArchive(m, OnDisk{std::nullopt, record(u, "\"c\""), true, false, twoEntries(1)});
    };
    PlanMemory m;
    Ask tail = started(m);
    EXPECT_EQ(tail.fetch, Fetch::Tail);
    EXPECT_EQ(tail.request.ifNoneMatch, "\"c\"");
    Step checked;
    checked.action = Action::CheckCached;
    EXPECT_EQ(judgeCached(m, tail, checked, CacheJudgement::Empty).action, Action::AskAgain);  // a 304, the agent gone
    m.conditionsDropped = false;
    ASSERT_EQ(tail.request.ranges.size(), 1u);
    EXPECT_LT(tail.request.ranges[0].first, -int64_t{65557 + 100});
    // Not over a partial archive, nor for another URL's agent, nor once given up.
    EXPECT_EQ(planArchive(
                  m, OnDisk{PartialArchive{partial(u, "\"p\"", 9), 4}, record(u, "\"c\""), true, false, twoEntries(1)})
                  .fetch,
              Fetch::Archive);
    EXPECT_EQ(planArchive(m, OnDisk{std::nullopt, record(u + "?x", "\"c\""), true, false, twoEntries(1)}).fetch,
              Fetch::Archive);

    struct Row {
        const char* name;
        Fetch fetch;
        long status;
        std::optional<std::string> tag = {};
        std::optional<TransferErrorKind> error = {};
        Action action = Action::WholeArchive;
        bool checkCached = false;
    };
    // clang-format off
    const Row rows[] = {
        {"the end's 206", Fetch::Tail, 206, "\"n\"", {}, Action::Accept, true},
        {"the end's 304: the cached agent", Fetch::Tail, 304, {}, {}, Action::CheckCached},
        {"the end's 200: the whole archive", Fetch::Tail, 200, "\"n\"", {}, Action::Accept, true},
        {"the end's 206 with a weak tag", Fetch::Tail, 206, "W/\"n\""},
        {"the end's 206 without a tag", Fetch::Tail, 206},
        {"the end's 416", Fetch::Tail, 416},
        {"the end's 503 is retried", Fetch::Tail, 503, {}, {}, Action::Retry},
        {"the end unreached: offline", Fetch::Tail, 0, {}, TransferErrorKind::Refused, Action::Offline},
        {"ranges' 206", Fetch::Ranges, 206, "\"n\"", {}, Action::Accept},
        {"ranges' 206 without a tag trusts If-Range", Fetch::Ranges, 206, {}, {}, Action::Accept},
        {"ranges' 206 of another tag", Fetch::Ranges, 206, "\"m\""},
        {"ranges' 200: the archive changed", Fetch::Ranges, 200, "\"m\"", {}, Action::Accept, true},
        {"ranges cut short are retried", Fetch::Ranges, 0, {}, TransferErrorKind::ConnectionLost, Action::Retry},
        {"ranges that disagree", Fetch::Ranges, 0, {}, TransferErrorKind::BadRange},
        {"a full disk", Fetch::Ranges, 0, {}, TransferErrorKind::DiskFull},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        started(m);
        m.update->tag = row.fetch == Fetch::Ranges ? "\"n\"" : "";
        m.reached = row.fetch == Fetch::Ranges;
        Ask asked = row.fetch == Fetch::Tail ? tail : planRanges(m);
        Answer answer{row.status, false, row.tag};
        if (row.error) answer.error = net::TransferError{*row.error, "why", u, row.fetch == Fetch::Ranges};
        const Step step = judge(m, asked, answer);
        EXPECT_EQ(step.action, row.action);
        EXPECT_EQ(step.checkCached, row.checkCached);
        // A 200 or a given-up update: no update again in this run.
        const bool whole = row.action == Action::WholeArchive || row.status == 200;
        EXPECT_EQ(m.wholeOnly, whole);
        EXPECT_EQ(m.update.has_value(), !whole);
        // A 206 is of the tag the end brought, whatever it says; a 200 of its own.
        const std::string tag = row.status == 206 ? "\"n\"" : row.tag.value_or("");
        EXPECT_EQ(step.tag.value_or(""), row.action == Action::Accept ? tag : "");
    }

    // The chain: the end and its directory, the copy, the ranges (one a request once the server
    // answers so), the proof.
    started(m);
    m.update->tag = "\"n\"";
    const ZipDirectory fresh = twoEntries(2);
    const Span end{1000500, 622};
    const Link link{0.02, 1e6, true};
    EXPECT_EQ(judgeUpdate(m, {{end}, 1001122, link, ZipRead{{}, 1000000, ""}}).action, Action::FetchNext);
    EXPECT_EQ(planRanges(m).request.ranges.size(), 1u);  // the directory's start
    EXPECT_EQ(judgeUpdate(m, {{{1000000, 500}}, 1001122, link, ZipRead{fresh}}).action, Action::Assemble);
    EXPECT_EQ(m.update->reuse, (std::vector<Reuse>{{1000, 1000, 999000}}));
    EXPECT_EQ(m.update->left, (std::vector<Span>{{0, 1000}}));
    EXPECT_EQ(judgeAssembly(m, true, "").action, Action::FetchNext);
    const Ask ranges = planRanges(m);
    EXPECT_EQ(ranges.request.ifRange, "\"n\"");
    EXPECT_EQ(ranges.request.ranges.size(), 1u);
    EXPECT_EQ(judgeUpdate(m, {{{0, 400}}, 1001122, link, {}}).action, Action::FetchNext);  // cut short
    EXPECT_EQ(planRanges(m).request.ranges.front().first, 400);
    EXPECT_EQ(judgeUpdate(m, {{{400, 600}}, 1001122, link, {}}).action, Action::Prove);
    EXPECT_EQ(judgeProof(m, true, "").action, Action::Assembled);
    EXPECT_EQ(judgeUpdate(m, {{{400, 600}}, 1001123, link, {}}).action, Action::WholeArchive);  // another length
    started(m);
    EXPECT_EQ(judgeUpdate(m, {{end}, 1001122, link, ZipRead{{}, {}, "damaged"}}).action, Action::WholeArchive);
    started(m);
    EXPECT_EQ(judgeUpdate(m, {{end}, 1001122, link, ZipRead{twoEntries(2)}}).action, Action::Assemble);
    EXPECT_EQ(judgeAssembly(m, false, "the kept archive is shorter").action, Action::WholeArchive);
    EXPECT_EQ(planArchive(m, OnDisk{std::nullopt, record(u, "\"c\""), true, false, twoEntries(1)}).fetch,
              Fetch::Archive);
    started(m);
    ZipDirectory nothingReused = twoEntries(2);
    nothingReused.entries[1].crc32 = 8;
    EXPECT_EQ(judgeUpdate(m, {{end}, 1001122, link, ZipRead{nothingReused}}).action, Action::WholeArchive);
    started(m);
    EXPECT_EQ(judgeProof(m, false, "entry a").action, Action::WholeArchive);
}

}  // namespace bi
