// px3 test, px3 format, px3 erase and px3 backup: the card tools as the tool pages run
// them, with the pages' confirmation texts asked on the terminal.
#include "cli/toolcommands.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "app/clogfile.h"
#include "app/cstringtokenizer.h"
#include "app/progresstext.h"
#include "cli/session.h"
#include "device/cdrivescsi.h"
#include "platform/lasterror.h"
#include "platform/volumetable.h"
#include "tools/capacitytest.h"
#include "tools/cardbackup.h"
#include "tools/cardtools.h"

namespace px3cli {

namespace {

// The confirmation texts of the format and erase pages, kept as the pages word them
// (the erase text has its blank at the start of the second line).
const char* const kFormatQuestion = "All data on the card will be erased!\nDo you want to continue?";
const char* const kEraseQuestion = "All data on the card will be permanently erased!\n Do you want to continue?";
const char* const kFormatDone =
    "The card successfully formatted.\nThe device has been logically ejected, remove card from reader and "
    "re-insert to verify.";

struct ToolOptions {
    std::string letter;
    bool yes = false;
    bool write = false;
};

// A progress line of standard error: updated in place on a terminal, else a line for
// each tenth of the way and for each new step.
class LiveLine {
public:
    LiveLine() : m_tty(::isatty(STDERR_FILENO) == 1) {}
    ~LiveLine() { Done(); }
    void Show(const std::string& text, int percent, int step)
    {
        if (m_tty) {
            std::fprintf(stderr, "\r%s\033[K", text.c_str());
            m_open = true;
        } else if (percent / 10 != m_percent / 10 || step != m_step) {
            std::fprintf(stderr, "%s\n", text.c_str());
        }
        m_percent = percent;
        m_step = step;
        std::fflush(stderr);
    }
    void Done()
    {
        if (m_open)
            std::fprintf(stderr, "\n");
        m_open = false;
    }

private:
    bool m_tty;
    bool m_open = false;
    int m_percent = -1;
    int m_step = -1;
};

std::string Remaining(int64_t seconds) { return seconds < 0 ? std::string() : " - " + RemainingText(seconds); }

// The progress of a tool job on one updating line of standard error when it is a terminal
// (a line per tenth of the card otherwise): the progress text of the job's status records
// or, for the format, which of its steps it has reached.
class ToolProgress : public CListener {
public:
    // steps: the job reports positions of a small range and no status records.
    ToolProgress(int32_t scope, std::string word, bool steps = false)
        : m_scope(scope), m_word(std::move(word)), m_tty(::isatty(STDERR_FILENO) == 1), m_steps(steps)
    {
        Bus().AddListener("ToolProgress", this);
    }
    ~ToolProgress() override
    {
        Done();
        Bus().RemoveListener(this);
    }
    void OnMessage(CSingleMsg& msg) override
    {
        if (msg.Scope.ToInt() != m_scope && msg.Scope.ToInt() != 0)
            return;
        if (msg.Code == MsgCode::Progress) {
            if (msg.Kind == ProgressStep::Range)
                m_range = msg.Value2.ToInt();
            if (msg.Kind == ProgressStep::Position && m_steps && m_range > 0 && msg.Value1.ToInt() > 0)
                Show(m_word + " " + std::to_string(msg.Value1.ToInt() * 100 / m_range) + "%", true);
            return;
        }
        if (msg.Code != MsgCode::TransferStatus)
            return;
        auto* status = dynamic_cast<CTransferStatus*>(msg.Attached);
        if (!status || status->Kind != StatusKind::Progress || status->BlockCount == 0 || status->BytesDone == 0)
            return;
        const int percent = static_cast<int>(uint64_t(status->CurrentBlock) * 100 / status->BlockCount);
        const bool tenth = percent / 10 != m_lastPercent / 10 && percent > 0;
        if (tenth)
            m_lastPercent = percent;
        Show(ProgressText(*status), tenth);
    }
    void Done()
    {
        if (m_lineOpen) {
            std::fprintf(stderr, "\n");
            m_lineOpen = false;
        }
    }

private:
    void Show(const std::string& text, bool worthALine)
    {
        if (m_tty) {
            std::fprintf(stderr, "\r%s\033[K", text.c_str());
            m_lineOpen = true;
        } else if (worthALine) {
            std::fprintf(stderr, "%s\n", text.c_str());
        }
        std::fflush(stderr);
    }

