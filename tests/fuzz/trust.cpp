// Key files, key statements and the cache's trust file of any bytes. Nobody holds the secret of
// the bundle's key, so no statement may verify and trust never changes; a trust file reads
// back as it was written.
#include "agent/key_statement.h"
#include "agent/trust_store.h"
#include "fuzz.h"

using namespace bi;

FUZZ_TARGET(data) {
    static const std::vector<PublicKey> bundle = *parsePublicKeys(
        "untrusted comment: minisign public key CE599836C8A53B3D\n"
        "RWQ9O6XINphZzmLA2O2cUBLE9WXHLJtzPIp4XMlRcPv9OUSZiGoQXmG+\n");
    if (const auto keys = parsePublicKeys(data)) FUZZ_CHECK(!keys->empty(), data);

    TrustState trust;
    const StatementOutcome outcome = takeKeyStatements(data, bundle, trust);
    FUZZ_CHECK(outcome.status != SignatureStatus::Valid && outcome.taken.empty(), outcome.why);
    FUZZ_CHECK(trust.learned.empty() && trust.retired.empty() && trust.newestStatement == 0, outcome.why);
    if (!data.starts_with("bootstrap-installer key statement")) {
        FUZZ_CHECK(outcome.status == SignatureStatus::OtherKey, outcome.why);
    }

    static const std::string path = fuzz::scratch() + "/.trust";
    fuzz::writeFile(path, data);
    const TrustState read = readTrustState(path);
    static const std::string copy = path + ".copy";
    ::unlink(copy.c_str());  // a rename over a file would be flushed
    if (writeTrustState(copy, read, false)) {
        const TrustState again = readTrustState(copy);
        FUZZ_CHECK(again.learned == read.learned && again.retired == read.retired &&
                       again.newestStatement == read.newestStatement && again.newestSigned == read.newestSigned,
                   data);
    }
}
