#include "agent/url_file.h"

#include <sys/stat.h>

namespace bi {

std::string readFirstLine(std::FILE* stream) {
    std::string line;
    for (int c = std::fgetc(stream); c != EOF && c != '\n'; c = std::fgetc(stream)) {
        line += static_cast<char>(c);
    }
    return line;
}

std::string readEndpointUrlFile(const std::string& path, Reporter report) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "";
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        report("Failed to open install agent URL file", true);
        return "";
    }
    std::string url = readFirstLine(file);
    std::fclose(file);
    return url;
}

}  // namespace bi
