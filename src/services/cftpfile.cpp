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

#include "platform/fileio.h"
#include "platform/lasterror.h"

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

// The library's progress callback: a non-zero answer ends the request at once.
int StopWhenCancelled(void* ftp, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<const CFtpFile*>(ftp)->IsAborted() ? 1 : 0;
}

// The longest single wait for the sockets: a cancel is seen at least this often.
constexpr int kPollMs = 100;

}  // namespace

CFtpFile::~CFtpFile() { Disconnect(); }


bool CFtpFile::SetError(const std::string& message)
{
    m_strError = "Ftp Error: " + message;
    return false;
}

std::string CFtpFile::LibraryErrorText(int code) const
{
    if (code == CURLE_ABORTED_BY_CALLBACK || IsAborted())
        return "Aborted by user";
    std::string text = m_szLibraryError[0] ? std::string(m_szLibraryError) : curl_easy_strerror(CURLcode(code));
    if (text.size() > 255)
        text.resize(255);
    return text;
}

bool CFtpFile::SetLibraryError(int code) { return SetError(LibraryErrorText(code)); }

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
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, m_limits.connectTimeoutMs);
    // Each answer of the server on the control connection within its time.
#if CURL_AT_LEAST_VERSION(8, 6, 0)
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT_MS, m_limits.responseTimeoutMs);
#else
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, std::max(1L, (m_limits.responseTimeoutMs + 999) / 1000));
#endif
    // A data connection that stalls or trickles ends the transfer, and no request runs
    // longer than its total limit, however the server paces its bytes.
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, std::max(1L, m_limits.lowSpeedBytes));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, std::max(1L, m_limits.lowSpeedSeconds));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, m_limits.totalMs);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &StopWhenCancelled);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
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
        if (!done && IsAborted()) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        if (!done)
            curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
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
    if (!m_bTransferDone && IsAborted()) {
        m_bTransferDone = true;
        m_nTransferResult = CURLE_ABORTED_BY_CALLBACK;
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
    InitLibrary();
    m_pSession = curl_multi_init();
    m_pConnection = curl_easy_init();
    if (!m_pSession || !m_pConnection) {
        Disconnect();
        return SetError("Unable to get ftp connection");
    }
    std::string reason;
    for (int attempt = 0; attempt < ConnectRetries && !m_bConnected; ++attempt) {
        PrepareRequest("ftp://" + m_strHost + "/", true);
        const int result = RunRequest();
        m_bConnected = result == CURLE_OK;
        if (!m_bConnected)
            reason = LibraryErrorText(result);
        if (IsAborted())
            return SetError("Aborted by user");
        // A refused login stays refused, and a server that did not answer in time would
        // only make the user wait as long again: only a refused connection is tried again.
        if (result == CURLE_LOGIN_DENIED || result == CURLE_OPERATION_TIMEDOUT)
            break;
    }
    if (!m_bConnected)
        return SetError("Unable to get ftp connection (" + reason + ")");
    return true;
}

bool CFtpFile::OpenRemote(const std::string& path)
{
    if (!m_bConnected)
        return SetError("Ftp is not connected");
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
        StepTransfer(kPollMs);
    if (m_strPending.empty() && m_bTransferDone && m_nTransferResult != CURLE_OK) {
        const int result = m_nTransferResult;
        Close();
        // A time-out or a cancel says so; the server's refusal names the file.
        if (result == CURLE_OPERATION_TIMEDOUT || result == CURLE_ABORTED_BY_CALLBACK)
            return SetLibraryError(result);
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
        StepTransfer(kPollMs);
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

bool CFtpFile::DownloadTo(const std::string& localPath, const Progress& progress)
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
        const int error = errno;
        Close();
        return SetError("Unable to open target file: " + localPath + " (" + px::SystemErrorText(error) + ")");
    }

    const int64_t size = m_nRemoteSize;
    std::vector<char> block(BlockSize);
    int64_t done = 0;
    bool readFailed = false;
    int writeError = 0;
    std::string readError;
    if (progress)
        progress(0, size);
    for (;;) {
        uint32_t got = 0;
        if (!Read(block.data(), BlockSize, got)) {
            readFailed = true;
            readError = m_strError;
            break;
        }
        if (got == 0 || IsAborted())
            break;
        if ((writeError = px::WriteAll(fd, block.data(), got)) != 0)
            break;
        done += got;
        if (progress)
            progress(done, size);
    }
    const bool aborted = IsAborted();
    if (::close(fd) != 0 && writeError == 0 && !aborted)
        writeError = errno;
    Close();

    if (aborted || writeError != 0 || readFailed || (size >= 0 && done != size))
        ::unlink(localPath.c_str());
    if (aborted)
        return SetError("Aborted by user");
    if (writeError != 0)
        return SetError("Unable to write target file: " + localPath + " (" + px::SystemErrorText(writeError) + ")");
    // The count of what came, and the reason the data stopped when there was one (a
    // time-out, a connection lost).
    const std::string received = std::to_string(done) + (size >= 0 ? " of " + std::to_string(size) : std::string()) +
                                 " bytes received";
    if (readFailed)
        return SetError("The download is incomplete (" + received + "; " + readError.substr(std::strlen("Ftp Error: ")) +
                        ")");
    if (size >= 0 && done != size)
        return SetError("The download is incomplete (" + received + ")");
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
