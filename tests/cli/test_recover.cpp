// px3 recover and px3 settings as a user runs them: results, the log, Ctrl-C, a full disk,
// saves of the same second.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <sys/stat.h>

#include "support/fixtures.h"

namespace fs = std::filesystem;
using px::test::Quote;
using px::test::TempHome;

namespace {

int Sh(const std::string& command, std::string* out) { return px::test::Run(command, out); }
std::string Px3(const std::string& args) { return std::string(PX3_EXE) + " " + args + " 2>&1"; }

class CliRecover : public ::testing::Test {
protected:
    void SetUp() override { px::test::MakeDemoCard(card, 24, "--pictures 2"); }
    TempHome home;
    std::string card = home.File("card.img");
};

TEST_F(CliRecover, RecoversIntoARunFolderAndLogs)
{
    std::string out;
    ASSERT_EQ(Sh(Px3("--card E=" + Quote(card) + " recover E --types jpg,mov,wav"), &out), 0) << out;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(out, match, std::regex("Run folder: (.*)\n"))) << out;
    const std::string folder = match[1];
    EXPECT_EQ(folder.rfind(home.File("Pictures/Pixsalvo/Tmp/"), 0), 0u) << folder;
    EXPECT_TRUE(fs::exists(folder + "IMAGE_000.JPG")) << out;
    EXPECT_TRUE(fs::exists(folder + "movie(1).mov")) << out;
    EXPECT_NE(out.find("Files found: 4  jpg 2  movie 1  wav 1"), std::string::npos) << out;
    EXPECT_NE(out.find("Finished"), std::string::npos);

    // The log: start, OS line, the run folder, the exit line and an empty line, in the
    // documents folder of this HOME and nowhere else.
    std::ifstream log(home.File("Documents/PX3Log.txt"));
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.rfind("==Start App : '", 0), 0u) << text;
    EXPECT_NE(text.find("\n=OS=       :   "), std::string::npos) << text;
    EXPECT_NE(text.find("ConectToDestination ==> " + folder), std::string::npos) << text;
    EXPECT_NE(text.find("\n==Exit App : '"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("\n\n") || text.ends_with("\r\n\r\n")) << text;

    EXPECT_EQ(Sh(Px3("--card E=" + Quote(card) + " recover E --types bogus"), &out), 2);
    EXPECT_NE(out.find("unknown file type 'bogus'"), std::string::npos) << out;
    EXPECT_EQ(Sh(Px3("--card E=" + Quote(card + ",empty") + " recover E"), &out), 2);
    EXPECT_NE(out.find("there is no card in the reader at E:"), std::string::npos) << out;
}

TEST_F(CliRecover, InterruptCancelsThroughTheBus)
{
    std::string out;
    // A slow reader (4 MB/s: six seconds for the card) gives the signal time to arrive
    // mid-scan.
    const std::string cmd = "(" + std::string(PX3_EXE) + " --card E=" + Quote(card + ",rate=4") +
                            " recover E --types all 2>&1 & pid=$!; sleep 1.5; kill -INT $pid; wait $pid; echo exit=$?)";
    Sh(cmd, &out);
    EXPECT_NE(out.find("px3: Canceled by user"), std::string::npos) << out;
    EXPECT_NE(out.find("exit=130"), std::string::npos) << out;
}

// Scripts tell a clean run from one with unreadable blocks, and from a card that shrank.
TEST_F(CliRecover, UnreadableBlocksAndAShrinkingCardDoNotExitZero)
{
    std::string out;
    EXPECT_EQ(Sh(Px3("--card E=" + Quote(card + ",bad=3000-3009") + " recover E --types all"), &out), 3) << out;
    EXPECT_NE(out.find("px3: 10 blocks of the card could not be read"), std::string::npos) << out;
    EXPECT_NE(out.find("\nCould not read: 5.0 KB\n"), std::string::npos) << out;
    EXPECT_EQ(Sh(Px3("--card E=" + Quote(card + ",bad=0-49151") + " recover E --types all"), &out), 3) << out;
    EXPECT_NE(out.find("Files found: 0"), std::string::npos) << out;
    EXPECT_NE(out.find("\nCould not read: 24.0 MB\n"), std::string::npos) << out;

    const std::string cmd = "(" + std::string(PX3_EXE) + " --card E=" + Quote(card + ",rate=4") +
                            " recover E --types all 2>&1 & pid=$!; sleep 1; truncate -s 1M " + Quote(card) +
                            "; wait $pid; echo exit=$?)";
    Sh(cmd, &out);
    EXPECT_NE(out.find("px3: The card is smaller than when the run started"), std::string::npos) << out;
    EXPECT_NE(out.find("exit=1\n"), std::string::npos) << out;

    // A card that cannot be opened (no blocks) leaves no empty run folder behind.
    const std::string work = home.File("zero-work");
    const std::string zero = home.File("zero.img");
    { std::ofstream empty(zero); }
    EXPECT_NE(Sh(Px3("--card E=" + Quote(zero) + " recover E --work " + Quote(work)), &out), 0) << out;
    std::error_code ec;
    EXPECT_TRUE(!fs::exists(work, ec) || fs::is_empty(work, ec)) << "a refused run left a folder in " << work;
}

