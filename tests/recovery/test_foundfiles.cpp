// Saving and discarding through the card document: one rename on the same file system,
// file by file to another one, and an empty list that touches nothing.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "device/cdrivedoc.h"
#include "recovery/cfoundfiles.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;
using px::test::TempHome;

namespace {

class DocumentSave : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto list = std::make_unique<CFoundFiles>();
        list->Thumbs().SetMakeThumbnails(false);
        found = list.get();
        doc.SetFoundList(std::move(list));
        run = home.File("work/26_12_07_ 10_11_12");
        fs::create_directories(run);
        for (const char* name : {"IMAGE_000.JPG", "IMAGE_001.JPG", "movie(1).mov"}) {
            ASSERT_TRUE(px::test::WriteFile(run + "/" + name, {1, 2, 3}));
            found->AddFile(run + "/" + name);
        }
        doc.Status().RunFolder.SetPath(run + "/", true);
        doc.Settings().FilePrefix = "Trip";
    }
    static ino_t Inode(const std::string& path)
    {
        struct stat st{};
        return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    }
    TempHome home;
    CDriveDoc doc;
    CFoundFiles* found = nullptr;
    std::string run;
};

TEST_F(DocumentSave, SameFileSystemMovesTheRunFolderWithOneRename)
{
    const ino_t folder = Inode(run);
    found->Thumbs().GetAt(1)->SetFlags(0);   // not kept
    doc.Settings().SaveFolder.SetPath(home.File("saved/"), true);
    fs::create_directories(home.File("saved"));
    ASSERT_TRUE(doc.SaveFoundFiles(doc.Settings().FilePrefix)) << doc.GetError();
    const std::string target = home.File("saved/26_12_07_ 10_11_12");
    EXPECT_EQ(Inode(target), folder);   // the same folder, renamed
    EXPECT_TRUE(fs::exists(target + "/Trip_000.JPG"));
    EXPECT_FALSE(fs::exists(target + "/IMAGE_001.JPG"));
    EXPECT_TRUE(fs::exists(target + "/Trip_002.mov"));
    EXPECT_FALSE(fs::exists(run));
    EXPECT_EQ(found->GetCount(), 0u);
    EXPECT_TRUE(doc.IsSaved());
    // A new job clears the saved mark.
    CTransferStatus started;
    started.Send(StatusKind::JobStarted, JobScope::Recovery);
    EXPECT_FALSE(doc.IsSaved());
}

TEST_F(DocumentSave, AnotherFileSystemMovesFileByFile)
{
    char pattern[] = "/dev/shm/px3docsave.XXXXXX";
    const char* made = ::mkdtemp(pattern);
    ASSERT_NE(made, nullptr);
    const std::string other = made;
    ASSERT_FALSE(CFilePath::IsSameFileSystem(home.Path(), other)) << "/dev/shm is no second file system here";
    doc.Settings().SaveFolder.SetPath(other + "/", true);
    const bool saved = doc.SaveFoundFiles(doc.Settings().FilePrefix);
    EXPECT_TRUE(saved) << doc.GetError();
    // The files land where one rename would have put them.
    const std::string target = other + "/26_12_07_ 10_11_12";
    EXPECT_TRUE(fs::exists(target + "/Trip_000.JPG"));
    EXPECT_TRUE(fs::exists(target + "/Trip_001.JPG"));
    EXPECT_TRUE(fs::exists(target + "/Trip_002.mov"));
    EXPECT_FALSE(fs::exists(run));
    std::error_code ec;
    fs::remove_all(other, ec);
}

TEST_F(DocumentSave, NoSaveFolderIsAnErrorAndMissingOneIsMade)
{
    doc.Settings().SaveFolder.Reset();
    EXPECT_FALSE(doc.SaveFoundFiles(doc.Settings().FilePrefix));
    EXPECT_EQ(doc.GetError(), "No save folder is chosen");
    EXPECT_TRUE(fs::exists(run + "/IMAGE_000.JPG"));   // nothing renamed, nothing moved
    EXPECT_EQ(found->GetCount(), 3u);
    doc.Settings().SaveFolder.SetPath(home.File("new/deeper/"), true);
    ASSERT_TRUE(doc.SaveFoundFiles(doc.Settings().FilePrefix)) << doc.GetError();
    EXPECT_TRUE(fs::exists(home.File("new/deeper/26_12_07_ 10_11_12/Trip_000.JPG")));
}

TEST_F(DocumentSave, EmptyListSavesNothingAndCleanRemovesTheRun)
{
    CDriveDoc empty;
    empty.SetFoundList(std::make_unique<CFoundFiles>());
    empty.Settings().SaveFolder.SetPath(home.File("nowhere/"), true);
    EXPECT_TRUE(empty.SaveFoundFiles("Trip"));
    EXPECT_FALSE(fs::exists(home.File("nowhere")));

    ASSERT_TRUE(px::test::WriteFile(home.File("work/keep-me.txt"), {9}));   // not the run's
    doc.CleanFoundFiles();
    EXPECT_FALSE(fs::exists(run));
    EXPECT_TRUE(fs::exists(home.File("work/keep-me.txt")));
    EXPECT_EQ(found->GetCount(), 0u);
}

}  // namespace
