#include "ui/cfrmburnimages.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>

#include <algorithm>
#include <climits>

#include "app/csettings.h"
#include "app/progresstext.h"
#include "platform/cdburner.h"
#include "recovery/ctransfer.h"
#include "ui/coretext.h"
#include "ui/pagekit.h"

namespace {

constexpr int kLocationLabelId = 1016, kLocationId = 1077;
// The renamings a box lists; more are counted.
constexpr size_t kNamesListed = 10;

}  // namespace

CFrmBurnImages::CFrmBurnImages(const CPageContext& context, const CStep& step, QWidget* parent)
    : CFrmRoot(context, step, parent),
      m_totalSizeLabel(FieldLabel(tr("Restored images total size:"), this)),
      m_totalSize(ValueLabel(tr("Restored images total size:"), this)), m_filesLabel(FieldLabel(tr("Number of files:"), this)),
      m_files(ValueLabel(tr("Number of files:"), this)), m_locationLabel(FieldLabel(tr("Restored Images Location:"), this)),
      m_location(ValueLabel(tr("Restored Images Location:"), this)),
      m_start(RoundButton(tr("&Start"), tr("Write the saved images to a CD"), this)), m_cancel(PageButton(tr("Cancel"), this))
{
    SetHeading(tr("Burn a backup copy of your restored images:"));
    m_files->setText("0");
    m_totalSize->setText(QString::fromStdString(SizeText(0)));
    MakeProgress();
    AddControl(ControlId::TotalSize, m_totalSize);
    AddControl(ControlId::TotalImages, m_files);
    AddControl(kLocationLabelId, m_locationLabel);
    AddControl(kLocationId, m_location);
    AddControl(ControlId::Start, m_start);
    AddControl(ControlId::Cancel, m_cancel);
    connect(m_start, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { RequestCancel(); });
    RefreshControls();
}

void CFrmBurnImages::OnPageShow()
{
    CFrmRoot::OnPageShow();
    // The drive is looked for when the page shows: without one the page says so at once
    // and Start stays off, rather than failing only after Start.
    std::string drive, error;
    m_driveFound = px::CdBurner::FindRecordableDrive(Services().Settings().GetBurnDrive(), drive, error);
    m_progressText->setText(CoreText(error));
    RefreshControls();
}

void CFrmBurnImages::UpdateTotals()
{
    const CFileTotals totals = CTransfer::CountFiles(m_strFolder);
    m_nFiles = int32_t(std::min<int64_t>(totals.Files, INT32_MAX));
    m_nBytes = totals.Bytes;
    m_files->setText(QString::number(m_nFiles));
    m_totalSize->setText(QString::fromStdString(SizeText(m_nBytes)));
}

void CFrmBurnImages::RefreshControls()
{
    m_strFolder = FolderToWrite();
    m_location->setText(ShortFolderText(QString::fromStdString(m_strFolder), m_location->fontMetrics(), m_location->width()));
    m_location->setToolTip(QString::fromStdString(m_strFolder));
    m_start->setEnabled(!JobRunning() && m_driveFound);
    m_cancel->setEnabled(JobRunning());
    // While a burn runs the folder is only read; counting it again on every message of
    // the copy would cost a walk of the folder per file copied.
    if (!JobRunning())
        UpdateTotals();
}

bool CFrmBurnImages::CheckReady()
{
    m_strFolder = FolderToWrite();
    UpdateTotals();
    if (m_strFolder.empty()) {
        ShowBalloon(this, tr("Internal error"), tr("Recovery folder does not exist.\r\nPlease contact customer service."));
        return false;
    }
    if (m_nFiles == 0) {
        ShowBalloon(this, tr("No files to burn"), tr("The folder is empty."));
        return false;
    }
    return true;
}

