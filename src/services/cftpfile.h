#pragma once
// One FTP session with one remote file, over libcurl: passive mode, bounded waits and
// connection retries, a remote file found by its size and read in order.
//
// Every wait is bounded (FtpLimits): reaching the server, each answer of the server, a
// transfer that moves too little for too long, and each request as a whole. A cancel
// flag, when one is given, ends any wait within a tenth of a second with "Aborted by
// user". The session touches neither the message bus nor the window, so it may run on a
// worker thread; one CFtpFile belongs to one thread at a time. All requests of one
// CFtpFile go through one connection cache, so the login of Connect is reused by
// OpenRemote and the download.
//
// Every error text is "Ftp Error: " + the message; a failure of the library is reported
// with its own message, at most 255 characters of it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

struct FtpLimits {
    long connectTimeoutMs = 10000;    // one attempt to reach the server
    long responseTimeoutMs = 10000;   // each answer of the server on the control connection
    // A transfer that moves fewer than lowSpeedBytes a second for lowSpeedSeconds ends:
    // a stalled or trickling server is given up rather than waited for.
    long lowSpeedBytes = 1024;
    long lowSpeedSeconds = 20;
    // One request from its start to its end (the login, a look for a file, a whole file).
    long totalMs = 120000;
};

class CFtpFile {
public:
    static constexpr int ConnectRetries = 3;   // attempts to reach the server
    // The block of a download: one read, one write, one progress step.
    static constexpr uint32_t BlockSize = 51200;

    // Bytes written so far and the remote size (-1 when the server did not tell it),
    // after each block of DownloadTo, on the thread that runs it.
    using Progress = std::function<void(int64_t done, int64_t total)>;

    CFtpFile() = default;
    // Closes the file, the connection and the session.
    ~CFtpFile();
    CFtpFile(const CFtpFile&) = delete;
    CFtpFile& operator=(const CFtpFile&) = delete;

    // The limits of the requests that start after this call.
    void SetLimits(const FtpLimits& limits) { m_limits = limits; }
    // A flag another thread may set to end the session's waits; null for none. The flag
    // must outlive the session's requests.
    void SetCancelFlag(const std::atomic<bool>* cancel) { m_pCancel = cancel; }

    // Keeps host ("name" or "name:port"), user and password, closes any open file and
    // connection and logs in. False with "Unable to get ftp connection (<the library's
    // reason>)" when no attempt reached the server or the login was refused, or with
    // "Aborted by user".
    bool Connect(const std::string& host, const std::string& user, const std::string& password);
    // Finds the file at path (absolute on the server) with a fresh look at the server
    // and remembers its size, then opens it for binary reading. False with "Ftp is not
    // connected", "Unable to find remote Ftp file: " + path (also when its folder is
    // missing), "Unable to open remote Ftp file: " + path, the library's reason (a
    // time-out) or "Aborted by user".
    bool OpenRemote(const std::string& path);
    // Reads up to count bytes of the open file; read is 0 at its end. Waits until some
    // bytes came (not until count did). False with the error when no file is open or the
    // transfer failed (a limit, a cancel); read then is 0.
    bool Read(void* buffer, uint32_t count, uint32_t& read);
    // Copies the open file into a new file at localPath (an old file of that name is
    // removed first; a link there is never followed), calling progress after each block.
    // A cancel ends it with "Aborted by user". A copy whose byte count differs from the
    // remote size is incomplete: it fails with "The download is incomplete (N of M bytes
    // received)". On every failure the file is removed, so no damaged installer is ever
    // left to start. Closes the remote file.
    bool DownloadTo(const std::string& localPath, const Progress& progress = {});
    // Ends the transfer of the open file; the connection stays.
    void Close();

    const std::string& GetError() const { return m_strError; }
    // The size that OpenRemote found; -1 when the server did not tell it.
    int64_t GetRemoteSize() const { return m_nRemoteSize; }
    bool IsConnected() const { return m_bConnected; }
    bool IsOpen() const { return m_bOpen; }
    bool IsAborted() const { return m_pCancel && m_pCancel->load(); }

private:
    // Stores "Ftp Error: " + message; always false.
    bool SetError(const std::string& message);
    // Stores the library's message for a failed request (its error buffer, else the
    // code's text; "Aborted by user" after a cancel); always false.
    bool SetLibraryError(int code);
    std::string LibraryErrorText(int code) const;
    // The address of path on the host: "ftp://host/%2F..." with each name escaped, so
    // the path counts from the server's root whatever the login folder is.
    std::string UrlOf(const std::string& path) const;
    // Sets the options every request shares.
    void PrepareRequest(const std::string& url, bool headersOnly);
    // Runs one request to its end; its result code.
    int RunRequest();
    // Drives the open file's transfer once, waiting up to waitMs for the socket.
    void StepTransfer(int waitMs);
    void Disconnect();

    FtpLimits m_limits;
    const std::atomic<bool>* m_pCancel = nullptr;
    std::string m_strHost;
    std::string m_strUser;
    std::string m_strPassword;
    void* m_pSession = nullptr;      // the internet session: a libcurl multi handle
    void* m_pConnection = nullptr;   // the FTP connection: a libcurl easy handle
    bool m_bConnected = false;
    bool m_bOpen = false;            // a remote file is open
    bool m_bTransferDone = false;    // its transfer ended (m_nTransferResult tells how)
    int m_nTransferResult = 0;
    std::string m_strPending;        // bytes received and not read yet
    std::size_t m_nPendingAt = 0;
    std::string m_strOpenPath;
    int64_t m_nRemoteSize = -1;
    std::string m_strError;
    char m_szLibraryError[256] = {};
};