    int32_t m_scope;
    std::string m_word;
    bool m_tty;
    bool m_steps;
    bool m_lineOpen = false;
    int m_range = 0;
    int m_lastPercent = -1;
};

// The checks every tool makes before it starts, in the pages' order: a drive letter, a
// card present and described; for the format and the erase, a drive that qualifies as a
// card; and nobody else holding the drive (a mounted card, another program). Exit status
// 0 when the tool may start, else the message is printed and 2 returned.
int CheckDrive(const std::string& text, bool destructive, char& letter, CDriveInfo& info)
{
    letter = ParseLetter(text);
    if (!letter) {
        std::fprintf(stderr, "px3: '%s' is not a drive letter\n", text.c_str());
        return 2;
    }
    std::string message;
    if (!DescribeCard(letter, info, message)) {
        std::fprintf(stderr, "px3: %s\n", message.c_str());
        return 2;
    }
    if (destructive) {
        const std::string refusal = CardRefusal(info);
        if (!refusal.empty()) {
            std::fprintf(stderr, "px3: %s; nothing was written\n", refusal.c_str());
            return 2;
        }
    }
    // A short lock and unlock: the job takes the lock again for its run, and its own
    // failure to lock stays the last word; this only tells the user why before asking.
    CDriveScsi drive;
    if (drive.OpenVolume(letter) && !drive.Lock()) {
        const std::string why = drive.GetError();
        const bool busyDevice = px::GetLastError() == EBUSY;
        drive.Close();
        std::fprintf(stderr, "px3: %c: is in use (%s)", letter, why.c_str());
        const std::string busy = busyDevice ? px::VolumeTable::Instance().BusyText(letter) : std::string();
        std::fprintf(stderr, "%s%s\n", busy.empty() ? "" : "\n", busy.c_str());
        return 2;
    }
    return 0;
}

CTransferStatus StatusFor(Session& session, char letter, const CDriveInfo& info)
{
    CTransferStatus status;
    CopySettings(session.Settings().Record(), status.Settings);
    status.SelectedDrive = static_cast<uint32_t>(letter);
    status.Capacity = static_cast<uint64_t>(info.DiskSize());
    return status;
}

std::string CardLine(char letter, const CDriveInfo& info)
{
    return std::string(1, letter) + ": (" + SizeText(static_cast<uint64_t>(info.DiskSize())) + ")";
}

// The end of a tool run: the log's outcome, the error or "Finished", the exit status.
int Outcome(const std::string& what, bool ok, JobOutcome outcome, const std::string& error)
{
    if (!ok) {
        Log().Outcome("-FAIL", what + " ==> " + error);
        std::fprintf(stderr, "px3: %s\n", error.c_str());
        return ExitStatus(outcome);
    }
    Log().Outcome("-OK", error.empty() ? what : what + " ==> " + error);
    if (!error.empty())
        std::fprintf(stderr, "px3: %s\n", error.c_str());
    std::printf("Finished\n");
    return 0;
}

}  // namespace

bool Confirm(const std::string& question, std::FILE* in, std::FILE* out)
{
    std::fprintf(out, "%s [yes/no] ", question.c_str());
    std::fflush(out);
    // An answer is a word: a longer line (a prompt fed from /dev/zero, say) is no yes, and
    // is not kept beyond this many bytes.
    constexpr size_t kLongestAnswer = 64;
    std::string answer;
    bool tooLong = false;
    int c = 0;
    while ((c = std::fgetc(in)) != EOF && c != '\n') {
        if (answer.size() < kLongestAnswer)
            answer += static_cast<char>(c);
        else
            tooLong = true;
        if (tooLong && answer.size() >= kLongestAnswer)
            break;   // no need to read on: the answer is no
    }
    if ((c == EOF && answer.empty()) || tooLong) {
        std::fprintf(out, "\n");
        return false;
    }
    std::string word(CStringTokenizer::Trim(answer));
    for (char& ch : word)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return word == "yes";
}

int CmdTest(const std::string& text)
{
    Session session;
    char letter = 0;
    CDriveInfo info;
    if (const int rc = CheckDrive(text, false, letter, info))
        return rc;
    CTransferStatus status = StatusFor(session, letter, info);

    // What the volume information says, before the surface test: the file system that the
    // platform reads on the card. Fragmentation is not measured, so it is not guessed.
    const std::string fileSystem = px::VolumeTable::Instance().FileSystemName(letter);
    const bool readable = !fileSystem.empty();
    std::printf("Testing %s\n", CardLine(letter, info).c_str());
    std::printf("Boot Block:     %s\n", readable ? "OK" : "FAIL");
    std::printf("FAT Clusters:   %s\n", readable ? ("OK (" + fileSystem + ")").c_str() : "FAIL");
    std::printf("Directory:      %s\n", readable ? "OK" : "FAIL");
    std::printf("Fragmentation:  N/A\n");
    std::fflush(stdout);

    Log().BeginScope(std::string("Card Test ") + letter + ":");
    bool ok = false;
    std::string error;
    uint64_t readErrors = 0;
    JobOutcome outcome = JobOutcome::NotRun;
    {
        ToolProgress progress(JobScope::CardTest, "Testing...");
        CancelOnInterrupt cancel;
        CCardTest job(&status, info);
        ok = job.Run();
        progress.Done();
        error = job.GetError();
        readErrors = job.ReadErrors();
        outcome = job.Outcome();
    }
    // Blocks that could not be read were not verified.
    const uint64_t unread = static_cast<uint64_t>(readErrors) * 512;
    std::printf("Bytes Verified: %s\n", DeviceText::WithCommas(static_cast<int64_t>(status.BytesDone > unread ? status.BytesDone - unread : 0)).c_str());
    std::printf("Read Errors:    %llu\n", static_cast<unsigned long long>(readErrors));
    std::fflush(stdout);
    const int rc = Outcome(std::string("Card Test ") + letter + ":", ok, outcome, error);
    // The test ran to its end, but a card with read errors fails it: scripts can tell.
    return rc == 0 && readErrors > 0 ? 1 : rc;
}

namespace {

// Before a command writes over the card: true to go on (--yes asks nobody); otherwise says
// that nothing was written, in the command's words ("not formatted").
bool MayWrite(bool yes, const char* question, const char* notDone)
{
    if (yes || Confirm(question, stdin, stderr))
        return true;
    std::fprintf(stderr, "px3: %s: nothing was written\n", notDone);
    return false;
}

}  // namespace

int CmdFormat(const std::string& text, bool yes)
{
    Session session;
    char letter = 0;
    CDriveInfo info;
    if (const int rc = CheckDrive(text, true, letter, info))
        return rc;
    std::printf("Format %s\n", CardLine(letter, info).c_str());
    std::fflush(stdout);
    if (!MayWrite(yes, kFormatQuestion, "not formatted"))
        return 1;
    CTransferStatus status = StatusFor(session, letter, info);
    std::printf("Formatting...\n");
    std::fflush(stdout);
    Log().BeginScope(std::string("Format ") + letter + ":");
    bool ok = false;
    std::string error;
    JobOutcome outcome = JobOutcome::NotRun;
    {
        ToolProgress progress(JobScope::Format, "Formatting...", true);
        // Ctrl-C is taken between the format's steps: never in the middle of its writes.
        CancelOnInterrupt cancel;
        CCardFormat job(&status, info);
        ok = job.Run();
        progress.Done();
        error = job.GetError();
        outcome = job.Outcome();
    }
    if (ok)
        std::printf("%s\n", kFormatDone);
    return Outcome(std::string("Format ") + letter + ":", ok, outcome, error);
}

int CmdErase(const std::string& text, bool yes)
{
    Session session;
    char letter = 0;
    CDriveInfo info;
    if (const int rc = CheckDrive(text, true, letter, info))
        return rc;
    std::printf("Erase %s\n", CardLine(letter, info).c_str());
    std::fflush(stdout);
    if (!MayWrite(yes, kEraseQuestion, "not erased"))
        return 1;
    CTransferStatus status = StatusFor(session, letter, info);
    std::printf("Erasing...\n");
    std::fflush(stdout);
    Log().BeginScope(std::string("Erase ") + letter + ":");
    bool ok = false;
    std::string error;
    JobOutcome outcome = JobOutcome::NotRun;
    {
        ToolProgress progress(JobScope::Erase, "Erasing...");
        CancelOnInterrupt cancel;
        CCardWipe job(&status, info);
        ok = job.Run();
        progress.Done();
        error = job.GetError();
        outcome = job.Outcome();
    }
    return Outcome(std::string("Erase ") + letter + ":", ok, outcome, error);
}

int CmdCapacityTest(const std::string& text, bool yes)
{
    Session session;
    char letter = 0;
    CDriveInfo info;
    if (const int rc = CheckDrive(text, true, letter, info))
        return rc;
    std::printf("Capacity test of %s\n", CardLine(letter, info).c_str());
    std::printf("The test writes over every block of the card, then reads every block back.\n");
    std::fflush(stdout);
    if (!MayWrite(yes, kEraseQuestion, "not tested"))
        return 1;
    CTransferStatus status = StatusFor(session, letter, info);
    Log().BeginScope(std::string("Capacity Test ") + letter + ":");
    bool ok = false;
    std::string error;
    JobOutcome outcome = JobOutcome::NotRun;
    CCapacityResult result;
    {
        LiveLine line;
        CancelOnInterrupt cancel;
        std::random_device random;
        const uint64_t key = (uint64_t(random()) << 32) ^ random() ^
                             uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
        CCardCapacityTest job(&status, info, key);
        const auto started = std::chrono::steady_clock::now();
        job.SetProgressHandler([&](uint64_t done, uint64_t total, int pass) {
            const int percent = total ? static_cast<int>(done * 100 / total) : 0;
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            const int64_t left = done > 0 && elapsed > 0.5 ? int64_t(elapsed * double(total - done) / double(done)) : -1;
            line.Show(std::string(pass == 1 ? "Writing... " : "Reading... ") + std::to_string(percent) + "%" +
                          Remaining(left),
                      percent, pass);
        });
        ok = job.Run();
        line.Done();
        error = job.GetError();
        outcome = job.Outcome();
        result = job.Result();
    }
    if (ok) {
        std::printf("Write Speed:     %.1f MB/s\n", result.writeMBps);
        std::printf("Read Speed:      %.1f MB/s\n", result.readMBps);
        if (result.Passed())
            std::printf("First Bad Block: none\n");
        else
            std::printf("First Bad Block: %llu\n", static_cast<unsigned long long>(result.firstBad));
        std::printf("Capacity:        %s\n", CapacityVerdict(result).c_str());
        std::fflush(stdout);
    }
    const int rc = Outcome(std::string("Capacity Test ") + letter + ":", ok, outcome, error);
    return rc == 0 && !result.Passed() ? 1 : rc;
}

int CmdBackup(const BackupCommandOptions& options)
{
    Session session;
    char letter = 0;
    CDriveInfo info;
    if (const int rc = CheckDrive(options.letter, false, letter, info))
        return rc;
    if (options.retries < 0 || options.retries > 100) {
        std::fprintf(stderr, "px3: --retries takes 0 to 100 passes\n");
        return 2;
    }
    std::error_code ec;
    CBackupOptions backup;
    backup.imagePath = std::filesystem::absolute(options.image, ec).lexically_normal().string();
    backup.mapPath = options.map.empty() ? std::string()
                                         : std::filesystem::absolute(options.map, ec).lexically_normal().string();
    backup.sparse = options.sparse;
    backup.retries = options.retries;
    backup.commandLine = std::string("px3 backup ") + letter + " " + backup.imagePath +
                         (options.map.empty() ? "" : " --map " + backup.mapPath) + (options.sparse ? " --sparse" : "");
    CTransferStatus status = StatusFor(session, letter, info);
    std::printf("Backup of %s to %s\n", CardLine(letter, info).c_str(), backup.imagePath.c_str());
    std::fflush(stdout);
    Log().BeginScope(std::string("Backup ") + letter + ": ==> " + backup.imagePath);
    bool ok = false;
    std::string error, mapPath;
    JobOutcome outcome = JobOutcome::NotRun;
    CBackupProgress last;
    {
        LiveLine line;
        CancelOnInterrupt cancel;
        CCardBackup job(&status, info, backup);
        mapPath = job.MapPath();
        job.SetProgressHandler([&](const CBackupProgress& p) {
            last = p;
            const int percent = p.size ? static_cast<int>(p.copied * 100 / p.size) : 0;
            const char* step = p.phase == px::RescueStatus::NonTried ? (p.pass <= 1 ? "Pass 1" : "Pass 2")
                               : p.phase == px::RescueStatus::BadSector ? "Retrying"
                               : p.phase == px::RescueStatus::Finished  ? "Done"
                                                                        : "Pass 3";
            line.Show(std::string(step) + ": " + std::to_string(percent) + "% copied (" + SizeText(p.copied) +
                          " good, " + SizeText(p.failed) + " bad, " + SizeText(p.untried) + " untried)" +
                          Remaining(p.secondsLeft),
                      percent, p.phase * 16 + p.pass);
        });
        ok = job.Run();
        line.Done();
        error = job.GetError();
        outcome = job.Outcome();
        last = job.Progress();
    }
    if (last.size > 0) {
        std::printf("Copied:    %s\n", DeviceText::WithCommas(static_cast<int64_t>(last.copied)).c_str());
        std::printf("Bad:       %s\n", DeviceText::WithCommas(static_cast<int64_t>(last.failed)).c_str());
        std::printf("Not tried: %s\n", DeviceText::WithCommas(static_cast<int64_t>(last.untried)).c_str());
        std::printf("Map:       %s\n", mapPath.c_str());
        std::fflush(stdout);
    }
    const int rc = Outcome(std::string("Backup ") + letter + ":", ok, outcome, error);
    return rc == 0 && outcome == JobOutcome::UnreadableBlocks ? ExitCode::Unreadable : rc;
}

void RegisterToolCommands(CLI::App& app, Context& context)
{
    auto add = [&](CLI::App* sub, std::function<int()> run) {
        context.subcommands.push_back(sub);
        context.runners.push_back(std::move(run));
    };

    auto test = std::make_shared<ToolOptions>();
    auto* testCmd = app.add_subcommand(
        "test", "Read every block of a card and count the blocks that cannot be read (exit status 1 when some cannot)");
    testCmd->add_option("LETTER", test->letter, kLetterHelp)->required();
    testCmd->add_flag("--write", test->write,
                      "Capacity test: write every block, read it back and tell the card's real capacity (finds fake "
                      "cards; erases the card, asks first)");
    testCmd->add_flag("--yes,-y", test->yes, "With --write: do not ask for confirmation");
    add(testCmd, [test] { return test->write ? CmdCapacityTest(test->letter, test->yes) : CmdTest(test->letter); });

    auto format = std::make_shared<ToolOptions>();
    auto* formatCmd = app.add_subcommand(
        "format", "Write a new FAT file system on a card in the layout cameras expect, then eject it (asks first)");
    formatCmd->add_option("LETTER", format->letter, kLetterHelp)->required();
    formatCmd->add_flag("--yes,-y", format->yes, "Do not ask for confirmation: format at once");
    add(formatCmd, [format] { return CmdFormat(format->letter, format->yes); });

    auto erase = std::make_shared<ToolOptions>();
    auto* eraseCmd = app.add_subcommand(
        "erase", "Overwrite every block of a card with zeros, so that nothing on it can be recovered (asks first)");
    eraseCmd->add_option("LETTER", erase->letter, kLetterHelp)->required();
    eraseCmd->add_flag("--yes,-y", erase->yes, "Do not ask for confirmation: erase at once");
    add(eraseCmd, [erase] { return CmdErase(erase->letter, erase->yes); });

    auto backup = std::make_shared<BackupCommandOptions>();
    auto* backupCmd = app.add_subcommand(
        "backup", "Copy a card into an image file, the good areas first and the hard ones later, with a map of what "
                  "was copied (GNU ddrescue's mapfile); run it again to go on where it stopped. Nothing is written "
                  "to the card");
    backupCmd->add_option("LETTER", backup->letter, kLetterHelp)->required();
    backupCmd->add_option("IMAGE", backup->image, "The image file to copy into")->required();
    backupCmd->add_option("--map", backup->map, "The map file (default: IMAGE.map)")->type_name("FILE");
    backupCmd->add_flag("--sparse", backup->sparse, "Do not write blocks of zeros: they stay holes of the image");
    backupCmd->add_option("--retries", backup->retries,
                          "Passes over the bad blocks after the others (default 1; each read of a dying card may be "
                          "its last)")
        ->type_name("N");
    add(backupCmd, [backup] { return CmdBackup(*backup); });
}

}  // namespace px3cli
