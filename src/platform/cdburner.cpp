#include "platform/cdburner.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>

#include <cerrno>
#include <filesystem>

#include "platform/childprocess.h"
#include "platform/lasterror.h"

namespace fs = std::filesystem;

namespace px {

namespace {

std::string& ProgramOverride()
{
    static std::string program;
    return program;
}

CdBurner::Limits& CurrentLimits()
{
    static CdBurner::Limits limits;
    return limits;
}

std::vector<std::string>& Shortened()
{
    static std::vector<std::string> names;
    return names;
}

// The problem lines of xorriso that name what went wrong ("xorriso : SORRY : ...",
// "... : MISHAP : ...", "... : FAILURE : ...", "... : FATAL : ..."): the text after the severity.
std::string ProblemOfLine(const std::string& line)
{
    for (const char* severity : {" : SORRY : ", " : MISHAP : ", " : FAILURE : ", " : FATAL : "}) {
        const size_t at = line.find(severity);
        if (at != std::string::npos)
            return line.substr(at + std::char_traits<char>::length(severity));
    }
    return {};
}

// The program to run as xorriso, found on the PATH (or as given); false with the reason.
bool FindProgram(std::string& program, std::string& error)
{
    const std::string wanted = CdBurner::Program();
    program = QStandardPaths::findExecutable(QString::fromStdString(wanted)).toStdString();
    if (!program.empty())
        return true;
    error = wanted.find('/') == std::string::npos
                ? "xorriso is missing: the CD writing program " + wanted + " is not installed (Debian package xorriso)"
                : "xorriso is missing: " + wanted + " is not a program that can be run";
    return false;
}

// A cut of text to at most units UTF-16 units that never splits a surrogate pair.
QString CutUnits(const QString& text, qsizetype units)
{
    QString cut = text.left(std::max<qsizetype>(units, 0));
    if (!cut.isEmpty() && cut.back().isHighSurrogate())
        cut.chop(1);
    return cut;
}

// The n-th candidate for a name too long for the disc: the stem cut, "~n" from the
// second on, the extension kept when it is a plausible one.
QString ShortName(const QString& name, int n)
{
    // ".JPG", ".jpeg", ".tar.gz" are short; a dot far from the end is part of the name.
    constexpr qsizetype kMaxExtensionUnits = 16;
    const qsizetype dot = name.lastIndexOf('.');
    const bool hasExtension = dot > 0 && name.size() - dot <= kMaxExtensionUnits;
    const QString extension = hasExtension ? name.mid(dot) : QString();
    const QString stem = hasExtension ? name.left(dot) : name;
    const QString suffix = n > 1 ? "~" + QString::number(n) : QString();
    return CutUnits(stem, CdBurner::MaxDiscNameUnits - extension.size() - suffix.size()) + suffix + extension;
}

// Renames from to to unless to exists; 0 or the errno.
int RenameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0)
        return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void ShortenIn(const std::string& folder, const std::string& relative, std::vector<std::string>& renamed)
{
    std::vector<fs::directory_entry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(*it);
    for (const fs::directory_entry& entry : entries) {
        const std::string name = entry.path().filename().string();
        std::string path = entry.path().string();
        std::string now = name;
        const QString text = QString::fromStdString(name);
        if (text.size() > CdBurner::MaxDiscNameUnits) {
            for (int n = 1; n < 1000; ++n) {
                const std::string candidate = ShortName(text, n).toStdString();
                const std::string target = folder + "/" + candidate;
                const int error = RenameNoReplace(path, target);
                if (error == 0) {
                    renamed.push_back(relative + name + " -> " + relative + candidate);
                    path = target;
                    now = candidate;
                }
                if (error != EEXIST)
                    break;
            }
        }
        std::error_code statError;
        if (fs::symlink_status(path, statError).type() == fs::file_type::directory)
            ShortenIn(path, relative + now + "/", renamed);
    }
}

}  // namespace

void CdBurner::SetProgram(std::string program) { ProgramOverride() = std::move(program); }

std::string CdBurner::Program() { return ProgramOverride().empty() ? std::string("xorriso") : ProgramOverride(); }

void CdBurner::SetLimits(Limits limits) { CurrentLimits() = limits; }

CdBurner::Limits CdBurner::GetLimits() { return CurrentLimits(); }

std::vector<std::string> CdBurner::ParseDeviceList(const std::string& listing)
{
    static const QRegularExpression device(R"(^\s*\d+\s+-dev\s+'([^']+)')", QRegularExpression::MultilineOption);
    std::vector<std::string> drives;
    auto matches = device.globalMatch(QString::fromStdString(listing));
    while (matches.hasNext())
        drives.push_back(matches.next().captured(1).toStdString());
    return drives;
}

bool CdBurner::IsDriveAddress(const std::string& text, std::string& error)
{
    const std::string quoted = "\"" + text + "\"";
    if (text.rfind("/dev/", 0) == 0) {
        if (fs::path(text).lexically_normal().string().rfind("/dev/", 0) != 0) {
            error = "The burn drive " + quoted + " lies outside /dev";
            return false;
        }
        struct stat st {};
        if (::stat(text.c_str(), &st) != 0) {
            error = "The burn drive " + quoted + " cannot be found: " + SystemErrorText(errno);
            return false;
        }
        if (!S_ISBLK(st.st_mode) && !S_ISCHR(st.st_mode)) {
            error = "The burn drive " + quoted + " is not a device";
            return false;
        }
        return true;
    }
    if (text.rfind("stdio:", 0) == 0) {
        if (text.size() > 6 && text[6] == '/')
            return true;
        error = "The burn drive " + quoted + " needs the absolute path of an image file after stdio:";
        return false;
    }
    error = "The burn drive setting " + quoted +
            " is not a drive: give a device under /dev (such as /dev/sr0), or stdio: and the absolute path of an "
            "image file";
    return false;
}

