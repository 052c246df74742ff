#pragma once
// Folder transfers: CTransfer copies a folder's files, CMoveTransfer moves them, into
// target/<last folder name of the source>, walking subfolders, one file at a time. Both
// report on the bus (JobStarted and JobFinished around a transfer, progress steps 2, 7, 6
// and 3 with the transfer's scope, 10 unless set) and listen for Cancel (15).
//
// Errors: a file that cannot be copied or moved is counted and the walk goes on; before
// each file CheckErrors raises a CTransferException when the user cancelled ("Aborted by
// user") or when more than 20 files failed ("Too mach errors"), so the 21st failed file
// stops the transfer before the next one. The exception leaves Transfer (the bus still
// hears JobFinished) and is for the caller of Transfer to catch. Every failure text names
// its cause (the system's error text) and, once Transfer has begun, where the files that
// were not moved or copied are ("...; the files not moved are still in <source>").
//
// Nothing is lost on the way:
//  - a move renames a file when source and target share a file system; across file
//    systems (rename fails with EXDEV) it copies the file under a temporary name beside
//    the target, flushes it, gives it the target's name and only then removes the source;
//  - a move never replaces a file that the target name already holds: that file fails
//    ("Unknown error ==> File exists") and stays in the source;
//  - a copy writes under a temporary name too, so a failed copy leaves an existing target
//    as it was; a finished copy replaces it;
//  - only regular files are copied (a link or a device in the folder fails and stays);
//  - a target folder inside the source folder is refused ("Cannot create dest folder"),
//    since the walk would then copy its own output.
#include <atomic>
#include <cstdint>
#include <exception>
#include <string>

#include "jobs/cmsg.h"

// Transfer error codes (LastError) and, through CTransfer::CodeText, their texts.
namespace TransferError {
constexpr int32_t Aborted = 1;        // "Aborted by user"          (fatal)
constexpr int32_t TooManyErrors = 2;  // "Too mach errors"          (fatal)
constexpr int32_t ZipFile = 3;        // "Fail add to zip file"
constexpr int32_t CopyFile = 4;       // "Copy file error"
constexpr int32_t DestFolder = 5;     // "Cannot create dest folder" (fatal)
constexpr int32_t Ftp = 6;            // "Ftp error"                (fatal)
constexpr int32_t MoveFile = 12;      // "Unknown error", as every other code
}  // namespace TransferError

// Raised inside a transfer to stop it; carries the code and the text to show.
class CTransferException : public std::exception {
public:
    CTransferException(int32_t code, std::string message);
    int32_t GetCode() const { return m_nCode; }
    const std::string& GetMessage() const { return m_strMessage; }
    // The message, or the code's text when the message is empty.
    const std::string& GetText() const { return m_strText; }
    const char* what() const noexcept override { return m_strText.c_str(); }

private:
    int32_t m_nCode;
    std::string m_strMessage;
    std::string m_strText;
};

// The number of files in a folder and its subfolders and their total size in bytes.
struct CFileTotals {
    int64_t Files = 0;
    uint64_t Bytes = 0;
};

class CTransfer : public CListener {
public:
    // Files more than this many failed stop the transfer.
    static constexpr int32_t MaxErrors = 20;

    // Counters 0, scope 10; registers on the bus as "CTransferStatus".
    CTransfer();
    ~CTransfer() override;
    CTransfer(const CTransfer&) = delete;
    CTransfer& operator=(const CTransfer&) = delete;

    // Cancel (15): a request with Value1 1, any other value clears it.
    void OnMessage(CSingleMsg& msg) override;

