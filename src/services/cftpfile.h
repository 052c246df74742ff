#pragma once
// One FTP session with one remote file, over libcurl: passive mode, the session's
// time-outs and connection retries, a remote file found by its size and read in order.
//
// The session reads on the thread that calls it (the user-interface thread); the bytes
// of an open file are pulled from the transfer as Read asks for them, so a download can
// show its progress and let the window run between two blocks. All requests of one
// CFtpFile go through one connection cache, so the login of Connect is reused by
// OpenRemote and the download.
//
// Every error text is "Ftp Error: " + the message; a failure of the library is reported
// with its own message, at most 255 characters of it.
#include <cstdint>
#include <string>

#include "jobs/cmsg.h"

class CFtpFile : public CListener {
public:
    // Session options.
    static constexpr long ConnectTimeoutMs = 10000;
    static constexpr int ConnectRetries = 3;     // attempts to reach the server
    static constexpr long SendTimeoutMs = 10000;
    static constexpr long ReceiveTimeoutMs = 10000;
    // The block of a download: one read, one write, one progress step.
    static constexpr uint32_t BlockSize = 51200;

    // Registers on the bus as "CFtpFile".
    CFtpFile();
    // Closes the file, the connection and the session.
    ~CFtpFile() override;
    CFtpFile(const CFtpFile&) = delete;
    CFtpFile& operator=(const CFtpFile&) = delete;

    // Cancel (15): Value1 1 sets the abort flag, any other value clears it.
    void OnMessage(CSingleMsg& msg) override;

    // Keeps host ("name" or "name:port"), user and password, closes any open file and
    // connection and logs in. Clears the abort flag. False with "Unable to get ftp
    // connection" when no attempt reached the server or the login was refused.
    bool Connect(const std::string& host, const std::string& user, const std::string& password);
    // Finds the file at path (absolute on the server) with a fresh look at the server
    // and remembers its size, then opens it for binary reading. Clears the abort flag.
    // False with "Ftp is not connected", "Unable to find remote Ftp file: " + path
    // (also when its folder is missing) or "Unable to open remote Ftp file: " + path.
    bool OpenRemote(const std::string& path);
    // Reads up to count bytes of the open file; read is 0 at its end. Waits until some
    // bytes came (not until count did). False with the error when no file is open or the
    // transfer failed; read then is 0.
    bool Read(void* buffer, uint32_t count, uint32_t& read);
    // Copies the open file into a new file at localPath (an old file of that name is
    // removed first; a link there is never followed). Sends progress (scope 16: range
    // 0 .. remote size, show, a position after each block, finished), lets the window
    // run after each block and while it waits for the server, and stops when the abort
    // flag is set while data still comes: "Aborted by user".
    // A copy whose byte count differs from the remote size is incomplete: it fails with
    // "The download is incomplete (N of M bytes received)" and its file is removed, so no
    // damaged installer is ever left to start. Closes the remote file.
    bool DownloadTo(const std::string& localPath);
    // Ends the transfer of the open file; the connection stays.
    void Close();

    const std::string& GetError() const { return m_strError; }
    // The size that OpenRemote found; -1 when the server did not tell it.
    int64_t GetRemoteSize() const { return m_nRemoteSize; }
    bool IsConnected() const { return m_bConnected; }
    bool IsOpen() const { return m_bOpen; }
    bool IsAborted() const { return m_bAbort; }

private:
    // Stores "Ftp Error: " + message; always false.
    bool SetError(const std::string& message);
    // Stores the library's message for a failed request (its error buffer, else the
    // code's text); always false.
    bool SetLibraryError(int code);
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
    bool m_bAbort = false;
    std::string m_strError;
    char m_szLibraryError[256] = {};
};
