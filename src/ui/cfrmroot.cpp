#include "ui/cfrmroot.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QVBoxLayout>

#include "app/progresstext.h"
#include "device/cinfo.h"
#include "ui/coretext.h"
#include "ui/pagekit.h"
#include "widgets/ccylinderprogress.h"

CMFCPageDlg::CMFCPageDlg(int step, const QString& title, const QString& description, QWidget* parent)
    : QWidget(parent), m_step(step), m_title(title), m_description(description)
{
    setAccessibleName(title);
    hide();
}

CFrmRoot::CFrmRoot(const CPageContext& context, const CStep& step, QWidget* parent)
    : CMFCPageDlg(step.Step, step.PageTitle, step.Description, parent), m_context(context)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    m_heading = new QLabel(step.PageTitle, this);
    QFont font = m_heading->font();
    font.setPixelSize(15);
    font.setBold(true);
    m_heading->setFont(font);
    m_heading->setAccessibleName(step.PageTitle);
    QPalette palette = m_heading->palette();
    palette.setColor(QPalette::WindowText, PageColour::Text);
    m_heading->setPalette(palette);
    layout->addWidget(m_heading);
    layout->addStretch(1);
    AddControl(ControlId::Heading, m_heading);
    ListenToBus();
}

CFrmRoot::~CFrmRoot()
{
    // The balloon is a window of its own: it goes with its page.
    CloseBalloon();
}

void CFrmRoot::OnPageShow()
{
    CMFCPageDlg::OnPageShow();
    SetStatusText(Description(), false);
    RefreshControls();
}

void CFrmRoot::OnPageHide()
{
    CloseBalloon();
    CMFCPageDlg::OnPageHide();
}

void CFrmRoot::ShowBalloon(QWidget* at, const QString& title, const QString& text, CBalloonTip::Kind kind)
{
    CloseBalloon();
    m_balloon = text;
    m_balloonTip = CBalloonTip::Show(at ? at : m_heading, title, text, kind);
    connect(m_balloonTip, &CBalloonTip::Closed, this, [this] { m_balloon.clear(); });
}

void CFrmRoot::CloseBalloon()
{
    if (m_balloonTip)
        m_balloonTip->close();
    m_balloon.clear();
}

void CFrmRoot::ShowMessage(const QString& text, const QString& title)
{
    SetStatusText(text, false);
    Services().Box(BoxKind::Message, this, text, title.isEmpty() ? tr("Message") : title);
}

int CFrmRoot::Confirm(const QString& text, const QString& title)
{
    return Services().Box(BoxKind::Confirm, this, text, title.isEmpty() ? tr("Confirmation") : title);
}

void CFrmRoot::ShowProgress(const CTransferStatus& status)
{
    if (m_progressText)
        m_progressText->setText(ProgressQText(status));
    SetControlText(ControlId::BytesVerified, QString::fromStdString(DeviceText::WithCommas(int64_t(status.BytesDone))));
}

void CFrmRoot::ResetPage()
{
    if (m_progressText)
        m_progressText->clear();
    SetControlText(ControlId::BytesVerified, "0");
    SetControlText(ControlId::ReadErrors, "0");
}

void CFrmRoot::ShowTotals()
{
    const CFoundList* found = Document().FoundList();
    SetControlText(ControlId::TotalImages, QString::number(found ? found->CountKept() : 0));
    SetControlText(ControlId::TotalSize, QString::fromStdString(SizeText(found ? found->KeptSize() : 0)));
}

void CFrmRoot::SetControlText(int id, const QString& text)
{
    QWidget* control = Control(id);
    if (auto* label = qobject_cast<QLabel*>(control))
        label->setText(text);
    else if (auto* edit = qobject_cast<QLineEdit*>(control))
        edit->setText(text);
}

bool CFrmRoot::CheckReady() { return CheckCard(Control(ControlId::CardList)); }

bool CFrmRoot::CheckCard(QWidget* at, const QString& insertText, const QString& selectText)
{
    if (Document().HasNoCard()) {
        ShowBalloon(at, tr("Insert card"), insertText);
        return false;
    }
    if (Document().SelectedLetter() == 0) {
        ShowBalloon(at, tr("Select card"), selectText);
        return false;
    }
    return true;
}

void CFrmRoot::SetHeading(const QString& text)
{
    m_heading->setText(text);
    m_heading->setAccessibleName(text);
}

