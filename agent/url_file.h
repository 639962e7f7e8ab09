#pragma once

#include <cstdio>
#include <string>

#include "host/report.h"

namespace bi {

// The first line of the file at path, untrimmed; "" silently when there is no file.
std::string readEndpointUrlFile(const std::string& path, Reporter report);

// The bytes of stream up to its first line feed (not included) or its end.
std::string readFirstLine(std::FILE* stream);

}  // namespace bi