TEST_F(CliRecover, AFullDiskEndsTheRunWithTheError)
{
    std::string out;
    // Files may not grow beyond 64 KiB: the first larger picture cannot be written whole.
    const int rc = Sh("ulimit -f 64; " + Px3("--card E=" + Quote(card) + " recover E --types all"), &out);
    EXPECT_EQ(rc, 1) << out;
    EXPECT_NE(out.find("File too large"), std::string::npos) << out;
    EXPECT_EQ(out.find("Finished"), std::string::npos) << out;
}

TEST_F(CliRecover, SavesTheKeptFilesUnderThePrefix)
{
    std::string out;
    const std::string save = home.File("Trip");
    ASSERT_EQ(Sh(Px3("--card E=" + Quote(card) + " recover E --types all --save " + Quote(save) +
                     " --prefix Holiday --keep jpg,mov --names prefix"),
                 &out),
              0)
        << out;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(out, match, std::regex("Saved into: (.*)\n"))) << out;
    const std::string folder = match[1];
    EXPECT_EQ(folder.rfind(save + "/", 0), 0u) << folder;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    // Two pictures and the movie, numbered by their place in the found list.
    ASSERT_EQ(names.size(), 3u) << out;
    for (const std::string& name : names)
        EXPECT_EQ(name.rfind("Holiday_", 0), 0u) << name;
    EXPECT_TRUE(names[2].ends_with(".mov")) << names[2];
    // Nothing is left behind in the work folder.
    for (const auto& entry : fs::directory_iterator(home.File("Pictures/Pixsalvo/Tmp")))
        ADD_FAILURE() << "left in the work folder: " << entry.path();

    EXPECT_EQ(Sh(Px3("--card E=" + Quote(card) + " recover E --keep jpg"), &out), 2);
    EXPECT_NE(out.find("--prefix, --keep and --names go with --save FOLDER"), std::string::npos) << out;
}

// A card that lived like a camera's, every file deleted: the files come back under the
// names the card's directory still holds, with their bytes, and with the moment they were
// shot as their modification time.
TEST(CliNames, SavesUnderTheCameraNamesWithTheShotTimes)
{
    TempHome home;
    const std::string dir = home.File("life");
    std::string out;
    ASSERT_EQ(Sh(std::string(PX3_SOURCE_DIR) + "/tests/support/make-camera-life-card --cache " +
                     Quote(std::string(PX3_BINARY_DIR) + "/fixture-cache") + " --fs exfat --seed 8 " + Quote(dir),
                 &out),
              0)
        << out;
    const std::string save = home.File("Saved");
    ASSERT_EQ(Sh("TZ=UTC " + Px3("--card E=" + Quote(dir + "/card.img") + " recover E --types all --save " +
                                 Quote(save)),
                 &out),
              0)
        << out;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(out, match, std::regex("Saved into: (.*)\n"))) << out;
    const std::string folder = match[1];
    std::ifstream manifest(dir + "/manifest.tsv");
    std::string line;
    size_t originals = 0, exact = 0;
    std::string misses;
    while (std::getline(manifest, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> field;
        std::stringstream fields(line);
        for (std::string f; std::getline(fields, f, '\t');)
            field.push_back(f);
        ++originals;
        const std::string saved = folder + "/" + field[0];
        std::ifstream a(saved, std::ios::binary), b(dir + "/originals/" + field[0], std::ios::binary);
        const std::string got((std::istreambuf_iterator<char>(a)), {}), want((std::istreambuf_iterator<char>(b)), {});
        struct stat st {};
        const bool timed = ::stat(saved.c_str(), &st) == 0 && std::llabs(st.st_mtime - std::stoll(field[5])) <= 2;
        if (!got.empty() && got == want && timed)
            ++exact;
        else
            misses += " " + field[0] + (got.empty() ? " (missing)" : got != want ? " (bytes)" : " (time)");
    }
    EXPECT_GT(originals, 20u);
    EXPECT_EQ(exact, originals) << "not under their name, bytes and time:" << misses << "\n" << out;
    EXPECT_NE(out.find("Names from the card: "), std::string::npos) << out;
}

