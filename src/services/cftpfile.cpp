#include "services/cftpfile.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <vector>

#include "app/ctransferstatus.h"
#include "platform/fileio.h"
#include "platform/lasterror.h"
#include "platform/messagepump.h"

namespace {

CURLM* Session(void* handle) { return static_cast<CURLM*>(handle); }
CURL* Connection(void* handle) { return static_cast<CURL*>(handle); }

// The library's process-wide set-up, before its first handle.
void InitLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t KeepData(char* data, size_t size, size_t count, void* pending)
{
    static_cast<std::string*>(pending)->append(data, size * count);
    return size * count;
}

}  // namespace

CFtpFile::CFtpFile() { Bus().AddListener("CFtpFile", this); }

CFtpFile::~CFtpFile()
{
    Disconnect();
    Bus().RemoveListener(this);
}

void CFtpFile::OnMessage(CSingleMsg& msg)
{
    if (msg.Code == MsgCode::Cancel)
        m_bAbort = msg.Value1.GetType() == CVariant::Type::I4 && msg.Value1.ToInt() == 1;
}

bool CFtpFile::SetError(const std::string& message)
{
    m_strError = "Ftp Error: " + message;
    return false;
}

bool CFtpFile::SetLibraryError(int code)
{
    std::string text = m_szLibraryError[0] ? std::string(m_szLibraryError) : curl_easy_strerror(CURLcode(code));
    if (text.size() > 255)
        text.resize(255);
    return SetError(text);
}

std::string CFtpFile::UrlOf(const std::string& path) const
{
    // "%2F" is the server's root: each name after it is one change of folder from there.
    std::string url = "ftp://" + m_strHost + "/%2F";
    bool first = true;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start) {
            char* escaped = curl_easy_escape(Connection(m_pConnection), path.data() + start, int(end - start));
            if (!first)
                url += '/';
            url += escaped ? escaped : "";
            curl_free(escaped);
            first = false;
        }
        start = end + 1;
    }
    return url;
}

void CFtpFile::PrepareRequest(const std::string& url, bool headersOnly)
{
    CURL* c = Connection(m_pConnection);
    curl_easy_reset(c);
    m_szLibraryError[0] = '\0';
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
#if CURL_AT_LEAST_VERSION(7, 85, 0)
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "ftp");
#else
    curl_easy_setopt(c, CURLOPT_PROTOCOLS, long(CURLPROTO_FTP));
#endif
    curl_easy_setopt(c, CURLOPT_USERNAME, m_strUser.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, m_strPassword.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, m_szLibraryError);
    // Passive mode: no FTPPORT; EPSV first, PASV when the server does not know it.
    curl_easy_setopt(c, CURLOPT_FTP_USE_EPSV, 1L);
    curl_easy_setopt(c, CURLOPT_TRANSFERTEXT, 0L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, ConnectTimeoutMs);
    // The send and receive time-outs: every answer of the server within the time, and a
    // data connection that stalls for as long ends the transfer.
#if CURL_AT_LEAST_VERSION(8, 6, 0)
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT_MS, std::max(SendTimeoutMs, ReceiveTimeoutMs));
#else
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, std::max(SendTimeoutMs, ReceiveTimeoutMs) / 1000);
#endif
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, ReceiveTimeoutMs / 1000);
    curl_easy_setopt(c, CURLOPT_NOBODY, headersOnly ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &KeepData);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &m_strPending);
}

int CFtpFile::RunRequest()
{
    CURLM* multi = Session(m_pSession);
    CURL* c = Connection(m_pConnection);
    if (curl_multi_add_handle(multi, c) != CURLM_OK)
        return CURLE_FAILED_INIT;
    CURLcode result = CURLE_OK;
    for (bool done = false; !done;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == c) {
                result = msg->data.result;
                done = true;
            }
        }
        if (!done && running == 0)
            break;
        if (!done)
            curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    curl_multi_remove_handle(multi, c);
    return result;
}

