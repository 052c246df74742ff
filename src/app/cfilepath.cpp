#include "app/cstringtokenizer.h"
#include "app/cfilepath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace {

bool IsSep(char c) { return c == '/' || c == '\\'; }

bool StartsWithNetworkPrefix(const std::string& text)
{
    return text.size() >= 2 && text[0] == '\\' && text[1] == '\\';
}

std::string Trim(const std::string& text) { return std::string(CStringTokenizer::Trim(text)); }

// Removes "file://", "ftp://" or "network://" at the start; the scheme word is compared
// exactly, so "FTP://host" keeps its scheme.
std::string StripScheme(const std::string& text)
{
    for (const char* scheme : {"file://", "ftp://", "network://"}) {
        const size_t n = std::strlen(scheme);
        if (text.compare(0, n, scheme) == 0)
            return text.substr(n);
    }
    return text;
}

// Every "/" and "\" becomes sep, and runs of separators become one.
std::string UnifySeparators(const std::string& text, char sep)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (IsSep(c)) {
            if (!out.empty() && out.back() == sep)
                continue;
            out += sep;
        } else {
            out += c;
        }
    }
    return out;
}

bool EqualNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Drive and folder joined so that a drive ending in a separator and a folder starting
// with one do not double it.
std::string JoinDriveFolder(const std::string& drive, const std::string& folder)
{
    if (!drive.empty() && !folder.empty() && IsSep(drive.back()) && IsSep(folder.front()))
        return drive + folder.substr(1);
    return drive + folder;
}

int64_t Nanoseconds(int64_t seconds, uint32_t nanoseconds)
{
    return seconds * 1000000000LL + nanoseconds;
}

}  // namespace

CFilePath::CFilePath() = default;

CFilePath::CFilePath(const std::string& text, bool isFolder) { SetPath(text, isFolder); }

CFilePath::CFilePath(const CFilePath& other) : CObj(other) { CopyFrom(other); }

CFilePath& CFilePath::operator=(const CFilePath& other)
{
    CopyFrom(other);
    return *this;
}

CObj* CFilePath::CreateNew() const { return new CFilePath(); }

CObj* CFtpPath::CreateNew() const { return new CFtpPath(); }

void CFilePath::Reset()
{
    CObj::Reset();
    m_strText.clear();
    m_strDrive.clear();
    m_strFolder.clear();
    m_strBaseName.clear();
    m_strExtension.clear();
    m_cSeparator = '/';
    m_nAttributes = 0;
    m_nCreationTime = 0;
    m_nLastAccessTime = 0;
    m_nLastWriteTime = 0;
    m_nSizeHigh = 0;
    m_nSizeLow = 0;
    m_strError.clear();
}

void CFilePath::CopyFrom(const CObj& other)
{
    if (&other == this)
        return;
    CObj::CopyFrom(other);
    const auto* path = dynamic_cast<const CFilePath*>(&other);
    if (!path)
        return;
    m_strText = path->m_strText;
    m_strDrive = path->m_strDrive;
    m_strFolder = path->m_strFolder;
    m_strBaseName = path->m_strBaseName;
    m_strExtension = path->m_strExtension;
    m_cSeparator = path->m_cSeparator;
    m_nAttributes = path->m_nAttributes;
    m_nCreationTime = path->m_nCreationTime;
    m_nLastAccessTime = path->m_nLastAccessTime;
    m_nLastWriteTime = path->m_nLastWriteTime;
    m_nSizeHigh = path->m_nSizeHigh;
    m_nSizeLow = path->m_nSizeLow;
    m_strError = path->m_strError;
}

bool CFilePath::IsCompanionOf(const CFilePath& other) const
{
    return EqualNoCase(m_strDrive, other.m_strDrive) && EqualNoCase(m_strFolder, other.m_strFolder)
        && EqualNoCase(m_strBaseName, other.m_strBaseName)
        && !EqualNoCase(m_strExtension, other.m_strExtension);
}

