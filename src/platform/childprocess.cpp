#include "platform/childprocess.h"

#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include "platform/messagepump.h"

namespace px {

namespace {

// "60 seconds", "1 second", "0.5 seconds".
std::string SecondsText(int ms)
{
    const QString number = QString::number(ms / 1000.0);
    return number.toStdString() + (ms == 1000 ? " second" : " seconds");
}

}  // namespace

std::string ChildOutcome::EndText() const
{
    std::string text;
    switch (end) {
    case End::NotRun: text = "was not run"; break;
    case End::FailedToStart: text = "could not be started (" + startError + ")"; break;
    case End::Exited: text = "ended with exit status " + std::to_string(exitCode); break;
    case End::Crashed: text = "ended abnormally (killed by a signal)"; break;
    case End::TimedOut:
        text = (quiet ? "said nothing for " : "did not finish within ") + SecondsText(limitMs) + " and was stopped";
        break;
    case End::Stopped: text = "was stopped"; break;
    }
    return text;
}

std::string ChildOutcome::Describe() const
{
    const std::string text = EndText();
    std::string said;
    size_t start = 0;
    while (start < errorOutput.size()) {
        size_t end = errorOutput.find('\n', start);
        if (end == std::string::npos)
            end = errorOutput.size();
        const QString line = QString::fromStdString(errorOutput.substr(start, end - start)).trimmed();
        if (!line.isEmpty())
            said += (said.empty() ? "" : "; ") + line.toStdString();
        start = end + 1;
    }
    return said.empty() ? text : text + ": " + said;
}

ChildProcess::ChildProcess() = default;

ChildProcess::~ChildProcess()
{
    m_onFinished = {};
    m_onLine = {};
    Stop();
}

void ChildProcess::SetLineHandler(std::function<void(const std::string&, bool)> handler) { m_onLine = std::move(handler); }

void ChildProcess::SetFinishedHandler(std::function<void()> handler) { m_onFinished = std::move(handler); }

bool ChildProcess::Running() const { return m_running; }

bool ChildProcess::Start(const std::string& program, const QStringList& arguments, const std::string& input,
                         Limits limits)
{
    if (m_running)
        return false;
    m_outcome = {};
    m_pendingOut.clear();
    m_pendingErr.clear();
    m_pid = 0;
    // A new object for every child: the old one may still be the sender of the signal
    // whose handler starts the next child.
    if (m_process) {
        m_process->disconnect();
        m_process.release()->deleteLater();
    }
    m_process = std::make_unique<QProcess>();
    m_total = std::make_unique<QTimer>();
    m_quiet = std::make_unique<QTimer>();
    QProcess* process = m_process.get();
    // Its own process group: a stop reaches whatever the child started.
    process->setChildProcessModifier([] { ::setpgid(0, 0); });
    QObject::connect(process, &QProcess::readyReadStandardOutput, process, [this] { ReadLines(false); });
    QObject::connect(process, &QProcess::readyReadStandardError, process, [this] { ReadLines(true); });
    QObject::connect(process, &QProcess::finished, process, [this](int code, QProcess::ExitStatus status) {
        ReadLines(false);
        ReadLines(true);
        m_outcome.exitCode = code;
        End(status == QProcess::NormalExit ? ChildOutcome::End::Exited : ChildOutcome::End::Crashed);
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        m_outcome.startError = m_process->errorString().toStdString();
        End(ChildOutcome::End::FailedToStart);
    });
    m_total->setSingleShot(true);
    m_quiet->setSingleShot(true);
    QObject::connect(m_total.get(), &QTimer::timeout, m_total.get(),
                     [this, ms = limits.totalMs] { End(ChildOutcome::End::TimedOut, ms); });
    QObject::connect(m_quiet.get(), &QTimer::timeout, m_quiet.get(),
                     [this, ms = limits.quietMs] { End(ChildOutcome::End::TimedOut, ms, true); });
    if (limits.quietMs > 0)
        m_quiet->setInterval(limits.quietMs);

    m_running = true;
    process->start(QString::fromStdString(program), arguments);
    if (!m_running)
        return true;  // it could not be started: the finished handler has run
    m_pid = process->processId();
    if (limits.totalMs > 0)
        m_total->start(limits.totalMs);
    if (limits.quietMs > 0)
        m_quiet->start();
    // Written as the child reads it; the pipe is closed behind the last byte.
    if (!input.empty())
        process->write(input.data(), qint64(input.size()));
    process->closeWriteChannel();
    return true;
}

ChildOutcome ChildProcess::Run(const std::string& program, const QStringList& arguments, const std::string& input,
                               Limits limits, const std::function<bool()>& cancelled)
{
    QEventLoop loop;
    const auto finished = m_onFinished;
    m_onFinished = [&loop, finished] {
        if (finished)
            finished();
        loop.quit();
    };
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &poll, [this, &cancelled] {
        PumpMessages();
        if (m_running && cancelled && cancelled())
            Stop();
    });
    Start(program, arguments, input, limits);
    if (m_running) {
        poll.start(PollMs);
        loop.exec();
    }
    // The loop also ends when the application quits: the child does not outlive it.
    if (m_running)
        Stop();
    m_onFinished = finished;
    return m_outcome;
}

void ChildProcess::Stop()
{
    if (m_running)
        End(ChildOutcome::End::Stopped);
}

void ChildProcess::ReadLines(bool error)
{
    if (!m_process)
        return;
    const QByteArray bytes = error ? m_process->readAllStandardError() : m_process->readAllStandardOutput();
    if (bytes.isEmpty())
        return;
    if (m_running && m_quiet->interval() > 0)
        m_quiet->start();
    TakeText(error ? m_pendingErr : m_pendingOut, bytes.toStdString(), error, false);
}

void ChildProcess::TakeText(std::string& pending, const std::string& text, bool error, bool flush)
{
    pending += text;
    size_t end;
    while ((end = pending.find_first_of("\r\n")) != std::string::npos || (flush && !pending.empty())) {
        if (end == std::string::npos)
            end = pending.size();
        const std::string line = pending.substr(0, end);
        pending.erase(0, std::min(end + 1, pending.size()));
        if (error && !line.empty()) {
            m_outcome.errorOutput += line + "\n";
            if (m_outcome.errorOutput.size() > MaxErrorBytes) {
                // The end is kept, from the start of a line.
                size_t cut = m_outcome.errorOutput.size() - MaxErrorBytes;
                const size_t next = m_outcome.errorOutput.find('\n', cut);
                cut = next == std::string::npos ? cut : next + 1;
                m_outcome.errorOutput.erase(0, cut);
            }
        }
        if (m_onLine && !line.empty())
            m_onLine(line, error);
    }
}

void ChildProcess::KillGroup()
{
    // The group exists while its leader has not been reaped, and this runs only while it
    // still counts as running.
    if (m_pid > 0)
        ::kill(pid_t(-m_pid), SIGKILL);
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

void ChildProcess::End(ChildOutcome::End end, int limitMs, bool quiet)
{
    if (!m_running)
        return;
    m_running = false;
    m_total->stop();
    m_quiet->stop();
    if (end == ChildOutcome::End::TimedOut || end == ChildOutcome::End::Stopped) {
        KillGroup();
        if (m_process) {
            ReadLines(false);
            ReadLines(true);
        }
    }
    TakeText(m_pendingOut, {}, false, true);
    TakeText(m_pendingErr, {}, true, true);
    m_outcome.end = end;
    m_outcome.limitMs = limitMs;
    m_outcome.quiet = quiet;
    if (m_onFinished)
        m_onFinished();
}

}  // namespace px