void CFtpFile::StepTransfer(int waitMs)
{
    CURLM* multi = Session(m_pSession);
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
        m_bTransferDone = true;
        m_nTransferResult = CURLE_FAILED_INIT;
        return;
    }
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == Connection(m_pConnection)) {
            m_bTransferDone = true;
            m_nTransferResult = msg->data.result;
        }
    }
    if (!m_bTransferDone && running == 0) {
        m_bTransferDone = true;
        m_nTransferResult = CURLE_OK;
    }
    if (!m_bTransferDone && m_nPendingAt >= m_strPending.size())
        curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
}

bool CFtpFile::Connect(const std::string& host, const std::string& user, const std::string& password)
{
    m_strHost = host;
    m_strUser = user;
    m_strPassword = password;
    Disconnect();
    m_bAbort = false;
    InitLibrary();
    m_pSession = curl_multi_init();
    m_pConnection = curl_easy_init();
    if (!m_pSession || !m_pConnection) {
        Disconnect();
        return SetError("Unable to get ftp connection");
    }
    for (int attempt = 0; attempt < ConnectRetries && !m_bConnected; ++attempt) {
        PrepareRequest("ftp://" + m_strHost + "/", true);
        const int result = RunRequest();
        m_bConnected = result == CURLE_OK;
        // A refused login stays refused: only a connection that failed is tried again.
        if (result == CURLE_LOGIN_DENIED)
            break;
    }
    if (!m_bConnected)
        return SetError("Unable to get ftp connection");
    return true;
}

bool CFtpFile::OpenRemote(const std::string& path)
{
    if (!m_bConnected)
        return SetError("Ftp is not connected");
    m_bAbort = false;
    Close();
    m_nRemoteSize = -1;
    // The look for the file: the changes of folder and SIZE, with no data.
    PrepareRequest(UrlOf(path), true);
    const int found = RunRequest();
    if (found == CURLE_REMOTE_FILE_NOT_FOUND || found == CURLE_REMOTE_ACCESS_DENIED || found == CURLE_FTP_COULDNT_RETR_FILE)
        return SetError("Unable to find remote Ftp file: " + path);
    if (found != CURLE_OK)
        return SetLibraryError(found);
    curl_off_t size = -1;
    if (curl_easy_getinfo(Connection(m_pConnection), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size) == CURLE_OK)
        m_nRemoteSize = size;

    // The file opened for binary reading: the transfer starts and runs until its first
    // bytes (or its end, for an empty file).
    PrepareRequest(UrlOf(path), false);
    m_strPending.clear();
    m_nPendingAt = 0;
    m_bTransferDone = false;
    m_nTransferResult = CURLE_OK;
    if (curl_multi_add_handle(Session(m_pSession), Connection(m_pConnection)) != CURLM_OK)
        return SetError("Unable to open remote Ftp file: " + path);
    m_bOpen = true;
    while (m_nPendingAt >= m_strPending.size() && !m_bTransferDone)
        StepTransfer(100);
    if (m_strPending.empty() && m_bTransferDone && m_nTransferResult != CURLE_OK) {
        Close();
        return SetError("Unable to open remote Ftp file: " + path);
    }
    m_strOpenPath = path;
    return true;
}

bool CFtpFile::Read(void* buffer, uint32_t count, uint32_t& read)
{
    read = 0;
    if (!m_bOpen)
        return SetError("Ftp file is not open");
    while (m_nPendingAt >= m_strPending.size() && !m_bTransferDone)
        StepTransfer(100);
    const size_t available = m_strPending.size() - m_nPendingAt;
    const size_t n = std::min<size_t>(count, available);
    if (n > 0) {
        std::memcpy(buffer, m_strPending.data() + m_nPendingAt, n);
        m_nPendingAt += n;
        if (m_nPendingAt == m_strPending.size()) {
            m_strPending.clear();
            m_nPendingAt = 0;
        }
        read = uint32_t(n);
        return true;
    }
    if (m_bTransferDone && m_nTransferResult != CURLE_OK)
        return SetLibraryError(m_nTransferResult);
    return true;
}