void CFilePath::SetPath(const std::string& text, bool isFolder)
{
    // Blanks around the text do not hide its scheme.
    const std::string path = Trim(StripScheme(Trim(text)));
    m_strDrive.clear();
    m_strFolder.clear();
    m_strBaseName.clear();
    m_strExtension.clear();
    m_strText = path;
    // An empty folder stays empty: it must not turn into the root.
    if (path.empty()) {
        Normalise();
        return;
    }

    std::string split = path;
    if (isFolder) {
        if (!IsSep(split.back()))
            split += '/';
        split += "a.a";  // a dummy file name, so that the whole text falls into the folder
    }

    // The Linux form of splitting a path: the drive is "/" for an absolute path (see the
    // header), the folder runs to the last separator inclusive, the extension starts at
    // the last "." of the file name.
    if (!StartsWithNetworkPrefix(split) && IsSep(split.front()))
        m_strDrive = "/";
    const size_t lastSep = split.find_last_of("/\\");
    std::string file = split;
    if (lastSep != std::string::npos) {
        m_strFolder = split.substr(0, lastSep + 1);
        file = split.substr(lastSep + 1);
    }
    const size_t dot = file.rfind('.');
    if (dot == std::string::npos) {
        m_strBaseName = file;
    } else {
        m_strBaseName = file.substr(0, dot);
        m_strExtension = file.substr(dot);
    }
    if (isFolder) {
        m_strBaseName.clear();
        m_strExtension.clear();
    }
    Normalise();
}

bool CFilePath::IsNetworkPath() const
{
    return m_strDrive.empty() && StartsWithNetworkPrefix(m_strFolder);
}

void CFilePath::Normalise()
{
    const bool network = IsNetworkPath();
    m_cSeparator = network ? '\\' : '/';
    if (!m_strFolder.empty() && !IsSep(m_strFolder.front()))
        m_strFolder.insert(m_strFolder.begin(), m_cSeparator);
    m_strText = UnifySeparators(m_strText, m_cSeparator);
    m_strFolder = UnifySeparators(m_strFolder, m_cSeparator);
    if (network) {
        // Unifying squeezed the two leading backslashes of "\\server\share" into one.
        m_strFolder.insert(m_strFolder.begin(), '\\');
        if (!IsSep(m_strFolder.back()))
            m_strFolder += '\\';
        m_strText = m_strDrive + m_strFolder + m_strBaseName + m_strExtension;
    }
}

void CFilePath::Rebuild()
{
    Normalise();
    std::string text = JoinDriveFolder(m_strDrive, m_strFolder);
    if (!text.empty() && !IsSep(text.back()) && (!m_strBaseName.empty() || !m_strExtension.empty()))
        text += m_cSeparator;
    text += m_strBaseName;
    text += m_strExtension;
    m_strText = text;
    Normalise();
}

void CFilePath::SetFolder(const std::string& text)
{
    if (StartsWithNetworkPrefix(text))
        m_strDrive.clear();
    else if (!text.empty() && IsSep(text.front()))
        m_strDrive = "/";
    m_strFolder = text;
    if (m_strFolder.empty() || !IsSep(m_strFolder.back()))
        m_strFolder += '/';
    Rebuild();
}

void CFilePath::SetFileName(const std::string& text)
{
    const size_t dot = text.find('.', 1);
    if (dot == std::string::npos || text.empty()) {
        m_strBaseName = text;
    } else {
        m_strBaseName = text.substr(0, dot);
        m_strExtension = text.substr(dot);
    }
    Rebuild();
}

void CFilePath::SetName(const std::string& text)
{
    m_strBaseName = text;
    Rebuild();
}

void CFilePath::SetExtension(const std::string& text)
{
    m_strExtension = text;
    if (!text.empty() && text.front() != '.')
        m_strExtension.insert(m_strExtension.begin(), '.');
    Rebuild();
}

std::string CFilePath::GetFolderText() const { return JoinDriveFolder(m_strDrive, m_strFolder); }

std::string CFilePath::GetFileName(bool withExtension) const
{
    return withExtension ? m_strBaseName + m_strExtension : m_strBaseName;
}

std::string CFilePath::GetExtension() const
{
    if (!m_strExtension.empty() && m_strExtension.front() == '.')
        return m_strExtension.substr(1);
    return m_strExtension;
}