// Arguments that could only waste a scan are refused before the card is read: no types,
// a maximum size that ends every file, a prefix the save page would refuse.
TEST_F(CliRecover, PointlessArgumentsAreRefusedBeforeTheScan)
{
    std::string out;
    const std::string px3 = "--card E=" + Quote(card) + " ";
    EXPECT_EQ(Sh(Px3(px3 + "recover E --types ''"), &out), 2) << out;
    EXPECT_NE(out.find("no file type given"), std::string::npos) << out;
    for (const char* size : {"0", "-5"}) {
        EXPECT_EQ(Sh(Px3("settings --max-size=" + std::string(size)), &out), 2) << out;
        EXPECT_NE(out.find("--max-size is from 1"), std::string::npos) << out;
    }
    const std::string save = " --save " + Quote(home.File("out"));
    const std::string sixty(60, 'a');
    EXPECT_EQ(Sh(Px3(px3 + "recover E --types jpg" + save + " --prefix " + sixty + "b"), &out), 2) << out;
    EXPECT_NE(out.find("File prefix is too long."), std::string::npos) << out;
    EXPECT_EQ(Sh(Px3(px3 + "recover E --types jpg" + save + " --prefix 'Day one'"), &out), 2) << out;
    EXPECT_NE(out.find("The character ' ' is not allowed in the file name prefix."), std::string::npos) << out;
    // A letter outside ASCII is named whole, never as half of its UTF-8 bytes.
    EXPECT_EQ(Sh(Px3(px3 + "recover E --types jpg" + save + " --prefix Tr\xC3\xADpoli"), &out), 2) << out;
    EXPECT_NE(out.find("The character '\xC3\xAD' is not allowed in the file name prefix."), std::string::npos) << out;
    EXPECT_EQ(Sh(Px3(px3 + "recover E --types jpg" + save + " --prefix A\xE2\x82\xAC_"), &out), 2) << out;
    EXPECT_NE(out.find("The character '\xE2\x82\xAC' is not allowed"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(home.File("Pictures/Pixsalvo/Tmp")) && !fs::is_empty(home.File("Pictures/Pixsalvo/Tmp")));
    EXPECT_EQ(Sh(Px3(px3 + "recover E --types jpg" + save + " --prefix " + sixty), &out), 0) << out;
}

// A save that cannot be written says why and where every file is; none is lost. The save
// folder is a small file system of its own, mounted in a user namespace (no root needed):
// the files are copied there, not renamed, until it is full, and more than 20 of them fail.
TEST(CliSaveFull, AFailedSaveSaysWhyAndWhereTheFilesAre)
{
    TempHome home;
    const std::string card = home.File("card.img");
    px::test::MakeDemoCard(card, 24, "--pictures 22");
    std::string out;
    const std::string small = home.File("small");
    fs::create_directories(small);
    const std::string script = "mount -t tmpfs -o size=256k tmpfs " + Quote(small) + " || exit 99; " +
                               Px3("--card E=" + Quote(card) + " recover E --types all --save " + Quote(small + "/out") +
                                   " --prefix Trip") +
                               "; echo \"exit=$?\"; echo \"saved=$(find " + Quote(small + "/out") + " -type f | wc -l)\"";
    Sh("unshare --user --map-root-user --mount sh -c " + Quote(script) + " 2>&1", &out);
    EXPECT_NE(out.find("exit=1\n"), std::string::npos) << out;
    const std::string run = home.File("Pictures/Pixsalvo/Tmp/");
    // The program's own text, the cause and the place, in one message.
    EXPECT_NE(out.find("px3: saving failed: Too mach errors ==> "), std::string::npos) << out;
    EXPECT_NE(out.find("the last: No space left on device; the files not moved are still in " + run), std::string::npos)
        << out;
    EXPECT_NE(out.find("px3: the files saved so far are in " + small + "/out/"), std::string::npos) << out;
    EXPECT_NE(out.find("px3: the files not saved are still in " + run), std::string::npos) << out;
    // Every file found is in one place or the other, whole or not at all in the save folder.
    std::smatch found, saved;
    ASSERT_TRUE(std::regex_search(out, found, std::regex("Files found: ([0-9]+)"))) << out;
    ASSERT_TRUE(std::regex_search(out, saved, std::regex("saved=([0-9]+)"))) << out;
    size_t left = 0;
    for (const auto& entry : fs::recursive_directory_iterator(run))
        left += entry.is_regular_file();
    EXPECT_GT(left, 20u) << out;
    EXPECT_EQ(left + std::stoul(saved[1]), std::stoul(found[1])) << out;
}

// Two runs of one second have run folders of one name when the first was saved (moved
// away) before the second began: the second save takes the next free "_N" and merges
// nothing. Folders of the coming seconds, planted as an earlier run's, make the second
// fall into such a second for sure; two runs started together must not collide either.
TEST_F(CliRecover, SavesOfTheSameSecondTakeTheNextFreeFolder)
{
    const std::string save = home.File("Saved");
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now; t < now + 60; ++t) {
        std::tm local {};
        localtime_r(&t, &local);
        char stamp[64];
        std::strftime(stamp, sizeof stamp, "%y_%m_%d_ %H_%M_%S", &local);
        fs::create_directories(save + "/" + stamp);
        std::ofstream(save + "/" + stamp + "/IMG_0001.JPG") << "earlier";
    }
    std::string out;
    ASSERT_EQ(Sh(Px3("--card E=" + Quote(card) + " recover E --types all --save " + Quote(save)), &out), 0) << out;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(out, match, std::regex("Saved into: (.*_2)\n"))) << out;
    const std::string folder = match[1];
    const std::string planted = folder.substr(0, folder.size() - 2);
    EXPECT_EQ(std::distance(fs::directory_iterator(planted), fs::directory_iterator()), 1) << out;
    const std::vector<uint8_t> earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    EXPECT_EQ(px::test::ReadFile(planted + "/IMG_0001.JPG"), earlier);
    EXPECT_NE(px::test::ReadFile(folder + "/IMG_0001.JPG"), earlier);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 10) << out;

    // Two cards (a card is locked by the run that reads it), one save folder.
    const std::string both = home.File("Both");
    const std::string copy = home.File("card2.img");
    fs::copy_file(card, copy);
    const std::string save2 = " recover E --types all --save " + Quote(both);
    const std::string one = Px3("--card E=" + Quote(card) + save2), two = Px3("--card E=" + Quote(copy) + save2);
    ASSERT_EQ(Sh("(" + one + " > " + Quote(home.File("one.txt")) + " & " + two + " > " + Quote(home.File("two.txt")) +
                     "; s=$?; wait $! && exit $s)",
                 &out),
              0)
        << out;
    std::vector<std::string> targets;
    for (const char* name : {"one.txt", "two.txt"}) {
        const std::vector<uint8_t> bytes = px::test::ReadFile(home.File(name));
        const std::string log(bytes.begin(), bytes.end());
        ASSERT_TRUE(std::regex_search(log, match, std::regex("Saved into: (.*)\n"))) << log;
        targets.push_back(match[1]);
        EXPECT_EQ(std::distance(fs::directory_iterator(targets.back()), fs::directory_iterator()), 10) << log;
    }
    EXPECT_NE(targets[0], targets[1]);
}

