// Splitting, normalising and rebuilding of paths, and their file system operations.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/cfilepath.h"

namespace {

struct Parts {
    std::string drive, folder, name, extension, text;
    char separator;
};

Parts Split(const CFilePath& path)
{
    return {path.GetDrive(), path.GetFolder(), path.GetName(), path.GetFileName(true).substr(path.GetName().size()),
            path.GetText(), path.GetSeparator()};
}

void ExpectParts(const CFilePath& path, const Parts& expected)
{
    const Parts got = Split(path);
    EXPECT_EQ(got.drive, expected.drive) << path.GetText();
    EXPECT_EQ(got.folder, expected.folder) << path.GetText();
    EXPECT_EQ(got.name, expected.name) << path.GetText();
    EXPECT_EQ(got.extension, expected.extension) << path.GetText();
    EXPECT_EQ(got.text, expected.text);
    EXPECT_EQ(got.separator, expected.separator) << path.GetText();
}

}  // namespace

TEST(FilePath, SchemeForms)
{
    ExpectParts(CFilePath("ftp://host/dir/file.jpg"), {"", "/host/dir/", "file", ".jpg", "host/dir/file.jpg", '/'});
    // The scheme test is case-sensitive: "FTP:" stays part of a relative path.
    ExpectParts(CFilePath("FTP://host/x"), {"", "/FTP:/host/", "x", "", "FTP:/host/x", '/'});
    // file:// followed by an absolute path keeps the path absolute.
    ExpectParts(CFilePath("file:///home/user/a.b.png"), {"/", "/home/user/", "a.b", ".png", "/home/user/a.b.png", '/'});
    ExpectParts(CFilePath("network://server/share/f.txt"), {"", "/server/share/", "f", ".txt", "server/share/f.txt", '/'});
    ExpectParts(CFilePath("  ftp://h/f  "), {"", "/h/", "f", "", "h/f", '/'});  // surrounding blanks go
}

TEST(FilePath, NetworkFormKeepsBackslashes)
{
    CFilePath path("\\\\server\\share//dir\\\\file.jpg");
    ExpectParts(path, {"", "\\\\server\\share\\dir\\", "file", ".jpg", "\\\\server\\share\\dir\\file.jpg", '\\'});
    EXPECT_TRUE(path.IsNetworkPath());
    EXPECT_EQ(path.GetFolderText(), "\\\\server\\share\\dir\\");
    path.SetName("other");
    EXPECT_EQ(path.GetText(), "\\\\server\\share\\dir\\other.jpg");
    EXPECT_FALSE(path.CreateFolder()) << "no network folder is made";
    EXPECT_FALSE(path.GetError().empty());
}

TEST(FilePath, AbsoluteFolderHasRootDrive)
{
    CFilePath folder("/Pictures/Tmp", true);
    ExpectParts(folder, {"/", "/Pictures/Tmp/", "", "", "/Pictures/Tmp", '/'});
    EXPECT_EQ(folder.GetFolderText(), "/Pictures/Tmp/");
    // Doubled and mixed separators are stored single.
    ExpectParts(CFilePath("//a//b\\\\c", true), {"/", "/a/b/c/", "", "", "/a/b/c", '/'});
    ExpectParts(CFilePath("/a/b.d/", true), {"/", "/a/b.d/", "", "", "/a/b.d/", '/'});
    // A Windows drive letter is no drive on Linux: the text is relative.
    const CFilePath windows("C:\\Pictures\\Tmp", true);
    EXPECT_EQ(windows.GetDrive(), "");
    EXPECT_EQ(windows.GetText(), "C:/Pictures/Tmp");
    // Relative paths have no drive; their folder gets a leading separator.
    ExpectParts(CFilePath("rel/x.jpg"), {"", "/rel/", "x", ".jpg", "rel/x.jpg", '/'});
    ExpectParts(CFilePath("x.jpg"), {"", "", "x", ".jpg", "x.jpg", '/'});
    // An empty folder stays empty instead of becoming the root.
    const CFilePath empty("   ", true);
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(empty.GetFolderText(), "");
    EXPECT_FALSE(empty.IsFolder());
}

