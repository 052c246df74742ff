// Saving and discarding found files: the rename pass by list place, prefixes, taken names,
// cancel; the discard; folder moves on one file system and across two (a tmpfs), the
// error limit, cancel and refused target folders; counting files; the copy's target.
#include <gtest/gtest.h>

#include <sys/stat.h>


#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <vector>

#include "jobs/cmsg.h"
#include "platform/messagepump.h"
#include "recovery/cfoundfiles.h"
#include "recovery/csaveimages.h"
#include "recovery/ctransfer.h"
#include "app/ctransferstatus.h"
#include "device/cdrivedoc.h"
#include "support/fixtures.h"

using px::test::FileSizeLimit;
using px::test::TempHome;
namespace fs = std::filesystem;

namespace {

void Put(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

std::string Get(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::set<std::string> Names(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// A run folder holding the files (each file's text is its own name), listed in order.
std::string MakeRun(CFoundFiles& found, const std::string& folder, const std::vector<std::string>& files)
{
    fs::create_directories(folder);
    for (const std::string& name : files) {
        Put(folder + "/" + name, name);
        found.AddFile(folder + "/" + name);
    }
    found.Thumbs().WaitForThumbnails(10000);
    return folder;
}

// Records what the bus carries.
struct Recorder : CListener {
    struct Seen {
        int32_t Code, Kind, Value1, Value2, Scope;
        std::string Error;
    };
    std::vector<Seen> Msgs;
    Recorder() { Bus().AddListener("Recorder", this); }
    ~Recorder() override { Bus().RemoveListener(this); }
    void OnMessage(CSingleMsg& m) override
    {
        std::string error;
        if (auto* status = dynamic_cast<CTransferStatus*>(m.Attached))
            error = status->ErrorText;
        Msgs.push_back({m.Code, m.Kind, m.Value1.ToInt(), m.Value2.ToInt(), m.Scope.ToInt(), error});
    }
};

// Sets the message pump for a test and removes it afterwards.
struct Pump {
    explicit Pump(std::function<void()> pump) { px::SetMessagePump(std::move(pump)); }
    ~Pump() { px::SetMessagePump({}); }
};

void SendCancel() { CMsgSend cancel(MsgCode::Cancel, CVariant(1)); }

dev_t DeviceOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_dev : dev_t(0);
}

// A folder on another file system than the temporary HOME: /dev/shm is a tmpfs.
struct OtherFileSystem {
    std::string Path;
    explicit OtherFileSystem(const TempHome& home)
    {
        char pattern[] = "/dev/shm/px3save.XXXXXX";
        const char* made = ::mkdtemp(pattern);
        EXPECT_NE(made, nullptr) << "cannot make a folder in /dev/shm";
        Path = made ? made : "";
        EXPECT_NE(DeviceOf(Path), DeviceOf(home.Path()))
            << "/dev/shm lies on the file system of " << home.Path() << ": no second file system to move to";
    }
    ~OtherFileSystem()
    {
        std::error_code ec;
        if (!Path.empty())
            fs::remove_all(Path, ec);
    }
};

}  // namespace

TEST(SaveImages, RenamesKeptFilesByListPlaceAndDeletesTheOthers)
{
    TempHome home;
    CFoundFiles found;
    const std::string run =
        MakeRun(found, home.File("run"), {"IMAGE_000.JPG", "IMAGE_001.NEF", "IMAGE_002.JPG", "movie(1).mov"});
    found.Thumbs().GetAt(1)->SetKept(false);
    found.Thumbs().GetAt(3)->SetKept(false);

    Recorder bus;
    std::string error;
    ASSERT_TRUE(found.SaveKept("Recovered_Mar_15_2009", error)) << error;
    EXPECT_EQ(Names(run), (std::set<std::string>{"Recovered_Mar_15_2009_000.JPG", "Recovered_Mar_15_2009_002.JPG"}));
    EXPECT_EQ(Get(run + "/Recovered_Mar_15_2009_002.JPG"), "IMAGE_002.JPG");
    EXPECT_EQ(found.Thumbs().GetAt(2)->GetText(), run + "/Recovered_Mar_15_2009_002.JPG");
    EXPECT_EQ(found.GetCount(), 4u);

    // JobStarted; show, range 0..4, a position per entry, finished (scope 9); JobFinished.
    std::vector<std::vector<int32_t>> want = {{9, 0, 0, 0}, {16, 2, 1, 9}, {16, 7, 0, 9}, {16, 6, 1, 9},
                                              {16, 6, 2, 9}, {16, 6, 3, 9}, {16, 6, 4, 9}, {16, 3, 0, 9}, {10, 0, 0, 0}};
    ASSERT_EQ(bus.Msgs.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ((std::vector<int32_t>{bus.Msgs[i].Code, bus.Msgs[i].Kind, bus.Msgs[i].Value1, bus.Msgs[i].Scope}), want[i])
            << "message " << i;
    EXPECT_EQ(bus.Msgs[2].Value2, 4);
}

TEST(SaveImages, PrefixOfBlanksBecomesFileAndSlashesStayInTheFolder)
{
    TempHome home;
    CFoundFiles found;
    const std::string run = MakeRun(found, home.File("run"), {"IMAGE_000.JPG", "IMAGE_001.CR2"});
    std::string error;
    ASSERT_TRUE(found.SaveKept("   ", error)) << error;
    EXPECT_EQ(Names(run), (std::set<std::string>{"FILE_000.JPG", "FILE_001.CR2"}));

    CFoundFiles other;
    const std::string run2 = MakeRun(other, home.File("run2"), {"IMAGE_000.JPG"});
    ASSERT_TRUE(other.SaveKept(" ../Trip ", error)) << error;
    EXPECT_EQ(Names(run2), (std::set<std::string>{".._Trip_000.JPG"}));
}

TEST(SaveImages, TakenNameIsNotOverwritten)
{
    // With the prefix IMAGE, entry 1 (IMAGE_000.JPG) would become IMAGE_001.JPG, the file
    // of entry 2 that is not renamed yet.
    TempHome home;
    CFoundFiles found;
    const std::string run = MakeRun(found, home.File("run"), {"movie(1).mov", "IMAGE_000.JPG", "IMAGE_001.JPG"});
    std::string error;
    ASSERT_TRUE(found.SaveKept("IMAGE", error)) << error;
    EXPECT_EQ(Names(run), (std::set<std::string>{"IMAGE_000.mov", "IMAGE_001(1).JPG", "IMAGE_002.JPG"}));
    EXPECT_EQ(Get(run + "/IMAGE_001(1).JPG"), "IMAGE_000.JPG");
    EXPECT_EQ(Get(run + "/IMAGE_002.JPG"), "IMAGE_001.JPG");
    EXPECT_EQ(found.Thumbs().GetAt(1)->GetText(), run + "/IMAGE_001(1).JPG");
}

TEST(SaveImages, CancelLeavesEveryFileUnderItsCarvedOrItsNewName)
{
    TempHome home;
    CFoundFiles found;
    std::vector<std::string> carved;
    for (int i = 0; i < 6; ++i)
        carved.push_back("IMAGE_00" + std::to_string(i) + ".JPG");
    const std::string run = MakeRun(found, home.File("run"), carved);
    found.Thumbs().GetAt(1)->SetKept(false);
    found.Thumbs().GetAt(4)->SetKept(false);

    int pumps = 0;
    Pump pump([&] {
        if (++pumps == 2)
            SendCancel();  // reaches the pass after entry 1; entry 2 is the last handled
    });
    Recorder bus;
    std::string error;
    EXPECT_FALSE(found.SaveKept("Trip", error));
    EXPECT_EQ(error, "Canceled by user");
    EXPECT_EQ(Names(run), (std::set<std::string>{"Trip_000.JPG", "Trip_002.JPG", "IMAGE_003.JPG", "IMAGE_004.JPG",
                                                 "IMAGE_005.JPG"}));
    EXPECT_EQ(found.GetCount(), 6u);
    ASSERT_GE(bus.Msgs.size(), 2u);
    EXPECT_EQ(bus.Msgs[bus.Msgs.size() - 2].Kind, ProgressStep::Finished);
    EXPECT_EQ(bus.Msgs.back().Code, MsgCode::JobFinished);
}

TEST(CleanImages, DeletesOnlyListedFilesAndAnEmptyRunFolder)
{
    TempHome home;
    CFoundFiles found;
    const std::string run = MakeRun(found, home.File("run"), {"IMAGE_000.JPG", "IMAGE_001.JPG"});
    Put(run + "/notes.txt", "mine");
    std::string error;
    EXPECT_TRUE(found.CleanAll(error)) << error;
    EXPECT_EQ(Names(run), (std::set<std::string>{"notes.txt"}));

    CFoundFiles second;
    const std::string run2 = MakeRun(second, home.File("run2"), {"IMAGE_000.JPG", "IMAGE_001.JPG"});
    fs::remove(run2 + "/IMAGE_001.JPG");  // a file already gone is no failure
    EXPECT_TRUE(second.CleanAll(error)) << error;
    EXPECT_FALSE(fs::exists(run2));

    CFoundFiles third;
    const std::string run3 = MakeRun(third, home.File("run3"), {"IMAGE_000.JPG", "IMAGE_001.JPG", "IMAGE_002.JPG"});
    Pump pump(SendCancel);  // after the first file: the second is the last deleted
    EXPECT_FALSE(third.CleanAll(error));
    EXPECT_EQ(error, "Canceled by user");
    EXPECT_EQ(Names(run3), (std::set<std::string>{"IMAGE_002.JPG"}));
}

TEST(Transfer, MovesFolderOnOneFileSystemAndAcrossTwo)
{
    TempHome home;
    OtherFileSystem other(home);
    ASSERT_FALSE(HasFailure());
    for (const std::string& dest : {home.File("dest"), other.Path + "/dest"}) {
        SCOPED_TRACE(dest);
        CFoundFiles found;
        const std::string run = MakeRun(found, home.File("09_03_15_ 14_05_09"), {"A_000.JPG", "A_001.NEF"});
        fs::create_directories(run + "/sub");
        Put(run + "/sub/inner.txt", "inner");
        fs::create_directories(dest);
        // A name the target already holds is not replaced: that file stays in the source.
        fs::create_directories(dest + "/09_03_15_ 14_05_09");
        Put(dest + "/09_03_15_ 14_05_09/A_001.NEF", "older");

        Recorder bus;
        std::string error;
        EXPECT_FALSE(found.MoveFolder(run, dest, error));
        EXPECT_EQ(error, "Unknown error ==> File exists; the files not moved are still in " + run);
        const std::string out = dest + "/09_03_15_ 14_05_09";
        EXPECT_EQ(Names(out), (std::set<std::string>{"A_000.JPG", "A_001.NEF", "sub"}));
        EXPECT_EQ(Get(out + "/A_000.JPG"), "A_000.JPG");
        EXPECT_EQ(Get(out + "/A_001.NEF"), "older");
        EXPECT_EQ(Get(out + "/sub/inner.txt"), "inner");
        EXPECT_EQ(Names(run), (std::set<std::string>{"A_001.NEF", "sub"}));
        EXPECT_EQ(Get(run + "/A_001.NEF"), "A_001.NEF");
        EXPECT_TRUE(fs::is_empty(run + "/sub"));
        // JobStarted, show and range 0..3 with scope 10, positions 0, 1, 2, finished, JobFinished.
        ASSERT_EQ(bus.Msgs.size(), 8u);
        EXPECT_EQ(bus.Msgs[2].Kind, ProgressStep::Range);
        EXPECT_EQ(bus.Msgs[2].Value2, 3);
        EXPECT_EQ(bus.Msgs[2].Scope, JobScope::Transfer);
        EXPECT_EQ(bus.Msgs.back().Code, MsgCode::JobFinished);

        fs::remove(out + "/A_001.NEF");
        EXPECT_TRUE(found.MoveFolder(run, dest, error)) << error;
        EXPECT_EQ(Get(out + "/A_001.NEF"), "A_001.NEF");
        EXPECT_FALSE(fs::exists(run + "/A_001.NEF"));
        fs::remove_all(run);
    }
}

TEST(Transfer, FailedCopyAcrossFileSystemsKeepsTheSource)
{
    // A file size limit makes the copy's writes fail (EFBIG) part way through the file.
    TempHome home;
    OtherFileSystem other(home);
    ASSERT_FALSE(HasFailure());
    const std::string run = home.File("run");
    fs::create_directories(run);
    Put(run + "/big.JPG", std::string(100000, 'x'));
    Put(run + "/small.JPG", "small");

    CMoveTransfer move;
    bool ok = false;
    {
        FileSizeLimit limit(50000);
        ok = move.Transfer(run, other.Path);
    }

    EXPECT_FALSE(ok);
    EXPECT_EQ(move.GetError(), "Unknown error ==> File too large; the files not moved are still in " + run);
    EXPECT_EQ(move.GetFilesDone(), 1);
    EXPECT_EQ(Names(run), std::set<std::string>{"big.JPG"});
    EXPECT_EQ(Get(run + "/big.JPG"), std::string(100000, 'x'));
    // Neither the target name nor a partial copy is left behind.
    EXPECT_EQ(Names(other.Path + "/run"), std::set<std::string>{"small.JPG"});

    // A copy that fails names the file and the cause too (the cause was only in the log).
    fs::create_directories(home.File("copies"));
    CTransfer copy;
    bool copied = false;
    {
        FileSizeLimit limit(50000);
        copied = copy.Transfer(run, home.File("copies"));
    }
    EXPECT_FALSE(copied);
    EXPECT_EQ(copy.GetError(), "Copy file error ==> big.JPG: File too large; the files not copied are still in " + run);
    EXPECT_TRUE(fs::is_empty(home.File("copies/run")));
}

// A name of 254 bytes is legal: its copy and its move across file systems must not need a
// longer temporary name.
TEST(Transfer, LongestNamesAreCopiedAndMoved)
{
    TempHome home;
    OtherFileSystem other(home);
    ASSERT_FALSE(HasFailure());
    const std::string name = std::string(250, 'n') + ".JPG";
    const std::string run = home.File("run");
    fs::create_directories(run);
    Put(run + "/" + name, "long");
    CTransfer copy;
    fs::create_directories(home.File("copies"));
    EXPECT_TRUE(copy.Transfer(run, home.File("copies"))) << copy.GetError();
    EXPECT_EQ(Get(home.File("copies/run/") + name), "long");
    CMoveTransfer move;
    EXPECT_TRUE(move.Transfer(run, other.Path)) << move.GetError();
    EXPECT_EQ(Names(other.Path + "/run"), std::set<std::string>{name});
    EXPECT_EQ(Get(other.Path + "/run/" + name), "long");
    EXPECT_TRUE(fs::is_empty(run));
}

TEST(Transfer, TwentyFirstFailedFileStopsTheTransfer)
{
    TempHome home;
    OtherFileSystem other(home);
    ASSERT_FALSE(HasFailure());
    const std::string run = home.File("run");
    fs::create_directories(run);
    fs::create_directories(other.Path + "/run");
    for (int i = 0; i < 25; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IMAGE_%03d.JPG", i);
        Put(run + "/" + name, name);
        // A folder under the target name makes the file fail.
        fs::create_directories(other.Path + "/run/" + name);
    }
    CMoveTransfer move;
    try {
        move.Transfer(run, other.Path);
        ADD_FAILURE() << "the transfer went to its end";
    } catch (const CTransferException& stop) {
        EXPECT_EQ(stop.GetCode(), TransferError::TooManyErrors);
        // The program's own text, then the cause and where the files are.
        EXPECT_EQ(stop.GetText(),
                  "Too mach errors ==> 21 files failed, the last: File exists; the files not moved are still in " + run);
    }
    EXPECT_EQ(move.GetErrorCount(), 21);
    EXPECT_EQ(move.GetFileNumber(), 21);
    EXPECT_EQ(CTransfer::CountFiles(run).Files, 25);

    CFoundFiles found;
    std::string error;
    EXPECT_FALSE(found.MoveFolder(run, other.Path, error));
    EXPECT_EQ(error, "Too mach errors ==> 21 files failed, the last: File exists; the files not moved are still in " + run);
}

TEST(Transfer, CancelAbortsBeforeTheNextFile)
{
    TempHome home;
    const std::string run = home.File("run");
    fs::create_directories(run);
    for (const char* name : {"a.JPG", "b.JPG", "c.JPG"})
        Put(run + "/" + name, name);
    fs::create_directories(home.File("dest"));
    Pump pump(SendCancel);
    Recorder bus;
    CMoveTransfer move;
    try {
        move.Transfer(run, home.File("dest"));
        ADD_FAILURE() << "the transfer went to its end";
    } catch (const CTransferException& stop) {
        EXPECT_EQ(stop.GetCode(), TransferError::Aborted);
        EXPECT_EQ(stop.GetText(), "Aborted by user");
    }
    EXPECT_EQ(move.GetFilesDone(), 1);
    EXPECT_EQ(CTransfer::CountFiles(run).Files, 2);
    ASSERT_GE(bus.Msgs.size(), 2u);
    const auto& status = bus.Msgs[bus.Msgs.size() - 2];
    EXPECT_EQ(status.Code, MsgCode::TransferStatus);
    EXPECT_EQ(status.Error, "Aborted by user");
    EXPECT_EQ(bus.Msgs.back().Code, MsgCode::JobFinished);
}

TEST(Transfer, RefusesTargetFolderItCannotMakeOrInsideTheSource)
{
    TempHome home;
    const std::string run = home.File("run");
    fs::create_directories(run + "/x");
    Put(run + "/a.JPG", "a");
    CTransfer copy;
    EXPECT_FALSE(copy.Transfer(run, home.File("missing/dest")));
    EXPECT_EQ(copy.GetError(), "Cannot create dest folder ==> " + home.File("missing/dest/run"));

    CTransfer inside;
    EXPECT_FALSE(inside.Transfer(run, run + "/x"));
    EXPECT_EQ(inside.GetError(), "Cannot create dest folder ==> " + run + "/x/run");
    EXPECT_EQ(Names(run + "/x"), std::set<std::string>{});
}

TEST(Transfer, CountFilesCountsFilesInSubfoldersButNotFolders)
{
    TempHome home;
    const std::string top = home.File("top");
    fs::create_directories(top + "/a/b/c");
    fs::create_directories(top + "/empty");
    Put(top + "/1.JPG", "12345");
    Put(top + "/a/2.JPG", "12");
    Put(top + "/a/b/c/3.JPG", "123");
    const CFileTotals totals = CTransfer::CountFiles(top);
    EXPECT_EQ(totals.Files, 3);
    EXPECT_EQ(totals.Bytes, 10u);
    EXPECT_EQ(CTransfer::CountFiles(home.File("nothing")).Files, 0);
}

TEST(Transfer, CopyTargetThatNamesAFileIsUsedUnchanged)
{
    TempHome home;
    Put(home.File("new.JPG"), "new");
    Put(home.File("old.JPG"), "old");
    fs::create_directories(home.File("folder"));
    CTransfer copy;
    EXPECT_TRUE(copy.TransferFile(home.File("new.JPG"), home.File("old.JPG")));
    EXPECT_TRUE(copy.TransferFile(home.File("new.JPG"), home.File("folder")));
    EXPECT_EQ(copy.GetFilesDone(), 2);
    EXPECT_EQ(Get(home.File("old.JPG")), "new");
    EXPECT_EQ(Get(home.File("folder/new.JPG")), "new");
    EXPECT_EQ(Names(home.Path()).count("old.JPG"), 1u);
    EXPECT_FALSE(fs::exists(home.File("old.JPG/new.JPG")));
    EXPECT_EQ(Names(home.File("folder")), std::set<std::string>{"new.JPG"});
    EXPECT_EQ(Get(home.File("new.JPG")), "new");  // a copy keeps its source
}

// A save that fills the disk part way, then its retry into the same save folder: the
// retry takes "<run>_2" (the rename pass gives its names again, which the first folder
// may hold), the first folder keeps what it received, and every file is saved whole.
TEST(Transfer, ARetriedSaveTakesTheNextFreeFolder)
{
    TempHome home;
    OtherFileSystem other(home);
    ASSERT_FALSE(HasFailure());
    CDriveDoc doc;
    doc.SetFoundList(std::make_unique<CFoundFiles>());
    auto& found = static_cast<CFoundFiles&>(*doc.FoundList());
    const std::string run = home.File("26_01_02_ 03_04_05");
    fs::create_directories(run);
    for (const char* name : {"a.JPG", "b.JPG"})
        Put(run + "/" + name, std::string(name[0] == 'a' ? 1000 : 100000, name[0]));
    found.AddFile(run + "/a.JPG");
    found.AddFile(run + "/b.JPG");
    found.Thumbs().WaitForThumbnails(10000);
    doc.Status().RunFolder.SetPath(run + "/", true);
    doc.Settings().SaveFolder.SetPath(other.Path + "/", true);

    bool first = true;
    {
        FileSizeLimit limit(50000);
        first = doc.SaveFoundFiles(doc.Settings().FilePrefix);
    }
    EXPECT_FALSE(first);
    EXPECT_NE(doc.GetError().find("File too large; the files not moved are still in " + run), std::string::npos)
        << doc.GetError();
    const std::string target = other.Path + "/26_01_02_ 03_04_05";
    EXPECT_EQ(CTransfer::CountFiles(target).Bytes, 1000u);

    for (const auto& entry : fs::directory_iterator(run))
        found.AddFile(entry.path().string());
    ASSERT_TRUE(doc.SaveFoundFiles(doc.Settings().FilePrefix)) << doc.GetError();
    EXPECT_EQ(doc.SaveTarget(), target + "_2");
    EXPECT_EQ(CTransfer::CountFiles(target).Bytes, 1000u);
    EXPECT_EQ(CTransfer::CountFiles(target + "_2").Bytes, 100000u);
    EXPECT_FALSE(fs::exists(run));
    EXPECT_FALSE(fs::exists(run + "_2"));
}
