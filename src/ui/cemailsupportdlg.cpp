#include "ui/cemailsupportdlg.h"

#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>

#include "app/csettings.h"
#include "app/systeminfo.h"
#include "device/cdrivedoc.h"
#include "ui/coretext.h"
#include "ui/pagekit.h"

namespace {

// A multi-line field's text with the line ends of the original edit control (CR LF).
QString WithCrLf(const QString& text)
{
    QString lines = text;
    lines.replace("\r\n", "\n");
    lines.replace('\r', '\n');
    return lines.replace("\n", "\r\n");
}

constexpr const char* kSubject = "Technical support request";

}  // namespace

CEmailSupportDlg::CEmailSupportDlg(CDriveDoc* doc, CWizardServices& services, QWidget* parent)
    : QDialog(parent), m_services(services)
{
    SetUpWindow();
    QGridLayout* layout = MakeGrid();
    AddIntro(layout);
    const int row = MakeFields(layout);
    SetUpReportField();
    MakeButtons(layout, row);
    FillFields(doc);
    resize(540, 600);

    // The mail's own boxes stay shut: a failure is told once, by this dialog, with the
    // way out (Save as text).
    m_mail.SetHooks({});
}

void CEmailSupportDlg::SetUpWindow()
{
    setWindowTitle(tr("Email Support"));
    setAccessibleName(tr("Email Support"));
    setModal(true);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);
}

QGridLayout* CEmailSupportDlg::MakeGrid()
{
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setHorizontalSpacing(10);
    layout->setVerticalSpacing(8);
    layout->setColumnStretch(1, 1);
    return layout;
}

void CEmailSupportDlg::AddIntro(QGridLayout* layout)
{
    auto* intro = new QLabel(tr("Please supply the following information for Tolvex Media technical support."), this);
    intro->setAccessibleName(intro->text());
    intro->setWordWrap(true);
    QPalette introPalette = intro->palette();
    introPalette.setColor(QPalette::WindowText, PageColour::Text);
    intro->setPalette(introPalette);
    layout->addWidget(intro, 0, 0, 1, 2);
}

int CEmailSupportDlg::MakeFields(QGridLayout* layout)
{
    int row = 1;
    auto addLine = [&](const QString& label) {
        auto* name = FieldLabel(label, this);
        auto* edit = new QLineEdit(this);
        edit->setAccessibleName(label);
        name->setBuddy(edit);
        layout->addWidget(name, row, 0);
        layout->addWidget(edit, row++, 1);
        return edit;
    };
    auto addText = [&](const QString& label, int stretch) {
        auto* name = FieldLabel(label, this);
        auto* edit = new QPlainTextEdit(this);
        edit->setAccessibleName(label);
        name->setBuddy(edit);
        layout->addWidget(name, row++, 0, 1, 2);
        layout->addWidget(edit, row, 0, 1, 2);
        layout->setRowStretch(row++, stretch);
        return edit;
    };
    m_computer = addLine(tr("Computer:"));
    m_system = addLine(tr("System Version:"));
    m_userMail = addLine(tr("Your email address:"));
    m_problem = addText(tr("A full description of the problem:"), 3);
    m_cardInfo = addText(tr("Card Info:"), 2);
    return row;
}

void CEmailSupportDlg::SetUpReportField()
{
    m_cardInfo->setReadOnly(true);
    m_cardInfo->setLineWrapMode(QPlainTextEdit::NoWrap);
    // The report is laid out in columns: "Courier", else the desktop's fixed-pitch font.
    QFont courier("Courier");
    courier.setFamilies({"Courier", QFontDatabase::systemFont(QFontDatabase::FixedFont).family()});
    courier.setStyleHint(QFont::TypeWriter);
    courier.setFixedPitch(true);
    m_cardInfo->setFont(courier);
}

void CEmailSupportDlg::MakeButtons(QGridLayout* layout, int row)
{
    m_send = RoundButton(tr("Send"), tr("Send the request to technical support"), this);
    m_close = PageButton(tr("Close"), this);
    m_saveText = PageButton(tr("Save as text..."), this);
    m_saveText->setToolTip(tr("Save the request as a text file, to send it another way"));
    m_state = new QLabel(this);
    m_state->setAccessibleName(tr("Sending state"));
    m_state->setWordWrap(true);
    // Enter in a line field must not send a half-written request.
    m_send->setAutoDefault(false);
    m_close->setAutoDefault(false);
    m_saveText->setAutoDefault(false);
    auto* buttons = new QHBoxLayout();
    buttons->addWidget(m_saveText);
    buttons->addWidget(m_state, 1);
    buttons->addWidget(m_send);
    buttons->addWidget(m_close);
    layout->addLayout(buttons, row, 0, 1, 2);
    connect(m_send, &QPushButton::clicked, this, &CEmailSupportDlg::OnSend);
    connect(m_close, &QPushButton::clicked, this, &CEmailSupportDlg::reject);
    connect(m_saveText, &QPushButton::clicked, this, [this] { SaveAsText(); });
}

