#include "ui/cfrmtoolpages.h"

#include <QApplication>
#include <QMessageBox>

#include <random>

#include "device/cfoundlist.h"
#include "tools/capacitytest.h"
#include "tools/cardtools.h"
#include "ui/coretext.h"
#include "ui/pagekit.h"
#include "widgets/ccylinderprogress.h"

namespace {

constexpr int kEjectId = 1111;
constexpr int kBootBlockId = 1059, kFatClustersId = 1060, kDirectoryId = 1061, kFragmentationId = 1062;
// The tools' progress bar: gold on pale yellow.
const QColor kToolDone(0xE3, 0xC4, 0x5E);
const QColor kToolRest(0xFF, 0xEB, 0x90);
constexpr int kSide = 16;

// The sentences that name a tool, whole for each tool so that a translation can word them
// as its language needs; another tool's word is put into the English sentence.
struct ToolSentences {
    const char* tool;
    const char* startTip;
    const char* insertCard;
    const char* selectCard;
};
constexpr ToolSentences kToolSentences[] = {
    {"test", QT_TRANSLATE_NOOP("CFrmToolPage", "Start the test of the selected card"),
     QT_TRANSLATE_NOOP("CFrmToolPage", "Please insert card to test"),
     QT_TRANSLATE_NOOP("CFrmToolPage", "Please select card to test")},
    {"format", QT_TRANSLATE_NOOP("CFrmToolPage", "Start the format of the selected card"),
     QT_TRANSLATE_NOOP("CFrmToolPage", "Please insert card to format"),
     QT_TRANSLATE_NOOP("CFrmToolPage", "Please select card to format")},
    {"erase", QT_TRANSLATE_NOOP("CFrmToolPage", "Start the erase of the selected card"),
     QT_TRANSLATE_NOOP("CFrmToolPage", "Please insert card to erase"),
     QT_TRANSLATE_NOOP("CFrmToolPage", "Please select card to erase")},
};

const ToolSentences* SentencesOf(const QString& tool)
{
    for (const ToolSentences& sentences : kToolSentences)
        if (tool == QLatin1String(sentences.tool))
            return &sentences;
    return nullptr;
}

QString StartTip(const QString& tool)
{
    const ToolSentences* sentences = SentencesOf(tool);
    return sentences ? CFrmToolPage::tr(sentences->startTip) : "Start the " + tool + " of the selected card";
}

QLabel* AboutText(const QString& text, QWidget* parent)
{
    QLabel* label = FieldLabel(text, parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

}  // namespace

CFrmToolPage::CFrmToolPage(const CPageContext& context, const CStep& step, const QString& heading, const QString& tool,
                           int32_t scope, QWidget* parent)
    : CFrmRoot(context, step, parent), m_scope(scope), m_tool(tool),
      m_start(RoundButton(tr("&Start"), StartTip(tool), this)),
      m_cancel(PageButton(tr("Cancel"), this)), m_eject(PageButton(tr("Eject Card"), this))
{
    SetHeading(heading);
    MakeProgress();
    if (auto* bar = qobject_cast<CCylinderProgress*>(m_progress))
        bar->SetColours(kToolDone, kToolRest);
    m_eject->setToolTip(tr("Eject the selected card from its reader"));
    AddControl(ControlId::Start, m_start);
    AddControl(ControlId::Cancel, m_cancel);
    AddControl(kEjectId, m_eject);
    connect(m_start, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { RequestCancel(); });
    connect(m_eject, &QPushButton::clicked, this, &CFrmToolPage::OnEject);
}

bool CFrmToolPage::CheckReady()
{
    if (const ToolSentences* sentences = SentencesOf(m_tool))
        return CheckCard(CardAnchor(), tr(sentences->insertCard), tr(sentences->selectCard));
    return CheckCard(CardAnchor(), "Please insert card to " + m_tool, "Please select card to " + m_tool);
}

void CFrmToolPage::OnEject()
{
    if (JobRunning() || !CheckReady())
        return;
    Document().EjectSelected();
}

void CFrmToolPage::RefreshControls()
{
    m_start->setEnabled(!JobRunning());
    m_cancel->setEnabled(JobRunning());
    m_eject->setEnabled(!JobRunning());
}

bool CFrmToolPage::RunJob(CCardJob& job)
{
    const bool ok = job.Run();
    const std::string error = job.GetError();
    if (ok && error.empty())
        SetStatusText(tr("Finished"));
    else
        SetStatusText(error.empty() ? tr("The job failed") : CoreText(error), true);
    RefreshControls();
    return ok && error.empty();
}

void CFrmToolPage::OnCardSelected()
{
    ResetPage();
    CloseBalloon();
}

QRect CFrmToolPage::ContentArea() const { return QRect(kSide, 36, width() - 2 * kSide, height() - 36 - 80); }

void CFrmToolPage::resizeEvent(QResizeEvent*)
{
    const int w = width(), h = height();
    m_progress->setGeometry(kSide, h - 76, w - 2 * kSide, 18);
    m_progressText->setGeometry(kSide, h - 56, w - 2 * kSide, 18);
    m_start->setGeometry(w - kSide - 292, h - 34, 96, 24);
    m_cancel->setGeometry(w - kSide - 188, h - 34, 88, 24);
    m_eject->setGeometry(w - kSide - 92, h - 34, 92, 24);
}

CFrmToolCardTest::CFrmToolCardTest(const CPageContext& context, const CStep& step, QWidget* parent)
    : CFrmToolPage(context, step, tr("Identify potential memory card problems."), "test",
                   JobScope::CardTest, parent),
      m_capacity(new QCheckBox(tr("Also test the card's real capacity (erases the card)"), this))
{
    m_capacity->setToolTip(tr("Writes every block and reads it back: finds fake cards that hold less than they claim"));
    const std::pair<int, QString> lines[] = {
        {ControlId::BytesVerified, tr("Bytes Verified:")}, {ControlId::ReadErrors, tr("Read Errors:")},
        {kBootBlockId, tr("Boot Block:")}, {kFatClustersId, tr("FAT Clusters:")},
        {kDirectoryId, tr("Directory:")}, {kFragmentationId, tr("Fragmentation:")}};
    for (const auto& [id, text] : lines) {
        QLabel* value = ValueLabel(text, this);
        m_lines.emplace_back(FieldLabel(text, this), value);
        AddControl(id, value);
    }
    ResetPage();
}

void CFrmToolCardTest::ResetPage()
{
    CFrmRoot::ResetPage();
    for (int id : {kBootBlockId, kFatClustersId, kDirectoryId, kFragmentationId})
        SetControlText(id, tr("N/A"));
}

QString CFrmToolCardTest::Line(int id) const
{
    auto* label = qobject_cast<QLabel*>(Control(id));
    return label ? label->text() : QString();
}

void CFrmToolCardTest::OnPageShow()
{
    CFrmRoot::OnPageShow();
    ResetPage();
}

bool CFrmToolCardTest::OnStart()
{
    if (JobRunning() || !CheckReady())
        return false;
    if (m_capacity->isChecked())
        return StartCapacityTest();
    CloseBalloon();
    ResetPage();
    CCardTest job(&Document().Status(), Document().SelectedInfo(), m_scope);
    SetStatusText(tr("Testing..."));
    // The file system as the card's first partition (or the whole card) shows it.
    const QString system = QString::fromStdString(Document().GetFileSystemName(Document().SelectedLetter()));
    const bool readable = !system.isEmpty();
    SetControlText(kBootBlockId, readable ? tr("OK") : tr("FAIL"));
    SetControlText(kFatClustersId, readable ? tr("OK (%1)").arg(system) : tr("FAIL"));
    SetControlText(kDirectoryId, readable ? tr("OK") : tr("FAIL"));
    // No measurement stands behind a fragmentation figure: the line says so.
    SetControlText(kFragmentationId, tr("N/A"));
    return RunJob(job);
}

bool CFrmToolCardTest::StartCapacityTest()
{
    // The test overwrites the card: files recovered and not saved yet may be its only copy.
    if (const CFoundList* found = Document().FoundList(); found && found->GetCount() > 0) {
        SetStatusText(tr("%1 recovered files are not saved yet: save them (Save Images) before the capacity test "
                         "erases the card")
                          .arg(found->GetCount()),
                      true);
        return false;
    }
    if (Confirm(CFrmToolWipe::tr(CFrmToolWipe::ConfirmText)) != QMessageBox::Yes)
        return false;
    CloseBalloon();
    ResetPage();
    std::random_device random;
    CCardCapacityTest job(&Document().Status(), Document().SelectedInfo(), (uint64_t(random()) << 32) ^ random(),
                          m_scope);
    SetStatusText(tr("Testing the card's real capacity..."));
    const bool ok = RunJob(job);
    // The verdict with the speeds, in place of "Finished" or the error.
    if (job.Outcome() == JobOutcome::Finished) {
        const CCapacityResult& r = job.Result();
        SetStatusText(tr("The card is %1 (write %2 MB/s, read %3 MB/s)")
                          .arg(CapacityVerdictQText(r))
                          .arg(r.writeMBps, 0, 'f', 1)
                          .arg(r.readMBps, 0, 'f', 1),
                      !r.Passed());
    }
    return ok;
}

void CFrmToolCardTest::OnTransferProgress(const CTransferStatus& status)
{
    ShowProgress(status);
    // The blocks that did not read even one by one, as the test meets them.
    SetControlText(ControlId::ReadErrors, QString::number(status.UnreadableBlocks));
}

void CFrmToolCardTest::resizeEvent(QResizeEvent* event)
{
    CFrmToolPage::resizeEvent(event);
    // The counters on the left, the file system's lines on the right.
    const QRect area = ContentArea();
    const int column = area.width() / 2;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        const bool counter = i < 2;
        const int x = area.left() + (counter ? 0 : column);
        const int row = counter ? int(i) : int(i) - 2;
        const int y = area.top() + 4 + row * 24;
        m_lines[i].first->setGeometry(x, y, 110, 22);
        m_lines[i].second->setGeometry(x + 112, y, column - 120, 22);
    }
    m_capacity->setGeometry(area.left(), area.top() + 4 + 4 * 24, area.width(), 22);
}

CFrmToolFormat::CFrmToolFormat(const CPageContext& context, const CStep& step, QWidget* parent)
    : CFrmToolPage(context, step, tr("Format your memory card."), "format", JobScope::Format, parent),
      m_about(AboutText(tr("Writes a new FAT file system in the layout cameras expect. Every picture on the card is "
                           "lost: recover and save them first. The card is ejected when the format is done."),
                        this))
{
}

bool CFrmToolFormat::OnStart()
{
    if (JobRunning() || !CheckReady())
        return false;
    if (Confirm(tr(ConfirmText)) != QMessageBox::Yes)
        return false;
    CloseBalloon();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    RefreshControls();
    CCardFormat job(&Document().Status(), Document().SelectedInfo(), m_scope);
    SetStatusText(tr("Formatting..."));
    const bool ok = RunJob(job);
    QApplication::restoreOverrideCursor();
    if (ok)
        ShowMessage(tr(DoneText), tr("Finished"));
    return ok;
}

void CFrmToolFormat::resizeEvent(QResizeEvent* event)
{
    CFrmToolPage::resizeEvent(event);
    m_about->setGeometry(ContentArea());
}

CFrmToolWipe::CFrmToolWipe(const CPageContext& context, const CStep& step, QWidget* parent)
    : CFrmToolPage(context, step, tr("Secure erase your memory card."), "erase", JobScope::Erase, parent),
      m_about(AboutText(tr("Overwrites every block of the card with zeros, so that nothing on it can be recovered "
                           "any more. Format the card afterwards to use it in a camera."),
                        this))
{
}

void CFrmToolWipe::OnPageShow()
{
    CFrmRoot::OnPageShow();
    ResetPage();
}

bool CFrmToolWipe::OnStart()
{
    if (JobRunning() || !CheckReady())
        return false;
    if (Confirm(tr(ConfirmText)) != QMessageBox::Yes)
        return false;
    CloseBalloon();
    CCardWipe job(&Document().Status(), Document().SelectedInfo(), m_scope);
    SetStatusText(tr("Erasing..."));
    return RunJob(job);
}

void CFrmToolWipe::OnTransferProgress(const CTransferStatus& status) { ShowProgress(status); }

void CFrmToolWipe::resizeEvent(QResizeEvent* event)
{
    CFrmToolPage::resizeEvent(event);
    m_about->setGeometry(ContentArea());
}
