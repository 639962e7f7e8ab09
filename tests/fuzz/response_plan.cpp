// A download's decisions for any disk state and any answers. The input's first lines say what
// the cache holds ("key <id>", "partial <size> <length> same|other <tag>", "cached same|other
// <tag stored 0|1> <key id> <tag>"); then come responses, each a status line and headers up to
// an empty line (or "error <kind> <responded 0|1>"), parsed as libcurl hands them over and
// answered in turn, as the controller would. The plan never appends to a partial archive whose
// tag differs or at another offset, and never starts an agent a signed bundle has not verified.
#include <sstream>
#include <vector>

#include "download/fetch_plan.h"
#include "download/retry_policy.h"
#include "fuzz.h"
#include "net/http_response.h"

using namespace bi;
using Action = Step::Action;

namespace {

const std::string kUrl = "http://127.0.0.1/a/InstallAgent.zip";

// The disk and the bundle's key from the leading lines; the rest are the responses.
size_t readDisk(const std::vector<std::string>& lines, PlanMemory& state, OnDisk& disk) {
    size_t at = 0;
    for (; at < lines.size() && !lines[at].starts_with("HTTP/") && !lines[at].starts_with("error"); ++at) {
        std::istringstream in(lines[at]);
        std::string what, where;
        int64_t number = 0;  // the partial archive's size, or whether the cached agent's tag is stored
        AgentRecord r;
        int64_t length = -1;
        in >> what;
        if (what == "key") in >> state.keyId;
        const bool partial = what == "partial" && in >> number >> length >> where;
        const bool cached = what == "cached" && in >> where >> number >> r.keyId;
        if ((!partial && !cached) || !std::getline(in >> std::ws, r.tag)) continue;
        r.url = where == "same" ? kUrl : kUrl + "?";
        if (partial) disk.partial = PartialArchive{PartialRecord{r.url, r.tag, 0, length}, number};
        if (cached) disk.cached = r, disk.cachedTagStored = number != 0;
    }
    return at;
}

}  // namespace

FUZZ_TARGET(data) {
    std::vector<std::string> lines;
    std::istringstream in(data);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    PlanMemory state;
    state.url = kUrl;
    OnDisk disk;
    size_t at = readDisk(lines, state, disk);
    Fetch fetch = Fetch::Archive;
    while (at < lines.size()) {
        const bool archive = fetch == Fetch::Archive;
        const Ask asked = archive ? planArchive(state, disk) : planBeside(state, fetch);
        const auto& partial = disk.partial;
        const auto& r = asked.request;
        FUZZ_CHECK(!r.ifNoneMatch || isSendableTag(*r.ifNoneMatch), *r.ifNoneMatch);
        FUZZ_CHECK(r.resumeFrom == 0 || (partial && partial->record.url == kUrl && isStrongTag(partial->record.tag) &&
                                         r.ifRange == partial->record.tag && r.resumeFrom == partial->size),
                   r.ifRange.value_or("no If-Range"));

        net::HttpResponse response;
        Answer answer;
        std::istringstream first(lines[at]);
        std::string word;
        int kind = 0, responded = 0;
        if (first >> word >> kind >> responded, word == "error") {
            const auto k = static_cast<net::TransferErrorKind>(std::clamp(kind, 0, int(net::TransferErrorKind::Other)));
            answer.error =
                net::TransferError{.kind = k, .reason = "fuzz", .url = asked.request.url, .responded = responded != 0};
            ++at;
        } else {
            for (bool end = false; at < lines.size() && !end; ++at) {
                addHeaderLine(response, lines[at] + "\n");  // as libcurl hands a line over
                end = lines[at].empty() || lines[at] == "\r";
            }
            answer.status = response.statusCode;
            answer.tag = response.header("ETag");
            answer.retryAfter = response.header("Retry-After");
            // The transfer itself fails a 206 that does not continue where the file ends.
            if (answer.status == 206 && (r.resumeFrom <= 0 || rangeStart(response) != r.resumeFrom))
                answer = {.error = net::TransferError{
                              .kind = net::TransferErrorKind::BadRange, .url = kUrl, .responded = true}};
        }

        Step step = judge(state, asked, answer);
        if (archive && step.action == Action::Accept && answer.status == 206) {
            FUZZ_CHECK(!step.startOver && partial && (!answer.tag || *answer.tag == partial->record.tag),
                       answer.tag.value_or("no tag"));
        }
        FUZZ_CHECK(step.action != Action::UsePartial || (asked.forPartial && partial && partial->complete()), "");
        FUZZ_CHECK(step.wait >= std::chrono::milliseconds(0) && step.wait <= std::chrono::seconds(30), "");
        FUZZ_CHECK(state.attempt <= kMaxAttempts, std::to_string(state.attempt));
        if (step.dropPartial) disk.partial.reset();
        if (step.action == Action::CheckCached) {
            // The cache then starts the agent only for the very tag asked about (none without one).
            const auto& c = disk.cached;
            const auto& tag = asked.request.ifNoneMatch;
            FUZZ_CHECK(!asked.forPartial && (!tag || (c && c->url == kUrl && c->tag == *tag &&
                                                      (state.keyId.empty() || c->keyId == state.keyId))),
                       tag.value_or("no tag"));
            disk.cached.reset();  // say it has gone meanwhile, for what follows
            step = judgeCached(state, asked, step, CacheJudgement::Empty);
        }
        if (step.action == Action::Accept && archive && !state.keyId.empty()) {
            step = judgeArrived(state, kUrl, true, "");
            FUZZ_CHECK(step.action == Action::FetchNext && step.fetch == Fetch::Signature && state.attempt == 1, "");
            fetch = Fetch::Signature;
        } else if (step.action != Action::AskAgain && step.action != Action::Retry) {
            return;
        }
    }
}
