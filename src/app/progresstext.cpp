#include "app/progresstext.h"

#include <cmath>
#include <cstdio>

std::string RemainingText(int64_t seconds)
{
    char text[128];
    if (seconds > 60) {
        const int64_t hours = seconds / 3600;
        const int64_t minutes = (seconds % 3600) / 60;
        const int64_t rest = seconds % 60;
        const char* minuteWord = minutes == 1 ? "Minute" : "Minutes";
        if (hours < 1)
            std::snprintf(text, sizeof text, "%d %s %d Seconds Remaining", static_cast<int>(minutes), minuteWord,
                          static_cast<int>(rest));
        else
            std::snprintf(text, sizeof text, "%d %s %d %s %d Seconds Remaining", static_cast<int>(hours),
                          hours == 1 ? "Hour" : "Hours", static_cast<int>(minutes), minuteWord, static_cast<int>(rest));
    } else {
        std::snprintf(text, sizeof text, "%d Seconds Remaining", static_cast<int>(seconds));
    }
    return text;
}

std::string SizeText(uint64_t bytes)
{
    // The quotient is taken in single precision, as the card list has always shown it.
    char text[64];
    const float value = static_cast<float>(bytes);
    if (bytes > 1073741824ull)
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(value / 1073741824.0f));
    else if (bytes > 1048576ull)
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(value / 1048576.0f));
    else if (bytes > 1024)
        std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(value / 1024.0f));
    else
        std::snprintf(text, sizeof text, "%.1f B", static_cast<double>(value));
    return text;
}

ProgressFigures ProgressFiguresOf(const CTransferStatus& status)
{
    const COleDateTimeSpan remaining = status.EstimateRemaining();
    const double raw = remaining.m_status == COleDateTimeSpan::valid ? remaining.m_span * 86400.0 : 0.0;
    ProgressFigures figures;
    figures.remainingSeconds = static_cast<int64_t>(raw >= 0 ? std::floor(raw + 0.5) : std::ceil(raw - 0.5));
    const uint64_t blocks = status.BlockCount == 0 ? 1 : status.BlockCount;
    figures.percent = static_cast<int>(static_cast<uint64_t>(status.CurrentBlock) * 100 / blocks);
    return figures;
}

std::string ProgressText(const CTransferStatus& status)
{
    const ProgressFigures figures = ProgressFiguresOf(status);
    char text[256];
    std::snprintf(text, sizeof text, "%2d%%    (%s / %s) - %s", figures.percent, SizeText(status.BytesDone).c_str(),
                  SizeText(status.Capacity).c_str(), RemainingText(figures.remainingSeconds).c_str());
    return text;
}
