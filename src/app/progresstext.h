#pragma once
// The progress line of a running job: "25%    (1.2 GB / 4.0 GB) - 1 Minute 5 Seconds
// Remaining", as the pages and px3 show it.
#include <cstdint>
#include <string>

#include "app/ctransferstatus.h"

// "N Seconds Remaining", "M Minute(s) S Seconds Remaining" or "H Hour(s) M Minute(s) S
// Seconds Remaining" for a number of whole seconds.
std::string RemainingText(int64_t seconds);
// The size text: "%.1f GB", "%.1f MB", "%.1f KB" above 2^30, 2^20 and 1024 bytes, else
// "%.1f B"; the quotient in single precision.
std::string SizeText(uint64_t bytes);
// The figures of a progress line: the percentage of blocks done and the remaining time in
// whole seconds (rounded to the nearest second, 0 when no estimate is possible).
struct ProgressFigures {
    int percent = 0;
    int64_t remainingSeconds = 0;
};
ProgressFigures ProgressFiguresOf(const CTransferStatus& status);
// The progress text of a status record (percentage of blocks, bytes done, card size,
// remaining time).
std::string ProgressText(const CTransferStatus& status);
