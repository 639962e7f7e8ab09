#include "agent/key_statement.h"
#include "net/url.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace bi {

namespace {

const std::string kHeader = "bootstrap-installer key statement";

struct Block {
    std::string body;       // the signed text, byte for byte
    std::string signature;  // its four lines
    int line = 1;           // the file's line of its header
};

bool contains(const std::vector<std::string>& ids, const std::string& id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// The statements of a file: each a body that starts with the header, then the four lines of
// its signature; nothing else.
std::optional<std::vector<Block>> blocksOf(const std::string& text) {
    std::vector<Block> blocks;
    size_t at = 0;
    while (at < text.size()) {
        if (text.compare(at, kHeader.size(), kHeader) != 0) {
            if (text.find_first_not_of("\r\n", at) == std::string::npos) break;
            return std::nullopt;
        }
        const size_t sig = text.find("\nuntrusted comment:", at);
        if (sig == std::string::npos) return std::nullopt;
        size_t end = sig + 1;
        for (int line = 0; line < 4 && end != std::string::npos; ++line) {
            end = text.find('\n', end);
            end = end == std::string::npos ? text.size() : end + 1;
            if (end >= text.size() && line < 3) return std::nullopt;
        }
        const auto line = 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n');
        blocks.push_back({text.substr(at, sig + 1 - at), text.substr(sig + 1, end - sig - 1), static_cast<int>(line)});
        at = end;
    }
    return blocks;
}

// A key id as keyIdText writes it, from 1 to 16 hex digits of either case: minisign's own
// comments leave out the leading zeros.
std::optional<std::string> keyIdOf(const std::string& text) {
    if (text.empty() || text.size() > 16 || text.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
        return std::nullopt;
    }
    std::string id(16 - text.size(), '0');
    for (const char c : text) id += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return id;
}

// The body's changes; else what its first line that is neither a key, a retirement, a comment
// nor blank holds, named by its line in the file.
std::string readBody(const Block& block, KeyStatement& statement) {
    const std::string& body = block.body;
    int number = block.line;
    for (size_t start = body.find('\n') + 1; start < body.size();) {
        ++number;
        size_t end = body.find('\n', start);
        if (end == std::string::npos) end = body.size();
        std::string line = body.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end + 1;
        const std::string at = "line " + std::to_string(number) + ": ";
        if (line.empty() || line.starts_with("#")) continue;
        if (line.starts_with("key ")) {
            if (!parseKeyLine(line.substr(4))) return at + line.substr(4) + " is not a minisign public key";
            statement.added.push_back(line.substr(4));
        } else if (line.starts_with("retire ")) {
            const auto id = keyIdOf(line.substr(7));
            if (!id) return at + line.substr(7) + " is not a key id";
            statement.retired.push_back(*id);
        } else {
            return at + line + " is neither a key, a retirement nor a comment";
        }
    }
    return "";
}

StatementOutcome refused(SignatureStatus status, std::string why) {
    StatementOutcome outcome;
    outcome.status = status;
    outcome.why = std::move(why);
    return outcome;
}

}  // namespace

StatementOutcome takeKeyStatements(const std::string& text, const std::vector<PublicKey>& bundleKeys,
                                   TrustState& trust) {
    using S = SignatureStatus;
    if (static_cast<int64_t>(text.size()) > kLongestStatements) return refused(S::StatementInvalid, "too long");
    // A server that answers every path with the same page has published no statement.
    if (!text.starts_with(kHeader)) return refused(S::OtherKey, "no key statement");
    const auto blocks = blocksOf(text);
    if (!blocks || blocks->empty()) return refused(S::StatementInvalid, "not a key statement");
    TrustState next = trust;
    StatementOutcome outcome;
    for (const auto& block : *blocks) {
        const auto stated = commentTime(unverifiedTrustedComment(block.signature), "timestamp");
        if (!stated) return refused(S::StatementInvalid, "a statement without a timestamp");
        if (*stated <= next.newestStatement) {  // taken already, or older than one taken
            ++outcome.passedOver;
            continue;
        }
        if (static_cast<int>(outcome.taken.size()) == kLongestChain) {
            return refused(S::ChainTooLong, "more than " + std::to_string(kLongestChain) + " statements to take");
        }
        KeyStatement statement;
        const auto signer = signatureKeyId(block.signature);
        statement.signer = signer ? keyIdText(*signer) : "";
        const Keyring keyring = keyringOf(bundleKeys, next);
        const PublicKey* key = signer ? keyring.find(*signer) : nullptr;
        if (key == nullptr) {
            return refused(S::StatementInvalid, statement.signer.empty() ? "a statement without a signature"
                                                : keyring.isRetired(*signer)
                                                    ? "signed by the retired key " + statement.signer
                                                    : "signed by the key " + statement.signer + ", not trusted");
        }
        const SignatureCheck check = verifyMessage(*key, block.signature, block.body);
        if (check.status != S::Valid || commentTime(check.trustedComment, "timestamp") != stated) {
            return refused(S::StatementInvalid, "a statement signed by " + statement.signer + " does not verify");
        }
        // Signed, but not what a statement says: the vendor's typing, not a forgery.
        if (const std::string unread = readBody(block, statement); !unread.empty()) {
            return refused(S::StatementInvalid,
                           "the statement signed by " + statement.signer + " cannot be read: " + unread);
        }
        statement.time = *stated;
        for (const auto& line : statement.added) {
            const std::string id = keyIdText(parseKeyLine(line)->id);
            if (contains(next.retired, id) || contains(statement.retired, id)) {
                return refused(S::StatementReadmits,
                               "the statement signed by " + statement.signer + " would trust the retired key " + id);
            }
            if (!contains(next.learned, line)) next.learned.push_back(line);
        }
        for (const auto& id : statement.retired) {
            if (!contains(next.retired, id)) next.retired.push_back(id);
        }
        next.newestStatement = statement.time;
        outcome.taken.push_back(std::move(statement));
    }
    if (outcome.taken.empty()) return refused(S::StatementInvalid, "no statement newer than the one taken before");
    trust = std::move(next);
    outcome.status = S::Valid;
    return outcome;
}

std::string keyStatementUrlOf(const std::string& url) { return net::withPathSuffix(url, ".keys"); }

}  // namespace bi
