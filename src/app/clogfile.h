#pragma once
// The per-user log: one plain-text line per start-up, shutdown, settings step, folder
// check, card enumeration and job step. Nothing in the log reports an error to its
// caller except Open's result; a log that cannot be opened silently keeps its text
// pending and never blocks the program.
//
// Line format, as printf would make it from "%-10s : %s  %-50s\r\n":
//   the tag padded to 10 characters, " : ", the time stamp "'12/06/2026 14:05:09'" or
//   nothing, two blanks, the message padded to 50 characters, CR LF.
// Padding never truncates; it counts characters (UTF-8 code points), not bytes.
//
// How a front end (the wizard or px3) uses the process-wide log:
//   at start:  Log().EnableFromCommandLine("LOG", "LOG");
//              Log().Open(CSettings::LogFilePath());   // ~/Documents/PX3Log.txt
//              Log().StartApp("");                      // "==Start App" and "=OS=" lines
//   in between: Log().BeginScope("LoadSettings"); Log().Info("..."); Log().Outcome(LogMark::Ok, "...");
//              Log().EndScope("LoadSettings");
//   at exit:   Log().ExitApp("");                       // "==Exit App" and an empty line
//              Log().Close();
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

// Outcome marks that callers pass to Outcome.
namespace LogMark {
inline constexpr const char* Ok = "-OK";
inline constexpr const char* Fail = "-FAIL";
}

// A clock that answers the current local time, broken down. Injectable so that tests
// can write lines and date-based names at a fixed time.
using LocalClock = std::function<std::tm()>;

// The current local time (localtime_r of now).
std::tm LocalNow();

class CLogFile {
public:
    CLogFile();
    ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // Upper-cases both texts, cuts the command text into tokens at every "-", "/" and
    // blank (empty tokens skipped) and turns logging on exactly when one token equals the
    // switch word; otherwise off. ("-x /log", "LOG") → on; ("-logfile", "LOG") → off.
    void EnableFromCommandLine(const std::string& command, const std::string& switchWord);

    // Opens path for appending (created when missing, never truncated; a missing parent
    // folder is created). Returns false at once when logging is off or an earlier open
    // failed (until Close). Returns true without reopening when the file is open and path
    // is empty or equals the open path. An empty path with no file open means
    // "<current directory>/<program name>.log". A failed open sets the failed flag.
    bool Open(const std::string& path);

    // Writes out the pending text when it can, closes the file and clears the failed flag.
    void Close();

    // Appends text to the pending text and, when the log can write, writes all pending
    // text to the file at once. Pending text is bounded (PendingLimit): when the log
    // never opens, the oldest whole lines are dropped first.
    void Write(const std::string& text);

    // Formats one line (see above) and passes it to Write.
    void WriteLine(const std::string& tag, const std::string& text, bool withTime);

    // "-Start " line. Dropped while the log cannot write.
    void BeginScope(const std::string& text);
    // "-End " line.
    void EndScope(const std::string& text);
    // "... " line.
    void Info(const std::string& text);
    // A line tagged with the outcome mark (LogMark::Ok, LogMark::Fail).
    void Outcome(const std::string& mark, const std::string& text);
    // "==Start App" line, then the "=OS=" line. Dropped while the log cannot write.
    void StartApp(const std::string& text);
    // "=OS=" line with the operating system description, no time stamp. Dropped while
    // the log cannot write.
    void WriteSystem();
    // "==Exit App" line, then an empty line that separates the runs of the program.
    // Dropped while the log cannot write.
    void ExitApp(const std::string& text);

    bool IsEnabled() const;
    bool IsOpen() const;
    bool HasFailed() const;
    std::string GetPath() const;
    std::string GetPendingText() const;

    // Replaces the clock of the time stamps; an empty clock restores LocalNow.
    void SetClock(LocalClock clock);

    // One formatted line, without writing it: the format above with the given stamp.
    static std::string FormatLine(const std::string& tag, const std::string& stamp,
                                  const std::string& text);
    // "'%m/%d/%Y %H:%M:%S'" of the given time.
    static std::string FormatStamp(const std::tm& time);

    // Most pending text kept while the log cannot write (1 MiB): enough for every line
    // of a long run before a late open, small enough never to matter for memory.
    static constexpr size_t PendingLimit = 1 << 20;

private:
    bool CanWriteLocked() const;
    void FlushPendingLocked();
    void AppendPendingLocked(const std::string& text);
    void WriteLineLocked(const std::string& tag, const std::string& text, bool withTime);
    void CloseLocked();

    // The log is written from the user-interface thread; the lock only keeps a stray
    // line from another thread from tearing the state.
    mutable std::recursive_mutex m_lock;
    bool m_bEnabled = false;
    bool m_bFailed = false;
    int m_fd = -1;
    std::string m_strPath;
    std::string m_strPending;
    LocalClock m_clock;
};

// The process-wide log.
CLogFile& Log();
