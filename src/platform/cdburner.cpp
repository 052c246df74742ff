#include "platform/cdburner.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <filesystem>

#include "platform/messagepump.h"

namespace px {

namespace {

std::string& ProgramOverride()
{
    static std::string program;
    return program;
}

// Listing the drives wakes every one of them: a slow drive may take its time.
constexpr int kListTimeoutMs = 60000;
constexpr int kStartTimeoutMs = 10000;

// xorriso's problem messages: "xorriso : SORRY : ...", "xorriso : FAILURE : ...",
// "xorriso : FATAL : ...". The text after the severity.
std::string ProblemOfLine(const std::string& line)
{
    for (const char* severity : {" : SORRY : ", " : FAILURE : ", " : FATAL : "}) {
        const size_t at = line.find(severity);
        if (at != std::string::npos)
            return line.substr(at + std::char_traits<char>::length(severity));
    }
    return {};
}

}  // namespace

void CdBurner::SetProgram(std::string program) { ProgramOverride() = std::move(program); }

std::string CdBurner::Program() { return ProgramOverride().empty() ? std::string("xorriso") : ProgramOverride(); }

std::vector<std::string> CdBurner::ParseDeviceList(const std::string& listing)
{
    static const QRegularExpression device(R"(^\s*\d+\s+-dev\s+'([^']+)')", QRegularExpression::MultilineOption);
    std::vector<std::string> drives;
    auto matches = device.globalMatch(QString::fromStdString(listing));
    while (matches.hasNext())
        drives.push_back(matches.next().captured(1).toStdString());
    return drives;
}

bool CdBurner::FindRecordableDrive(const std::string& configured, std::string& drive)
{
    drive.clear();
    if (!configured.empty()) {
        drive = configured;
        return true;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QString::fromStdString(Program()), {"-devices"});
    if (!process.waitForStarted(kStartTimeoutMs))
        return false;
    if (!process.waitForFinished(kListTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    const std::vector<std::string> drives = ParseDeviceList(process.readAll().toStdString());
    if (drives.empty())
        return false;
    drive = drives.front();
    return true;
}

bool CdBurner::StagingArea(std::string& folder, std::string& error)
{
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (cache.isEmpty()) {
        error = "The user's cache folder is unknown";
        return false;
    }
    const QString path = cache + "/Pixsalvo3/CD Burning";
    if (!QDir().mkpath(path)) {
        error = "Cannot create the CD staging area " + path.toStdString();
        return false;
    }
    folder = path.toStdString();
    return true;
}

int CdBurner::ProgressOfLine(const std::string& line)
{
    static const QRegularExpression percent(R"(Writing:.*?\s([0-9]+)(?:\.[0-9]+)?%)");
    const QRegularExpressionMatch match = percent.match(QString::fromStdString(line));
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

bool CdBurner::Burn(const std::string& staging, const std::string& drive, const std::function<void(int)>& progress,
                    std::string& error)
{
    // One session: the staging area becomes the disc's root, with Joliet names for
    // Windows and Rock Ridge names and modes for Unix. Rock Ridge is xorriso's default;
    // it is named so that the disc does not depend on that default.
    const QStringList arguments = {"-abort_on",  "FAILURE", "-dev",  QString::fromStdString(drive),
                                   "-joliet",    "on",      "-rockridge", "on",
                                   "-volid",     "PIXSALVO", "-map", QString::fromStdString(staging),
                                   "/",          "-commit"};
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QString::fromStdString(Program()), arguments);
    if (!process.waitForStarted(kStartTimeoutMs)) {
        error = "The CD writing program " + Program() + " cannot be started";
        return false;
    }
    std::string pending;
    std::string problem;
    auto takeLines = [&] {
        pending += process.readAll().toStdString();
        size_t end;
        while ((end = pending.find_first_of("\r\n")) != std::string::npos) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (const int percent = ProgressOfLine(line); percent >= 0 && progress)
                progress(percent);
            if (std::string text = ProblemOfLine(line); !text.empty())
                problem = std::move(text);
        }
    };
    while (process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(100);
        takeLines();
        PumpMessages();
    }
    process.waitForFinished();
    pending += process.readAll().toStdString() + "\n";
    takeLines();
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0) {
        // Written: the staging area is emptied (its entries first listed, then removed).
        std::vector<std::filesystem::path> written;
        std::error_code ec;
        std::filesystem::directory_iterator it(staging, ec);
        for (const std::filesystem::directory_iterator end; !ec && it != end; it.increment(ec))
            written.push_back(it->path());
        for (const auto& path : written)
            std::filesystem::remove_all(path, ec);
        return true;
    }
    if (!problem.empty())
        error = problem;
    else if (process.exitStatus() != QProcess::NormalExit)
        error = Program() + " ended abnormally";
    else
        error = Program() + " ended with exit code " + std::to_string(process.exitCode());
    return false;
}

}  // namespace px
