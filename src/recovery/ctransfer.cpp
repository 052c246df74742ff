#include "recovery/ctransfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "app/clogfile.h"
#include "app/ctransferstatus.h"
#include "platform/fileio.h"
#include "platform/lasterror.h"
#include "platform/messagepump.h"

namespace fs = std::filesystem;

namespace {

// The text without trailing separators; "/" stays.
std::string StripTrailing(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The last name of a folder text ("/a/b/" gives "b").
std::string LastName(const std::string& folder)
{
    const std::string path = StripTrailing(folder);
    const size_t sep = path.find_last_of('/');
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string Join(const std::string& folder, const std::string& name)
{
    if (folder.empty())
        return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool IsFolder(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ErrorText(int error)
{
    std::string text = px::SystemErrorText(error);
    return text.empty() ? "error " + std::to_string(error) : text;
}

// True when folder is base or lies below it (both resolved as far as they exist).
bool IsWithin(const std::string& folder, const std::string& base)
{
    std::error_code error;
    const fs::path inner = fs::weakly_canonical(fs::absolute(folder, error), error);
    if (error)
        return false;
    const fs::path outer = fs::weakly_canonical(fs::absolute(base, error), error);
    if (error)
        return false;
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
        if (o->empty())
            continue;  // the empty last element of a path with a trailing separator
        if (i == inner.end() || *i != *o)
            return false;
    }
    return true;
}

// Flushes a folder's entries (a new name in it) to the disk. File systems that cannot
// flush a folder (EINVAL) count as flushed.
int FlushFolder(const std::string& folder)
{
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int result = 0;
    if (::fsync(fd) != 0 && errno != EINVAL)
        result = errno;
    ::close(fd);
    return result;
}

int CopyContents(int in, int out)
{
    // 1 MiB: large enough that a card's pictures take a handful of system calls each.
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (got == 0)
            return 0;
        if (const int error = px::WriteAll(out, buffer.data(), size_t(got)))
            return error;
    }
}

}  // namespace

// ---- file helpers -----------------------------------------------------------------------

int RenameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    int error = errno;
    if (error != EINVAL && error != ENOSYS)
        return error;
    // A file system without the flag: a hard link refuses an existing name just as well.
    if (::link(from.c_str(), to.c_str()) == 0) {
        if (::unlink(from.c_str()) == 0)
            return 0;
        error = errno;
        ::unlink(to.c_str());
        return error;
    }
    error = errno;
    if (error == EEXIST || error == EXDEV)
        return error;
    // Nor hard links (FAT): look, then rename.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0)
        return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int CopyFileFlushed(const std::string& from, const std::string& to, bool replace)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0)
        return errno == ELOOP ? ENOTSUP : errno;  // O_NOFOLLOW met a link
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        const int error = errno;
        ::close(in);
        return error;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(in);
        return ENOTSUP;
    }
    struct stat existing {};
    if (!replace && ::lstat(to.c_str(), &existing) == 0) {
        ::close(in);
        return EEXIST;
    }

    // The copy is written under a hidden temporary name in the target's folder, so that
    // the target name never holds a partial file. The name is short and fixed in length:
    // one made from the target's name would not fit when that name is near the 255 bytes
    // a file name may have.
    const fs::path target(to);
    const std::string folder = target.parent_path().string();
    std::string pattern = (target.parent_path() / ".px3copy.XXXXXX").string();
    const int out = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return error;
    }
    int error = CopyContents(in, out);
    ::close(in);
    if (error == 0) {
        // Mode and times are kept where the target's file system can hold them.
        (void)::fchmod(out, st.st_mode & 07777);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        (void)::futimens(out, times);
        if (::fsync(out) != 0)
            error = errno;
    }
    if (::close(out) != 0 && error == 0)
        error = errno;
    if (error == 0) {
        if (replace)
            error = ::rename(pattern.c_str(), to.c_str()) == 0 ? 0 : errno;
        else
            error = RenameNoReplace(pattern, to);
    }
    if (error != 0) {
        ::unlink(pattern.c_str());
        return error;
    }
    return FlushFolder(folder);
}

// ---- CTransferException -----------------------------------------------------------------

CTransferException::CTransferException(int32_t code, std::string message)
    : m_nCode(code), m_strMessage(std::move(message))
{
    m_strText = m_strMessage.empty() ? CTransfer::CodeText(code) : m_strMessage;
}

// ---- CTransfer ----------------------------------------------------------------------------

CTransfer::CTransfer() { Bus().AddListener("CTransferStatus", this); }

CTransfer::~CTransfer() { Bus().RemoveListener(this); }

void CTransfer::OnMessage(CSingleMsg& msg)
{
    if (msg.Code == MsgCode::Cancel)
        m_bCancelRequested = msg.Value1.GetType() == CVariant::Type::I4 && msg.Value1.ToInt() == 1;
}

std::string CTransfer::CodeText(int32_t code)
{
    switch (code) {
    case TransferError::Aborted: return "Aborted by user";
    case TransferError::TooManyErrors: return "Too mach errors";
    case TransferError::ZipFile: return "Fail add to zip file";
    case TransferError::CopyFile: return "Copy file error";
    case TransferError::DestFolder: return "Cannot create dest folder";
    case TransferError::Ftp: return "Ftp error";
    default: return "Unknown error";
    }
}

void CTransfer::AddError(int32_t code, const std::string& detail)
{
    ++m_nErrorCount;
    m_nLastError = code;
    m_strError = CodeText(code);
    if (!detail.empty()) {
        m_strError += " ==> " + detail;
        m_strLastDetail = detail;
    }
    Log().Outcome("-FAIL", "Transfer ==> " + m_strError);
}

