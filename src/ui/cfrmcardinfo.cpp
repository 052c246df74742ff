#include "ui/cfrmcardinfo.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QLocale>

#include "app/csettings.h"
#include "ui/cemailsupportdlg.h"
#include "ui/pagekit.h"

namespace {

constexpr int kPropertiesId = 1052, kRefreshId = 1059, kPrintId = 1060, kMailId = 1061, kManualId = 1062,
              kLiveId = 1063, kWebId = 1064, kEmailId = 1065, kUpdateId = 1066;

QLabel* Link(const QString& caption, const QString& text, const QString& target, CWizardServices& services, QWidget* parent)
{
    auto* label = new QLabel(QString("%1 <a href=\"%2\" style=\"color:#2f7dc8\">%3</a>")
                                 .arg(caption.toHtmlEscaped(), target.toHtmlEscaped(), text.toHtmlEscaped()),
                             parent);
    label->setAccessibleName(caption + " " + text);
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    QObject::connect(label, &QLabel::linkActivated, label, [&services](const QString& url) { services.OpenUrl(url); });
    return label;
}

}  // namespace

CFrmCardInfo::CFrmCardInfo(const CPageContext& context, const CStep& step, QWidget* parent)
    : CFrmRoot(context, step, parent), m_propertiesLabel(FieldLabel(tr("Card Information:"), this)),
      m_properties(ReportList(tr("Card Information:"), this)), m_refresh(PageButton(tr("Refresh"), this)),
      m_print(PageButton(tr("Print"), this)), m_update(PageButton(tr("Check for Update"), this)),
      m_mail(PageButton(tr("Email Tolvex Support"), this)), m_manual(PageButton(tr("View Manual"), this)),
      m_live(PageButton(tr("Open Live Support"), this)),
      m_web(Link(tr("web:"), QString(MakerAddress::WebSite).remove("https://").remove('/'), MakerAddress::WebSite, Services(), this)),
      m_email(Link(tr("email:"), MakerAddress::SupportMail, QString("mailto:") + MakerAddress::SupportMail, Services(), this))
{
    SetHeading(tr("Tolvex Media Support."));
    m_properties->setSelectionMode(QAbstractItemView::NoSelection);
    m_refresh->setToolTip(tr("Read the cards again"));
    m_print->setToolTip(tr("Write the card's report to a text file and open it"));
    m_update->setToolTip(tr("Look for a newer version of the program"));
    m_mail->setToolTip(tr("Send a support request with the card's report"));
    m_manual->setToolTip(tr("Open the manual"));
    m_live->setToolTip(tr("Open the live support page in the browser"));
    AddControl(kPropertiesId, m_properties);
    AddControl(kRefreshId, m_refresh);
    AddControl(kPrintId, m_print);
    AddControl(kUpdateId, m_update);
    AddControl(kMailId, m_mail);
    AddControl(kManualId, m_manual);
    AddControl(kLiveId, m_live);
    AddControl(kWebId, m_web);
    AddControl(kEmailId, m_email);
    connect(m_refresh, &QPushButton::clicked, this, &CFrmCardInfo::OnRefresh);
    connect(m_print, &QPushButton::clicked, this, [this] { OnPrint(); });
    connect(m_update, &QPushButton::clicked, this, &CFrmCardInfo::CheckForUpdate);
    connect(m_manual, &QPushButton::clicked, this, &CFrmCardInfo::ViewManual);
    connect(m_live, &QPushButton::clicked, this, [this] { Services().OpenUrl(MakerAddress::SupportPage); });
    connect(m_mail, &QPushButton::clicked, this, [this] {
        CEmailSupportDlg dialog(&Document(), Services(), this);
        dialog.exec();
    });
}

void CFrmCardInfo::OnPageShow()
{
    CFrmRoot::OnPageShow();
    FillProperties();
}

void CFrmCardInfo::FillProperties()
{
    CListView view;
    Document().FillCardProperties(view, m_properties->viewport()->width());
    FillListControl(m_properties, view);
}

bool CFrmCardInfo::CheckReady()
{
    return CheckCard(CardAnchor(), tr("Please insert card into reader"), tr("Please select card to view"));
}

void CFrmCardInfo::OnRefresh()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    Document().Reload();
    FillProperties();
    QApplication::restoreOverrideCursor();
}

QByteArray CFrmCardInfo::PrintText(const QString& date, const std::string& report)
{
    QString text = QString("Tolvex Image Recovery - Card Information\r\n\r\n\t") + date + "\r\n\r\n" +
                   QString::fromStdString(report);
    text.replace('\r', ' ');
    // The file keeps the line ends of a text file written on the system the report was
    // made for: CR LF.
    text.replace('\n', "\r\n");
    return text.toUtf8();
}

bool CFrmCardInfo::OnPrint()
{
    if (!CheckReady())
        return false;
    const QString path = QString::fromStdString(CSettings::CardInfoPath());
    const QString date = QLocale::system().toString(QDateTime::currentDateTime(), QLocale::LongFormat);
    QFile file(path);
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    if (written)
        written = file.write(PrintText(date, Document().SelectedInfo().Report())) >= 0;
    file.close();
    if (!written)
        SetStatusText(tr("Cannot write %1: %2").arg(path, file.errorString()), true);
    // The desktop is asked to open the file name even when it could not be written: an
    // earlier report may be there.
    if (!Services().OpenFile(path) && written)
        Services().SayWhereFileIs(this, tr("the card report"), path);
    return written;
}

void CFrmCardInfo::OnCardSelected()
{
    FillProperties();
    CloseBalloon();
}

void CFrmCardInfo::resizeEvent(QResizeEvent*)
{
    // The properties on the left, the commands in a column on the right, the links under.
    constexpr int kSide = 16, kButtonWidth = 150, kTop = 34;
    const int w = width(), h = height();
    const int listWidth = w - 2 * kSide - kButtonWidth - 12;
    m_propertiesLabel->setGeometry(kSide, kTop, listWidth, 18);
    m_properties->setGeometry(kSide, kTop + 20, listWidth, h - kTop - 20 - 34);
    const int x = w - kSide - kButtonWidth;
    int y = kTop;
    for (QPushButton* button : {m_refresh, m_print, m_update, m_mail, m_manual, m_live}) {
        button->setGeometry(x, y, kButtonWidth, 24);
        y += 29;
    }
    m_web->setGeometry(kSide, h - 28, listWidth / 2, 20);
    m_email->setGeometry(kSide + listWidth / 2, h - 28, listWidth / 2 + kButtonWidth, 20);
}
