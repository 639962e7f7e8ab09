// installAgentMirrors.txt as any bytes: the file is taken whole or ignored whole, and every
// mirror taken is an http(s) URL with a host that stands as a line of the file.
#include <algorithm>

#include "agent/mirror_file.h"
#include "fuzz.h"

using namespace bi;

FUZZ_TARGET(data) {
    const MirrorList list = parseMirrorFile(data);
    FUZZ_CHECK(list.ignored.empty() || list.urls.empty(), list.ignored);
    FUZZ_CHECK(list.urls.size() <= kMostMirrors && list.ignored.size() < 300, list.ignored);
    for (const std::string& url : list.urls) {
        std::string scheme = url.substr(0, url.find("://"));
        std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
        const bool blank = std::any_of(url.begin(), url.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; });
        FUZZ_CHECK((scheme == "http" || scheme == "https") && !blank && url.size() > scheme.size() + 3, url);
        FUZZ_CHECK(data.find(url) != std::string::npos, url);
    }
}
