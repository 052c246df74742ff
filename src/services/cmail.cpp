#include "services/cmail.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <QByteArray>
#include <QDateTime>
#include <QStringList>

namespace {

std::vector<std::string>& FallbackPrograms()
{
    static std::vector<std::string> programs = CMail::DefaultFallbackPrograms();
    return programs;
}

bool IsExecutableFile(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool IsAtomChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    static const std::string symbols = "!#$%&'*+-/=?^_`{|}~";
    return symbols.find(c) != std::string::npos;
}

bool IsPlausibleLocalPart(const std::string& local)
{
    if (local.empty() || local.size() > 64 || local.front() == '.' || local.back() == '.')
        return false;
    for (size_t i = 0; i < local.size(); ++i) {
        if (local[i] == '.') {
            if (local[i + 1] == '.')
                return false;
        } else if (!IsAtomChar(local[i])) {
            return false;
        }
    }
    return true;
}

bool IsPlausibleDomain(const std::string& domain)
{
    if (domain.empty() || domain.size() > 253)
        return false;
    size_t start = 0;
    while (start <= domain.size()) {
        size_t end = domain.find('.', start);
        if (end == std::string::npos)
            end = domain.size();
        const std::string label = domain.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'))
                return false;
        start = end + 1;
    }
    return true;
}

// A header value on one line: every line break and other control character a blank.
std::string OneLine(const std::string& text)
{
    std::string line = text;
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return line;
}

// RFC 2047: a header text with bytes beyond ASCII travels as one UTF-8 encoded word.
std::string HeaderText(const std::string& text)
{
    const std::string line = OneLine(text);
    for (char c : line)
        if (static_cast<unsigned char>(c) >= 0x80)
            return "=?UTF-8?B?" + QByteArray::fromStdString(line).toBase64().toStdString() + "?=";
    return line;
}

// Restores the cursor however the send ends.
class WaitCursorScope {
public:
    explicit WaitCursorScope(const CMailHooks& hooks) : m_hooks(hooks)
    {
        if (m_hooks.WaitCursor)
            m_hooks.WaitCursor(true);
    }
    ~WaitCursorScope()
    {
        if (m_hooks.WaitCursor)
            m_hooks.WaitCursor(false);
    }
    WaitCursorScope(const WaitCursorScope&) = delete;
    WaitCursorScope& operator=(const WaitCursorScope&) = delete;

private:
    const CMailHooks& m_hooks;
};

}  // namespace

std::string MapiErrorName(int code)
{
    switch (code) {
    case MapiCode::UserAbort: return "MAPI_E_USER_ABORT";
    case MapiCode::Failure: return "MAPI_E_FAILURE";
    case MapiCode::LoginFailure: return "MAPI_E_LOGIN_FAILURE";
    case MapiCode::InsufficientMemory: return "MAPI_E_INSUFFICIENT_MEMORY";
    case MapiCode::TooManyFiles: return "MAPI_E_TOO_MANY_FILES";
    case MapiCode::TooManyRecipients: return "MAPI_E_TOO_MANY_RECIPIENTS";
    case MapiCode::AttachmentNotFound: return "MAPI_E_ATTACHMENT_NOT_FOUND";
    case MapiCode::AttachmentOpenFailure: return "MAPI_E_ATTACHMENT_OPEN_FAILURE";
    case MapiCode::UnknownRecipient: return "MAPI_E_UNKNOWN_RECIPIENT";
    case MapiCode::BadRecipType: return "MAPI_E_BAD_RECIPTYPE";
    case MapiCode::TextTooLarge: return "MAPI_E_TEXT_TOO_LARGE";
    case MapiCode::AmbiguousRecipient: return "MAPI_E_AMBIGUOUS_RECIPIENT";
    case MapiCode::InvalidRecips: return "MAPI_E_INVALID_RECIPS";
    default: return "Unknown Error";
    }
}

CMail::~CMail()
{
    if (m_nSession != 0 && !Logoff())
        ShowError("Mail Logof failure", "Problem");
}

std::vector<std::string> CMail::DefaultFallbackPrograms() { return {"/usr/sbin/sendmail", "/usr/lib/sendmail"}; }

void CMail::SetFallbackPrograms(std::vector<std::string> programs) { FallbackPrograms() = std::move(programs); }

std::string CMail::FindProgram()
{
    if (const char* path = std::getenv("PATH")) {
        const QStringList folders = QString::fromLocal8Bit(path).split(':', Qt::SkipEmptyParts);
        for (const QString& folder : folders) {
            const std::string candidate = folder.toStdString() + "/sendmail";
            if (IsExecutableFile(candidate))
                return candidate;
        }
    }
    for (const std::string& candidate : FallbackPrograms())
        if (IsExecutableFile(candidate))
            return candidate;
    return {};
}

bool CMail::IsPlausibleAddress(const std::string& text)
{
    const size_t at = text.find('@');
    if (at == std::string::npos || text.find('@', at + 1) != std::string::npos || text.size() > 254)
        return false;
    return IsPlausibleLocalPart(text.substr(0, at)) && IsPlausibleDomain(text.substr(at + 1));
}

std::string CMail::LoginName()
{
    std::string name;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        name = found->pw_name;
    else if (const char* login = ::getlogin())
        name = login;
    std::string clean;
    for (char c : name)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f && clean.size() < MaxUserName)
            clean += c;
    return clean;
}

