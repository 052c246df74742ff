// The "Software Update" dialog against a real FTP server on 127.0.0.1: no update, a check
// without an answer, an update with its texts, the licence box before anything is
// downloaded, the keys it swallows, the signed installer handed to the desktop and an
// unsigned one refused, Cancel during a slow download, and a window that answers close,
// Escape and Quit while a trickling server holds the check.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "app/csettings.h"
#include "platform/messagepump.h"
#include "services/ftpfixture.h"
#include "pagetest.h"
#include "ui/cpx3updatedlg.h"
#include "widgets/cballoontip.h"

namespace fs = std::filesystem;
using px::test::FtpServer;
using px::test::TestReleaseKey;
using px::test::UpdateSite;

namespace {

const QString kUpToDate = "The software is up to date, no software update was found.";
const QString kCouldNotCheck = "Pixsalvo 3 could not check for a software update";

// Waits (at most 10 seconds) until done() holds; whether it does.
bool WaitFor(const std::function<bool()>& done)
{
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < 10000)
        QTest::qWait(10);
    return done();
}

class UpdateDialog : public PageTest {
protected:
    void SetUp() override
    {
        PageTest::SetUp();
        const char* old = std::getenv("TMPDIR");
        m_oldTmp = old ? old : "";
        fs::create_directories(tmp);
        ::setenv("TMPDIR", tmp.c_str(), 1);
    }
    void TearDown() override
    {
        px::SetMessagePump({});
        if (m_oldTmp.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", m_oldTmp.c_str(), 1);
        PageTest::TearDown();
    }
    // Opens the dialog and lets its timer run the check.
    static void OpenChecked(CPX3UpdateDlg& dialog)
    {
        dialog.Open();
        QElapsedTimer waited;
        waited.start();
        while (!dialog.CheckedOnce() && waited.elapsed() < 20000)
            QTest::qWait(20);
        ASSERT_TRUE(dialog.CheckedOnce());
    }
    static QString OpenBalloonTitle()
    {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* balloon = qobject_cast<CBalloonTip*>(top); balloon && balloon->isVisible())
                return balloon->Title();
        return {};
    }
    // A site whose index lists 120, 125 and 124; build 125's installer has size bytes
    // and is signed by the test's key.
    void MakeSite(size_t size)
    {
        site.PutIndex({"120", "125", "124"}, "Line one\nLine two");
        site.PutBuild("125", "/PX3Win/Builds/125/px3_125.deb");
        site.PutSigned("/PX3Win/Builds/125/px3_125.deb", px::test::PatternBytes(size, 7), key);
    }

    CDriveDoc doc;
    const CPageContext context = Context(doc);
    std::string root = home.File("server");
    std::string tmp = home.File("tmp");
    UpdateSite site{root};
    TestReleaseKey key;
    std::string m_oldTmp;
};

}  // namespace

TEST_F(UpdateDialog, SameBuildIsUpToDateAndNoServerSaysWhy)
{
    site.PutIndex({"121", "123"});
    site.PutBuild("123", "/PX3Win/Builds/123/px3_123.deb");
    FtpServer server(root);
    settings.SetUpdateServer(server.Address());

    CPX3UpdateDlg dialog(context, 123, nullptr);
    OpenChecked(dialog);
    EXPECT_FALSE(dialog.UpdateAvailable());
    EXPECT_EQ(dialog.HeadingText(), kUpToDate);
    EXPECT_EQ(dialog.UpdateInformation(), kUpToDate);
    EXPECT_EQ(dialog.StatusText(), kUpToDate);
    EXPECT_TRUE(dialog.SubHeadingText().isEmpty());
    EXPECT_TRUE(dialog.LicenseText().isEmpty());
    EXPECT_FALSE(dialog.UpdateButton()->isEnabled());
    QTest::mouseClick(dialog.CloseButton(), Qt::LeftButton);
    EXPECT_TRUE(dialog.IsFinished());
    EXPECT_EQ(dialog.Result(), CPX3UpdateDlg::Closed);

    settings.SetUpdateServer("127.0.0.1:1");   // nothing listens there
    CPX3UpdateDlg unreachable(context, 1, nullptr);
    OpenChecked(unreachable);
    EXPECT_TRUE(unreachable.CheckFailed());
    EXPECT_EQ(unreachable.HeadingText(), kCouldNotCheck);
    EXPECT_TRUE(unreachable.SubHeadingText().startsWith("Ftp Error: Unable to get ftp connection (")) << unreachable.SubHeadingText().toStdString();
    EXPECT_TRUE(unreachable.StatusText().startsWith(kCouldNotCheck + ": Ftp Error:")) << unreachable.StatusText().toStdString();
    EXPECT_TRUE(unreachable.StatusIsError());
    EXPECT_FALSE(unreachable.UpdateButton()->isEnabled());
    EXPECT_TRUE(services.opened.isEmpty());
}

