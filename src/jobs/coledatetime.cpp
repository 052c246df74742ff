#include "jobs/coledatetime.h"

#include <chrono>
#include <cmath>

namespace {

std::function<std::time_t()>& Clock()
{
    static std::function<std::time_t()> clock;
    return clock;
}

// Days from 30 December 1899 to 1 January 1970.
constexpr double kEpochOffsetDays = 25569.0;

// Day number of a civil date (proleptic Gregorian), relative to 1 January 1970.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

void COleDateTime::SetClock(std::function<std::time_t()> clock) { Clock() = std::move(clock); }

std::time_t COleDateTime::NowSeconds() { return Clock() ? Clock()() : std::time(nullptr); }

double COleDateTime::MonotonicSeconds()
{
    if (Clock())
        return static_cast<double>(Clock()());
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

COleDateTime COleDateTime::Now() { return FromTime(NowSeconds()); }

COleDateTime COleDateTime::FromTime(std::time_t seconds)
{
    std::tm local{};
    if (!localtime_r(&seconds, &local))
        return COleDateTime(0.0, invalid);
    const int64_t days = DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                                       static_cast<unsigned>(local.tm_mday));
    const double fraction = (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) / 86400.0;
    const double value = static_cast<double>(days) + kEpochOffsetDays + fraction;
    // Converting back must give the same calendar second.
    std::tm check = local;
    const std::time_t back = mktime(&check);
    if (back == static_cast<std::time_t>(-1))
        return COleDateTime(value, invalid);
    return COleDateTime(value, valid);
}

COleDateTimeSpan::COleDateTimeSpan(double days, Status status) : m_span(days), m_status(status)
{
    if (m_status == valid && (std::isnan(days) || days > MaxDays || days < -MaxDays))
        m_status = invalid;
}
