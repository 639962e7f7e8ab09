// The bundle's further places to fetch the same archive from: "installAgentMirrors.txt", one
// URL a line, blank lines and "#" comments ignored. A file with anything else in it is
// ignored whole, so that a typo never sends users to a half list.
#pragma once

#include <string>
#include <vector>

namespace bi {

inline constexpr const char* kMirrorFileName = "installAgentMirrors.txt";
inline constexpr size_t kMostMirrors = 8;

struct MirrorList {
    std::vector<std::string> urls;
    std::string ignored;  // why the file was ignored, naming the bad line; "" when it was not
};

// The mirrors the file's text lists.
MirrorList parseMirrorFile(const std::string& text);

// The mirrors of the file at path; none, silently, when there is no file.
MirrorList readMirrorFile(const std::string& path);

}  // namespace bi
