#include "ui/cfrmsaveimages.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QStorageInfo>
#include <QTemporaryFile>

#include "recovery/csaveimages.h"
#include "ui/coretext.h"
#include "ui/pagekit.h"

namespace {

constexpr int kLinkId = 1084, kSelectId = 1013, kOpenId = 1014, kPrefixId = 1022, kKeepNamesId = 1023,
              kFreeSpaceId = 1077;

// The free space of the file system that holds folder, or of its nearest existing parent
// (a save folder is made by the save when it is missing).
uint64_t FreeBytes(QString folder)
{
    QDir dir(folder);
    while (!dir.exists() && !dir.isRoot() && dir.cdUp()) {
    }
    const QStorageInfo storage(dir.absolutePath());
    return storage.isValid() ? uint64_t(std::max<qint64>(0, storage.bytesAvailable())) : 0;
}

}  // namespace

CFrmSaveImages::CFrmSaveImages(const CPageContext& context, const CStep& step, QWidget* parent)
    : CFrmRoot(context, step, parent),
      m_locationLabel(FieldLabel(tr("Select the location where you wish to save:"), this)),
      m_link(new QPushButton(tr("Click here to open the folder"), this)), m_select(PageButton(tr("Select"), this)),
      m_open(PageButton(tr("Open"), this)), m_prefixLabel(FieldLabel(tr("Enter a prefix for recovered file names:"), this)),
      m_prefix(new QLineEdit(this)), m_keepNames(new QCheckBox(tr("Keep the camera's file names"), this)),
      m_totalImagesLabel(FieldLabel(tr("Total Images:"), this)),
      m_totalImages(ValueLabel(tr("Total Images:"), this)), m_totalSizeLabel(FieldLabel(tr("Total Size:"), this)),
      m_totalSize(ValueLabel(tr("Total Size:"), this)), m_freeSpaceLabel(FieldLabel(tr("Free Space:"), this)),
      m_freeSpace(ValueLabel(tr("Free Space:"), this)), m_save(RoundButton(tr("&Save"), tr("Save the files marked to keep"), this)),
      m_cancel(PageButton(tr("Cancel"), this))
{
    SetHeading(tr("Save restored images:"));
    m_link->setFlat(true);
    m_link->setCursor(Qt::PointingHandCursor);
    m_link->setAccessibleName(tr("Destination folder"));
    m_link->setStyleSheet("QPushButton { border: none; color: #2f7dc8; text-decoration: underline; text-align: left;"
                          " padding: 0px; background: transparent; }"
                          "QPushButton:focus { color: #1d5f9e; }");
    m_select->setToolTip(tr("Choose the folder the files are saved in"));
    m_open->setToolTip(tr("Open the folder in the file manager"));
    m_prefix->setAccessibleName(tr("Enter a prefix for recovered file names:"));
    m_prefix->setMaxLength(255);
    m_prefix->setStyleSheet("QLineEdit { border: 1px solid #c9d1da; border-radius: 4px; padding: 3px 6px; }"
                            "QLineEdit:focus { border-color: #2f7dc8; }");
    m_keepNames->setAccessibleName(tr("Keep the camera's file names"));
    m_keepNames->setToolTip(tr("Save each file under the name it had on the camera's card, where the card still "
                               "knows it;\nthe prefix names the others"));
    m_keepNames->setCursor(Qt::PointingHandCursor);
    // On for every run: the camera's names are what a photographer knows the files by.
    m_keepNames->setChecked(true);
    m_totalImages->setText("0");
    m_totalSize->setText("0.0 B");
    MakeProgress();
    AddControl(kLinkId, m_link);
    AddControl(kSelectId, m_select);
    AddControl(kOpenId, m_open);
    AddControl(kPrefixId, m_prefix);
    AddControl(kKeepNamesId, m_keepNames);
    AddControl(ControlId::TotalImages, m_totalImages);
    AddControl(ControlId::TotalSize, m_totalSize);
    AddControl(kFreeSpaceId, m_freeSpace);
    AddControl(ControlId::Start, m_save);
    AddControl(ControlId::Cancel, m_cancel);
    connect(m_link, &QPushButton::clicked, this, [this] { Services().OpenFile(QString::fromStdString(Document().DestinationFolder())); });
    connect(m_select, &QPushButton::clicked, this, &CFrmSaveImages::OnSelect);
    connect(m_open, &QPushButton::clicked, this, &CFrmSaveImages::OnOpen);
    connect(m_save, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { RequestCancel(); });
    connect(m_prefix, &QLineEdit::textEdited, this, [this] {
        ReadControls();
        CloseBalloon();
    });
    connect(m_keepNames, &QCheckBox::clicked, this, [this] {
        ReadControls();
        CloseBalloon();
    });
    RefreshControls();
}

