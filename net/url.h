// URLs taken apart in one place: the host a failure names, the path a signature's name comes
// from, the suffix of a file published beside an archive, a proxy without its password.
#pragma once

#include <string>

namespace bi::net {

struct UrlParts {
    std::string scheme;     // as written; "" when the URL has none
    std::string authority;  // between "//" and the path: [user[:password]@]host[:port]
    std::string host;       // of the authority, without the user and the port ("[::1]" stays bracketed)
    std::string path;       // from the "/" after the authority up to "?" or "#"; "" when none
    std::string tail;       // the query and the fragment, as written
};

UrlParts splitUrl(const std::string& url);

// The URL of a file published beside the one at url: `suffix` appended to its path, before any
// query ("a.zip?v=1" gives "a.zip.minisig?v=1").
std::string withPathSuffix(const std::string& url, const std::string& suffix);

// The last segment of the URL's path ("InstallAgent.zip"); "" when there is none.
std::string lastPathSegment(const std::string& url);

// The URL without the password of its user information ("http://ann@proxy:3128").
std::string withoutPassword(const std::string& url);

}  // namespace bi::net