TEST(FilePath, FileNameAndExtensionEdits)
{
    CFilePath path("/card/DCIM/IMG_0001.JPG");
    path.SetExtension("jpg");
    EXPECT_EQ(path.GetText(), "/card/DCIM/IMG_0001.jpg");
    EXPECT_EQ(path.GetExtension(), "jpg");
    path.SetExtension("");
    EXPECT_EQ(path.GetText(), "/card/DCIM/IMG_0001");
    EXPECT_EQ(path.GetExtension(), "");

    path.SetFileName(".profile");
    EXPECT_EQ(path.GetName(), ".profile");
    EXPECT_EQ(path.GetText(), "/card/DCIM/.profile");
    path.SetExtension(".thm");
    path.SetFileName("archive.tar.gz");
    EXPECT_EQ(path.GetName(), "archive");
    EXPECT_EQ(path.GetExtension(), "tar.gz");
    path.SetFileName("README");  // no dot: the extension stays
    EXPECT_EQ(path.GetFileName(true), "README.tar.gz");
    EXPECT_EQ(path.GetFileName(false), "README");

    path.SetFolder("/saved//here");
    EXPECT_EQ(path.GetText(), "/saved/here/README.tar.gz");
    EXPECT_EQ(path.GetFolderText(), "/saved/here/");
    path.SetFolder("sub\\dir");  // relative: the drive stays
    EXPECT_EQ(path.GetDrive(), "/");
    EXPECT_EQ(path.GetText(), "/sub/dir/README.tar.gz");

    CFilePath fresh;
    fresh.SetName("IMAGE_000");
    fresh.SetExtension("NEF");
    EXPECT_EQ(fresh.GetText(), "IMAGE_000.NEF");
    fresh.SetFolder("/run");
    EXPECT_EQ(fresh.GetText(), "/run/IMAGE_000.NEF");
}

TEST(FilePath, ObjectProtocol)
{
    CFtpPath original("/a/b/c.jpg");
    original.m_nData1 = 7;
    std::unique_ptr<CObj> clone(original.Clone());
    auto* copy = dynamic_cast<CFtpPath*>(clone.get());
    ASSERT_NE(copy, nullptr) << "a clone of a CFtpPath is a CFtpPath";
    EXPECT_EQ(copy->GetText(), "/a/b/c.jpg");
    EXPECT_EQ(copy->GetFolderText(), "/a/b/");
    EXPECT_EQ(copy->m_nData1, 7);

    std::unique_ptr<CObj> plain(CFilePath().CreateNew());
    EXPECT_EQ(dynamic_cast<CFtpPath*>(plain.get()), nullptr);

    copy->Reset();
    EXPECT_TRUE(copy->IsEmpty());
    EXPECT_EQ(copy->GetSeparator(), '/');
    EXPECT_EQ(copy->m_nData1, 0);

    // Companion files: same stem, other extension, case ignored.
    const CFilePath jpg("/DCIM/IMG_0001.JPG");
    EXPECT_TRUE(jpg.IsCompanionOf(CFilePath("/dcim/img_0001.thm")));
    EXPECT_FALSE(jpg.IsCompanionOf(CFilePath("/DCIM/IMG_0001.jpg")));
    EXPECT_FALSE(jpg.IsCompanionOf(CFilePath("/DCIM/IMG_0002.THM")));
}

class FilePathDisk : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_root = m_dir.path().toStdString();
    }
    QTemporaryDir m_dir;
    std::string m_root;
};

TEST_F(FilePathDisk, ExistsFillsAttributesTimesAndSize)
{
    const std::string file = m_root + "/.hidden.jpg";
    std::ofstream(file) << std::string(5000, 'x');
    CFilePath path(file);
    ASSERT_TRUE(path.Exists());
    EXPECT_EQ(path.GetSize(), 5000u);
    EXPECT_TRUE(path.GetAttributes() & FileAttr::Hidden);
    EXPECT_FALSE(path.GetAttributes() & FileAttr::Folder);
    EXPECT_GT(path.GetLastWriteTime(), 1'600'000'000LL * 1'000'000'000LL);
    EXPECT_TRUE(path.IsFolder()) << "its folder exists";

    ::chmod(file.c_str(), 0444);
    ASSERT_TRUE(path.Exists());
    EXPECT_TRUE(path.GetAttributes() & FileAttr::ReadOnly);

    CFilePath folder(m_root + "/", false);
    ASSERT_TRUE(folder.Exists()) << "a trailing separator is ignored";
    EXPECT_EQ(folder.GetAttributes(), FileAttr::Folder);
    EXPECT_EQ(folder.GetSize(), 0u);

    CFilePath root("/", true);
    EXPECT_TRUE(root.Exists());
    EXPECT_TRUE(root.IsFolder());

    CFilePath missing(m_root + "/nothing.jpg");
    EXPECT_FALSE(missing.Exists());
    EXPECT_EQ(missing.GetAttributes(), 0u);
    EXPECT_FALSE(CFilePath(m_root + "/no/such/x.jpg").IsFolder());
    EXPECT_FALSE(CFilePath().Exists());
}