void CFrmSaveImages::ReadControls()
{
    SettingsRecord& settings = Document().Settings();
    settings.FilePrefix = m_prefix->text().toStdString();
}

void CFrmSaveImages::RefreshControls()
{
    const SettingsRecord& settings = Document().Settings();
    const QString prefix = QString::fromStdString(settings.FilePrefix);
    if (m_prefix->text() != prefix)
        m_prefix->setText(prefix);
    m_select->setEnabled(!JobRunning());
    m_open->setEnabled(!JobRunning());
    m_save->setEnabled(!JobRunning());
    m_cancel->setEnabled(JobRunning());
    // After a save the link leads into the folder the files went to (the run's own
    // folder inside the save folder).
    const QString folder = QString::fromStdString(Document().DestinationFolder());
    m_link->setText(ShortFolderText(folder, m_link->fontMetrics(), m_link->width()));
    m_link->setToolTip(folder);
    m_link->setAccessibleDescription(folder);
    ShowTotals();
    const CFoundList* found = Document().FoundList();
    if (Document().IsSaved() && (!found || found->GetCount() == 0) && m_savedCount > 0) {
        m_totalImages->setText(QString::number(m_savedCount));
        m_totalSize->setText(SizeQText(m_savedBytes));
    }
    if (!JobRunning())
        m_freeSpace->setText(SizeQText(FreeBytes(QString::fromStdString(Document().DestinationFolder()))));
}

bool CFrmSaveImages::CheckDestination(const QString& folder)
{
    if (Document().CheckSaveFolder(folder.toStdString()))
        return true;
    ShowBalloon(m_select, tr("Illegal destination"), tr("Destination folder is illegal, please select correct destination folder."));
    return false;
}

bool CFrmSaveImages::CheckReady()
{
    ReadControls();
    const std::string runFolder = Document().Status().RunFolder.GetText();
    if (runFolder.empty()) {
        ShowBalloon(this, tr("Internal error"), tr("Recovery folder does not exist.\r\nPlease contact customer service."));
        return false;
    }
    if (m_link->text().trimmed().isEmpty()) {
        ShowBalloon(m_link, tr("Entry required"), tr("Destination folder does not exists.\r\nPlease select destination folder."));
        return false;
    }
    if (!CheckDestination(QString::fromStdString(Document().DestinationFolder())))
        return false;
    // The prefix rule is the save's own; the page words what it found.
    const PrefixCheck check = CheckFilePrefix(Document().Settings().FilePrefix);
    switch (check.problem) {
    case PrefixCheck::Empty:
        ShowBalloon(m_prefix, tr("Entry required"), tr("File prefix must be entered."));
        return false;
    case PrefixCheck::TooLong:
        ShowBalloon(m_prefix, tr("Entry required"), tr("File prefix is too long."));
        return false;
    case PrefixCheck::BadCharacter:
        ShowBalloon(m_prefix, tr("Wrong entry"), tr("The character '%1' is not allowed in the file name prefix.")
                                                   .arg(QString::fromStdString(check.character)));
        return false;
    default:
        break;
    }
    const CFoundList* found = Document().FoundList();
    if (!found || found->GetCount() == 0) {
        ShowBalloon(m_totalImages, tr("Data previously saved"), tr("There are no new files to save."));
        return false;
    }
    return true;
}

bool CFrmSaveImages::OnStart()
{
    if (JobRunning())
        return false;
    ResetPage();
    if (!CheckReady())
        return false;
    CloseBalloon();
    // The rename pass of the save deletes the files not kept and renames the others in the
    // work folder: a folder that cannot take the files is found out before it.
    const QString folder = QString::fromStdString(Document().Settings().SaveFolder.GetText());
    if (!CanWriteInto(folder)) {
        const QString text = tr("The files cannot be written into %1.\r\nPlease select another destination folder.").arg(folder);
        SetStatusText(text, true);
        ShowBalloon(m_select, tr("Illegal destination"), text);
        return false;
    }
    SetStatusText(tr("Saving..."));
    const CFoundList* found = Document().FoundList();
    const size_t keptCount = found ? found->CountKept() : 0;
    const uint64_t keptBytes = found ? found->KeptSize() : 0;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool ok = Document().SaveFoundFiles(Document().Settings().FilePrefix, m_keepNames->isChecked());
    QApplication::restoreOverrideCursor();
    if (ok) {
        m_savedCount = keptCount;
        m_savedBytes = keptBytes;
        ShowBalloon(m_open, tr("View saved images"),
                    tr("All selected images have been saved.\r\nClick open button to view saved images.\r\n\r\n"
                       "Exit application if finished or proceed to next step to burn a CD\r\n\r\nSaved in: %1")
                        .arg(QString::fromStdString(Document().DestinationFolder())),
                    CBalloonTip::Kind::Information);
        SetStatusText(tr("Finished"));
    } else {
        KeepUnsavedFiles();
        SetStatusText(CoreText(Document().GetError()), true);
    }
    RefreshControls();
    return ok;
}