bool CFilePath::IsFolder() const
{
    const std::string folder = GetFolderText();
    if (folder.empty())
        return false;
    struct stat st {};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CFilePath::FillFromStat(const std::string& path)
{
    struct statx stx {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0)
        return false;
    const mode_t mode = stx.stx_mode;
    uint32_t attributes = 0;
    if (S_ISDIR(mode))
        attributes |= FileAttr::Folder;
    else if (!S_ISREG(mode))
        attributes |= FileAttr::System;
    if (!(mode & S_IWUSR))
        attributes |= FileAttr::ReadOnly;
    const std::string name = std::filesystem::path(path).filename().string();
    if (name.size() > 1 && name.front() == '.' && name != "..")
        attributes |= FileAttr::Hidden;
    if (stx.stx_attributes_mask & stx.stx_attributes & STATX_ATTR_COMPRESSED)
        attributes |= FileAttr::Compressed;
    if (attributes == 0)
        attributes = FileAttr::Normal;
    m_nAttributes = attributes;

    // Not every file system records a birth time; the status-change time stands in.
    if (stx.stx_mask & STATX_BTIME)
        m_nCreationTime = Nanoseconds(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec);
    else
        m_nCreationTime = Nanoseconds(stx.stx_ctime.tv_sec, stx.stx_ctime.tv_nsec);
    m_nLastAccessTime = Nanoseconds(stx.stx_atime.tv_sec, stx.stx_atime.tv_nsec);
    m_nLastWriteTime = Nanoseconds(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
    // A folder has no size of its own (its st_size is the directory's own blocks).
    const uint64_t size = S_ISDIR(mode) ? 0 : stx.stx_size;
    m_nSizeHigh = static_cast<uint32_t>(size >> 32);
    m_nSizeLow = static_cast<uint32_t>(size & 0xFFFFFFFFu);
    return true;
}

bool CFilePath::Exists()
{
    m_nAttributes = 0;
    std::string path = m_strText;
    if (path.size() > 1 && IsSep(path.back()))
        path.pop_back();
    if (path.empty())
        return false;
    return FillFromStat(path);
}

bool CFilePath::CreateFolder()
{
    m_strError.clear();
    const std::string folder = GetFolderText();
    if (folder.empty()) {
        m_strError = "No folder given";
        return false;
    }
    if (IsNetworkPath()) {
        m_strError = "Network folders cannot be created: " + folder;
        return false;
    }
    if (m_strDrive.empty()) {
        m_strError = "Not an absolute folder: " + m_strText;
        return false;
    }
    if (IsFolder())
        return true;

    std::string level;
    size_t pos = 0;
    while (pos < folder.size()) {
        const size_t next = folder.find_first_of("/\\", pos);
        const size_t end = next == std::string::npos ? folder.size() : next;
        if (end > pos) {
            level += '/';
            level.append(folder, pos, end - pos);
            struct stat st {};
            if (::stat(level.c_str(), &st) != 0) {
                if (::mkdir(level.c_str(), 0777) != 0 && errno != EEXIST) {
                    m_strError = "CreateDirectory " + level + ": " + std::strerror(errno);
                    return false;
                }
            } else if (!S_ISDIR(st.st_mode)) {
                m_strError = "CreateDirectory " + level + ": " + std::strerror(ENOTDIR);
                return false;
            }
        }
        pos = end + 1;
    }
    if (!IsFolder()) {
        m_strError = "CreateDirectory " + folder + ": folder missing after creation";
        return false;
    }
    return true;
}

void CFilePath::SetFromFind(const std::filesystem::directory_entry& entry)
{
    Reset();
    std::string path = entry.path().string();
    std::error_code error;
    const bool folder = entry.is_directory(error);
    if (folder && !path.empty() && !IsSep(path.back()))
        path += '/';
    SetPath(path, false);
    if (!FillFromStat(entry.path().string()) && folder)
        m_nAttributes = FileAttr::Folder;
}

bool CFilePath::IsSameFileSystem(const std::string& first, const std::string& second)
{
    auto device = [](const std::string& text, dev_t& dev) {
        if (text.empty())
            return false;
        std::error_code error;
        std::filesystem::path path = std::filesystem::absolute(text, error);
        if (error)
            return false;
        path = path.lexically_normal();
        if (path.filename().empty() && path.has_relative_path())
            path = path.parent_path();  // "/a/b/" names the folder "/a/b"
        // A target folder that does not exist yet will be made on its parent's file system.
        for (;;) {
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0) {
                dev = st.st_dev;
                return true;
            }
            if (!path.has_relative_path())
                return false;
            path = path.parent_path();
        }
    };
    dev_t a = 0;
    dev_t b = 0;
    return device(first, a) && device(second, b) && a == b;
}
