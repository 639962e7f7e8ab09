// installAgentURL.txt as any bytes: the URL is its first line exactly, and the names made from
// it (the archive's name, the signature's URL) stay within it.
#include <cstdio>

#include "agent/signature.h"
#include "agent/url_file.h"
#include "fuzz.h"
#include "net/url.h"

using namespace bi;

FUZZ_TARGET(data) {
    static const std::string path = fuzz::scratch() + "/installAgentURL.txt";
    fuzz::writeFile(path, data);
    const std::string url = readEndpointUrlFile(path, [](const std::string&, bool) {});
    FUZZ_CHECK(url == data.substr(0, data.find('\n')), url);

    const std::string name = net::lastPathSegment(url);
    FUZZ_CHECK(name.find('/') == std::string::npos && url.find(name) != std::string::npos, name);
    // ".minisig" goes into the URL once, before its query: taken out, the URL is as it was.
    const std::string signature = signatureUrlOf(url);
    bool once = false;
    for (size_t at = signature.find(".minisig"); at != std::string::npos && !once;
         at = signature.find(".minisig", at + 1))
        once = signature.substr(0, at) + signature.substr(at + 8) == url;
    FUZZ_CHECK(once && signature.size() == url.size() + 8, signature);
}
