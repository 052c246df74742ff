// The update check against a real FTP server on 127.0.0.1: the newest build and its
// installer, the unscrambled "Setup.deb", what is never started (incomplete downloads,
// missing or wrong signatures, wrong checksums, missing files), the session's errors, a
// damaged index, and servers that never answer, stall, trickle or cut files short.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "app/csettings.h"
#include "platform/messagepump.h"
#include "services/cdecrypt.h"
#include "services/cftpfile.h"
#include "services/cpx3update.h"
#include "services/ftpfixture.h"

namespace fs = std::filesystem;
using px::test::FtpServer;
using px::test::PatternBytes;
using px::test::TestReleaseKey;
using px::test::UpdateSite;

namespace {

class Update : public ::testing::Test {
protected:
    static void SetUpTestSuite() { px::test::EnsureCoreApplication(); }
    void SetUp() override
    {
        const char* old = std::getenv("TMPDIR");
        m_oldTmp = old ? old : "";
        fs::create_directories(tmp);
        ::setenv("TMPDIR", tmp.c_str(), 1);   // downloads land in the test's folder
    }
    void TearDown() override
    {
        if (m_oldTmp.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", m_oldTmp.c_str(), 1);
    }
    // A CPX3Update whose opener records what it was given; installers must be signed by
    // the test's key.
    CPX3Update Updater()
    {
        return CPX3Update(
            [this](const std::string& path) {
                started.push_back(path);
                return true;
            },
            key.Public());
    }
    // Limits of a second or two, so that a server that never finishes ends a test soon.
    static UpdateLimits ShortLimits()
    {
        UpdateLimits limits;
        limits.files = {.connectTimeoutMs = 1000, .responseTimeoutMs = 1000, .lowSpeedBytes = 100,
                        .lowSpeedSeconds = 1, .totalMs = 3000};
        limits.installerTotalMs = 3000;
        return limits;
    }
    static std::string Sha256(const std::vector<uint8_t>& bytes)
    {
        return QCryptographicHash::hash(QByteArrayView(bytes.data(), qsizetype(bytes.size())), QCryptographicHash::Sha256)
            .toHex()
            .toStdString();
    }
    px::test::TempHome home;
    CSettings settings;
    std::string root = home.File("server");
    std::string tmp = home.File("tmp");
    UpdateSite site{root};
    TestReleaseKey key;
    std::vector<std::string> started;
    std::string m_oldTmp;
};

}  // namespace

TEST(UpdateVersion, InstalledBuildIsTheFourthNumberOfTheProgramVersion)
{
    EXPECT_EQ(BuildNumberOfVersion("3.0.0.17"), 17);
    EXPECT_EQ(BuildNumberOfVersion("3,1,2,45"), 45);
    EXPECT_EQ(BuildNumberOfVersion("3.1. 2 . 9x.5"), 9);
    EXPECT_EQ(BuildNumberOfVersion("3.0"), 0);
    // The program's own version comes from the project's version in CMake.
    std::ifstream cmake(PX3_SOURCE_DIR "/CMakeLists.txt");
    std::string text((std::istreambuf_iterator<char>(cmake)), {});
    std::smatch match;
    ASSERT_TRUE(std::regex_search(text, match, std::regex(R"(project\(\w+ VERSION ([0-9.]+))")));
    EXPECT_EQ(InstalledBuildNumber(), BuildNumberOfVersion(match[1].str()));
}

TEST_F(Update, NewestBuildOfTheIndexGivesItsInstallerAndTexts)
{
    site.PutIndex({"120", "125", "124"}, "First line\nSecond line");
    site.PutBuild("125", "/PX3Win/Builds/125/px3_125.deb");
    site.PutBuild("124", "/PX3Win/Builds/124/px3_124.deb");
    FtpServer server(root);
    settings.SetUpdateServer(server.Address());

    CPX3Update update = Updater();
    ASSERT_TRUE(update.Check()) << update.GetError();
    EXPECT_EQ(update.GetHighestBuild(), 125);
    EXPECT_EQ(update.GetBuildInfoPath(), UpdateSite::InfoPath("125"));
    EXPECT_EQ(update.GetInstallerPath(), "/PX3Win/Builds/125/px3_125.deb");   // not the decoy's
    EXPECT_EQ(update.GetScheme(), "1");
    EXPECT_EQ(update.UpdateInformation(),
              "Version: 3.0.0.125\r\n== New Features: \r\n-- Faster scans\r\n-- Sound files\r\n");
    EXPECT_EQ(update.LicenseText(), "First line\r\nSecond line");

    // "12a" is build 12, above 11; a build information without the build fails.
    site.PutIndex({"11", "12a"});
    site.Put(UpdateSite::InfoPath("12a"), "<BuildInfo><BUILD buildnumber='12' location='/x/px3_12.deb'></BUILD></BuildInfo>");
    ASSERT_TRUE(update.Check()) << update.GetError();
    EXPECT_EQ(update.GetHighestBuild(), 12);
    EXPECT_EQ(update.GetInstallerPath(), "/x/px3_12.deb");
    site.Put(UpdateSite::InfoPath("12a"), "<BuildInfo><BUILD buildnumber='11' location='/x/px3_11.deb'></BUILD></BuildInfo>");
    EXPECT_FALSE(update.Check());
    EXPECT_TRUE(started.empty());
}

TEST_F(Update, DownloadStartsTheInstallerOrItsUnscrambledSetup)
{
    const std::vector<uint8_t> installer = PatternBytes(3 * CDecrypt::BlockSize / 2 + 77, 1);   // blocks and a rest
    std::vector<uint8_t> scrambled = installer;
    CDecrypt::Apply(scrambled.data(), scrambled.size());
    site.PutSigned("/PX3Win/Builds/125/px3_125.bin", scrambled, key);   // signed as the server holds it
    site.PutSigned("/PX3Win/Builds/124/px3_124.deb", installer, key);
    site.PutIndex({"125"});
    site.PutBuild("125", "/PX3Win/Builds/125/px3_125.bin", "2", Sha256(installer));
    FtpServer server(root);
    settings.SetUpdateServer(server.Address());

    CPX3Update update = Updater();
    ASSERT_TRUE(update.Download()) << update.GetError();   // checks first by itself
    ASSERT_EQ(started, std::vector<std::string>{tmp + "/Setup.deb"});
    EXPECT_EQ(px::test::ReadFile(tmp + "/Setup.deb"), installer);
    EXPECT_EQ(px::test::ReadFile(tmp + "/px3_125.bin"), scrambled);

    // Another scheme: the download itself is started.
    site.PutIndex({"124"});
    site.PutBuild("124", "/PX3Win/Builds/124/px3_124.deb", "0");
    started.clear();
    ASSERT_TRUE(update.Check());
    ASSERT_TRUE(update.Download()) << update.GetError();
    ASSERT_EQ(started, std::vector<std::string>{tmp + "/px3_124.deb"});
    EXPECT_EQ(px::test::ReadFile(started[0]), installer);

    // A checksum that does not match: nothing is started and the file is gone.
    site.PutBuild("124", "/PX3Win/Builds/124/px3_124.deb", "0", std::string(64, 'a'));
    started.clear();
    ASSERT_TRUE(update.Check());
    EXPECT_FALSE(update.Download());
    EXPECT_NE(update.GetError().find("does not match its SHA-256 checksum"), std::string::npos) << update.GetError();
    EXPECT_TRUE(started.empty());
    EXPECT_FALSE(fs::exists(tmp + "/px3_124.deb"));
}

TEST_F(Update, MissingFilesAndRefusedSessionsStartNothing)
{
    site.PutIndex({"125"});
    site.PutBuild("125", "/PX3Win/Builds/125/gone.deb");
    FtpServer server(root);
    settings.SetUpdateServer(server.Address());

    CPX3Update update = Updater();
    EXPECT_FALSE(update.Download());
    EXPECT_EQ(update.GetError(), "The installer has no signature on the server (/PX3Win/Builds/125/gone.deb.sig): it "
                                 "is not started");
    site.Put("/PX3Win/Builds/125/gone.deb.sig", key.Sign({1, 2, 3}));
    EXPECT_FALSE(update.Download());
    EXPECT_EQ(update.GetError(), "Ftp Error: Unable to find remote Ftp file: /PX3Win/Builds/125/gone.deb");
    EXPECT_TRUE(started.empty());

    CFtpFile ftp;
    EXPECT_FALSE(ftp.OpenRemote("/PX3Win/Update/PX3update_index.xml"));
    EXPECT_EQ(ftp.GetError(), "Ftp Error: Ftp is not connected");
    EXPECT_FALSE(ftp.Connect(server.Address(), CPX3Update::User, "wrong"));
    EXPECT_EQ(ftp.GetError().rfind("Ftp Error: Unable to get ftp connection (", 0), 0u) << ftp.GetError();
    ASSERT_TRUE(ftp.Connect(server.Address(), CPX3Update::User, CPX3Update::Password));
    EXPECT_FALSE(ftp.DownloadTo(tmp + "/x"));
    EXPECT_EQ(ftp.GetError(), "Ftp Error: Ftp file is not open");
    EXPECT_FALSE(ftp.OpenRemote("/PX3Win/NoSuchFolder/PX3update_index.xml"));
    EXPECT_EQ(ftp.GetError(), "Ftp Error: Unable to find remote Ftp file: /PX3Win/NoSuchFolder/PX3update_index.xml");
    ASSERT_TRUE(ftp.OpenRemote("/PX3Win/Update/PX3update_index.xml")) << ftp.GetError();
    EXPECT_EQ(ftp.GetRemoteSize(), int64_t(fs::file_size(root + "/PX3Win/Update/PX3update_index.xml")));

    // Without its index the check fails (and the dialog reports no update).
    fs::remove(root + "/PX3Win/Update/PX3update_index.xml");
    EXPECT_FALSE(update.Check());
    EXPECT_EQ(update.GetError(), "Ftp Error: Unable to find remote Ftp file: /PX3Win/Update/PX3update_index.xml");
}

TEST_F(Update, ServerThatStopsMidDownloadLeavesNoInstaller)
{
    const std::vector<uint8_t> installer = PatternBytes(400000, 2);
    site.PutSigned("/PX3Win/Builds/125/px3_125.deb", installer, key);
    site.PutIndex({"125"});
    site.PutBuild("125", "/PX3Win/Builds/125/px3_125.deb");
    FtpServer server(root, {.stopAfter = 150000});
    settings.SetUpdateServer(server.Address());

    CPX3Update update = Updater();
    EXPECT_FALSE(update.Download());
    EXPECT_EQ(update.GetError().rfind("Ftp Error: The download is incomplete (", 0), 0u) << update.GetError();
    EXPECT_NE(update.GetError().find(" of 400000 bytes received"), std::string::npos) << update.GetError();
    EXPECT_TRUE(started.empty());
    EXPECT_TRUE(fs::is_empty(tmp));
}

// Only an installer whose signature verifies under the release key is started: the size
// and the checksum come from the same server and prove nothing against whoever controls
// it or the line.
TEST_F(Update, OnlyAWholeInstallerSignedByTheReleaseKeyIsStarted)
{
    const std::string path = "/PX3Win/Builds/125/px3_125.deb";
    const std::vector<uint8_t> installer = PatternBytes(262144, 4);
    site.PutIndex({"125"});
    site.PutBuild("125", path);   // no checksum
    site.PutSigned(path, installer, key);
    // The server keeps the size to itself and ends the installer's data early with "226".
    FtpServer server(root, {.cut = 100000, .noSize = true, .only = ".deb"});
    settings.SetUpdateServer(server.Address());

    CPX3Update update = Updater();
    update.SetLimits(ShortLimits());
    auto refused = [&](const std::string& cause) {
        started.clear();
        EXPECT_FALSE(update.Download());
        EXPECT_NE(update.GetError().find(cause), std::string::npos) << update.GetError();
        EXPECT_TRUE(started.empty());
        EXPECT_TRUE(fs::is_empty(tmp)) << "a refused installer stays behind";
    };
    refused("its signature does not match (" + tmp + "/px3_125.deb, 100000 bytes received, the server did not tell its size)");

    // A whole installer, a wrong one, signed by another key, or with a damaged signature.
    FtpServer whole(root, {.noSize = true, .only = ".deb"});
    settings.SetUpdateServer(whole.Address());
    ASSERT_TRUE(update.Check()) << update.GetError();
    ASSERT_TRUE(update.Download()) << update.GetError();   // size unknown, signature good
    EXPECT_EQ(px::test::ReadFile(tmp + "/px3_125.deb"), installer);
    fs::remove(tmp + "/px3_125.deb");

    std::vector<uint8_t> changed = installer;
    changed[200000] ^= 1;
    site.Put(path, changed);
    refused("its signature does not match");
    site.PutSigned(path, installer, TestReleaseKey());
    refused("its signature does not match");
    site.Put(path + ".sig", std::vector<uint8_t>(63, 0));
    refused("The signature of the installer is damaged (63 bytes, not 64)");
    fs::remove(root + path + ".sig");
    refused("The installer has no signature on the server (" + path + ".sig)");

    // The program's own key does not take the test's signatures.
    site.PutSigned(path, installer, key);
    CPX3Update released([this](const std::string& p) {
        started.push_back(p);
        return true;
    });
    started.clear();
    EXPECT_FALSE(released.Download());
    EXPECT_TRUE(started.empty());
}

// "Up to date" is a server's answer; every way of getting none says why.
TEST_F(Update, CheckWithoutAnAnswerSaysWhy)
{
    CPX3Update update = Updater();
    update.SetLimits(ShortLimits());
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_FALSE(update.Check("127.0.0.1:1"));   // nothing listens there
    EXPECT_EQ(update.GetError().rfind("Ftp Error: Unable to get ftp connection (", 0), 0u) << update.GetError();
    EXPECT_NE(update.GetError().find("onnect"), std::string::npos) << update.GetError();

    {
        FtpServer mute(root, {.mute = true});
        elapsed.restart();
        EXPECT_FALSE(update.Check(mute.Address()));
        EXPECT_LT(elapsed.elapsed(), 5000);
        EXPECT_EQ(update.GetError().rfind("Ftp Error: Unable to get ftp connection (", 0), 0u) << update.GetError();
        EXPECT_NE(update.GetError().find("time"), std::string::npos) << update.GetError();
    }

    site.PutBuild("125", "/PX3Win/Builds/125/px3_125.deb");
    FtpServer server(root);
    site.Put(CPX3Update::IndexPath, std::string("\x89PNG garbage, no element at all"));
    EXPECT_FALSE(update.Check(server.Address()));
    EXPECT_EQ(update.GetError(), std::string("The file is damaged (it holds no update information): ") + CPX3Update::IndexPath);
    site.Put(CPX3Update::IndexPath, std::string("<Updates><Build buildnumber='x' location='/a'></Build></Updates>"));
    EXPECT_FALSE(update.Check(server.Address()));
    EXPECT_EQ(update.GetError(), std::string("The update index lists no build: ") + CPX3Update::IndexPath);

    // An index cut short with a clean end: its size tells.
    site.PutIndex({"120", "125"});
    FtpServer cutting(root, {.cut = 60, .only = ".xml"});
    EXPECT_FALSE(update.Check(cutting.Address()));
    EXPECT_NE(update.GetError().find("bytes remaining to read: /PX3Win/Update/PX3update_index.xml"), std::string::npos)
        << update.GetError();
    ASSERT_TRUE(update.Check(server.Address())) << update.GetError();
}

// A stalled or trickling server is given up within the limits, and a cancel from another
// thread ends any wait at once.
TEST_F(Update, StalledOrTricklingServerIsGivenUp)
{
    const std::vector<uint8_t> installer = PatternBytes(300000, 5);
    site.PutIndex({"125"});
    site.PutBuild("125", "/PX3Win/Builds/125/px3_125.deb");
    site.PutSigned("/PX3Win/Builds/125/px3_125.deb", installer, key);
    CPX3Update update = Updater();
    update.SetLimits(ShortLimits());
    QElapsedTimer elapsed;

    for (const FtpServer::Options& fault : {FtpServer::Options{.stall = true, .only = ".xml"},
                                             FtpServer::Options{.rate = 2, .only = ".xml"}}) {
        FtpServer server(root, fault);
        elapsed.start();
        EXPECT_FALSE(update.Check(server.Address()));
        EXPECT_LT(elapsed.elapsed(), 5000) << update.GetError();
        EXPECT_NE(update.GetError().find("too slow"), std::string::npos) << update.GetError();
    }

    // The installer trickles: the low-speed limit; fast enough for it but too slow for
    // the whole: the total limit.
    for (long rate : {2L, 20000L}) {
        FtpServer server(root, {.rate = rate, .only = ".deb"});
        ASSERT_TRUE(update.Check(server.Address())) << update.GetError();
        started.clear();
        elapsed.start();
        EXPECT_FALSE(update.Download());
        EXPECT_LT(elapsed.elapsed(), 6000) << update.GetError();
        EXPECT_NE(update.GetError().find(rate == 2 ? "too slow" : "imed out"), std::string::npos) << update.GetError();
        EXPECT_TRUE(started.empty());
        EXPECT_TRUE(fs::is_empty(tmp));
    }

    // With the program's own limits a trickle would hold the check for many seconds: a
    // cancel from the window's thread ends it at once.
    update.SetLimits({});
    FtpServer trickle(root, {.rate = 2, .only = ".xml"});
    update.ClearCancel();
    std::jthread canceller([&update] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        update.Cancel();
    });
    elapsed.start();
    EXPECT_FALSE(update.Check(trickle.Address()));
    EXPECT_LT(elapsed.elapsed(), 1500);
    EXPECT_EQ(update.GetError(), "Ftp Error: Aborted by user");
}

