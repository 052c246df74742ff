// The support request dialog as a user sends it: the form filled from this machine and the
// selected card, the body the mail program receives, and a dialog that closes with OK
// whether or not a mail program is there.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "app/csettings.h"
#include "device/cdrivedoc.h"
#include "platform/volumetable.h"
#include "support/fixtures.h"
#include "support/qtapp.h"
#include "ui/cemailsupportdlg.h"

namespace {

std::string ReadText(const std::string& path)
{
    const std::vector<uint8_t> bytes = px::test::ReadFile(path);
    return {bytes.begin(), bytes.end()};
}

class EmailSupport : public ::testing::Test {
protected:
    static void SetUpTestSuite() { px::test::EnsureApplication(); }
    void SetUp() override
    {
        const char* path = std::getenv("PATH");
        savedPath = path ? path : "";
        CMail::SetFallbackPrograms({});
        px::VolumeTable::Instance().DetachAll();
    }
    void TearDown() override
    {
        ::setenv("PATH", savedPath.c_str(), 1);
        CMail::SetFallbackPrograms(CMail::DefaultFallbackPrograms());
        px::VolumeTable::Instance().DetachAll();
    }
    // A sendmail first on PATH that keeps its input in the home folder.
    void InstallSendmail()
    {
        std::filesystem::create_directories(home.File("bin"));
        const std::string program = home.File("bin/sendmail");
        const std::string script = "#!/bin/sh\ncat > " + px::test::Quote(home.File("stdin")) + "\n";
        ASSERT_TRUE(px::test::WriteFile(program, std::vector<uint8_t>(script.begin(), script.end())));
        ::chmod(program.c_str(), 0755);
        ::setenv("PATH", (home.File("bin") + ":" + savedPath).c_str(), 1);
    }

    px::test::TempHome home;
    std::string savedPath;
    CSettings settings;
};

TEST_F(EmailSupport, SendMailsTheFormAndTheCardReportThenCloses)
{
    InstallSendmail();
    settings.SetSupportMail("help@reseller.example");
    const std::string card = home.File("card.img");
    ASSERT_TRUE(px::test::MakeBlankImage(card, 8 << 20));
    char letter = 0;
    std::string error;
    ASSERT_TRUE(px::VolumeTable::Instance().Attach(card, &letter, &error)) << error;
    CDriveDoc doc;
    doc.Reload();
    doc.SelectDrive(letter);
    const std::string report = doc.SelectedInfo().Report();
    ASSERT_NE(report.find("Card Information:"), std::string::npos);

    CEmailSupportDlg dialog(&doc);
    const QString computer = dialog.ComputerEdit()->text();
    EXPECT_TRUE(computer.startsWith(QString("Number of Processors: %1; ").arg(::sysconf(_SC_NPROCESSORS_ONLN))))
        << computer.toStdString();
    EXPECT_TRUE(computer.endsWith(QString("Page size: %1; ").arg(::sysconf(_SC_PAGESIZE)))) << computer.toStdString();
    EXPECT_EQ(dialog.SystemEdit()->text(), dialog.SystemEdit()->text().trimmed());
    EXPECT_TRUE(dialog.CardInfoEdit()->isReadOnly());
    EXPECT_EQ(dialog.CardInfoEdit()->font().family(), "Courier");
    for (QWidget* control : std::initializer_list<QWidget*>{dialog.ComputerEdit(), dialog.SystemEdit(),
                                                            dialog.UserMailEdit(), dialog.ProblemEdit(),
                                                            dialog.CardInfoEdit(), dialog.SendButton(),
                                                            dialog.CloseButton()})
        EXPECT_FALSE(control->accessibleName().isEmpty()) << control->metaObject()->className();

    dialog.ProblemEdit()->setPlainText("No pictures found.\nCard from a Nikon.");
    dialog.UserMailEdit()->setText("me@example.com");
    EXPECT_NE(dialog.BuildBody().indexOf("No pictures found.\r\nCard from a Nikon.\r\n\r\nComputer Description:"), -1);
    dialog.show();
    QTest::mouseClick(dialog.SendButton(), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(dialog.isVisible());

    const std::string system = dialog.SystemEdit()->text().toStdString();
    std::string reportLf = report;
    for (size_t at; (at = reportLf.find("\r\n")) != std::string::npos;)
        reportLf.erase(at, 1);
    const std::string expected = "Pixsalvo Technical Support Request:\n\nProblem description:\n\n"
                                 "No pictures found.\nCard from a Nikon.\n\nComputer Description:\n\n"
                                 "Computer: " + computer.toStdString() + "\nSystem: " + system +
                                 "\n\nProduct information:\n\n" + reportLf + "\n";
    const std::string message = ReadText(home.File("stdin"));
    const size_t split = message.find("\n\n");
    ASSERT_NE(split, std::string::npos) << message;
    EXPECT_EQ(message.substr(split + 2), expected);
    EXPECT_NE(message.find("To: help@reseller.example\n"), std::string::npos) << message;
    EXPECT_NE(message.find("Subject: Technical support request\n"), std::string::npos) << message;
    EXPECT_EQ(message.find("me@example.com"), std::string::npos);
}

TEST_F(EmailSupport, WithoutMailProgramOrCardTheDialogClosesSilently)
{
    ::setenv("PATH", home.File("empty").c_str(), 1);
    CEmailSupportDlg dialog(nullptr);
    std::vector<std::string> boxes;
    dialog.Mail().SetHooks({[&](const std::string& text, const std::string&) { boxes.push_back(text); }, {}});
    EXPECT_TRUE(dialog.CardInfoEdit()->toPlainText().isEmpty());
    dialog.show();
    QTest::mouseClick(dialog.SendButton(), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(dialog.Mail().IsConnected());
}

}  // namespace