TEST_F(UpdateDialog, UpdateNeedsTheLicenceBoxThenStartsTheInstaller)
{
    MakeSite(200000);
    FtpServer server(root);
    settings.SetUpdateServer(server.Address());

    CPX3UpdateDlg dialog(context, 120, nullptr, key.Public());
    OpenChecked(dialog);
    ASSERT_TRUE(dialog.UpdateAvailable());
    EXPECT_EQ(dialog.HeadingText(), "Pixsalvo 3 has detected that a new software update is available");
    EXPECT_EQ(dialog.SubHeadingText(), "Please review information below and click the Update button to install.");
    EXPECT_EQ(dialog.UpdateInformation(), "Version: 3.0.0.125\r\n== New Features: \r\n-- Faster scans\r\n-- Sound files\r\n");
    EXPECT_EQ(dialog.LicenseText(), "Line one\r\nLine two");
    EXPECT_EQ(dialog.LicenseEdit()->toPlainText(), "Line one\nLine two");
    EXPECT_EQ(dialog.LicenseBox()->text(), "I agree with  license terms and conditions");

    // Enter and Escape neither update nor close.
    dialog.UpdateButton()->setFocus();
    QTest::keyClick(dialog.UpdateButton(), Qt::Key_Return);
    QTest::keyClick(&dialog, Qt::Key_Enter);
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog.IsFinished());
    EXPECT_TRUE(dialog.BalloonText().isEmpty());

    QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
    EXPECT_EQ(dialog.BalloonText(), "Check this box after reading license agreement");
    EXPECT_EQ(OpenBalloonTitle(), "Please review license agreement");
    EXPECT_TRUE(services.opened.isEmpty());
    EXPECT_TRUE(fs::is_empty(tmp));

    dialog.LicenseBox()->click();
    EXPECT_TRUE(dialog.BalloonText().isEmpty());
    QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
    EXPECT_TRUE(WaitFor([&] { return dialog.IsFinished(); }));
    EXPECT_EQ(dialog.Result(), CPX3UpdateDlg::UpdateStarted);
    EXPECT_EQ(dialog.StatusText(), "Ready to update...");
    EXPECT_EQ(services.opened, QStringList{QString::fromStdString(tmp + "/px3_125.deb")});
}

TEST_F(UpdateDialog, CancelDuringASlowDownloadStartsNothing)
{
    MakeSite(600000);
    FtpServer server(root, {.rate = 200000});   // three seconds for the whole installer
    settings.SetUpdateServer(server.Address());
    CPX3UpdateDlg dialog(context, 120, nullptr, key.Public());
    OpenChecked(dialog);
    dialog.LicenseBox()->click();
    QElapsedTimer elapsed;
    elapsed.start();
    QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return dialog.JobRunning(); }));
    QTest::qWait(300);
    EXPECT_TRUE(dialog.CancelButton()->isEnabled());
    EXPECT_FALSE(dialog.CloseButton()->isEnabled());
    QTest::mouseClick(dialog.CancelButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !dialog.JobRunning(); }));
    EXPECT_LT(elapsed.elapsed(), 2000);
    EXPECT_EQ(dialog.StatusText(), "Ftp Error: Aborted by user");
    EXPECT_TRUE(dialog.StatusIsError());
    EXPECT_FALSE(dialog.IsFinished());
    EXPECT_TRUE(dialog.UpdateButton()->isEnabled());
    EXPECT_TRUE(services.opened.isEmpty());
    EXPECT_TRUE(fs::is_empty(tmp));
}

