// Closing the main window while found files are not saved: the question before they are
// deleted, each of its answers, and the box as a keyboard or a screen reader meets it.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <filesystem>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>

#include "pagetest.h"
#include "recovery/cfoundfiles.h"
#include "support/fixtures.h"
#include "ui/cpxmaindlg.h"
#include "ui/pagekit.h"

namespace fs = std::filesystem;

namespace {

using Answer = CPXMainDlg::QuitAnswer;

class QuitAsks : public PageTest {
protected:
    // Files of these sizes in a run folder, in the window's found list as a scan leaves them.
    std::vector<std::string> AddFound(CPXMainDlg& window, const std::vector<size_t>& sizes)
    {
        fs::create_directories(runFolder);
        std::vector<std::string> paths;
        for (size_t i = 0; i < sizes.size(); ++i) {
            paths.push_back(runFolder + "/FILE" + std::to_string(i) + ".jpg");
            EXPECT_TRUE(px::test::WriteFile(paths.back(), std::vector<uint8_t>(sizes[i], 0x5a)));
            window.Document().FoundList()->AddFile(paths.back());
        }
        return paths;
    }
    // Closes the window as its close button does: true when it is gone once the viewer
    // had its time (the window waits for it without blocking).
    static bool Closes(CPXMainDlg& window)
    {
        window.close();
        for (int i = 0; i < 200 && window.isVisible(); ++i)
            QTest::qWait(10);
        return !window.isVisible();
    }
    static QAction* QuitAction(CPXMainDlg& window)
    {
        for (QAction* action : window.actions())
            if (action->text() == "&Quit")
                return action;
        return nullptr;
    }

    std::string runFolder = home.File("Tmp/Run_1");
};

TEST_F(QuitAsks, NothingUnsavedClosesWithoutAsking)
{
    CPXMainDlg window(services);
    window.show();
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(window.close()) << "the viewer gets its time first";
    EXPECT_FALSE(window.isEnabled());
    EXPECT_TRUE(window.isVisible());
    for (int i = 0; i < 200 && window.isVisible(); ++i)
        QTest::qWait(10);
    EXPECT_FALSE(window.isVisible());
    EXPECT_GE(clock.elapsed(), 500);
    EXPECT_TRUE(services.asked.isEmpty()) << "an empty found list asks nothing";
}

TEST_F(QuitAsks, CancelKeepsTheWindowAndTheFilesAndARunningJobStillRefuses)
{
    CPXMainDlg window(services);
    window.show();
    const auto files = AddFound(window, {1024, 2048, 1536});
    EXPECT_FALSE(window.close());
    ASSERT_EQ(services.asked.size(), 1);
    EXPECT_TRUE(services.asked[0].startsWith(QString("3 recovered files (%1) are not saved yet.").arg(SizeQText(4608))))
        << services.asked[0].toStdString();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.CurrentStep(), Steps::SelectCard) << "Cancel goes nowhere";
    EXPECT_EQ(window.Document().FoundList()->GetCount(), 3u);
    for (const std::string& file : files)
        EXPECT_TRUE(fs::exists(file)) << file;

    // Files the user unmarked are still files not saved: the text counts them apart.
    static_cast<CFoundFiles*>(window.Document().FoundList())->Thumbs().GetAt(1)->SetKept(false);
    EXPECT_FALSE(window.close());
    ASSERT_EQ(services.asked.size(), 2);
    EXPECT_TRUE(services.asked[1].startsWith(QString("3 recovered files (%1) are not saved yet; 2 of them are marked to keep.")
                                        .arg(SizeQText(4608))))
        << services.asked[1].toStdString();

    // While a job runs, closing is refused as before, without the question.
    {
        CMsgSend started(MsgCode::JobStarted);
    }
    services.quitAnswer = Answer::QuitAnyway;
    EXPECT_FALSE(window.close());
    EXPECT_EQ(services.asked.size(), 2);
    EXPECT_TRUE(fs::exists(files[0]));
    {
        CMsgSend finished(MsgCode::JobFinished);
    }
}

