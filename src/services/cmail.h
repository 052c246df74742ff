#pragma once
// The support mail: one message handed to the local mail transfer program, in the steps
// and with the result codes of the Simple MAPI session the program was designed around:
// logon, resolve the recipient, send, free the recipient, logoff.
//
// The mail service is `sendmail` (the interface every Linux mail transfer agent offers:
// Postfix, Exim, msmtp, nullmailer...). It counts as present when a program of that name
// exists and is executable, on PATH first (so a user's or a test's own comes first), then
// in the fallback folders. The message goes to `sendmail -t -oi` on its standard input:
// -t takes the recipient from the To header, -oi keeps a line of a single "." in the text.
//
// Errors are shown through the hooks the front end installs (the services layer shows
// no window): an absent service fails without a box (the front end says it), a program
// that cannot be started fails the logon ("Cannot connect to MAPI", "Problem"), and a
// refused recipient or message shows its code's name titled "EMail Problem". Every
// error text names the cause: the mail program, how it ended (its exit status, a time
// limit) and what it said on its standard error.
//
// The mail program runs as a child process (px::ChildProcess) that never blocks the
// window: StartSend returns at once and reports the end; SendMail waits for it in a local
// event loop. One that does not finish within the time limit, or that the user stops
// (CancelSend, or the session's end), is killed with the processes it started.
#include <functional>
#include <string>
#include <vector>

#include "platform/childprocess.h"

// The result codes of the mail interface, by their Simple MAPI numbers.
namespace MapiCode {
constexpr int SuccessSuccess = 0;
constexpr int UserAbort = 1;
constexpr int Failure = 2;
constexpr int LoginFailure = 3;
constexpr int InsufficientMemory = 5;
constexpr int TooManyFiles = 9;
constexpr int TooManyRecipients = 10;
constexpr int AttachmentNotFound = 11;
constexpr int AttachmentOpenFailure = 12;
constexpr int UnknownRecipient = 14;
constexpr int BadRecipType = 15;
constexpr int TextTooLarge = 18;
constexpr int AmbiguousRecipient = 21;
constexpr int InvalidRecips = 25;
}  // namespace MapiCode

// The name shown for a code: "MAPI_E_FAILURE" for 2, "MAPI_E_UNKNOWN_RECIPIENT" for 14...;
// "Unknown Error" for a code without a name (0 included).
std::string MapiErrorName(int code);

// What a session needs from the front end. An empty hook does nothing: the error text
// stays readable through GetError.
struct CMailHooks {
    std::function<void(const std::string& text, const std::string& title)> ShowError;
    std::function<void(bool on)> WaitCursor;
};

class CMail {
public:
    // sendmail's exit status for an unknown user (EX_NOUSER of sysexits.h).
    static constexpr int ExitNoUser = 67;
    // How long the mail program may take over one message before it is stopped (a local
    // hand-over takes well under a second; a stuck relay must not keep the dialog waiting).
    static constexpr int SendTimeoutMs = 60000;
    // GetUserName's buffer in the original: the originator name is cut to this length.
    static constexpr size_t MaxUserName = 100;

    CMail() = default;
    // Stops a mail program still running and ends an open session (see Logoff).
    ~CMail();
    CMail(const CMail&) = delete;
    CMail& operator=(const CMail&) = delete;

    void SetHooks(CMailHooks hooks) { m_hooks = std::move(hooks); }
    // The time limit of one message (SendTimeoutMs unless set; tests shorten it).
    void SetTimeout(int ms) { m_nTimeoutMs = ms; }

    // Sends body (UTF-8; CR LF line ends allowed) with subject to the address, from the
    // user's login name, logging on first when there is no session, and waits for the
    // mail program in a local event loop. Wait cursor while it runs. True only when the
    // mail program took the message (exit status 0). On failure GetError tells why
    // ("<code name>: <reason>", or the reason alone for an absent service), GetReason the
    // cause alone, and GetLastCode the code (0 for an absent service or a failed logon,
    // whose session is closed again; MAPI_E_USER_ABORT when CancelSend stopped it).
    bool SendMail(const std::string& to, const std::string& subject, const std::string& body);
    // The same, without waiting: done(ok) is called once the mail program has ended, or at
    // once when the send failed before it started. False when a send is still running.
    bool StartSend(const std::string& to, const std::string& subject, const std::string& body,
                   std::function<void(bool ok)> done);
    // Stops the running mail program (and what it started); its send fails with
    // MAPI_E_USER_ABORT and no box.
    void CancelSend();
    bool IsSending() const { return m_child.Running(); }

    bool IsConnected() const { return m_bConnected; }
    const std::string& GetProgram() const { return m_strProgram; }
    const std::string& GetError() const { return m_strError; }
    const std::string& GetReason() const { return m_strReason; }
    int GetLastCode() const { return m_nLastCode; }

    // The mail program that a logon would use now: the first executable regular file
    // named "sendmail" in the folders of PATH (empty entries, the current directory, are
    // skipped), else the first executable fallback; empty when there is none.
    static std::string FindProgram();
    // The fallback programs, /usr/sbin/sendmail and /usr/lib/sendmail by default. A test
    // replaces them so that a machine's own mail system never receives its messages.
    static void SetFallbackPrograms(std::vector<std::string> programs);
    static std::vector<std::string> DefaultFallbackPrograms();
    // Whether text looks like a deliverable address: local@domain, the local part of
    // atom characters and single dots (at most 64), the domain of letter, digit and
    // hyphen labels separated by single dots (at most 253). Display names, quoted local
    // parts, address literals, blanks and line breaks are refused, so no address can add
    // a header line.
    static bool IsPlausibleAddress(const std::string& text);
    // The user's login name (password entry of the effective user, else getlogin), cut
    // to MaxUserName characters, control characters removed; empty when unknown.
    static std::string LoginName();
    // The message as sendmail reads it: To, Subject (RFC 2047 encoded when not ASCII, line
    // breaks made blanks), From (left out when empty), MIME-Version, Content-Type,
    // Content-Transfer-Encoding, Date (RFC 2822), a blank line, then the body with every
    // CR LF and lone CR made LF and a final LF added when missing.
    static std::string ComposeMessage(const std::string& to, const std::string& subject, const std::string& body,
                                      const std::string& from, const std::string& date);

private:
    // Connect, resolve and compose: false with the error set (and its box shown).
    bool Prepare(const std::string& to, const std::string& subject, const std::string& body, std::string& message);
    // The outcome of the mail program as the result of the send (error, code, box).
    bool Finish(const px::ChildOutcome& outcome);
    void Fail(int code, const std::string& reason, const std::string& title);
    // Connecting: the service must be present (no box otherwise), then the logon.
    bool Connect();
    bool Logon();
    // Ends the session. Handing messages to sendmail keeps no state outside this object,
    // so there is nothing that can fail; the "Mail Logof failure" box stays for the
    // contract's sake.
    bool Logoff();
    int ResolveName(const std::string& address);
    void FreeRecipient() { m_strResolved.clear(); }
    void ShowError(const std::string& text, const std::string& title);

    CMailHooks m_hooks;
    std::string m_strProgram;    // the mail program found by Connect ("the loaded library")
    unsigned m_nSession = 0;     // 0 when no session is open
    bool m_bConnected = false;
    std::string m_strResolved;   // the resolved recipient, between resolve and free
    std::string m_strError;
    std::string m_strReason;
    int m_nLastCode = 0;
    int m_nTimeoutMs = SendTimeoutMs;
    px::ChildProcess m_child;    // the mail program of the send under way
};
