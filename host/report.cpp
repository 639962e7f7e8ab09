#include "host/report.h"

#include <iostream>

namespace bi {

void reportMessage(const std::string& message, bool isError) { reportToConsole(message, isError); }

void reportToConsole(const std::string& message, bool isError) {
    std::ostream& out = isError ? std::cerr : std::cout;
    out << message << std::endl;
}

}  // namespace bi