bool CdBurner::FindRecordableDrive(const std::string& configured, std::string& drive, std::string& error)
{
    drive.clear();
    error.clear();
    std::string program;
    if (!FindProgram(program, error))
        return false;
    if (!configured.empty()) {
        if (!IsDriveAddress(configured, error))
            return false;
        drive = configured;
        return true;
    }
    std::string listing;
    ChildProcess xorriso;
    xorriso.SetLineHandler([&listing](const std::string& line, bool) { listing += line + "\n"; });
    const ChildOutcome outcome = xorriso.Run(program, {"-devices"}, {}, {GetLimits().listMs, 0});
    for (const std::string& listed : ParseDeviceList(listing)) {
        std::string unused;
        if (IsDriveAddress(listed, unused)) {
            drive = listed;
            return true;
        }
    }
    error = "The recordable drive is missing";
    // A listing that ended as no lister ends tells how.
    if (outcome.end != ChildOutcome::End::Exited)
        error += ": xorriso -devices " + outcome.EndText();
    return false;
}

std::string CdBurner::StagingPath()
{
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    return cache.isEmpty() ? std::string() : cache.toStdString() + "/Pixsalvo3/CD Burning";
}

bool CdBurner::StagingArea(std::string& folder, std::string& error)
{
    const std::string path = StagingPath();
    if (path.empty() || path.front() != '/') {
        error = "The user's cache folder is unknown";
        return false;
    }
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec) {
        error = "Cannot empty the CD staging area " + path + ": " + ec.message();
        return false;
    }
    fs::create_directories(path, ec);
    if (ec) {
        error = "Cannot create the CD staging area " + path + ": " + ec.message();
        return false;
    }
    folder = path;
    return true;
}

void CdBurner::RemoveStaging(const std::string& folder)
{
    std::error_code ec;
    if (!folder.empty())
        fs::remove_all(folder, ec);
}

std::vector<std::string> CdBurner::ShortenNames(const std::string& folder)
{
    std::vector<std::string> renamed;
    ShortenIn(folder, {}, renamed);
    return renamed;
}

const std::vector<std::string>& CdBurner::ShortenedNames() { return Shortened(); }

int CdBurner::ProgressOfLine(const std::string& line)
{
    static const QRegularExpression percent(R"(Writing:.*?\s([0-9]+)(?:\.[0-9]+)?%)");
    const QRegularExpressionMatch match = percent.match(QString::fromStdString(line));
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

bool CdBurner::Burn(const std::string& staging, const std::string& drive, const std::function<void(int)>& progress,
                    const std::function<bool()>& cancelled, std::string& error)
{
    Shortened().clear();
    std::string program;
    if (!FindProgram(program, error) || !IsDriveAddress(drive, error))
        return false;
    if (staging.empty() || staging.front() != '/') {
        error = "The CD staging area \"" + staging + "\" is not an absolute path";
        return false;
    }
    Shortened() = ShortenNames(staging);

    // One session: the staging area becomes the disc's root, with Joliet names for
    // Windows (up to 103 characters, paths beyond 240) and Rock Ridge names and modes for
    // Unix. Rock Ridge is xorriso's default; it is named so that the disc does not depend
    // on that default. The drive starts with "/dev/" or "stdio:/" and the staging folder
    // with "/": neither can be taken for an option.
    const QStringList arguments = {"-abort_on",   "FAILURE", "-dev",        QString::fromStdString(drive),
                                   "-joliet",     "on",      "-rockridge",  "on",
                                   "-compliance", "joliet_long_names:joliet_long_paths",
                                   "-volid",      "PIXSALVO", "-map",       QString::fromStdString(staging),
                                   "/",           "-commit"};
    // What went wrong in its own words: its problem lines, else the last lines of its
    // standard error that are not progress reports; the last few of either.
    constexpr size_t kLinesKept = 4;
    std::vector<std::string> problems, said;
    auto keep = [](std::vector<std::string>& lines, std::string line) {
        lines.push_back(std::move(line));
        if (lines.size() > kLinesKept)
            lines.erase(lines.begin());
    };
    ChildProcess xorriso;
    xorriso.SetLineHandler([&](const std::string& line, bool error) {
        if (const int percent = ProgressOfLine(line); percent >= 0 && progress)
            progress(percent);
        if (std::string text = ProblemOfLine(line); !text.empty())
            keep(problems, std::move(text));
        else if (error && line.find(" : UPDATE : ") == std::string::npos)
            keep(said, line);
    });
    const ChildOutcome outcome = xorriso.Run(program, arguments, {}, {0, GetLimits().quietMs}, cancelled);
    if (outcome.Succeeded())
        return true;
    if (outcome.end == ChildOutcome::End::Stopped) {
        error = "Aborted by user (xorriso was stopped; a disc it had begun to write may be unusable)";
        return false;
    }
    error = "The CD was not written: xorriso " + outcome.EndText();
    const std::vector<std::string>& words = problems.empty() ? said : problems;
    for (size_t i = 0; i < words.size(); ++i)
        error += (i == 0 ? ": " : "; ") + words[i];
    return false;
}

}  // namespace px
