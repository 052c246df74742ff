// The main window's navigation as the user drives it: the menu, Continue, Support, the
// job-running lock, the first PageChanged, and the status line's repaint rule.
#include <gtest/gtest.h>

#include <algorithm>

#include <QAccessible>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QCloseEvent>
#include <QKeyEvent>

#include "pagetest.h"
#include "ui/caboutdlg.h"
#include "widgets/cballoontip.h"
#include "ui/cpxmaindlg.h"
#include "ui/csplashdlg.h"
#include "widgets/ccylinderprogress.h"

namespace {

// The pages changed to, as the bus tells them (step, previous step).
struct PageChanges : CListener {
    std::vector<std::pair<int, int>> changes;
    PageChanges() { Bus().AddListener("PageChanges", this); }
    ~PageChanges() override { Bus().RemoveListener(this); }
    void OnMessage(CSingleMsg& msg) override
    {
        if (msg.Code == MsgCode::PageChanged)
            changes.emplace_back(msg.Value1.ToInt(), msg.Value2.ToInt());
    }
};

class MainWindow : public PageTest {
protected:
    // A card image attached and selected in the window's document.
    void InsertCard(CPXMainDlg& window)
    {
        const std::string card = home.File("card.img");
        ASSERT_TRUE(px::test::MakeBlankImage(card, 8 << 20));
        char letter = 0;
        std::string error;
        ASSERT_TRUE(px::VolumeTable::Instance().Attach(card, &letter, &error)) << error;
        window.Document().Reload();
        window.Document().SelectDrive(letter);
    }
};

TEST_F(MainWindow, StartsOnSelectCardAndTheMenuMovesOneStepAtMost)
{
    PageChanges pages;
    CPXMainDlg window(services);
    ASSERT_FALSE(pages.changes.empty());
    EXPECT_EQ(pages.changes.front(), std::make_pair(3, -1));
    EXPECT_EQ(window.CurrentStep(), 3);

    // "Save Images" on step 3: only as far as step 4, and only past step 3's check.
    window.OnMenuCommand(7);
    EXPECT_EQ(window.CurrentStep(), 3) << "no card: the check stops it";
    EXPECT_EQ(window.Page(3)->BalloonText(), "Please insert a memory card into a reader");
    // The user's next action closes the balloon.
    QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
    QApplication::sendEvent(window.Menu(), &key);
    EXPECT_EQ(window.Page(3)->BalloonText(), "");
    InsertCard(window);
    window.OnMenuCommand(7);
    EXPECT_EQ(window.CurrentStep(), 4);

    // "Select Card" from step 6 goes straight back to 3.
    CMsgSend show(MsgCode::ShowPage, CVariant(6));
    EXPECT_EQ(window.CurrentStep(), 6);
    window.OnMenuCommand(3);
    EXPECT_EQ(window.CurrentStep(), 3);
    EXPECT_FALSE(window.BackButton()->isEnabled());
    EXPECT_TRUE(window.ContinueButton()->isEnabled());
}

TEST_F(MainWindow, AnOpenBalloonGoesWithItsWindow)
{
    {
        CPXMainDlg window(services);
        window.OnMenuCommand(4);
        ASSERT_NE(window.Page(3)->BalloonText(), "");
    }
    for (QWidget* top : QApplication::topLevelWidgets())
        EXPECT_FALSE(qobject_cast<CBalloonTip*>(top) && top->isVisible()) << "a balloon outlived its window";
}

TEST_F(MainWindow, SupportSwitchesToTheToolsOnce)
{
    CPXMainDlg window(services);
    // A press of "View all Tools" (as an accessibility client or the Space key presses it)
    // changes the menu under the pressed entry.
    for (CMenuItem* item : window.Menu()->Items()) {
        if (item->Entry().Command == 9) {
            item->click();
            break;
        }
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(window.CurrentStep(), 10);
    EXPECT_FALSE(window.ShowsRecoveryMenu());
    CMsgSend show(MsgCode::ShowPage, CVariant(5));
    PageChanges pages;
    window.OnSupport();
    EXPECT_EQ(window.CurrentStep(), 13);
    EXPECT_FALSE(window.ShowsRecoveryMenu());
    EXPECT_EQ(pages.changes, (std::vector<std::pair<int, int>>{{13, 5}}));
    window.OnSupport();
    EXPECT_EQ(pages.changes.size(), 1u) << "Support on the Support step changes nothing";
    window.OnMenuCommand(2);   // "Start Recovery"
    EXPECT_TRUE(window.ShowsRecoveryMenu());
    EXPECT_EQ(window.CurrentStep(), 3);
}

TEST_F(MainWindow, ARunningJobLocksNavigationAndClosing)
{
    CPXMainDlg window(services);
    InsertCard(window);
    CMsgSend show(MsgCode::ShowPage, CVariant(4));
    {
        CMsgSend started(MsgCode::JobStarted);
        // A cancel request does not end the job: it stays locked until the job's end.
        CMsgSend cancel(MsgCode::Cancel, CVariant(1));
    }
    EXPECT_FALSE(window.ContinueButton()->isEnabled());
    EXPECT_FALSE(window.BackButton()->isEnabled());
    EXPECT_FALSE(window.SupportButton()->isEnabled());
    EXPECT_FALSE(window.Menu()->isEnabled());
    window.OnMenuCommand(3);
    window.OnSupport();
    EXPECT_EQ(window.CurrentStep(), 4);
    QCloseEvent close;
    QApplication::sendEvent(&window, &close);
    EXPECT_FALSE(close.isAccepted()) << "closing is refused while a job runs";
    {
        CMsgSend finished(MsgCode::JobFinished);
    }
    EXPECT_TRUE(window.ContinueButton()->isEnabled());
    EXPECT_TRUE(window.BackButton()->isEnabled());
}

// A found list of sizes, some marked to keep.
struct FakeFound : CFoundList {
    std::vector<std::pair<uint64_t, bool>> files;
    size_t GetCount() const override { return files.size(); }
    size_t CountKept() const override { return size_t(std::count_if(files.begin(), files.end(), [](auto& f) { return f.second; })); }
    uint64_t KeptSize() const override
    {
        uint64_t total = 0;
        for (const auto& [size, kept] : files)
            total += kept ? size : 0;
        return total;
    }
    void AddFile(const std::string&) override {}
    void Clear() override { files.clear(); }
    bool SaveKept(const std::string&, std::string&, bool) override { return true; }
    bool CleanAll(std::string&) override { return true; }
    bool MoveFolder(const std::string&, const std::string&, std::string&) override { return true; }
};

// A page with the counters and totals that the shared operations fill.
struct CountersPage : CFrmRoot {
    explicit CountersPage(const CPageContext& context) : CFrmRoot(context, CStep{99, "9", "Counters", "Counters", "Counters"})
    {
        for (int id : {ControlId::TotalImages, ControlId::TotalSize, ControlId::BytesVerified, ControlId::ReadErrors})
            AddControl(id, new QLabel("7", this));
    }
    QString Text(int id) const { return static_cast<QLabel*>(Control(id))->text(); }
};

TEST_F(MainWindow, PageCountersAndTotalsCountOnlyKeptFiles)
{
    CDriveDoc doc;
    CountersPage page(Context(doc));
    page.ShowTotals();
    EXPECT_EQ(page.Text(ControlId::TotalImages), "0") << "no found list yet";
    EXPECT_EQ(page.Text(ControlId::TotalSize), "0.0 B");
    auto found = std::make_unique<FakeFound>();
    found->files = {{1536, true}, {5 << 20, false}, {512, true}};
    doc.SetFoundList(std::move(found));
    page.ShowTotals();
    EXPECT_EQ(page.Text(ControlId::TotalImages), "2");
    EXPECT_EQ(page.Text(ControlId::TotalSize), "2.0 KB");

    CTransferStatus status;
    status.BytesDone = 1234567;
    status.Capacity = 8 << 20;
    status.BlockCount = 16384;
    page.ShowProgress(status);
    EXPECT_EQ(page.Text(ControlId::BytesVerified), "1,234,567");
    EXPECT_EQ(page.Text(ControlId::TotalImages), "2") << "progress leaves the totals alone";
    page.ResetPage();
    EXPECT_EQ(page.Text(ControlId::BytesVerified), "0");
    EXPECT_EQ(page.Text(ControlId::ReadErrors), "0");
}

// Every control that an accessibility client can act on, in both menus, has a name.
TEST_F(MainWindow, EveryControlHasAnAccessibleName)
{
    CPXMainDlg window(services);
    InsertCard(window);
    for (int command : {Steps::ViewAllTools, Steps::StartRecovery}) {
        window.OnMenuCommand(command);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (QWidget* w : window.findChildren<QWidget*>()) {
            if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QAbstractItemView*>(w) &&
                !qobject_cast<QLineEdit*>(w) && !qobject_cast<QProgressBar*>(w) && !qobject_cast<QComboBox*>(w))
                continue;
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
            ASSERT_NE(a, nullptr);
            EXPECT_FALSE(a->text(QAccessible::Name).trimmed().isEmpty()) << w->metaObject()->className();
        }
    }
}

TEST_F(MainWindow, StatusLineRepaintsOnlyWhatChanged)
{
    CPXMainDlg window(services);
    CPX3StatusLine* line = window.StatusLine();
    line->SetText("Scanning...");
    const int updates = line->UpdatesRequested();
    line->SetText("Scanning...");
    EXPECT_EQ(line->UpdatesRequested(), updates) << "the same plain text twice redraws nothing";
    line->SetErrorText("Scanning...");
    EXPECT_EQ(line->UpdatesRequested(), updates + 1) << "an error is drawn on its own background";
    EXPECT_TRUE(line->IsError());
}

}  // namespace

