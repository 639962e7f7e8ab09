#include "host/report.h"

#include <iostream>

namespace bi {

void report_message_main(const std::string& message, bool isError) {
    report_message_to_console(message, isError);
}

void report_message_to_console(const std::string& message, bool isError) {
    std::ostream& out = isError ? std::cerr : std::cout;
    out << message << std::endl;
}

}  // namespace bi