TEST_F(CliRecover, CardsGoThroughTheCardDocumentAndLog)
{
    std::string out;
    ASSERT_EQ(Sh(Px3("--card E=" + Quote(card) + " --card " + Quote(card + ",empty") + " cards"), &out), 0) << out;
    EXPECT_NE(out.find("E:\\     Removable Disk       24.0 MB    Generic    Usb   (selected)"), std::string::npos) << out;
    std::ifstream log(home.File("Documents/PX3Log.txt"));
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("-Start     : '"), std::string::npos) << text;
    EXPECT_NE(text.find("LoadDriveInfo"), std::string::npos) << text;
    EXPECT_NE(text.find("DriveLoad \r\nCard Information:\r\nCard Path........................E:\\"), std::string::npos)
        << text;
    // Every line is a tag padded to ten characters and " : ".
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // Start and exit lines have tags longer than ten characters; report lines follow
        // their entry.
        if (line.empty() || line == "\r" || line.rfind("==", 0) == 0 || line.find("....") != std::string::npos ||
            line.rfind("Card Information:", 0) == 0)
            continue;
        EXPECT_EQ(line.substr(10, 3), " : ") << line;
    }
    EXPECT_EQ(Sh(Px3("--card E=" + Quote(card) + " eject E"), &out), 0) << out;
    EXPECT_NE(out.find("The card in E: was ejected."), std::string::npos) << out;
    EXPECT_EQ(Sh(Px3("--card E=" + Quote(card + ",empty") + " eject E"), &out), 1) << out;
}

