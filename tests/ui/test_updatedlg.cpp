// The "Software Update" dialog against a real FTP server on 127.0.0.1: no update, an
// update with its texts, the licence box before anything is downloaded, the keys it
// swallows, the installer handed to the desktop, and Cancel during a slow download.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <filesystem>

#include "app/csettings.h"
#include "platform/messagepump.h"
#include "services/ftpfixture.h"
#include "support/qtapp.h"
#include "ui/cpx3updatedlg.h"
#include "ui/pagekit.h"
#include "widgets/cballoontip.h"

namespace fs = std::filesystem;
using px::test::FtpServer;
using px::test::UpdateSite;

namespace {

const QString kUpToDate = "The software is up to date, no software update was found.";

class UpdateDialog : public ::testing::Test {
protected:
    static void SetUpTestSuite() { px::test::EnsureApplication(); }
    void SetUp() override
    {
        const char* old = std::getenv("TMPDIR");
        m_oldTmp = old ? old : "";
        fs::create_directories(tmp);
        ::setenv("TMPDIR", tmp.c_str(), 1);
        Desktop::SetOpenHook([this](const QString& path) {
            opened << path;
            return true;
        });
    }
    void TearDown() override
    {
        Desktop::SetOpenHook({});
        px::SetMessagePump({});
        if (m_oldTmp.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", m_oldTmp.c_str(), 1);
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
    // A site whose index lists 120, 125 and 124; build 125's installer has size bytes.
    void MakeSite(size_t size)
    {
        site.PutIndex({"120", "125", "124"}, "Line one\nLine two");
        site.PutBuild("125", "/PX3Win/Builds/125/px3_125.deb");
        site.Put("/PX3Win/Builds/125/px3_125.deb", px::test::PatternBytes(size, 7));
    }

    px::test::TempHome home;
    CSettings settings;
    CDriveDoc doc;
    std::string root = home.File("server");
    std::string tmp = home.File("tmp");
    UpdateSite site{root};
    QStringList opened;
    std::string m_oldTmp;
};

}  // namespace

TEST_F(UpdateDialog, SameBuildOrNoServerIsUpToDate)
{
    site.PutIndex({"121", "123"});
    site.PutBuild("123", "/PX3Win/Builds/123/px3_123.deb");
    FtpServer server(root);
    settings.SetUpdateServer(server.Address());

    CPX3UpdateDlg dialog(doc, 123, nullptr);
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
    CPX3UpdateDlg unreachable(doc, 1, nullptr);
    OpenChecked(unreachable);
    EXPECT_EQ(unreachable.HeadingText(), kUpToDate);
    EXPECT_TRUE(opened.isEmpty());
}

TEST_F(UpdateDialog, UpdateNeedsTheLicenceBoxThenStartsTheInstaller)
{
    MakeSite(200000);
    FtpServer server(root);
    settings.SetUpdateServer(server.Address());

    CPX3UpdateDlg dialog(doc, 120, nullptr);
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
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_TRUE(fs::is_empty(tmp));

    dialog.LicenseBox()->click();
    EXPECT_TRUE(dialog.BalloonText().isEmpty());
    QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
    EXPECT_TRUE(dialog.IsFinished());
    EXPECT_EQ(dialog.Result(), CPX3UpdateDlg::UpdateStarted);
    EXPECT_EQ(dialog.StatusText(), "Ready to update...");
    EXPECT_EQ(opened, QStringList{QString::fromStdString(tmp + "/px3_125.deb")});
}

TEST_F(UpdateDialog, CancelDuringASlowDownloadStartsNothing)
{
    MakeSite(600000);
    FtpServer server(root, {.rate = 200000});   // three seconds for the whole installer
    settings.SetUpdateServer(server.Address());
    px::SetMessagePump([] { QCoreApplication::processEvents(); });

    CPX3UpdateDlg dialog(doc, 120, nullptr);
    OpenChecked(dialog);
    dialog.LicenseBox()->click();
    bool cancelWasEnabled = false;
    QTimer::singleShot(300, &dialog, [&] {
        cancelWasEnabled = dialog.CancelButton()->isEnabled() && !dialog.CloseButton()->isEnabled();
        QTest::mouseClick(dialog.CancelButton(), Qt::LeftButton);
    });
    QElapsedTimer elapsed;
    elapsed.start();
    QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
    EXPECT_LT(elapsed.elapsed(), 2000);
    EXPECT_TRUE(cancelWasEnabled);
    EXPECT_EQ(dialog.StatusText(), "Ftp Error: Aborted by user");
    EXPECT_TRUE(dialog.StatusIsError());
    EXPECT_FALSE(dialog.IsFinished());
    EXPECT_TRUE(dialog.UpdateButton()->isEnabled());
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_TRUE(fs::is_empty(tmp));
}
