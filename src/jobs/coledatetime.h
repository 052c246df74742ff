#pragma once
// Automation dates: a day count since 30 December 1899 with a validity state, and spans
// of them. Used for the times of a job's status record and the remaining-time estimate.
#include <cstdint>
#include <ctime>
#include <functional>

class COleDateTime {
public:
    enum Status { valid = 0, invalid = 1, null = 2 };

    COleDateTime() = default;
    COleDateTime(double days, Status status) : m_dt(days), m_status(status) {}

    // The local clock as an automation date; invalid when the conversion fails or does
    // not convert back to the same calendar second.
    static COleDateTime Now();
    // From seconds since 1970, through local calendar time.
    static COleDateTime FromTime(std::time_t seconds);
    // The clock as seconds since 1970.
    static std::time_t NowSeconds();
    // Seconds of a clock that only goes forward (steady): what elapsed times are measured
    // with, so a change of the wall clock or of daylight saving never turns them negative.
    // While a test clock is set, that clock.
    static double MonotonicSeconds();
    // Replaces the clock (seconds since 1970) for tests; an empty function restores it.
    static void SetClock(std::function<std::time_t()> clock);

    double m_dt = 0.0;
    Status m_status = valid;
};

class COleDateTimeSpan {
public:
    enum Status { valid = 0, invalid = 1, null = 2 };
    // Spans beyond this many days are invalid.
    static constexpr double MaxDays = 3615897.0;

    COleDateTimeSpan() = default;
    explicit COleDateTimeSpan(double days, Status status = valid);
    static COleDateTimeSpan FromSeconds(double seconds) { return COleDateTimeSpan(seconds / 86400.0); }

    double TotalSeconds() const { return m_span * 86400.0; }

    double m_span = 0.0;
    Status m_status = valid;
};