TEST_F(QuitAsks, SaveFirstFromTheQuitCommandShowsTheSavePage)
{
    CPXMainDlg window(services);
    window.show();
    window.OnMenuCommand(Steps::ViewAllTools);
    ASSERT_FALSE(window.ShowsRecoveryMenu());
    const auto files = AddFound(window, {700});
    QAction* quit = QuitAction(window);
    ASSERT_NE(quit, nullptr);
    EXPECT_EQ(quit->shortcut(), QKeySequence(QKeySequence::Quit));
    services.quitAnswer = Answer::SaveFirst;
    quit->trigger();   // runs from the event loop, as every entry of the program's menu
    QCoreApplication::processEvents();
    ASSERT_EQ(services.asked.size(), 1);
    EXPECT_TRUE(services.asked[0].startsWith(QString("1 recovered file (%1) is not saved yet.").arg(SizeQText(700))))
        << services.asked[0].toStdString();
    EXPECT_TRUE(window.isVisible()) << "closing was cancelled";
    EXPECT_EQ(window.CurrentStep(), Steps::SaveImages);
    EXPECT_TRUE(window.ShowsRecoveryMenu()) << "the Save page is a recovery step";
    EXPECT_EQ(window.Document().FoundList()->GetCount(), 1u);
    EXPECT_TRUE(fs::exists(files[0]));
}

TEST_F(QuitAsks, QuitAnywayDeletesTheFilesAndCloses)
{
    CPXMainDlg window(services);
    window.show();
    const auto files = AddFound(window, {4096, 10});
    services.quitAnswer = Answer::QuitAnyway;
    EXPECT_TRUE(Closes(window));
    EXPECT_EQ(services.asked.size(), 1);
    EXPECT_EQ(window.Document().FoundList()->GetCount(), 0u);
    for (const std::string& file : files)
        EXPECT_FALSE(fs::exists(file)) << file;
    EXPECT_FALSE(fs::exists(runFolder)) << "the emptied run folder goes too";
}

// The real box: its buttons by name, Save first the default, Escape cancels. Without the
// hook, the window shows it and waits, as it does for the user.
TEST_F(QuitAsks, TheBoxAnswersByKeyboardAndNamesItsButtons)
{
    const auto box = CPXMainDlg::MakeQuitQuestion("2 recovered files are not saved yet.", nullptr);
    QStringList names;
    for (QAbstractButton* button : box->buttons())
        names << button->accessibleName();
    names.sort();
    EXPECT_EQ(names, (QStringList{"Cancel", "Quit anyway", "Save first"}));
    ASSERT_NE(box->defaultButton(), nullptr);
    EXPECT_EQ(box->defaultButton()->text(), "Save first");
    EXPECT_EQ(CPXMainDlg::AnswerOf(*box), Answer::Cancel) << "nothing pressed yet";
    for (QAbstractButton* button : box->buttons()) {
        button->click();
        const Answer expected = button->text() == "Save first"    ? Answer::SaveFirst
                                : button->text() == "Quit anyway" ? Answer::QuitAnyway
                                                                  : Answer::Cancel;
        EXPECT_EQ(CPXMainDlg::AnswerOf(*box), expected) << button->text().toStdString();
    }

    CDesktopServices desktop(settings);
    CPXMainDlg window(desktop);
    window.show();
    const auto files = AddFound(window, {100, 200});
    QString shown;
    int tries = 0;
    QTimer escape;
    QObject::connect(&escape, &QTimer::timeout, [&] {
        QMessageBox* modal = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(top); box && box->isVisible())
                modal = box;
        if (!modal && ++tries < 250)
            return;
        escape.stop();
        if (!modal)
            return;
        shown = modal->text();
        QTest::keyClick(modal, Qt::Key_Escape);
    });
    escape.start(20);
    EXPECT_FALSE(window.close()) << "Escape is Cancel";
    EXPECT_TRUE(shown.startsWith("2 recovered files")) << shown.toStdString();
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(fs::exists(files[1]));
}

}  // namespace
