#include "cli/session.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "app/clogfile.h"
#include "app/progresstext.h"
#include "device/cdrivescsi.h"
#include "platform/lasterror.h"
#include "platform/messagepump.h"
#include "platform/volumetable.h"

namespace px3cli {

Session::Session()
{
    Log().EnableFromCommandLine("LOG", "LOG");
    Log().Open(CSettings::LogFilePath());
    Log().StartApp("");
    m_settings.LoadSettings();
}

Session::~Session()
{
    Log().ExitApp("");
    Log().Close();
}

ProgressPrinter::ProgressPrinter(int32_t scope) : m_scope(scope), m_tty(::isatty(STDERR_FILENO) == 1)
{
    Bus().AddListener("ProgressPrinter", this);
}

ProgressPrinter::~ProgressPrinter()
{
    Done();
    Bus().RemoveListener(this);
}

void ProgressPrinter::OnMessage(CSingleMsg& msg)
{
    if (msg.Code != MsgCode::TransferStatus)
        return;
    if (msg.Scope.ToInt() != m_scope && msg.Scope.ToInt() != 0)
        return;
    auto* status = dynamic_cast<CTransferStatus*>(msg.Attached);
    if (!status)
        return;
    if (status->Kind == StatusKind::FileFinished)
        ++m_files;
    if (status->Kind != StatusKind::Progress || status->BlockCount == 0)
        return;
    if (m_tty) {
        std::fprintf(stderr, "\r%s  %d files\033[K", ProgressText(*status).c_str(), m_files);
        std::fflush(stderr);
        m_lineOpen = true;
    } else {
        // Not a terminal: a line per tenth of the card is enough for a log.
        const int percent = static_cast<int>(uint64_t(status->CurrentBlock) * 100 / status->BlockCount);
        if (percent / 10 != m_lastPercent / 10 && percent > 0) {
            std::fprintf(stderr, "%s  %d files\n", ProgressText(*status).c_str(), m_files);
            m_lastPercent = percent;
        }
    }
}

void ProgressPrinter::Done()
{
    if (m_lineOpen) {
        std::fprintf(stderr, "\n");
        m_lineOpen = false;
    }
}

namespace {
std::atomic<bool> g_interrupted{false};
void OnSigint(int) { g_interrupted = true; }
}  // namespace

CancelOnInterrupt::CancelOnInterrupt()
{
    g_interrupted = false;
    struct sigaction action{};
    action.sa_handler = OnSigint;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    px::SetMessagePump([] {
        if (g_interrupted.exchange(false))
            CMsgSend cancel(MsgCode::Cancel, CVariant(1));
    });
}

CancelOnInterrupt::~CancelOnInterrupt()
{
    px::SetMessagePump({});
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

bool CancelOnInterrupt::Interrupted() { return g_interrupted; }

bool DescribeCard(char letter, CDriveInfo& info, std::string& message)
{
    bool known = false;
    for (char l : px::VolumeTable::Instance().Letters())
        known = known || l == letter;
    if (!known) {
        message = std::string("no card reader at ") + letter + ": (attach a card image with --card " + letter + "=PATH)";
        return false;
    }
    CDriveScsi drive;
    if (!drive.OpenVolume(letter)) {
        message = std::string("cannot open ") + letter + ": " + drive.GetError();
        if (px::GetLastError() == EACCES)
            if (const std::string access = px::VolumeTable::Instance().AccessText(letter); !access.empty())
                message += "\n" + access;
        return false;
    }
    const bool ok = drive.ReadDriveInfo(info);
    const std::string error = drive.GetError();
    drive.Close();
    if (!ok) {
        message = std::string("cannot read the card in ") + letter + ": " + error;
        return false;
    }
    message = NotReadyText(info, letter);
    return message.empty();
}

std::string NotReadyText(const CDriveInfo& info, char letter)
{
    if ((info.m_Sense.ScsiStatus & 0x3E) == 0)
        return {};
    const px::SenseData sense = px::ParseSense(info.m_Sense.Sense, info.m_Sense.Valid ? sizeof info.m_Sense.Sense : 0);
    const bool noMedium = sense.Valid && sense.Key == px::SenseKey::NotReady;
    return noMedium ? std::string("there is no card in the reader at ") + letter + ":"
                    : std::string("the card in ") + letter + ": is not ready";
}

int ExitStatus(JobOutcome outcome)
{
    switch (outcome) {
    case JobOutcome::Finished:
        return ExitCode::Ok;
    case JobOutcome::UnreadableBlocks:
        return ExitCode::Unreadable;
    case JobOutcome::Cancelled:
        return ExitCode::Cancelled;
    default:
        return ExitCode::Failed;
    }
}

}  // namespace px3cli
