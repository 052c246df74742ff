#pragma once
// A helper program (sendmail, xorriso) run as a child process that never holds up the
// window: it is started asynchronously and driven by QProcess's signals, its output is read
// line by line as it comes, and it ends by itself, by a time limit, or when the caller
// stops it. The child leads a process group of its own, so that a stop or a time limit
// also ends the helpers it started (a shell script's `sleep`, sendmail's own children);
// a child that ended by itself leaves its group alone (a mail program may hand the message
// to a delivery process that outlives it).
//
// Needs a QCoreApplication: the signals and timers run in the caller's event loop.
#include <QStringList>

#include <functional>
#include <memory>
#include <string>

class QProcess;
class QTimer;

namespace px {

// How a child program ended, and what it said on its standard error.
struct ChildOutcome {
    enum class End { NotRun, FailedToStart, Exited, Crashed, TimedOut, Stopped };
    End end = End::NotRun;
    int exitCode = -1;
    std::string startError;   // why it could not be started ("No such file or directory")
    std::string errorOutput;  // the end of its standard error (at most ChildProcess::MaxErrorBytes)
    int limitMs = 0;          // the time limit that ended it (TimedOut)
    bool quiet = false;       // that limit was the one on silence

    bool Succeeded() const { return end == End::Exited && exitCode == 0; }
    // The end in words: "ended with exit status 3", "could not be started (No such file or
    // directory)", "did not finish within 60 seconds and was stopped", "said nothing for
    // 180 seconds and was stopped", "was stopped", "ended abnormally (killed by a signal)".
    std::string EndText() const;
    // EndText, then after ": " what the program said on its standard error (its lines
    // joined by "; "), when it said something.
    std::string Describe() const;
};

class ChildProcess {
public:
    // The standard error kept for the message: the end of it, where a program says what
    // went wrong last.
    static constexpr size_t MaxErrorBytes = 2000;

    struct Limits {
        int totalMs = 0;   // stopped after this long; 0 for no limit
        int quietMs = 0;   // stopped after this long without a line of output; 0 for no limit
    };

    ChildProcess();
    // Stops a child that is still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Each line the child writes (without its line end; CR ends a line too, as progress
    // lines use it); error tells standard error from standard output.
    void SetLineHandler(std::function<void(const std::string& line, bool error)> handler);
    // Called once when the child has ended, however it ended (also when it could not be
    // started); the outcome is Outcome().
    void SetFinishedHandler(std::function<void()> handler);

    // Starts program with arguments (never through a shell), input on its standard
    // input, which is then closed. Returns at once; false when a child is still running.
    bool Start(const std::string& program, const QStringList& arguments, const std::string& input, Limits limits);
    // Starts the child and waits for its end in a local event loop (the window keeps
    // running). While it waits, the message pump runs and cancelled is asked every
    // PollMs; when it says true the child is stopped. A quitting application stops it too.
    ChildOutcome Run(const std::string& program, const QStringList& arguments, const std::string& input, Limits limits,
                     const std::function<bool()>& cancelled = {});
    // Ends a running child and its process group (SIGKILL): the outcome is Stopped.
    void Stop();

    bool Running() const;
    const ChildOutcome& Outcome() const { return m_outcome; }

    // How often Run asks whether to stop.
    static constexpr int PollMs = 50;

private:
    void ReadLines(bool error);
    void TakeText(std::string& pending, const std::string& text, bool error, bool flush);
    void End(ChildOutcome::End end, int limitMs = 0, bool quiet = false);
    void KillGroup();

    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QTimer> m_total;
    std::unique_ptr<QTimer> m_quiet;
    std::function<void(const std::string&, bool)> m_onLine;
    std::function<void()> m_onFinished;
    std::string m_pendingOut, m_pendingErr;
    ChildOutcome m_outcome;
    bool m_running = false;
    long long m_pid = 0;
};

}  // namespace px