// A package cut short by a server that kept its size to itself, with a clean end: its
// signature does not match, and the dialog says so and stays.
TEST_F(UpdateDialog, InstallerThatFailsItsSignatureIsNotStarted)
{
    MakeSite(262144);
    FtpServer server(root, {.cut = 100000, .noSize = true, .only = ".deb"});
    settings.SetUpdateServer(server.Address());

    CPX3UpdateDlg dialog(context, 120, nullptr, key.Public());
    OpenChecked(dialog);
    dialog.LicenseBox()->click();
    QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !dialog.Busy() && !dialog.JobRunning(); }));
    EXPECT_TRUE(dialog.StatusText().contains("its signature does not match")) << dialog.StatusText().toStdString();
    EXPECT_TRUE(dialog.StatusText().contains("the server did not tell its size")) << dialog.StatusText().toStdString();
    EXPECT_TRUE(dialog.StatusIsError());
    EXPECT_FALSE(dialog.IsFinished());
    EXPECT_TRUE(services.opened.isEmpty());
    EXPECT_TRUE(fs::is_empty(tmp));
}

// A server that trickles the index 2 bytes a second holds the check for long; the window
// answers meanwhile: Escape and closing end the dialog, Quit ends it for the program, and
// Cancel ends the check with its reason.
TEST_F(UpdateDialog, WindowAnswersWhileTheCheckWaits)
{
    MakeSite(1000);
    FtpServer server(root, {.rate = 2, .only = ".xml"});
    settings.SetUpdateServer(server.Address());

    const std::vector<std::pair<const char*, std::function<void(CPX3UpdateDlg&)>>> ways = {
        {"Escape", [](CPX3UpdateDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); }},
        {"close", [](CPX3UpdateDlg& d) { d.close(); }},
        {"Quit", [](CPX3UpdateDlg& d) { QTest::keyClick(&d, Qt::Key_Q, Qt::ControlModifier); }},
    };
    for (const auto& [name, end] : ways) {
        CPX3UpdateDlg dialog(context, 120, nullptr, key.Public());
        dialog.Open();
        ASSERT_TRUE(WaitFor([&] { return dialog.Busy(); })) << name;
        QTest::qWait(200);
        QElapsedTimer elapsed;
        elapsed.start();
        end(dialog);
        EXPECT_TRUE(dialog.IsFinished()) << name;
        EXPECT_LT(elapsed.elapsed(), 1000) << name;
        EXPECT_EQ(dialog.Result(), std::string(name) == "Quit" ? CPX3UpdateDlg::QuitRequested : CPX3UpdateDlg::Closed);
        EXPECT_FALSE(dialog.CheckedOnce()) << name;
    }

    CPX3UpdateDlg dialog(context, 120, nullptr, key.Public());
    dialog.Open();
    ASSERT_TRUE(WaitFor([&] { return dialog.Busy() && dialog.CancelButton()->isEnabled(); }));
    QTest::mouseClick(dialog.CancelButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return dialog.CheckedOnce(); }));
    EXPECT_TRUE(dialog.CheckFailed());
    EXPECT_EQ(dialog.HeadingText(), kCouldNotCheck);
    EXPECT_EQ(dialog.StatusText(), kCouldNotCheck + ": Ftp Error: Aborted by user");
    EXPECT_FALSE(dialog.IsFinished());
    EXPECT_TRUE(services.opened.isEmpty());
}