bool CFtpFile::DownloadTo(const std::string& localPath)
{
    if (!m_bConnected)
        return SetError("Ftp is not connected");
    if (!m_bOpen)
        return SetError("Ftp file is not open");
    // Replacing: the old file goes first and the new one must be made here, so a link
    // planted under the name in a shared folder is never written through.
    ::unlink(localPath.c_str());
    const int fd = ::open(localPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        Close();
        return SetError("Unable to open target file: " + localPath);
    }

    // The progress bar counts in int: a file beyond its range is shown in larger units.
    const int64_t size = m_nRemoteSize;
    const int64_t unit = size > INT32_MAX ? size / INT32_MAX + 1 : 1;
    auto scaled = [unit](int64_t bytes) { return int32_t(bytes / unit); };
    {
        CMsgProgress range(0, JobScope::Update, ProgressStep::Range, CVariant(scaled(std::max<int64_t>(size, 0))));
    }
    {
        CMsgProgress show(1, JobScope::Update, ProgressStep::Show);
    }

    std::vector<char> block(BlockSize);
    int64_t done = 0;
    bool aborted = false;
    bool readFailed = false;
    int writeError = 0;
    std::string readError;
    for (;;) {
        // While the next bytes are on their way the window runs, so that a Cancel is
        // heard even when the server is slow.
        while (m_nPendingAt >= m_strPending.size() && !m_bTransferDone && !m_bAbort) {
            StepTransfer(50);
            px::PumpMessages();
        }
        if (m_bAbort && !(m_bTransferDone && m_nPendingAt >= m_strPending.size())) {
            aborted = true;
            break;
        }
        uint32_t got = 0;
        if (!Read(block.data(), BlockSize, got)) {
            readFailed = true;
            readError = m_strError;
            break;
        }
        if (got == 0)
            break;
        if (m_bAbort) {
            aborted = true;
            break;
        }
        if ((writeError = px::WriteAll(fd, block.data(), got)) != 0)
            break;
        done += got;
        CMsgProgress position(size > 0 ? scaled(done) : 0, JobScope::Update, std::string());
        px::PumpMessages();
    }
    if (::close(fd) != 0 && writeError == 0 && !aborted)
        writeError = errno;
    Close();
    {
        CMsgProgress finished(0, JobScope::Update, ProgressStep::Finished);
    }

    if (aborted || writeError != 0 || readFailed || (size >= 0 && done != size))
        ::unlink(localPath.c_str());
    if (aborted)
        return SetError("Aborted by user");
    if (writeError != 0)
        return SetError("Unable to write target file: " + localPath + " (" + px::SystemErrorText(writeError) + ")");
    if (size >= 0 && done != size)
        return SetError("The download is incomplete (" + std::to_string(done) + " of " + std::to_string(size) +
                        " bytes received)");
    if (readFailed)
        return SetError("The download is incomplete (" + std::to_string(done) + " bytes received; " +
                        readError.substr(std::strlen("Ftp Error: ")) + ")");
    return true;
}

void CFtpFile::Close()
{
    if (m_bOpen && m_pSession && m_pConnection)
        curl_multi_remove_handle(Session(m_pSession), Connection(m_pConnection));
    m_bOpen = false;
    m_bTransferDone = false;
    m_strPending.clear();
    m_nPendingAt = 0;
    m_strOpenPath.clear();
}

void CFtpFile::Disconnect()
{
    Close();
    if (m_pConnection)
        curl_easy_cleanup(Connection(m_pConnection));
    if (m_pSession)
        curl_multi_cleanup(Session(m_pSession));
    m_pConnection = nullptr;
    m_pSession = nullptr;
    m_bConnected = false;
}