void CFrmRoot::MakeProgress()
{
    m_progress = new CCylinderProgress(this);
    m_progress->setRange(0, 100);
    m_progressText = new QLabel(this);
    MarkValueLabel(m_progressText, tr("Progress text"));
    QPalette palette = m_progressText->palette();
    palette.setColor(QPalette::WindowText, PageColour::Muted);
    m_progressText->setPalette(palette);
    AddControl(ControlId::Progress, m_progress);
}

void CFrmRoot::RequestCancel()
{
    WizardBus().RequestCancel();
    RefreshControls();
}

void CFrmRoot::ListenToBus()
{
    CWizardBus* bus = &WizardBus();
    for (auto signal : {&CWizardBus::jobStarted, &CWizardBus::jobFinished, &CWizardBus::cardSelected,
                        &CWizardBus::cardListChanged, &CWizardBus::viewerClosing, &CWizardBus::otherMessage})
        connect(bus, signal, this, &CFrmRoot::Received);
    connect(bus, &CWizardBus::cardSelected, this, &CFrmRoot::OnCardSelected);
    connect(bus, &CWizardBus::cardListChanged, this, &CFrmRoot::OnCardListChanged);
    connect(bus, &CWizardBus::viewerClosing, this, &CFrmRoot::OnViewerClosing);
    connect(bus, &CWizardBus::pageRequested, this, &CFrmRoot::Received);
    connect(bus, &CWizardBus::progressShown, this, &CFrmRoot::ProgressShown);
    connect(bus, &CWizardBus::progressFinished, this, &CFrmRoot::ProgressFinished);
    connect(bus, &CWizardBus::progressMoved, this, &CFrmRoot::ProgressMoved);
    connect(bus, &CWizardBus::progressRange, this, &CFrmRoot::ProgressRange);
    const auto status = [this, bus](auto signal, void (CFrmRoot::*handler)(const CTransferStatus&)) {
        connect(bus, signal, this, [this, handler](int scope, const CTransferStatus& record) {
            Received();
            if (TakesScope(scope))
                (this->*handler)(record);
        });
    };
    status(&CWizardBus::fileStarted, &CFrmRoot::OnFileStarted);
    status(&CWizardBus::fileFound, &CFrmRoot::OnFileFound);
    status(&CWizardBus::fileDescribed, &CFrmRoot::OnFileDescribed);
    status(&CWizardBus::transferProgress, &CFrmRoot::OnTransferProgress);
}

void CFrmRoot::Received()
{
    // A hidden page is refreshed when it shows: refreshing every page on each of a scan's
    // messages would count the found list once per page and file found.
    if (IsActive())
        RefreshControls();
}

void CFrmRoot::ProgressShown(int scope)
{
    Received();
    if (!ShowsProgressOf(scope))
        return;
    // A new job starts from empty.
    m_progress->setValue(m_progress->minimum());
    m_progress->show();
}

void CFrmRoot::ProgressFinished(int scope)
{
    Received();
    // A finished job leaves the bar full (the jobs send a last position 0 before
    // Finished) until the next job shows its progress.
    if (ShowsProgressOf(scope))
        m_progress->setValue(m_progress->maximum());
}

void CFrmRoot::ProgressMoved(int scope, int position, const std::optional<QString>& text)
{
    Received();
    if (!IsActive() || !TakesScope(scope))
        return;
    if (text)
        OnProgressText(scope, *text);
    if (m_progress)
        m_progress->setValue(position);
}

void CFrmRoot::ProgressRange(int scope, int low, int high)
{
    Received();
    if (ShowsProgressOf(scope))
        m_progress->setRange(low, high);
}

QString CFrmRoot::CardCaption() const
{
    if (Document().SelectedLetter() == 0)
        return tr("Not selected");
    const CDriveInfo& info = Document().SelectedInfo();
    const bool removable = info.m_Descriptor.RemovableMedia == 1;
    return QString("%1 %2 (%3:)")
        .arg(removable ? tr("Removable") : QString(), QString::fromStdString(info.m_Descriptor.Product))
        .arg(QChar(Document().SelectedLetter()));
}

void CMFCPageCtrl::SetArea(const QRect& area)
{
    m_area = area;
    if (m_current)
        m_current->setGeometry(m_area);
}

void CMFCPageCtrl::SetCurrent(int step)
{
    CMFCPageDlg* page = Page(step);
    if (!page)
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    CMFCPageDlg* old = m_current;
    if (old && old != page)
        old->OnPageHide();
    m_current = page;
    page->setGeometry(m_area);
    page->show();
    page->raise();
    if (old && old != page)
        old->hide();
    page->OnPageShow();
    QApplication::restoreOverrideCursor();
}
