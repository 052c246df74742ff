#pragma once
// What every px3 command shares: the settings (loaded at start), the log (start line,
// "=OS=" line, exit line), Ctrl-C turned into a Cancel on the bus, and a progress line.
#include <memory>
#include <string>

#include "app/csettings.h"
#include "app/ctransferstatus.h"
#include "device/ccardjob.h"
#include "device/cdriveinfo.h"
#include "jobs/cmsg.h"

namespace px3cli {

// Exit statuses of px3 (--help and the README say the same).
namespace ExitCode {
constexpr int Ok = 0;
constexpr int Failed = 1;         // the job failed (or px3 test found unreadable blocks)
constexpr int Usage = 2;          // bad arguments, no such card, nothing done
constexpr int Unreadable = 3;     // px3 recover went to the end, but blocks could not be read
constexpr int Cancelled = 130;    // Ctrl-C
}  // namespace ExitCode

// The exit status of a job's outcome: 0 finished, 3 finished with unreadable blocks,
// 130 cancelled, 1 for every failure.
int ExitStatus(JobOutcome outcome);

class Session {
public:
    Session();
    ~Session();
    CSettings& Settings() { return m_settings; }

private:
    CSettings m_settings;
};

// Shows the progress of a job on one updating line of standard error (when it is a
// terminal) and counts the files announced.
class ProgressPrinter : public CListener {
public:
    explicit ProgressPrinter(int32_t scope);
    ~ProgressPrinter() override;
    void OnMessage(CSingleMsg& msg) override;
    // Ends the updating line.
    void Done();

    int FilesFinished() const { return m_files; }

private:
    int32_t m_scope;
    bool m_tty;
    bool m_lineOpen = false;
    int m_files = 0;
    int m_lastPercent = -1;
};

// While alive, Ctrl-C sends a Cancel (code 15, value 1) on the bus between two chunks.
class CancelOnInterrupt {
public:
    CancelOnInterrupt();
    ~CancelOnInterrupt();
    static bool Interrupted();
};

// Why a described drive holds no card to work on ("there is no card in the reader at E:"),
// or empty when its unit answered ready.
std::string NotReadyText(const CDriveInfo& info, char letter);

// Describes the card at a letter; false with a message for the user.
bool DescribeCard(char letter, CDriveInfo& info, std::string& message);

}  // namespace px3cli
