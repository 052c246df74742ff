#pragma once
// The path value type: a file or folder path kept whole and split into drive, folder,
// name and extension, with one separator in force and, after Exists or SetFromFind, the
// attributes, times and size of what it names.
//
// The drive part on Linux. There are no drive letters: every absolute path hangs from the
// one root, so the drive part of an absolute path is "/" (the root plays the part of
// "C:"), and it is empty for relative paths, for remote paths after their scheme
// ("ftp://host/dir" reads as the relative "host/dir") and for network paths
// ("\\server\share\..."). Callers keep their meaning with this choice:
//  - the save-folder check wants a non-empty drive part: an absolute folder passes, a
//    relative one fails with "Drive Length < 1", as a folder without a drive letter did;
//    "/" is no card letter, so the check notes "Hard Drive Found", which is true: cards
//    are reached as raw devices, never as mounted folders;
//  - the save job's same-drive rename must not compare first characters (every absolute
//    path starts with "/"): it asks IsSameFileSystem, which compares the file systems
//    (st_dev) of the two folders, the Linux meaning of "the same drive".
// Drive and folder join without a doubled separator: drive "/" + folder "/home/a/"
// reads "/home/a/". A text such as "C:\Pictures" is a relative path on Linux.
// The folder part always starts with the separator, as remote paths need it
// ("ftp://host/dir/f.jpg" has folder "/host/dir/"); GetText keeps a relative text
// relative ("host/dir/f.jpg"), and CreateFolder refuses relative folders.
//
// Times are nanoseconds since 1 January 1970 (the platform's file-time unit here).
#include <cstdint>
#include <filesystem>
#include <string>

#include "jobs/cobj.h"

// Attribute bits, as the standard file attribute record carries them.
namespace FileAttr {
constexpr uint32_t ReadOnly = 1;     // the owner may not write
constexpr uint32_t Hidden = 2;       // the name starts with "."
constexpr uint32_t System = 4;       // device, pipe or socket
constexpr uint32_t Folder = 16;
constexpr uint32_t Archive = 32;
constexpr uint32_t Normal = 128;     // a regular file with no other bit
constexpr uint32_t Temporary = 256;
constexpr uint32_t Compressed = 2048;
}

class CFilePath : public CObj {
public:
    CFilePath();
    // SetPath(text, isFolder).
    explicit CFilePath(const std::string& text, bool isFolder = false);
    CFilePath(const CFilePath& other);
    CFilePath& operator=(const CFilePath& other);
    ~CFilePath() override = default;

    CObj* CreateNew() const override;
    // Every text empty, separator "/", every number 0.
    void Reset() override;
    // Copies the five texts, the separator and every number; from a plain CObj only the
    // CObj part.
    void CopyFrom(const CObj& other) override;

    // True when drive, folder and name equal those of other (ignoring case) and the
    // extensions differ (ignoring case): the companion of a file, such as IMG_0001.THM
    // of IMG_0001.JPG. False otherwise, also for equal extensions.
    virtual bool IsCompanionOf(const CFilePath& other) const;

    // Takes a directory entry found by listing a folder: Reset, then the entry's path
    // (a folder with a trailing "/"), attributes, times and size.
    virtual void SetFromFind(const std::filesystem::directory_entry& entry);

    // Sets the path from text. A leading "file://", "ftp://" or "network://" (exactly so
    // written) is removed, the text is trimmed of blanks and split; with isFolder the whole text is
    // the folder (name and extension empty). Empty text gives an empty path.
    void SetPath(const std::string& text, bool isFolder);
    // The folder becomes text with a trailing "/" ensured; an absolute text makes the
    // drive "/", a network text ("\\server\...") clears it, a relative one keeps it.
    void SetFolder(const std::string& text);
    // Splits text at its first "." that is not its first character into name and
    // extension; without one the whole text is the name and the extension stays.
    void SetFileName(const std::string& text);
    void SetName(const std::string& text);
    // The extension becomes text, with a leading "." added when text is not empty and
    // lacks one; empty text clears the extension.
    void SetExtension(const std::string& text);

    const std::string& GetText() const { return m_strText; }
    const std::string& GetDrive() const { return m_strDrive; }
    const std::string& GetFolder() const { return m_strFolder; }
    // Drive and folder joined: ends with the separator (empty for an empty path).
    std::string GetFolderText() const;
    // The name, followed by the extension when withExtension.
    std::string GetFileName(bool withExtension = true) const;
    const std::string& GetName() const { return m_strBaseName; }
    // The extension without its leading ".".
    std::string GetExtension() const;
    char GetSeparator() const { return m_cSeparator; }
    bool IsNetworkPath() const;
    bool IsEmpty() const { return m_strText.empty() && m_strFolder.empty() && m_strDrive.empty(); }

    // True when the folder text (drive + folder) names an existing folder.
    bool IsFolder() const;
    // Clears the attributes; then stats the text (without a trailing separator) and, when
    // that succeeds, fills attributes, times and size and returns true.
    bool Exists();
    // Creates the folder (GetFolderText) and every missing parent. True when it exists
    // afterwards; false with GetError for a relative or network folder (there is no root
    // to start from), or when a level cannot be made.
    bool CreateFolder();
    const std::string& GetError() const { return m_strError; }
    void SetError(std::string text) { m_strError = std::move(text); }

    uint32_t GetAttributes() const { return m_nAttributes; }
    int64_t GetCreationTime() const { return m_nCreationTime; }
    int64_t GetLastAccessTime() const { return m_nLastAccessTime; }
    int64_t GetLastWriteTime() const { return m_nLastWriteTime; }
    uint64_t GetSize() const { return (uint64_t(m_nSizeHigh) << 32) | m_nSizeLow; }
    uint32_t GetSizeHigh() const { return m_nSizeHigh; }
    uint32_t GetSizeLow() const { return m_nSizeLow; }

    // True when both paths lie on one file system (equal st_dev of the path or, for a
    // path that does not exist yet, of its nearest existing parent): a folder then moves
    // with one rename. False when either cannot be resolved.
    static bool IsSameFileSystem(const std::string& first, const std::string& second);

protected:
    // Separator in force, leading separator of the folder, single separators, network
    // prefix kept.
    void Normalise();
    // Normalise, text from the four parts, normalise again.
    void Rebuild();
    // Attributes, times and size from a stat of path; false when stat fails.
    bool FillFromStat(const std::string& path);

    std::string m_strText;
    std::string m_strDrive;
    std::string m_strFolder;
    std::string m_strBaseName;   // name without extension (m_strName is the object's name)
    std::string m_strExtension;  // with its leading "."
    char m_cSeparator = '/';
    uint32_t m_nAttributes = 0;
    int64_t m_nCreationTime = 0;
    int64_t m_nLastAccessTime = 0;
    int64_t m_nLastWriteTime = 0;
    uint32_t m_nSizeHigh = 0;
    uint32_t m_nSizeLow = 0;
    std::string m_strError;
};

// The same value for remote (FTP) paths and for the settings' folders; only the class
// that CreateNew makes differs.
class CFtpPath : public CFilePath {
public:
    CFtpPath() = default;
    explicit CFtpPath(const std::string& text, bool isFolder = false) : CFilePath(text, isFolder) {}
    CFtpPath(const CFtpPath& other) = default;
    CFtpPath& operator=(const CFtpPath& other) = default;

    CObj* CreateNew() const override;
};
