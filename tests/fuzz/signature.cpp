// Minisign keys, signatures and trusted comments of any bytes. The input is read as a public
// key file and as the .minisig of a small archive, checked against a real key made by
// minisign: it is Valid only when it is one of the two signatures minisign made of it
// (default and legacy), whatever is changed in the lines no signature covers.
#include <sodium.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <tuple>

#include "agent/signature.h"
#include "fuzz.h"

using namespace bi;

namespace {

const std::string kArchive = "fuzz archive\n";
const std::string kKey =
    "untrusted comment: minisign public key CE599836C8A53B3D\n"
    "RWQ9O6XINphZzmLA2O2cUBLE9WXHLJtzPIp4XMlRcPv9OUSZiGoQXmG+\n";
// Lines 2 to 4 of each signature: what the key signed.
const std::set<std::tuple<std::string, std::string, std::string>> kGenuine = {
    {"RUQ9O6XINphZzsWV6xp0vgVanuCezULJndAdB9aEyA5ttqQUMf3ziKk2VsAzGOWnDiAbYj2fdirgvYmmatx+AI1dCbPgijekuAs=",
     "trusted comment: timestamp:1796673343\tfile:fuzz.zip\thashed",
     "Nv8otBGQlU9s5E5e2kId9hmmmHNo2cvFZe0KzfYW1MofMvLy+6JCPJSq8SjZeRftCvYjlQLmkj0DKJVQZuRZAw=="},
    {"RWQ9O6XINphZzi3ZS/bdXfKUaTh8+VMZH2ygxp4yksWCZ8/Nh7Tu3QWs4J3j34PP2t/6kBfe1Th/xzcvEpuETK6ZfjtaGr9EXgU=",
     "trusted comment: timestamp:1796673343\tfile:fuzz.zip",
     "gkWC72L++lp8cBbxiQ+UZFdZpY5Kek9ZmZrb9TS52DyvITUc8ih6t9zYzvMvZ5fJFajRlrYw3bWSX2XVL4xaBQ=="},
};

}  // namespace

FUZZ_TARGET(data) {
    static const PublicKey key = *parsePublicKey(kKey);
    static const std::string archive = [] {
        const std::string path = fuzz::scratch() + "/fuzz.zip";
        fuzz::writeFile(path, kArchive);
        return path;
    }();
    if (const auto parsed = parsePublicKey(data)) {
        const std::string id = keyIdText(parsed->id);
        FUZZ_CHECK(id.size() == 16 && id.find_first_not_of("0123456789ABCDEF") == std::string::npos, id);
    }
    const SignatureCheck check = verifySignature(key, data, archive, "fuzz.zip", [] {
        Blake2bDigest digest{};
        crypto_generichash(digest.data(), digest.size(), reinterpret_cast<const unsigned char*>(kArchive.data()),
                           kArchive.size(), nullptr, 0);
        return std::optional(digest);
    });
    if (check.status == SignatureStatus::Valid) {
        std::vector<std::string> lines;
        std::istringstream in(data);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line.ends_with('\r') ? line.substr(0, line.size() - 1) : line);
        FUZZ_CHECK(lines.size() == 4 && kGenuine.contains({lines[1], lines[2], lines[3]}), data);
        FUZZ_CHECK("trusted comment: " + check.trustedComment == lines[2], check.trustedComment);
    }
    FUZZ_CHECK(!isRollback(data, data), data);
    const std::string readable = readableTrustedComment(data);
    FUZZ_CHECK(readable.size() + std::count(data.begin(), data.end(), '\t') >= data.size(), readable);
}