    // One file into the folder target (target/<file's name>); for a copy, a target that
    // does not end with "/" and is not an existing folder names the copy itself and is
    // used unchanged. CheckErrors first (may raise). A failed file is counted (AddError)
    // and still returns true: the walk goes on.
    virtual bool TransferFile(const std::string& file, const std::string& target);
    // MakeTargetFolder, then every entry of source in the order the folder lists them:
    // subfolders by TransferFolder, files by TransferFile. False when a target folder
    // cannot be made or source cannot be listed (with ErrorText).
    virtual bool TransferFolder(const std::string& source, const std::string& target);
    // The whole transfer of source into target/<last folder name of source>, announced on
    // the bus. False with ErrorText when a folder failed or any file failed (the walk still
    // handles every other file); raises CTransferException (see above).
    virtual bool Transfer(const std::string& source, const std::string& target);
    // out = target joined with the last folder name of source, made when missing (one
    // level: target must exist). False with "Cannot create dest folder ==> out".
    virtual bool MakeTargetFolder(const std::string& source, const std::string& target, std::string& out);

    // Counts every file (anything that is not a folder) in folder and its subfolders;
    // links to folders are counted as files, not followed.
    static CFileTotals CountFiles(const std::string& folder);
    static std::string CodeText(int32_t code);

    // Counts a failure: ErrorCount + 1, LastError = code, ErrorText = CodeText(code) and,
    // for a detail, " ==> " and the detail.
    void AddError(int32_t code, const std::string& detail);
    // Raises CTransferException for a cancel request (after AddError(1)), for a fatal last
    // error (1, 5 or 6; a status record with the error is sent first) and when more than
    // MaxErrors files failed (code 2, TooManyErrorsText).
    void CheckErrors();
    // "Too mach errors ==> 21 files failed, the last: <its cause>; the files not moved are
    // still in <source>" (the cause and the place only when known).
    std::string TooManyErrorsText() const;

    const std::string& GetError() const { return m_strError; }
    int32_t GetFileNumber() const { return m_nFileNumber; }
    int32_t GetFilesDone() const { return m_nFilesDone; }
    int32_t GetErrorCount() const { return m_nErrorCount; }
    int32_t GetLastError() const { return m_nLastError; }
    int32_t GetScope() const { return m_nScope; }
    void SetScope(int32_t scope) { m_nScope = scope; }

protected:
    // The code a failed file of this transfer is counted with.
    virtual int32_t FileErrorCode() const { return TransferError::CopyFile; }
    // What this transfer does to a file, for the messages ("copied", "moved").
    virtual const char* Verb() const { return "copied"; }
    // "the files not copied are still in <source>"; empty before Transfer began.
    std::string WhereFilesAre() const;
    // Sends progress step 6 for the next file and counts it.
    void FileProgress();

    int32_t m_nFileNumber = 0;   // files handled so far
    int32_t m_nFilesDone = 0;    // files copied or moved
    int32_t m_nUnused = 0;
    std::atomic<int32_t> m_bCancelRequested {0};
    int32_t m_nErrorCount = 0;
    int32_t m_nLastError = 0;
    std::string m_strError;
    int32_t m_nScope = 10;
    std::string m_strLastDetail;   // the cause of the last failed file
    std::string m_strSource;       // the folder Transfer works on
};

class CMoveTransfer : public CTransfer {
public:
    CMoveTransfer() = default;
    ~CMoveTransfer() override = default;

    // Moves the file to target/<file's name>, never replacing a file there; across file
    // systems by copy, flush and delete. A failure counts as "Unknown error ==> <the
    // system's message>" and leaves the file where it was.
    bool TransferFile(const std::string& file, const std::string& target) override;

protected:
    int32_t FileErrorCode() const override { return TransferError::MoveFile; }
    const char* Verb() const override { return "moved"; }
};

// Gives the file `from` the name `to` on one file system without ever replacing what `to`
// names. 0, or the errno of the failure: EEXIST when `to` exists, EXDEV when the two lie
// on different file systems.
int RenameNoReplace(const std::string& from, const std::string& to);

// Copies the regular file `from` to `to` through a temporary file beside `to` that is
// flushed to the disk before it takes the name `to`: with replace an existing `to` is
// replaced, without it the copy fails with EEXIST. Keeps the file's mode and times.
// 0, or the errno of the failure (ENOTSUP for a source that is not a regular file); on
// failure nothing new is left and an existing `to` is unchanged.
int CopyFileFlushed(const std::string& from, const std::string& to, bool replace);
