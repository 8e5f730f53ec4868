#pragma once

#include <cstring>
#include <string>

namespace tolmark {

// The system's text for an errno value, safe from any thread (strerror may share one buffer
// between threads).
inline std::string errorText(int error) {
    char buffer[128];
    // The GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    return text != nullptr && *text != '\0' ? text : "unknown error";
}

}  // namespace tolmark
