#pragma once
// The names of the server's log files, which the server writes and the manager's log viewer
// looks for: "dhcp%y%m.log" for monthly files, "dhcp%y%m%d.log" for daily ones.

#include <ctime>
#include <string>

namespace tolmark {

inline constexpr const char* kLogFilePattern = "dhcp*.log";

std::string logFileName(const std::tm& date, bool daily);

}  // namespace tolmark
