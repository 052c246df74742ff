// The support request dialog as a user sends it: the form filled from this machine and the
// selected card, the body the mail program receives and a dialog that closes once it was
// taken; a missing, failing or hanging mail program told with its reason while the dialog
// stays open with the user's text, which Save as text keeps in a file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QElapsedTimer>
#include <QTest>

#include <functional>

#include "app/csettings.h"
#include "device/cdrivedoc.h"
#include "platform/volumetable.h"
#include "pagetest.h"
#include "ui/cemailsupportdlg.h"

namespace {

std::string ReadText(const std::string& path)
{
    const std::vector<uint8_t> bytes = px::test::ReadFile(path);
    return {bytes.begin(), bytes.end()};
}

class EmailSupport : public PageTest {
protected:
    void SetUp() override
    {
        PageTest::SetUp();
        const char* path = std::getenv("PATH");
        savedPath = path ? path : "";
        CMail::SetFallbackPrograms({});
    }
    void TearDown() override
    {
        ::setenv("PATH", savedPath.c_str(), 1);
        CMail::SetFallbackPrograms(CMail::DefaultFallbackPrograms());
        PageTest::TearDown();
    }
    // A sendmail first on PATH that keeps its input in the home folder, then runs ending.
    void InstallSendmail(const std::string& ending = {})
    {
        std::filesystem::create_directories(home.File("bin"));
        const std::string program = home.File("bin/sendmail");
        const std::string script = "#!/bin/sh\ncat > " + px::test::Quote(home.File("stdin")) + "\n" + ending + "\n";
        ASSERT_TRUE(px::test::WriteFile(program, std::vector<uint8_t>(script.begin(), script.end())));
        ::chmod(program.c_str(), 0755);
        ::setenv("PATH", (home.File("bin") + ":" + savedPath).c_str(), 1);
    }

    // Lets the window run until done says yes, at most ms.
    static bool WaitFor(const std::function<bool()>& done, int ms = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < ms)
            QTest::qWait(20);
        return done();
    }

    std::string savedPath;
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

    CEmailSupportDlg dialog(&doc, services);
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
    ASSERT_TRUE(WaitFor([&] { return !dialog.isVisible(); }));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);

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

TEST_F(EmailSupport, WithoutMailProgramTheDialogSaysWhyKeepsTheTextAndSavesIt)
{
    ::setenv("PATH", home.File("empty").c_str(), 1);
    CEmailSupportDlg dialog(nullptr, services);
    services.answer = QMessageBox::Save;
    const QString chosen = QString::fromStdString(home.File("request.txt"));
    services.file = chosen;
    EXPECT_TRUE(dialog.CardInfoEdit()->toPlainText().isEmpty());
    dialog.ProblemEdit()->setPlainText("The card shows no pictures.");
    dialog.show();
    QTest::mouseClick(dialog.SendButton(), Qt::LeftButton);
    ASSERT_EQ(services.boxes.size(), 1);
    EXPECT_TRUE(services.boxes[0].startsWith("EMail Problem: The support request could not be sent.\n\nNo mail program "
                                     "(sendmail) is installed (looked for on the PATH"))
        << services.boxes[0].toStdString();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.ProblemEdit()->toPlainText(), "The card shows no pictures.");
    EXPECT_FALSE(dialog.Mail().IsConnected());

    // "Save as text..." in the box: the request as a file where the user chose.
    ASSERT_EQ(services.offered.size(), 1);
    EXPECT_TRUE(services.offered[0].endsWith("/Pixsalvo Support Request.txt")) << services.offered[0].toStdString();
    const std::string text = ReadText(chosen.toStdString());
    EXPECT_EQ(text.rfind("To: " + dialog.SupportAddress().toStdString() +
                             "\r\nSubject: Technical support request\r\n\r\nPixsalvo Technical Support Request:",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("The card shows no pictures.\r\n"), std::string::npos) << text;

    // A file that cannot be written says so, with the place and the reason.
    services.boxes.clear();
    services.file = chosen + "/nowhere/request.txt";
    EXPECT_FALSE(dialog.SaveAsText());
    ASSERT_EQ(services.boxes.size(), 1);
    EXPECT_TRUE(services.boxes[0].startsWith("Save as text: The request could not be saved in " + chosen + "/nowhere/request.txt: "))
        << services.boxes[0].toStdString();
}

// A sendmail that hangs leaves the dialog usable: Cancel stops it and keeps the form; one
// that fails is told with its exit status and its own words; the time limit stops a
// hanging one; closing the window stops it too.
TEST_F(EmailSupport, AHangingOrFailingSendmailKeepsTheDialogOpen)
{
    InstallSendmail("exec sleep 30");
    CEmailSupportDlg dialog(nullptr, services);
    QStringList& boxes = services.boxes;
    dialog.ProblemEdit()->setPlainText("Help");
    dialog.show();
    QTest::mouseClick(dialog.SendButton(), Qt::LeftButton);
    ASSERT_TRUE(dialog.Mail().IsSending());
    EXPECT_FALSE(dialog.SendButton()->isEnabled());
    EXPECT_EQ(dialog.CloseButton()->text(), "Cancel");
    EXPECT_EQ(dialog.StateLabel()->text(), "Sending...");
    QTest::mouseClick(dialog.CloseButton(), Qt::LeftButton);
    EXPECT_FALSE(dialog.Mail().IsSending());
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(boxes.isEmpty());
    EXPECT_EQ(dialog.StateLabel()->text(), "Not sent: sending was cancelled.");
    EXPECT_EQ(dialog.CloseButton()->text(), "Close");
    EXPECT_EQ(dialog.ProblemEdit()->toPlainText(), "Help");

    dialog.Mail().SetTimeout(300);
    QTest::mouseClick(dialog.SendButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !boxes.isEmpty(); }));
    EXPECT_NE(boxes[0].indexOf("sendmail did not finish within 0.3 seconds and was stopped"), -1) << boxes[0].toStdString();
    EXPECT_TRUE(dialog.isVisible());

    boxes.clear();
    InstallSendmail("echo 'sendmail: fatal: no relay host' >&2; exit 75");
    QTest::mouseClick(dialog.SendButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !boxes.isEmpty(); }));
    EXPECT_NE(boxes[0].indexOf("sendmail ended with exit status 75: sendmail: fatal: no relay host"), -1)
        << boxes[0].toStdString();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.ProblemEdit()->toPlainText(), "Help");

    InstallSendmail("exec sleep 30");
    dialog.Mail().SetTimeout(CMail::SendTimeoutMs);
    QTest::mouseClick(dialog.SendButton(), Qt::LeftButton);
    ASSERT_TRUE(dialog.Mail().IsSending());
    EXPECT_TRUE(dialog.close());
    EXPECT_FALSE(dialog.Mail().IsSending());
    EXPECT_FALSE(dialog.isVisible());
}

}  // namespace
