#include "ui/cbackupcard.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QProgressDialog>

#include "app/clogfile.h"
#include "device/cdrivedoc.h"
#include "jobs/cmsg.h"
#include "platform/volumetable.h"
#include "tools/cardbackup.h"
#include "ui/coretext.h"
#include "ui/pagekit.h"
#include "ui/wizardservices.h"

namespace {

// After a backup: the image attached as a card of its own and selected, when the user
// wants to recover from it rather than from the dying card (its map marks what could not
// be read, and the recovery says so).
void OfferToAttach(CDriveDoc& doc, CWizardServices& services, const QString& image, QWidget* parent)
{
    const QString question =
        QCoreApplication::translate("CBackupCard", "The card is backed up to %1.\n\nAttach the image now, to recover the "
                                                   "pictures from it instead of from the card?").arg(image);
    if (services.AskYesNo(parent, question, QCoreApplication::translate("CBackupCard", "Back Up Card to Image")) != QMessageBox::Yes)
        return;
    char letter = 0;
    std::string why;
    if (!px::VolumeTable::Instance().Attach(image.toStdString(), &letter, &why)) {
        services.SetStatusText(CoreText(why), true);
        return;
    }
    doc.Reload();
    doc.SelectDrive(letter);
    services.SetStatusText(QCoreApplication::translate("CBackupCard", "The image is attached as card %1: recover the pictures from it")
                      .arg(QChar(letter)));
}

}  // namespace

bool BackUpCardToImage(CDriveDoc& doc, CWizardServices& services, QWidget* parent)
{
    const QString backupFolder = QString::fromStdString(services.Settings().GetBackupFolder());
    if (!doc.SelectedLoaded() || doc.SelectedLetter() == 0) {
        services.SetStatusText(QCoreApplication::translate("CBackupCard", "Please select the card to back up"), true);
        return false;
    }
    QDir().mkpath(backupFolder);
    const QString image = QFileDialog::getSaveFileName(
        parent, QCoreApplication::translate("CBackupCard", "Back up card to image"), QDir(backupFolder).filePath("card.img"),
        QCoreApplication::translate("CBackupCard", "Card images (*.img);;All files (*)"), nullptr,
        QFileDialog::DontConfirmOverwrite);
    if (image.isEmpty())
        return false;

    CBackupOptions options;
    options.imagePath = image.toStdString();
    options.commandLine = std::string("pixsalvo3 backup ") + doc.SelectedLetter() + " " + options.imagePath;
    CCardBackup job(&doc.Status(), doc.SelectedInfo(), options);
    QProgressDialog progress(QCoreApplication::translate("CBackupCard", "Backing up the card..."),
                             QCoreApplication::translate("CBackupCard", "Cancel"), 0, 1000, parent);
    progress.setWindowTitle(QCoreApplication::translate("CBackupCard", "Back Up Card to Image"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    QObject::connect(&progress, &QProgressDialog::canceled, [] { CMsgSend cancel(MsgCode::Cancel, CVariant(1)); });
    job.SetProgressHandler([&progress](const CBackupProgress& p) {
        progress.setValue(p.size ? static_cast<int>(p.copied * 1000 / p.size) : 0);
        progress.setLabelText(QCoreApplication::translate("CBackupCard", "%1 copied, %2 bad, %3 not tried yet")
                                  .arg(SizeQText(p.copied), SizeQText(p.failed), SizeQText(p.untried)));
    });
    Log().BeginScope("Backup " + std::string(1, doc.SelectedLetter()) + ": ==> " + options.imagePath);
    services.SetStatusText(QCoreApplication::translate("CBackupCard", "Backing up the card..."));
    const bool ok = job.Run();
    progress.reset();
    const QString error = CoreText(job.GetError());
    Log().Outcome(ok ? "-OK" : "-FAIL", "Backup ==> " + job.GetError());
    if (ok && error.isEmpty())
        services.SetStatusText(QCoreApplication::translate("CBackupCard", "The card is backed up to %1: attach it with Attach card image... to recover it").arg(image));
    else
        services.SetStatusText(ok ? QCoreApplication::translate("CBackupCard", "%1; the image is %2").arg(error, image) : error, true);
    if (ok)
        OfferToAttach(doc, services, image, parent);
    return true;
}
