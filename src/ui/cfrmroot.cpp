#include "ui/cfrmroot.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QVBoxLayout>

#include <functional>

#include "app/progresstext.h"
#include "device/cinfo.h"
#include "ui/pagekit.h"
#include "widgets/ccylinderprogress.h"

namespace {

std::function<void(const QString&, bool)>& StatusHook()
{
    static std::function<void(const QString&, bool)> hook;
    return hook;
}

std::function<int(int, const QString&, const QString&)>& BoxHook()
{
    static std::function<int(int, const QString&, const QString&)> hook;
    return hook;
}

}  // namespace

void SetStatusText(const QString& text, bool error)
{
    if (StatusHook())
        StatusHook()(text, error);
}

void SetStatusTextHook(std::function<void(const QString&, bool)> hook) { StatusHook() = std::move(hook); }

CMFCPageDlg::CMFCPageDlg(int step, const QString& title, const QString& description, QWidget* parent)
    : QWidget(parent), m_step(step), m_title(title), m_description(description)
{
    setAccessibleName(title);
    hide();
}

CFrmRoot::CFrmRoot(CDriveDoc& doc, const CStep& step, QWidget* parent, const char* listenerName)
    : CMFCPageDlg(step.Step, step.PageTitle, step.Description, parent), m_doc(doc)
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
    Bus().AddListener(listenerName ? std::string(listenerName) : step.PageTitle.toStdString(), this);
}

CFrmRoot::~CFrmRoot()
{
    // The balloon is a window of its own: it goes with its page.
    CloseBalloon();
    Bus().RemoveListener(this);
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

void SetBoxHook(std::function<int(int, const QString&, const QString&)> hook) { BoxHook() = std::move(hook); }

void SayWhereFileIs(QWidget* parent, const QString& what, const QString& path)
{
    const QString text = QCoreApplication::translate("CFrmRoot", "No program on this desktop opens %1. You find it here:\n%2").arg(what, path);
    const QString caption = QCoreApplication::translate("CFrmRoot", "Open");
    SetStatusText(text, true);
    if (BoxHook())
        BoxHook()(BoxKind::Message, text, caption);
    else
        QMessageBox::information(parent, caption, text);
}

int AskYesNo(QWidget* parent, const QString& text, const QString& title)
{
    if (BoxHook())
        return BoxHook()(BoxKind::Confirm, text, title);
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
}

void CFrmRoot::ShowMessage(const QString& text, const QString& title)
{
    SetStatusText(text, false);
    const QString caption = title.isEmpty() ? tr("Message") : title;
    if (BoxHook())
        BoxHook()(BoxKind::Message, text, caption);
    else
        QMessageBox::information(this, caption, text);
}

int CFrmRoot::Confirm(const QString& text, const QString& title)
{
    const QString caption = title.isEmpty() ? tr("Confirmation") : title;
    if (BoxHook())
        return BoxHook()(BoxKind::Confirm, text, caption);
    return QMessageBox::question(this, caption, text, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                                 QMessageBox::Cancel);
}

void CFrmRoot::ShowProgress(const CTransferStatus& status)
{
    if (m_progressText)
        m_progressText->setText(QString::fromStdString(ProgressText(status)));
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
    const CFoundList* found = m_doc.FoundList();
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
    if (m_doc.HasNoCard()) {
        ShowBalloon(at, tr("Insert card"), insertText);
        return false;
    }
    if (m_doc.SelectedLetter() == 0) {
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
    CMsgSend cancel(MsgCode::Cancel, CVariant(1));
    RefreshControls();
}

void CFrmRoot::OnMessage(CSingleMsg& msg)
{
    if (msg.Code == MsgCode::JobStarted)
        m_jobRunning = true;
    else if (msg.Code == MsgCode::JobFinished)
        m_jobRunning = false;
    // A hidden page is refreshed when it shows: refreshing every page on each of a scan's
    // messages would count the found list once per page and file found.
    if (IsActive())
        RefreshControls();
    OnBusMessage(msg);
}

void CFrmRoot::OnBusMessage(CSingleMsg& msg)
{
    if (!IsActive() || !m_progress || msg.Code != MsgCode::Progress)
        return;
    switch (msg.Kind) {
    case ProgressStep::Show:
        // A new job starts from empty.
        m_progress->setValue(m_progress->minimum());
        m_progress->show();
        break;
    case ProgressStep::Finished:
        // A finished job leaves the bar full (the jobs send a last position 0 before
        // Finished) until the next job shows its progress.
        m_progress->setValue(m_progress->maximum());
        break;
    case ProgressStep::Position:
        m_progress->setValue(msg.Value1.ToInt());
        break;
    case ProgressStep::Range:
        m_progress->setRange(msg.Value1.ToInt(), msg.Value2.ToInt());
        break;
    case ProgressStep::Query:
        if (msg.Reply)
            *msg.Reply = m_jobRunning ? 0 : 1;
        break;
    default:
        break;
    }
}

QString CFrmRoot::CardCaption() const
{
    if (m_doc.SelectedLetter() == 0)
        return tr("Not selected");
    const CDriveInfo& info = m_doc.SelectedInfo();
    const bool removable = info.m_Descriptor.RemovableMedia == 1;
    return QString("%1 %2 (%3:)")
        .arg(removable ? tr("Removable") : QString(), QString::fromStdString(info.m_Descriptor.Product))
        .arg(QChar(m_doc.SelectedLetter()));
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
