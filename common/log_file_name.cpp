#include "common/log_file_name.h"

namespace tolmark {

std::string logFileName(const std::tm& date, bool daily) {
    char name[16];
    // The file names carry the year in two digits, as the log viewer lists them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
    if (std::strftime(name, sizeof name, daily ? "dhcp%y%m%d.log" : "dhcp%y%m.log", &date) == 0) name[0] = '\0';
#pragma GCC diagnostic pop
    return name;
}

}  // namespace tolmark
