#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/clock.h"

namespace tolmark::platform {
namespace {

// The zone is read again when the time reaches another minute: a zone changed while the server
// runs shows in the next minute's local times.
TEST(SystemClock, LocalTimeFollowsAChangedTimeZone) {
    const char* before = std::getenv("TZ");
    const std::string kept = before != nullptr ? before : "";
    ::setenv("TZ", "UTC0", 1);
    EXPECT_EQ(systemClock().localTime(0).tm_hour, 0);
    ::setenv("TZ", "<+05>-5", 1);
    EXPECT_EQ(systemClock().localTime(120).tm_hour, 5);
    EXPECT_EQ(systemClock().localTime(150).tm_hour, 5);
    if (before != nullptr) {
        ::setenv("TZ", kept.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
}

}  // namespace
}  // namespace tolmark::platform
