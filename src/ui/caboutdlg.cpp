#include "ui/caboutdlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QStringList>
#include <QVBoxLayout>

#include "app/csettings.h"

QString CAboutDlg::VersionText(const QString& version)
{
    const QStringList parts = version.split('.');
    return tr("Version %1.%2").arg(parts.value(0, "0").toInt()).arg(parts.value(1, "0").toInt());
}

CAboutDlg::CAboutDlg(const QString& version, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("About Pixsalvo 3"));
    setAccessibleName(tr("About Pixsalvo 3"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 16);
    auto* name = new QLabel(tr("Pixsalvo 3"), this);
    QFont font = name->font();
    font.setPixelSize(20);
    font.setBold(true);
    name->setFont(font);
    layout->addWidget(name);
    auto* versionLabel = new QLabel(VersionText(version), this);
    versionLabel->setAccessibleName(versionLabel->text());
    layout->addWidget(versionLabel);
    const QString site = MakerAddress::WebSite;
    auto* link = new QLabel(QString("<a href='%1'>%1</a>").arg(site), this);
    link->setOpenExternalLinks(true);
    link->setAccessibleName(site);
    layout->addWidget(link);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}