TEST_F(FilePathDisk, CreateFolderMakesEveryLevel)
{
    CFilePath folder(m_root + "/Pictures//Pixsalvo/Tmp", true);
    ASSERT_TRUE(folder.CreateFolder()) << folder.GetError();
    EXPECT_TRUE(std::filesystem::is_directory(m_root + "/Pictures/Pixsalvo/Tmp"));
    EXPECT_TRUE(folder.CreateFolder()) << "an existing folder succeeds";

    // For a file path the folder part is made.
    CFilePath file(m_root + "/out/run/IMAGE_000.JPG");
    ASSERT_TRUE(file.CreateFolder());
    EXPECT_TRUE(std::filesystem::is_directory(m_root + "/out/run"));
    EXPECT_FALSE(std::filesystem::exists(m_root + "/out/run/IMAGE_000.JPG"));

    // A file in the way of a level fails with a reason.
    std::ofstream(m_root + "/blocker") << "x";
    CFilePath blocked(m_root + "/blocker/sub", true);
    EXPECT_FALSE(blocked.CreateFolder());
    EXPECT_NE(blocked.GetError().find("blocker"), std::string::npos);

    // No permission.
    ::chmod(m_root.c_str(), 0555);
    CFilePath denied(m_root + "/denied/x", true);
    const bool made = denied.CreateFolder();
    ::chmod(m_root.c_str(), 0755);
    if (::geteuid() != 0) {  // root writes anywhere
        EXPECT_FALSE(made);
    }

    // A relative folder has no root to start from.
    CFilePath relative("relative/folder", true);
    EXPECT_FALSE(relative.CreateFolder());
    EXPECT_FALSE(std::filesystem::exists("/relative"));
}

TEST_F(FilePathDisk, SetFromFind)
{
    std::filesystem::create_directory(m_root + "/sub");
    std::ofstream(m_root + "/IMAGE_001.NEF") << std::string(1234, 'n');
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_root)) {
        CFilePath path;
        path.m_nData2 = 99;
        path.SetFromFind(entry);
        EXPECT_EQ(path.m_nData2, 0) << "SetFromFind starts from Reset";
        if (entry.path().filename() == "sub") {
            EXPECT_EQ(path.GetText(), m_root + "/sub/");
            EXPECT_EQ(path.GetFolderText(), m_root + "/sub/");
            EXPECT_EQ(path.GetName(), "");
            EXPECT_EQ(path.GetAttributes(), FileAttr::Folder);
            ++seen;
        } else {
            EXPECT_EQ(path.GetText(), m_root + "/IMAGE_001.NEF");
            EXPECT_EQ(path.GetName(), "IMAGE_001");
            EXPECT_EQ(path.GetExtension(), "NEF");
            EXPECT_EQ(path.GetSize(), 1234u);
            EXPECT_EQ(path.GetAttributes(), FileAttr::Normal);
            EXPECT_NE(path.GetLastWriteTime(), 0);
            ++seen;
        }
    }
    EXPECT_EQ(seen, 2);
}

TEST_F(FilePathDisk, SameFileSystem)
{
    std::filesystem::create_directory(m_root + "/a");
    // A target that does not exist yet is judged by its nearest existing parent.
    EXPECT_TRUE(CFilePath::IsSameFileSystem(m_root + "/a", m_root + "/not/yet/made/"));
    // /proc is always a file system of its own.
    EXPECT_FALSE(CFilePath::IsSameFileSystem(m_root + "/a", "/proc/self"));
    EXPECT_FALSE(CFilePath::IsSameFileSystem("", m_root));
}