bool CFrmBurnImages::OnStart()
{
    if (JobRunning())
        return false;
    ResetPage();
    if (!CheckReady())
        return false;
    CloseBalloon();
    SetStatusText(tr("Writing the CD..."));
    QApplication::setOverrideCursor(Qt::BusyCursor);
    // The window runs while the disc is written; closing it must stop xorriso first.
    QWidget* top = window();
    top->installEventFilter(this);
    m_burning = true;
    m_closeAfterBurn = false;
    const bool ok = Document().BurnFolder(m_strFolder);
    m_burning = false;
    top->removeEventFilter(this);
    QApplication::restoreOverrideCursor();
    const QString error = CoreText(Document().GetError());
    if (ok) {
        m_driveFound = true;
        m_progressText->setText(tr("Finished"));
        SetStatusText(tr("Finished"));
    } else {
        // The progress line tells how the burn ended, not the last percentage it reached.
        m_progressText->setText(error);
        ShowBalloon(this, tr("Internal error"), error);
        SetStatusText(error, true);
    }
    RefreshControls();
    if (m_closeAfterBurn) {
        QMetaObject::invokeMethod(top, &QWidget::close, Qt::QueuedConnection);
        return ok;
    }
    if (ok && !px::CdBurner::ShortenedNames().empty())
        ShowShortenedNames();
    return ok;
}

void CFrmBurnImages::ShowShortenedNames()
{
    const std::vector<std::string>& names = px::CdBurner::ShortenedNames();
    QString text = names.size() == 1
                       ? tr("1 name too long for the disc (at most %1 characters) was shortened on the disc:\n")
                             .arg(px::CdBurner::MaxDiscNameUnits)
                       : tr("%1 names too long for the disc (at most %2 characters) were shortened on the disc:\n")
                             .arg(names.size())
                             .arg(px::CdBurner::MaxDiscNameUnits);
    for (size_t i = 0; i < names.size() && i < kNamesListed; ++i)
        text += "\n" + QString::fromStdString(names[i]);
    if (names.size() > kNamesListed)
        text += tr("\n... and %1 more").arg(names.size() - kNamesListed);
    text += tr("\n\nThe saved files keep their names in %1.").arg(QString::fromStdString(m_strFolder));
    ShowMessage(text, tr("Names shortened on the disc"));
}

bool CFrmBurnImages::eventFilter(QObject* watched, QEvent* event)
{
    if (m_burning && watched == window() && event->type() == QEvent::Close) {
        // Stopped first; the window closes once the burn has ended and cleaned up.
        event->ignore();
        m_closeAfterBurn = true;
        RequestCancel();
        return true;
    }
    return CFrmRoot::eventFilter(watched, event);
}

void CFrmBurnImages::OnProgressText(int scope, const QString& text)
{
    // The copy names the file it writes.
    if (scope == JobScope::Transfer)
        m_progressText->setText(text);
}

void CFrmBurnImages::resizeEvent(QResizeEvent*)
{
    constexpr int kSide = 16, kGap = 8;
    const int w = width(), h = height();
    m_locationLabel->setGeometry(kSide, 40, w - 2 * kSide, 18);
    m_location->setGeometry(kSide, 60, w - 2 * kSide, 22);
    const int column = (w - 2 * kSide) / 2;
    m_filesLabel->setGeometry(kSide, 96, column - kGap, 18);
    m_files->setGeometry(kSide, 114, column - kGap, 22);
    m_totalSizeLabel->setGeometry(kSide + column, 96, column - kGap, 18);
    m_totalSize->setGeometry(kSide + column, 114, column - kGap, 22);
    m_progress->setGeometry(kSide, h - 76, w - 2 * kSide, 18);
    m_progressText->setGeometry(kSide, h - 54, w - 2 * kSide, 18);
    m_start->setGeometry(w - kSide - 196, h - 36, 96, 24);
    m_cancel->setGeometry(w - kSide - 92, h - 36, 92, 24);
    m_location->setText(ShortFolderText(QString::fromStdString(m_strFolder), m_location->fontMetrics(), m_location->width()));
}