TEST_F(Update, CancelStopsTheUnscramblingCopy)
{
    const std::string source = tmp + "/scrambled.bin";
    ASSERT_TRUE(px::test::WriteFile(source, PatternBytes(3 * CDecrypt::BlockSize, 3)));
    int blocks = 0;
    px::SetMessagePump([&blocks] {
        if (++blocks == 1)
            CMsgSend cancel(MsgCode::Cancel, CVariant(1));
    });
    CDecrypt decrypt(source, tmp + "/Setup.deb");
    try {
        decrypt.Run();
        ADD_FAILURE() << "the copy went on after the cancel";
    } catch (const CTransferException& stop) {
        EXPECT_EQ(stop.GetText(), "Aborted by user");
    }
    px::SetMessagePump({});
    EXPECT_EQ(blocks, 1);
    EXPECT_FALSE(fs::exists(tmp + "/Setup.deb"));
}

// A stray closing tag in the index (a hand-edited "</FEATURE>" that closes nothing) must
// not hide the builds after it: the newest build is often the last one listed.
TEST_F(Update, StrayClosingTagHidesNoLaterBuild)
{
    const std::string index = "<Updates><BUILD buildnumber='120' location='/a'><FEATURE>x</FEATURE></FEATURE></BUILD>"
                              "</Bogus><BUILD buildnumber='125' location='" + UpdateSite::InfoPath("125") +
                              "'></BUILD></Updates>";
    auto builds = [](CObjNode& holder) {
        size_t count = 0;
        holder.ForEachNode([&count](CObjNode* node, void*) { count += node->GetTag() == "BUILD"; }, nullptr);
        return count;
    };
    CMFCObjNode general;
    general.ParseText(index);
    EXPECT_EQ(builds(general), 1u);   // the general tree stops at the first stray tag
    CUpdaterNode updater;
    updater.ParseText(index);
    EXPECT_EQ(builds(updater), 2u);

    site.Put("/PX3Win/Update/PX3update_index.xml", index);
    site.PutBuild("125", "/PX3Win/Builds/125/px3_125.deb");
    FtpServer server(root);
    settings.SetUpdateServer(server.Address());
    CPX3Update update = Updater();
    ASSERT_TRUE(update.Check()) << update.GetError();
    EXPECT_EQ(update.GetHighestBuild(), 125);

    // Well-formed text reads the same in both kinds of tree.
    const std::string wellFormed = "<Updates guid='g1'><BUILD guid='g2' name='b' op='1=x;'>t</BUILD><LICENSE guid='g3'>"
                                   "l</LICENSE></Updates>";
    CMFCObjNode plain;
    CUpdaterNode update2;
    std::string a, b;
    plain.ParseText(wellFormed);
    update2.ParseText(wellFormed);
    plain.GetChildren().First()->WriteText(a);
    update2.GetChildren().First()->WriteText(b);
    EXPECT_EQ(a, b);
    EXPECT_EQ(update2.GetChildren().First()->GetChildren().First()->GetText(), "t");
}