void CEmailSupportDlg::FillFields(const CDriveDoc* doc)
{
    m_computer->setText(ComputerDescription());
    m_system->setText(QString::fromStdString(OsDescription()).trimmed());
    // Both read from their start, as a reader of the form expects.
    m_computer->setCursorPosition(0);
    m_system->setCursorPosition(0);
    if (doc)
        m_cardInfo->setPlainText(QString::fromStdString(doc->SelectedInfo().Report()).replace("\r\n", "\n"));
}

QString CEmailSupportDlg::Body(const QString& problem, const QString& computer, const QString& system,
                               const QString& cardInfo)
{
    return "Pixsalvo Technical Support Request:\r\n\r\n" + QString("Problem description:\r\n\r\n") + problem +
           "\r\n\r\n" + "Computer Description:\r\n\r\n" + "Computer: " + computer + "\r\n" + "System: " + system +
           "\r\n" + "\r\n" + "Product information:\r\n\r\n" + cardInfo;
}

QString CEmailSupportDlg::BuildBody() const
{
    return Body(WithCrLf(m_problem->toPlainText()), m_computer->text(), m_system->text(),
                WithCrLf(m_cardInfo->toPlainText()));
}

unsigned CEmailSupportDlg::ProcessorType()
{
#if defined(__x86_64__)
    return 8664;
#elif defined(__i386__)
    return 586;
#elif defined(__aarch64__)
    return 0xAA64;
#elif defined(__arm__)
    return 0x1C4;
#elif defined(__riscv) && __riscv_xlen == 64
    return 0x5064;
#else
    return 0;
#endif
}

QString CEmailSupportDlg::ComputerDescription()
{
    const long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return QString::asprintf("Number of Processors: %u; ", unsigned(processors > 0 ? processors : 1)) +
           QString::asprintf("Processor Type: %u; Page size: %u; ", ProcessorType(),
                             unsigned(pageSize > 0 ? pageSize : 0));
}

QString CEmailSupportDlg::SupportAddress() const { return QString::fromStdString(m_services.Settings().GetSupportMail()); }

void CEmailSupportDlg::OnSend()
{
    if (m_mail.IsSending())
        return;
    ShowSending(true);
    m_mail.StartSend(SupportAddress().toStdString(), kSubject, BuildBody().toStdString(),
                     [this](bool ok) { OnSent(ok); });
}

void CEmailSupportDlg::ShowSending(bool sending)
{
    m_send->setEnabled(!sending);
    m_close->setText(sending ? tr("Cancel") : tr("Close"));
    m_close->setAccessibleName(m_close->text());
    if (sending)
        m_state->setText(tr("Sending..."));
}

void CEmailSupportDlg::OnSent(bool ok)
{
    ShowSending(false);
    if (ok) {
        m_state->clear();
        accept();
        return;
    }
    if (m_mail.GetLastCode() == MapiCode::UserAbort) {
        m_state->setText(tr("Not sent: sending was cancelled."));
        return;
    }
    m_state->setText(tr("Not sent."));
    const QString text = tr("The support request could not be sent.\n\n%1\n\nYour text stays in this form. \"Save as text...\" "
                            "keeps the request in a file, so that you can send it another way.")
                             .arg(CoreText(m_mail.GetReason()));
    if (m_services.Box(BoxKind::SendFailed, this, text, tr("EMail Problem")) == QMessageBox::Save)
        SaveAsText();
}

QString CEmailSupportDlg::RequestText() const
{
    return "To: " + SupportAddress() + "\r\nSubject: " + kSubject + "\r\n\r\n" + BuildBody() + "\r\n";
}

bool CEmailSupportDlg::SaveAsText()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    const QString suggested = folder + "/Pixsalvo Support Request.txt";
    const QString chosen =
        m_services.ChooseSaveFile(this, tr("Save the support request"), suggested, tr("Text files (*.txt);;All files (*)"));
    if (chosen.isEmpty())
        return false;
    QSaveFile file(chosen);
    const QByteArray bytes = RequestText().toUtf8();
    const bool written = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
    if (!written) {
        const QString text = tr("The request could not be saved in %1: %2").arg(chosen, file.errorString());
        m_services.Box(BoxKind::Warning, this, text, tr("Save as text"));
        return false;
    }
    m_state->setText(tr("Saved in %1").arg(chosen));
    return true;
}

void CEmailSupportDlg::reject()
{
    // While the mail program runs, Cancel and Escape stop it and leave the form as it is.
    if (m_mail.IsSending()) {
        m_mail.CancelSend();
        return;
    }
    QDialog::reject();
}

void CEmailSupportDlg::closeEvent(QCloseEvent* event)
{
    if (m_mail.IsSending())
        m_mail.CancelSend();
    QDialog::closeEvent(event);
}
