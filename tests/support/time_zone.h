#pragma once
// Switches the process's local time zone for the lifetime of the object, with a POSIX TZ
// string (no zone database needed: "UTC0", "XYZ-1" is +01:00, "ABC-5:30" is +05:30), and
// puts the previous zone back afterwards. Not for use while other threads read local time.

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace lmtest {

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const std::string& tz) {
        if (const char* previous = std::getenv("TZ")) mPrevious = previous;
        ::setenv("TZ", tz.c_str(), 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (mPrevious)
            ::setenv("TZ", mPrevious->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> mPrevious;
};

}  // namespace lmtest
