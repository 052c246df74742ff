#include "app/clogfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "app/systeminfo.h"

namespace {

const char* const TagStartApp = "==Start App";
const char* const TagSystem = "=OS=";
const char* const TagExitApp = "==Exit App";
const char* const TagBegin = "-Start ";
const char* const TagEnd = "-End ";
const char* const TagInfo = "... ";

// Characters of a UTF-8 text: every byte that is not a continuation byte.
size_t CountCharacters(const std::string& text)
{
    size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80)
            ++count;
    return count;
}

void AppendPadded(std::string& line, const std::string& text, size_t width)
{
    line += text;
    const size_t chars = CountCharacters(text);
    if (chars < width)
        line.append(width - chars, ' ');
}

std::string ProgramName()
{
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && !exe.filename().empty())
        return exe.stem().string();
    return "px3";
}

bool WriteAll(int fd, const std::string& bytes, size_t& written)
{
    written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::tm LocalNow()
{
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local {};
    localtime_r(&now, &local);
    return local;
}

CLogFile::CLogFile() = default;

CLogFile::~CLogFile()
{
    std::lock_guard guard(m_lock);
    CloseLocked();
}

void CLogFile::EnableFromCommandLine(const std::string& command, const std::string& switchWord)
{
    auto upper = [](std::string text) {
        for (char& c : text)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return text;
    };
    const std::string cmd = upper(command);
    const std::string word = upper(switchWord);
    bool found = false;
    std::string token;
    for (size_t i = 0; i <= cmd.size(); ++i) {
        const bool cut = i == cmd.size() || cmd[i] == '-' || cmd[i] == '/' || cmd[i] == ' ';
        if (!cut) {
            token += cmd[i];
            continue;
        }
        if (!token.empty() && token == word)
            found = true;
        token.clear();
    }
    std::lock_guard guard(m_lock);
    m_bEnabled = found;
}

bool CLogFile::Open(const std::string& path)
{
    std::lock_guard guard(m_lock);
    if (!m_bEnabled || m_bFailed)
        return false;
    if (m_fd >= 0 && ((path.empty() && !m_strPath.empty()) || path == m_strPath))
        return true;
    CloseLocked();
    m_strPath = path;
    if (m_strPath.empty()) {
        std::error_code error;
        const std::filesystem::path cwd = std::filesystem::current_path(error);
        m_strPath = (error ? std::string(".") : cwd.string()) + "/" + ProgramName() + ".log";
    }

    // The documents folder of a fresh account may not exist yet; the log makes it rather
    // than stay silent for the whole run.
    const std::filesystem::path parent = std::filesystem::path(m_strPath).parent_path();
    if (!parent.empty()) {
        std::error_code error;
        std::filesystem::create_directories(parent, error);
    }

    m_fd = ::open(m_strPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        m_bFailed = true;
        return false;
    }
    FlushPendingLocked();
    return true;
}

void CLogFile::Close()
{
    std::lock_guard guard(m_lock);
    CloseLocked();
}

void CLogFile::CloseLocked()
{
    FlushPendingLocked();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_bFailed = false;
}

bool CLogFile::CanWriteLocked() const { return m_bEnabled && !m_bFailed && m_fd >= 0; }

void CLogFile::AppendPendingLocked(const std::string& text)
{
    m_strPending += text;
    if (m_strPending.size() <= PendingLimit)
        return;
    // Drop the oldest whole lines down to three quarters of the limit, so that the cut
    // happens once in a while rather than on every line.
    size_t cut = m_strPending.size() - PendingLimit / 4 * 3;
    const size_t lineEnd = m_strPending.find('\n', cut);
    cut = lineEnd == std::string::npos ? m_strPending.size() : lineEnd + 1;
    m_strPending.erase(0, cut);
}

void CLogFile::FlushPendingLocked()
{
    if (m_strPending.empty() || !CanWriteLocked())
        return;
    // Each write goes straight to the kernel, so a crash loses no line already logged.
    size_t written = 0;
    WriteAll(m_fd, m_strPending, written);
    // What the file did not take (disk full) stays pending for the next write.
    m_strPending.erase(0, written);
}

void CLogFile::Write(const std::string& text)
{
    std::lock_guard guard(m_lock);
    AppendPendingLocked(text);
    FlushPendingLocked();
}

std::string CLogFile::FormatStamp(const std::tm& time)
{
    char stamp[64];
    const size_t n = std::strftime(stamp, sizeof stamp, "'%m/%d/%Y %H:%M:%S'", &time);
    return std::string(stamp, n);
}

std::string CLogFile::FormatLine(const std::string& tag, const std::string& stamp,
                                 const std::string& text)
{
    std::string line;
    line.reserve(tag.size() + stamp.size() + text.size() + 70);
    AppendPadded(line, tag, 10);
    line += " : ";
    line += stamp;
    line += "  ";
    AppendPadded(line, text, 50);
    line += "\r\n";
    return line;
}

void CLogFile::WriteLineLocked(const std::string& tag, const std::string& text, bool withTime)
{
    std::string stamp;
    if (withTime)
        stamp = FormatStamp(m_clock ? m_clock() : LocalNow());
    AppendPendingLocked(FormatLine(tag, stamp, text));
    FlushPendingLocked();
}

void CLogFile::WriteLine(const std::string& tag, const std::string& text, bool withTime)
{
    std::lock_guard guard(m_lock);
    WriteLineLocked(tag, text, withTime);
}

void CLogFile::BeginScope(const std::string& text)
{
    std::lock_guard guard(m_lock);
    if (CanWriteLocked())
        WriteLineLocked(TagBegin, text, true);
}

void CLogFile::EndScope(const std::string& text) { WriteLine(TagEnd, text, true); }

void CLogFile::Info(const std::string& text) { WriteLine(TagInfo, text, true); }

void CLogFile::Outcome(const std::string& mark, const std::string& text) { WriteLine(mark, text, true); }

void CLogFile::StartApp(const std::string& text)
{
    std::lock_guard guard(m_lock);
    if (!CanWriteLocked())
        return;
    WriteLineLocked(TagStartApp, text, true);
    WriteLineLocked(TagSystem, OsDescription(), false);
}

void CLogFile::WriteSystem()
{
    std::lock_guard guard(m_lock);
    if (CanWriteLocked())
        WriteLineLocked(TagSystem, OsDescription(), false);
}

void CLogFile::ExitApp(const std::string& text)
{
    std::lock_guard guard(m_lock);
    if (!CanWriteLocked())
        return;
    WriteLineLocked(TagExitApp, text, true);
    AppendPendingLocked("\r\n");
    FlushPendingLocked();
}

bool CLogFile::IsEnabled() const
{
    std::lock_guard guard(m_lock);
    return m_bEnabled;
}

bool CLogFile::IsOpen() const
{
    std::lock_guard guard(m_lock);
    return m_fd >= 0;
}

bool CLogFile::HasFailed() const
{
    std::lock_guard guard(m_lock);
    return m_bFailed;
}

std::string CLogFile::GetPath() const
{
    std::lock_guard guard(m_lock);
    return m_strPath;
}

std::string CLogFile::GetPendingText() const
{
    std::lock_guard guard(m_lock);
    return m_strPending;
}

void CLogFile::SetClock(LocalClock clock)
{
    std::lock_guard guard(m_lock);
    m_clock = std::move(clock);
}

CLogFile& Log()
{
    static CLogFile log;
    return log;
}
