#include "ui/cemailsupportdlg.h"

#include <unistd.h>

#include <QApplication>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/csettings.h"
#include "app/systeminfo.h"
#include "device/cdrivedoc.h"
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

}  // namespace

CEmailSupportDlg::CEmailSupportDlg(CDriveDoc* doc, QWidget* parent) : QDialog(parent)
{
    setWindowTitle("Email Support");
    setAccessibleName("Email Support");
    setModal(true);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setHorizontalSpacing(10);
    layout->setVerticalSpacing(8);
    layout->setColumnStretch(1, 1);

    auto* intro = new QLabel("Please supply the following information for Tolvex Media technical support.", this);
    intro->setAccessibleName(intro->text());
    intro->setWordWrap(true);
    QPalette introPalette = intro->palette();
    introPalette.setColor(QPalette::WindowText, PageColour::Text);
    intro->setPalette(introPalette);
    layout->addWidget(intro, 0, 0, 1, 2);

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
    m_computer = addLine("Computer:");
    m_system = addLine("System Version:");
    m_userMail = addLine("Your email address:");
    m_problem = addText("A full description of the problem:", 3);
    m_cardInfo = addText("Card Info:", 2);
    m_cardInfo->setReadOnly(true);
    m_cardInfo->setLineWrapMode(QPlainTextEdit::NoWrap);
    // The report is laid out in columns: "Courier", else the desktop's fixed-pitch font.
    QFont courier("Courier");
    courier.setFamilies({"Courier", QFontDatabase::systemFont(QFontDatabase::FixedFont).family()});
    courier.setStyleHint(QFont::TypeWriter);
    courier.setFixedPitch(true);
    m_cardInfo->setFont(courier);

    m_send = RoundButton("Send", "Send the request to technical support", this);
    m_close = PageButton("Close", this);
    // Enter in a line field must not send a half-written request.
    m_send->setAutoDefault(false);
    m_close->setAutoDefault(false);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(m_send);
    buttons->addWidget(m_close);
    layout->addLayout(buttons, row, 0, 1, 2);
    connect(m_send, &QPushButton::clicked, this, &CEmailSupportDlg::OnSend);
    connect(m_close, &QPushButton::clicked, this, &QDialog::reject);

    m_computer->setText(ComputerDescription());
    m_system->setText(QString::fromStdString(OsDescription()).trimmed());
    // Both read from their start, as a reader of the form expects.
    m_computer->setCursorPosition(0);
    m_system->setCursorPosition(0);
    if (doc)
        m_cardInfo->setPlainText(QString::fromStdString(doc->SelectedInfo().Report()).replace("\r\n", "\n"));
    resize(540, 600);

    m_mail.SetHooks({[this](const std::string& text, const std::string& title) {
                         QMessageBox::warning(this, QString::fromStdString(title), QString::fromStdString(text));
                     },
                     [](bool on) {
                         if (on)
                             QApplication::setOverrideCursor(Qt::WaitCursor);
                         else
                             QApplication::restoreOverrideCursor();
                     }});
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

QString CEmailSupportDlg::SupportAddress()
{
    return QString::fromStdString(TheSettings() ? TheSettings()->GetSupportMail() : MakerAddress::SupportMail);
}

void CEmailSupportDlg::OnSend()
{
    m_mail.SendMail(SupportAddress().toStdString(), "Technical support request", BuildBody().toStdString());
    accept();
}