std::string CMail::ComposeMessage(const std::string& to, const std::string& subject, const std::string& body,
                                  const std::string& from, const std::string& date)
{
    std::string message = "To: " + OneLine(to) + "\n";
    message += "Subject: " + HeaderText(subject) + "\n";
    if (!from.empty())
        message += "From: " + OneLine(from) + "\n";
    message += "MIME-Version: 1.0\n";
    message += "Content-Type: text/plain; charset=UTF-8\n";
    message += "Content-Transfer-Encoding: 8bit\n";
    message += "Date: " + OneLine(date) + "\n";
    message += "\n";
    // sendmail reads lines ended by LF; a CR left in would travel as part of the text.
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\r') {
            message += '\n';
            if (i + 1 < body.size() && body[i + 1] == '\n')
                ++i;
        } else {
            message += body[i];
        }
    }
    if (message.back() != '\n')
        message += '\n';
    return message;
}

bool CMail::Prepare(const std::string& to, const std::string& subject, const std::string& body, std::string& message)
{
    m_strError.clear();
    m_strReason.clear();
    m_nLastCode = 0;
    if (!m_bConnected && !Connect())
        return false;
    if (ResolveName(to) != MapiCode::SuccessSuccess) {
        Fail(MapiCode::UnknownRecipient, "\"" + OneLine(to) + "\" is not a mail address that can be written to",
             "EMail Problem");
        return false;
    }
    const std::string date = QDateTime::currentDateTime().toString(Qt::RFC2822Date).toStdString();
    message = ComposeMessage(m_strResolved, subject, body, LoginName(), date);
    return true;
}

void CMail::Fail(int code, const std::string& reason, const std::string& title)
{
    m_nLastCode = code;
    m_strReason = reason;
    m_strError = MapiErrorName(code) + ": " + reason;
    // A send the user stopped needs no box: the user knows.
    if (code != MapiCode::UserAbort)
        ShowError(m_strError, title);
}

bool CMail::Finish(const px::ChildOutcome& outcome)
{
    FreeRecipient();
    if (outcome.Succeeded())
        return true;
    const std::string reason = m_strProgram + " " + outcome.Describe();
    switch (outcome.end) {
    case px::ChildOutcome::End::FailedToStart:
        // The program is started only when there is a message, so a program that is
        // present but cannot be run shows up here; it is the logon that failed.
        Logoff();
        m_strReason = reason;
        m_strError = "Cannot connect to MAPI: " + reason;
        ShowError("Cannot connect to MAPI", "Problem");
        return false;
    case px::ChildOutcome::End::Stopped:
        Fail(MapiCode::UserAbort, reason, "EMail Problem");
        return false;
    case px::ChildOutcome::End::Exited:
        Fail(outcome.exitCode == ExitNoUser ? MapiCode::UnknownRecipient : MapiCode::Failure, reason, "EMail Problem");
        return false;
    default:
        Fail(MapiCode::Failure, reason, "EMail Problem");
        return false;
    }
}

bool CMail::SendMail(const std::string& to, const std::string& subject, const std::string& body)
{
    if (m_child.Running())
        return false;
    WaitCursorScope cursor(m_hooks);
    std::string message;
    if (!Prepare(to, subject, body, message))
        return false;
    return Finish(m_child.Run(m_strProgram, {"-t", "-oi"}, message, {m_nTimeoutMs, 0}));
}

bool CMail::StartSend(const std::string& to, const std::string& subject, const std::string& body,
                      std::function<void(bool ok)> done)
{
    if (m_child.Running())
        return false;
    std::string message;
    if (!Prepare(to, subject, body, message)) {
        if (done)
            done(false);
        return true;
    }
    m_child.SetFinishedHandler([this, done = std::move(done)] {
        const bool ok = Finish(m_child.Outcome());
        if (done)
            done(ok);
    });
    m_child.Start(m_strProgram, {"-t", "-oi"}, message, {m_nTimeoutMs, 0});
    return true;
}

void CMail::CancelSend() { m_child.Stop(); }

bool CMail::Connect()
{
    m_strProgram = FindProgram();
    if (m_strProgram.empty()) {
        std::string places;
        for (const std::string& fallback : FallbackPrograms())
            places += (places.empty() ? " and at " : ", ") + fallback;
        m_strReason = "No mail program (sendmail) is installed (looked for on the PATH" + places + ")";
        m_strError = m_strReason;
        return false;
    }
    if (!Logon()) {
        m_strReason = m_strProgram + " cannot be run";
        m_strError = "Cannot connect to MAPI: " + m_strReason;
        ShowError("Cannot connect to MAPI", "Problem");
        return false;
    }
    m_bConnected = true;
    return true;
}

bool CMail::Logon()
{
    // The program was found executable a moment ago; whether it really runs is known only
    // when it starts (see SendMail).
    if (!IsExecutableFile(m_strProgram))
        return false;
    static unsigned sessions = 0;
    m_nSession = ++sessions;
    return true;
}

bool CMail::Logoff()
{
    m_nSession = 0;
    m_bConnected = false;
    return true;
}

int CMail::ResolveName(const std::string& address)
{
    m_strResolved.clear();
    if (!IsPlausibleAddress(address))
        return MapiCode::UnknownRecipient;
    m_strResolved = address;
    return MapiCode::SuccessSuccess;
}

void CMail::ShowError(const std::string& text, const std::string& title)
{
    if (m_hooks.ShowError)
        m_hooks.ShowError(text, title);
}
