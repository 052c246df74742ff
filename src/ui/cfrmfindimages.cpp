#include "ui/cfrmfindimages.h"

#include <QPainter>

#include "recovery/cthumblist.h"
#include "recovery/cimagerecovery.h"
#include "ui/coretext.h"
#include "ui/pagekit.h"

namespace {

constexpr int kCounterId = 1029, kShowPreviewId = 1026;
// The preview follows the scan at this pace.
constexpr int kPreviewTickMs = 500;

}  // namespace

CFrmFindImages::CFrmFindImages(const CPageContext& context, const CStep& step, CThumbList* thumbs, QWidget* parent)
    : CFrmRoot(context, step, parent), m_thumbs(thumbs), m_counterLabel(FieldLabel(tr("Images Found:"), this)),
      m_counter(ValueLabel(tr("Images Found:"), this, 34)), m_showPreview(new QCheckBox(tr("Show Preview"), this)),
      m_start(RoundButton(tr("&Start"), tr("Scan the card for pictures, movies and sounds"), this)),
      m_cancel(PageButton(tr("Cancel"), this))
{
    SetHeading(tr("Scan your memory card for recoverable images:"));
    m_counter->setText("0");
    m_showPreview->setAccessibleName(tr("Show Preview"));
    m_showPreview->setCursor(Qt::PointingHandCursor);
    m_cancel->setToolTip(tr("Stop the scan; the files found so far are kept"));
    MakeProgress();
    AddControl(kCounterId, m_counter);
    AddControl(kShowPreviewId, m_showPreview);
    AddControl(ControlId::Start, m_start);
    AddControl(ControlId::Cancel, m_cancel);
    connect(m_start, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { RequestCancel(); });
    connect(m_showPreview, &QCheckBox::clicked, this, &CFrmFindImages::OnShowPreviewClicked);
    connect(&m_timer, &QTimer::timeout, this, &CFrmFindImages::OnTimer);
    m_timer.start(kPreviewTickMs);
    RefreshControls();
}

void CFrmFindImages::OnPageShow()
{
    CFrmRoot::OnPageShow();
    const CFoundList* found = Document().FoundList();
    if (!found || found->GetCount() == 0)
        ResetPage();
}

void CFrmFindImages::ResetPage()
{
    CFrmRoot::ResetPage();
    m_counter->setText("0");
    m_counter->repaint();
    Document().CleanFoundFiles();
    DropPreview();
}

void CFrmFindImages::DropPreview()
{
    m_preview = QImage();
    update(m_previewRect);
}

void CFrmFindImages::RefreshControls()
{
    m_showPreview->setChecked(Document().Settings().ShowPreview != 0);
    m_start->setEnabled(!JobRunning());
    m_cancel->setEnabled(JobRunning());
    if (m_progressText)
        m_progressText->setVisible(JobRunning() || !m_progressText->text().isEmpty());
}

void CFrmFindImages::OnShowPreviewClicked()
{
    Document().Settings().ShowPreview = m_showPreview->isChecked() ? 1 : 0;
    if (!Document().Settings().ShowPreview)
        DropPreview();
}

bool CFrmFindImages::OnStart()
{
    if (JobRunning())
        return false;
    // The card check comes first: the reset below deletes the last run's files, which a
    // Start without a card must leave as they are.
    if (!CheckReady())
        return false;
    ResetPage();
    Document().Settings().ShowPreview = m_showPreview->isChecked() ? 1 : 0;
    CloseBalloon();
    m_nextPreview = 0;
    m_progressText->clear();
    CImageRecovery job(&Document().Status(), Document().SelectedInfo(), JobScope::Recovery);
    SetStatusText(tr("Scanning..."));
    const bool ok = job.Run();
    if (ok) {
        SetStatusText(tr("Finished"));
        m_scanFinished = true;
    } else {
        SetStatusText(CoreText(job.GetError()), true);
        m_scanFinished = false;
    }
    RefreshControls();
    return ok;
}

bool CFrmFindImages::CanContinue()
{
    const CFoundList* found = Document().FoundList();
    if (found && found->GetCount() > 0)
        return true;
    ShowBalloon(m_start, tr("Scanning required"), tr("Please scan images before proceeding to next step"));
    return false;
}

bool CFrmFindImages::TakesScope(int scope) const { return scope == JobScope::Recovery || scope == 0; }

void CFrmFindImages::OnFileStarted(const CTransferStatus& status) { m_counter->setText(QString::number(status.FileCount)); }

void CFrmFindImages::OnFileFound(const CTransferStatus& status)
{
    // The found list keeps the file (its thumbnail is made when it is looked at); the
    // status record itself is not kept: on a card with 100,000 files the copies would
    // cost more than the files' whole list.
    if (CFoundList* found = Document().FoundList())
        found->AddFile(status.FilePath.GetText());
}

void CFrmFindImages::OnFileDescribed(const CTransferStatus& status)
{
    if (CFoundList* found = Document().FoundList())
        found->Describe(status.FilePath.GetText(), status.CameraName, status.ShotTime);
}

void CFrmFindImages::OnTransferProgress(const CTransferStatus& status) { ShowProgress(status); }

void CFrmFindImages::OnTimer()
{
    if (!isVisible() || !JobRunning() || !m_thumbs)
        return;
    QImage next = m_thumbs->CopyThumbnailAt(m_nextPreview);
    if (next.isNull())
        return;
    ++m_nextPreview;
    m_preview = std::move(next);
    // Lower-left corner on the check box's upper-left corner.
    const QRect box = m_showPreview->geometry();
    const QRect old = m_previewRect;
    const QSize shown = m_preview.deviceIndependentSize().toSize();   // window pixels, on any screen
    m_previewRect = QRect(box.left(), box.top() - shown.height(), shown.width(), shown.height());
    update(old.united(m_previewRect));
}

void CFrmFindImages::paintEvent(QPaintEvent* event)
{
    CFrmRoot::paintEvent(event);
    if (m_preview.isNull() || !Document().Settings().ShowPreview)
        return;
    QPainter p(this);
    p.drawImage(m_previewRect.topLeft(), m_preview);
    p.setPen(PageColour::Line);
    p.drawRect(m_previewRect.adjusted(0, 0, -1, -1));
}

void CFrmFindImages::resizeEvent(QResizeEvent*)
{
    // The counter on the left; the preview's place (94 x 78, the found list's thumbnails)
    // on the right, above its check box; the progress and the buttons along the bottom.
    constexpr int kSide = 16;
    const int w = width(), h = height();
    m_counterLabel->setGeometry(kSide, 44, 200, 18);
    m_counter->setGeometry(kSide, 64, 220, 44);
    m_showPreview->setGeometry(w - kSide - 110, 150, 110, 20);
    m_progress->setGeometry(kSide, h - 92, w - 2 * kSide, 18);
    m_progressText->setGeometry(kSide, h - 70, w - 2 * kSide, 18);
    m_start->setGeometry(w - kSide - 196, h - 40, 96, 24);
    m_cancel->setGeometry(w - kSide - 92, h - 40, 92, 24);
    if (!m_preview.isNull()) {
        const QRect box = m_showPreview->geometry();
        const QSize shown = m_preview.deviceIndependentSize().toSize();   // window pixels, on any screen
    m_previewRect = QRect(box.left(), box.top() - shown.height(), shown.width(), shown.height());
    }
}