TEST(CliSettings, PrintChangeAndKeep)
{
    TempHome home;
    std::string out;
    ASSERT_EQ(Sh(Px3("settings"), &out), 0) << out;
    EXPECT_NE(out.find("Brands:        Generic"), std::string::npos) << out;
    EXPECT_NE(out.find("Work folder:   " + home.File("Pictures/Pixsalvo/Tmp")), std::string::npos) << out;
    EXPECT_NE(out.find("Max file size: 20000256 bytes"), std::string::npos) << out;
    ASSERT_EQ(Sh(Px3("settings --types jpg,nef --work " + Quote(home.File("work")) + " --max-size 1000000"), &out), 0)
        << out;
    ASSERT_EQ(Sh(Px3("settings"), &out), 0);
    EXPECT_NE(out.find("File types:    jpg nef\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Work folder:   " + home.File("work")), std::string::npos) << out;
    EXPECT_NE(out.find("Max file size: 1000000 bytes"), std::string::npos) << out;
    EXPECT_EQ(Sh(Px3("settings --brand Nikon"), &out), 0) << out;
    EXPECT_NE(out.find("Brands:        Nikon"), std::string::npos) << out;
    EXPECT_EQ(Sh(Px3("settings --brand Leica"), &out), 2);
    EXPECT_NE(out.find("unknown camera brand 'leica'"), std::string::npos) << out;
    EXPECT_EQ(Sh(Px3("settings --max-size 99999999999"), &out), 2);

    // --work takes only a folder this user can write in; a relative path is taken from the
    // current folder, ~ is HOME, a missing folder is made.
    ASSERT_TRUE(px::test::WriteFile(home.File("afile"), {1, 2, 3}));
    EXPECT_EQ(Sh(Px3("settings --work " + Quote(home.File("afile"))), &out), 2) << out;
    EXPECT_NE(out.find("Not a directory"), std::string::npos) << out;
    EXPECT_EQ(Sh(Px3("settings --work /proc/1/x"), &out), 2) << out;
    EXPECT_NE(out.find("--work /proc/1/x: not a folder this user can write in: "), std::string::npos) << out;
    EXPECT_NE(out.find("No such file or directory"), std::string::npos) << out;
    ASSERT_EQ(Sh(Px3("settings"), &out), 0);
    EXPECT_NE(out.find("Work folder:   " + home.File("work")), std::string::npos) << "a refusal kept the old folder\n"
                                                                                 << out;
    ASSERT_EQ(Sh("cd " + Quote(home.Path()) + " && " + Px3("settings --work rel/w"), &out), 0) << out;
    EXPECT_NE(out.find("Work folder:   " + home.File("rel/w")), std::string::npos) << out;
    EXPECT_TRUE(fs::is_directory(home.File("rel/w")));
    ASSERT_EQ(Sh(Px3("settings --work '~/tilde'"), &out), 0) << out;
    EXPECT_NE(out.find("Work folder:   " + home.File("tilde")), std::string::npos) << out;
    EXPECT_TRUE(fs::is_directory(home.File("tilde")));
    EXPECT_FALSE(fs::exists("~"));
    // Nothing was written outside this HOME.
    EXPECT_TRUE(fs::exists(home.File(".config/Tolvex Media/Pixsalvo3.conf")));
}

}  // namespace
