#pragma once
// The texts that come up from the core (job errors, the services' messages, the progress
// line, the capacity test's verdict) in the wizard's language. The core words them in
// English for px3 and the log; the wizard shows them through these functions, which
// translate the texts they know and hand any other on unchanged.
#include <QString>

#include <cstdint>
#include <string>

class CTransferStatus;
struct CCapacityResult;

// A core text as the user reads it: a fixed text of the core translated (context
// "CoreText"), a composite one ("Cannot write PATH: REASON") with its fixed frame
// translated and its parts (a path, the system's reason) as they are, or translated in
// turn where they are core texts themselves; any other text unchanged.
QString CoreText(const std::string& text);
QString CoreText(const QString& text);

// "N Seconds Remaining", "M Minute(s) S Seconds Remaining", "H Hour(s) M Minute(s) S
// Seconds Remaining" in the wizard's language; in English the words of the core's
// RemainingText.
QString RemainingQText(int64_t seconds);
// The progress line of a status record, "25%    (1.2 GB / 4.0 GB) - 1 Minute 5 Seconds
// Remaining" in English, built from the record's figures.
QString ProgressQText(const CTransferStatus& status);
// The capacity test's verdict ("good: all 256 MB hold what was written", ...) in the
// wizard's language, from the test's figures.
QString CapacityVerdictQText(const CCapacityResult& result);