bool CFrmSaveImages::CanWriteInto(const QString& folder)
{
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return false;
    // Permission bits do not tell it (a read-only mount, or the user root): a file made
    // and removed again does.
    QTemporaryFile probe(folder + "/.pixsalvo3-XXXXXX");
    return probe.open();
}

void CFrmSaveImages::KeepUnsavedFiles()
{
    // The document empties the found list and calls the save done even when the move
    // stopped half way. The files still in the work folder are not saved: they go back
    // on the list, so that a save into another folder takes them, and the page stays
    // until one does. (A save that failed before the move left the list as it was.)
    const std::string runFolder = Document().Status().RunFolder.GetText();
    if (CFoundList* found = Document().FoundList(); found && found->GetCount() == 0 && !runFolder.empty()) {
        QStringList files;
        QDirIterator it(QString::fromStdString(runFolder), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << it.next();
        files.sort();
        for (const QString& file : files)
            found->AddFile(file.toStdString());
    }
    Document().SetSaveFolder(Document().Settings().SaveFolder.GetText());
}

bool CFrmSaveImages::CanContinue()
{
    if (Document().IsSaved())
        return true;
    ShowBalloon(m_save, tr("Save images"), tr("Please save images before proceeding to next step"));
    return false;
}

void CFrmSaveImages::OnSelect()
{
    CloseBalloon();
    repaint();
    const QString start = QString::fromStdString(Document().DestinationFolder());
    const QString chosen = Services().ChooseFolder(this, tr("Select the location where you wish to save"), start);
    if (chosen.isEmpty() || !CheckDestination(chosen))
        return;
    SetStatusText(tr("New destination folder selected"));
    Document().SetSaveFolder(chosen.toStdString());
    RefreshControls();
    WizardBus().SayDestinationChanged();
}

void CFrmSaveImages::OnOpen()
{
    CloseBalloon();
    repaint();
    QCoreApplication::processEvents();
    Services().OpenFile(QString::fromStdString(Document().DestinationFolder()));
}

bool CFrmSaveImages::TakesScope(int scope) const
{
    return scope == 0 || scope == JobScope::Recovery || scope == JobScope::Save;
}

void CFrmSaveImages::OnTransferProgress(const CTransferStatus& status)
{
    // A scan's progress is the find page's to show.
    if (IsActive())
        ShowProgress(status);
}

void CFrmSaveImages::resizeEvent(QResizeEvent*)
{
    constexpr int kSide = 16, kButton = 80, kGap = 8;
    const int w = width(), h = height();
    m_locationLabel->setGeometry(kSide, 36, w - 2 * kSide, 18);
    const int linkWidth = w - 2 * kSide - 2 * (kButton + kGap);
    m_link->setGeometry(kSide, 56, linkWidth, 24);
    m_select->setGeometry(kSide + linkWidth + kGap, 56, kButton, 24);
    m_open->setGeometry(w - kSide - kButton, 56, kButton, 24);
    m_prefixLabel->setGeometry(kSide, 90, w - 2 * kSide, 18);
    // The names choice beside the prefix: the prefix names what the card no longer knows.
    const int prefixWidth = std::min(300, (w - 2 * kSide) / 2 - kGap);
    m_prefix->setGeometry(kSide, 110, prefixWidth, 26);
    m_keepNames->setGeometry(kSide + prefixWidth + 2 * kGap, 110, w - 2 * kSide - prefixWidth - 2 * kGap, 26);
    // The totals in three columns.
    const int column = (w - 2 * kSide) / 3;
    const std::array<std::pair<QLabel*, QLabel*>, 3> totals = {
        std::pair{m_totalImagesLabel, m_totalImages}, {m_totalSizeLabel, m_totalSize}, {m_freeSpaceLabel, m_freeSpace}};
    for (int i = 0; i < 3; ++i) {
        totals[size_t(i)].first->setGeometry(kSide + i * column, 146, column - kGap, 18);
        totals[size_t(i)].second->setGeometry(kSide + i * column, 164, column - kGap, 22);
    }
    m_progress->setGeometry(kSide, h - 76, w - 2 * kSide, 18);
    m_progressText->setGeometry(kSide, h - 54, w - 2 * kSide, 18);
    m_save->setGeometry(w - kSide - 196, h - 36, 96, 24);
    m_cancel->setGeometry(w - kSide - 92, h - 36, 92, 24);
    m_link->setText(ShortFolderText(QString::fromStdString(Document().DestinationFolder()), m_link->fontMetrics(), m_link->width()));
}
