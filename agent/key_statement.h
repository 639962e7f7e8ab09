// Key statements: how a vendor introduces a new signing key, and retires an old one, for
// bundles already shipped. A statement is a small text signed with minisign by a key the
// bundle already trusts, followed by its signature file:
//
//   bootstrap-installer key statement
//   key RWQ...            a key line of a public key file: trust this key
//   retire 0123456789ABCDEF   a key id: refuse this key's signatures from now on (leading
//                             zeros may be left out, as minisign's comments do)
//   untrusted comment: ...    the four lines of statement.txt.minisig
//
// Published beside the archive as "<archive>.keys", a statement or a chain of them, each
// signed by a key trusted after the ones before. Each carries minisign's "timestamp:";
// one no newer than the newest taken is passed over, as taken already.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/signature.h"
#include "agent/trust_store.h"

namespace bi {

inline constexpr int kLongestChain = 4;                            // statements taken in one go
inline constexpr int64_t kLongestStatements = int64_t{16} * 1024;  // bytes of a ".keys" file

// What one statement changes, once verified.
struct KeyStatement {
    std::string signer;  // key id
    int64_t time = 0;
    std::vector<std::string> added;    // key lines
    std::vector<std::string> retired;  // key ids
};

struct StatementOutcome {
    SignatureStatus status = SignatureStatus::StatementInvalid;  // Valid when trust took them
    std::string why;                                             // for the log
    std::vector<KeyStatement> taken;
    int passedOver = 0;  // no newer than the newest before them
};

// Verifies the statements of `text` in order against what the bundle's keys and `trust`
// allow, and adds what they change to `trust`. Refused (and `trust` unchanged): a file
// longer than kLongestStatements, a statement that is damaged, unsigned, signed by a key
// not trusted or retired, no newer than one before it, or with a line it cannot read (`why`
// names the line); a file with no statement newer than those taken; a key a statement
// retired introduced again; more than kLongestChain.
// A text that is no statement at all gives OtherKey: none was published.
StatementOutcome takeKeyStatements(const std::string& text, const std::vector<PublicKey>& bundleKeys,
                                   TrustState& trust);

// The URL of an archive's key statements: ".keys" appended to its path, before any query.
std::string keyStatementUrlOf(const std::string& url);

}  // namespace bi