std::string CTransfer::WhereFilesAre() const
{
    return m_strSource.empty() ? std::string() : "the files not " + std::string(Verb()) + " are still in " + m_strSource;
}

std::string CTransfer::TooManyErrorsText() const
{
    std::string text = CodeText(TransferError::TooManyErrors) + " ==> " + std::to_string(m_nErrorCount) + " files failed";
    if (!m_strLastDetail.empty())
        text += ", the last: " + m_strLastDetail;
    if (const std::string where = WhereFilesAre(); !where.empty())
        text += "; " + where;
    return text;
}

void CTransfer::CheckErrors()
{
    if (m_bCancelRequested)
        AddError(TransferError::Aborted, {});
    if (m_nLastError == TransferError::Aborted || m_nLastError == TransferError::DestFolder
        || m_nLastError == TransferError::Ftp) {
        CTransferStatus status(CTransferStatus::Timed{});
        status.SetError(CodeText(m_nLastError));
        status.Scope = m_nScope;
        status.EndTime = COleDateTime::Now();
        SendRecord(MsgCode::TransferStatus, m_nScope, status);
        throw CTransferException(m_nLastError, m_strError);
    }
    if (m_nErrorCount > MaxErrors)
        throw CTransferException(TransferError::TooManyErrors, TooManyErrorsText());
}

void CTransfer::FileProgress()
{
    CMsgProgress position(m_nFileNumber, m_nScope, std::string());
    ++m_nFileNumber;
}

CFileTotals CTransfer::CountFiles(const std::string& folder)
{
    CFileTotals totals;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
    for (const fs::recursive_directory_iterator end; !error && it != end; it.increment(error)) {
        std::error_code statError;
        const fs::file_status status = it->symlink_status(statError);
        if (statError || status.type() == fs::file_type::directory)
            continue;
        ++totals.Files;
        if (status.type() == fs::file_type::regular) {
            const uintmax_t size = it->file_size(statError);
            if (!statError)
                totals.Bytes += size;
        }
    }
    return totals;
}

bool CTransfer::MakeTargetFolder(const std::string& source, const std::string& target, std::string& out)
{
    out = Join(StripTrailing(target), LastName(source));
    if (IsFolder(out))
        return true;
    if (::mkdir(out.c_str(), 0777) == 0)
        return true;
    AddError(TransferError::DestFolder, out);
    return false;
}

bool CTransfer::TransferFolder(const std::string& source, const std::string& target)
{
    std::string out;
    if (!MakeTargetFolder(source, target, out))
        return false;
    // The entries are read before any is handled: the walk empties the folder it reads.
    std::vector<fs::directory_entry> entries;
    std::error_code error;
    fs::directory_iterator it(source, error);
    for (const fs::directory_iterator end; !error && it != end; it.increment(error))
        entries.push_back(*it);
    if (error) {
        AddError(FileErrorCode(), source + ": " + error.message());
        return false;
    }
    for (const fs::directory_entry& entry : entries) {
        std::error_code statError;
        const bool folder = entry.symlink_status(statError).type() == fs::file_type::directory;
        const bool ok = folder ? TransferFolder(entry.path().string(), out) : TransferFile(entry.path().string(), out);
        if (!ok)
            return false;
    }
    return true;
}

bool CTransfer::Transfer(const std::string& source, const std::string& target)
{
    CMsgRun run;
    m_nFileNumber = 0;
    {
        CMsgProgress show(1, m_nScope, ProgressStep::Show);
    }
    const CFileTotals totals = CountFiles(source);
    {
        CMsgProgress range(0, m_nScope, ProgressStep::Range, CVariant(int32_t(std::min<int64_t>(totals.Files, INT32_MAX))));
    }
    bool result = false;
    m_strSource = StripTrailing(source);
    const std::string out = Join(StripTrailing(target), LastName(source));
    if (IsWithin(out, source))
        AddError(TransferError::DestFolder, out);  // the walk would copy its own output
    else
        result = TransferFolder(source, target);
    // Files that failed leave the transfer unfinished, though the walk went on past them;
    // the message says where they are.
    if (m_nErrorCount > 0 && result) {
        result = false;
        m_strError += "; " + WhereFilesAre();
    }
    CMsgProgress finished(0, m_nScope, ProgressStep::Finished);
    return result;
}

bool CTransfer::TransferFile(const std::string& file, const std::string& target)
{
    CheckErrors();
    std::string dest = target;
    if (target.empty() || target.back() == '/' || IsFolder(target))
        dest = Join(target, fs::path(file).filename().string());
    FileProgress();
    if (const int error = CopyFileFlushed(file, dest, true)) {
        Log().Info("Copy " + file + " to " + dest + ": " + ErrorText(error));
        AddError(TransferError::CopyFile, fs::path(file).filename().string() + ": " + ErrorText(error));
    } else {
        ++m_nFilesDone;
    }
    px::PumpMessages();
    return true;
}

// ---- CMoveTransfer ------------------------------------------------------------------------

bool CMoveTransfer::TransferFile(const std::string& file, const std::string& target)
{
    CheckErrors();
    const std::string dest = Join(target, fs::path(file).filename().string());
    FileProgress();
    int error = RenameNoReplace(file, dest);
    if (error == EXDEV) {
        // Another file system: the source goes only once its copy is complete and flushed.
        error = CopyFileFlushed(file, dest, false);
        if (error == 0 && ::unlink(file.c_str()) != 0)
            error = errno;
    }
    if (error != 0)
        AddError(TransferError::MoveFile, ErrorText(error));
    else
        ++m_nFilesDone;
    px::PumpMessages();
    return true;
}