namespace {

TEST(AboutBox, VersionFromTheProgramsOwnVersion)
{
    EXPECT_EQ(CAboutDlg::VersionText("3.0.0.1"), "Version 3.0");
    EXPECT_EQ(CAboutDlg::VersionText("12.7"), "Version 12.7");
    EXPECT_EQ(CAboutDlg::VersionText(""), "Version 0.0");
}

}  // namespace

namespace {

// A page with a progress bar, as the finding and tool pages have.
class ProgressPage : public CFrmRoot {
public:
    explicit ProgressPage(const CPageContext& context) : CFrmRoot(context, *FindStep(5)) { m_progress = new CCylinderProgress(this); }
    QProgressBar* Bar() const { return m_progress; }
};

TEST_F(MainWindow, ProgressStepsReachOnlyTheCurrentPage)
{
    CDriveDoc doc;
    ProgressPage page(Context(doc));
    auto progress = [](int32_t step, int32_t v1, int32_t v2 = 0) { CMsgProgress msg(v1, 1, step, CVariant(v2)); };
    progress(ProgressStep::Range, 0, 1000);
    progress(ProgressStep::Position, 400);
    EXPECT_NE(page.Bar()->value(), 400) << "a page that is not current changes nothing";
    page.OnPageShow();
    progress(ProgressStep::Range, 0, 1000);
    progress(ProgressStep::Position, 400);
    EXPECT_EQ(page.Bar()->maximum(), 1000);
    EXPECT_EQ(page.Bar()->value(), 400);
    progress(ProgressStep::Finished, 0);
    EXPECT_EQ(page.Bar()->value(), page.Bar()->maximum()) << "the bar stays full at Finished";
    int32_t reply = -1;
    {
        CMsgProgress query(0, 1, ProgressStep::Query, CVariant(0), &reply);
    }
    EXPECT_EQ(reply, 1) << "no job runs on the page";
    {
        CMsgRun job;
        CMsgProgress query(0, 1, ProgressStep::Query, CVariant(0), &reply);
        EXPECT_EQ(reply, 0) << "a job runs";
        EXPECT_TRUE(page.JobRunning());
    }
    EXPECT_FALSE(page.JobRunning());
}

}  // namespace

namespace {

TEST_F(MainWindow, SplashCountsItsTicksAndTakesNoRoomWithoutItsPicture)
{
    CSplashDlg* missing = CSplashDlg::Show(QString::fromStdString(home.File("none.jpg")), nullptr);
    EXPECT_EQ(missing->size(), QSize(0, 0));
    EXPECT_EQ(missing->TicksLeft(), 50) << "5,000 ms in ticks of 100 ms";
    EXPECT_EQ(CSplashDlg::Show("other.jpg", nullptr), missing) << "at most one splash";
    QKeyEvent key(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
    QApplication::sendEvent(missing, &key);
    EXPECT_EQ(CSplashDlg::Current(), nullptr) << "a key ends it";
}

}  // namespace
