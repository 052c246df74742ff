#include "ui/cfrmpreviewimages.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QTimer>

#include "app/csettings.h"
#include "app/filetypes.h"
#include "recovery/cthumblist.h"
#include "recovery/thumbnailer.h"
#include "ui/pagekit.h"
#include "widgets/background.h"

namespace {

constexpr int kKeepAllId = 1071, kKeepNoneId = 1072, kSummaryId = 1097;
// The grid fills the page less 3 pixels at the sides, 30 at the top, 35 at the bottom.
constexpr int kSide = 3, kTop = 30, kBottom = 35;

}  // namespace

CFrmPreviewImages::CFrmPreviewImages(const CPageContext& context, const CStep& step, CThumbList* thumbs, QWidget* parent)
    : CFrmRoot(context, step, parent), m_thumbs(thumbs), m_viewer(new CThumbViewer(this)),
      m_imageViewer(std::make_unique<CImageViewerDlg>(this->window())),
      m_keepAll(PageButton(tr("Keep All"), this)), m_keepNone(PageButton(tr("Keep None"), this)),
      m_summary(ValueLabel(tr("Selected"), this))
{
    SetHeading(tr("Choose images to save:"));
    m_keepAll->setToolTip(tr("Mark every file to be saved"));
    m_keepNone->setToolTip(tr("Clear every keep mark"));
    connect(m_viewer, &CThumbViewer::keepChanged, this, [this] {
        CloseBalloon();
        RefreshControls();
    });
    connect(m_viewer, &CThumbViewer::openRequested, this, [this](CThumb* thumb) {
        CloseBalloon();
        if (thumb)
            Open(*thumb);
    });
    AddControl(kKeepAllId, m_keepAll);
    AddControl(kKeepNoneId, m_keepNone);
    AddControl(kSummaryId, m_summary);
    connect(m_keepAll, &QPushButton::clicked, this, [this] { KeepAll(true); });
    connect(m_keepNone, &QPushButton::clicked, this, [this] { KeepAll(false); });
    m_hint = LoadSkinPicture(QString::fromStdString(Services().Settings().SkinFile(SkinPictureId::ClickSelect)));
    m_imageViewer->hide();
    m_viewer->show();
}

CFrmPreviewImages::~CFrmPreviewImages()
{
    // The grid lets go of the document's list before either goes.
    m_viewer->SetList(nullptr, false);
}

void CFrmPreviewImages::OnPageShow()
{
    CFrmRoot::OnPageShow();
    // Giving the list lays the grid out again.
    m_viewer->SetList(m_thumbs, false);
    m_viewer->viewport()->update();
    RefreshControls();
}

void CFrmPreviewImages::OnPageHide()
{
    CFrmRoot::OnPageHide();
    m_imageViewer->FreePicture();
    m_imageViewer->hide();
}

void CFrmPreviewImages::RefreshControls()
{
    const CFoundList* found = Document().FoundList();
    const size_t kept = found ? found->CountKept() : 0;
    m_summary->setText(tr("Selected: %1 items, %2").arg(kept).arg(SizeQText(found ? found->KeptSize() : 0)));
    const bool any = found && found->GetCount() > 0;
    m_keepAll->setEnabled(any);
    m_keepNone->setEnabled(any);
}

void CFrmPreviewImages::KeepAll(bool keep)
{
    CloseBalloon();
    if (m_thumbs)
        m_thumbs->SetAllKept(keep);
    RefreshControls();
    m_viewer->viewport()->update();
}


void CFrmPreviewImages::Open(const CThumb& thumb)
{
    const QString path = QString::fromStdString(thumb.GetText());
    const QString name = QFileInfo(path).fileName();
    const std::string text = thumb.GetText();
    if (IsVideoFile(text) || IsSoundFile(text)) {
        // The player opens the file where the scan wrote it, at once: no copy to wait for
        // (a 2 GB clip would hold the window for minutes) and none to clean up after.
        const bool opened = IsWaveFile(text) ? Services().PlaySound(path) : Services().OpenFile(path);
        if (!opened)
            SetStatusText(tr("No program could open %1. The file is in %2").arg(name, QFileInfo(path).absolutePath()), true);
        return;
    }
    // Pictures, and camera raw files through the preview the camera embedded in them;
    // the window is titled with the name the grid shows (the camera's, when known).
    const QString title = CThumbViewer::NameOf(thumb);
    const ThumbKind kind = ThumbKindOf(text);
    if (kind == ThumbKind::Picture || kind == ThumbKind::CameraRaw)
        m_imageViewer->ShowPicture(path, title);
    else
        m_imageViewer->ShowNothing(title);
}

bool CFrmPreviewImages::CheckReady()
{
    const CFoundList* found = Document().FoundList();
    if (found && found->GetCount() > 0) {
        if (found->CountKept() > 0)
            return true;
        ShowBalloon(m_viewer, tr("Select file(s)"), tr("No files have been selected to save"));
        return false;
    }
    ShowBalloon(m_viewer, tr("No files found"), tr("Media does not contain recognized file types"));
    return false;
}

void CFrmPreviewImages::OnViewerClosing()
{
    m_imageViewer->FreePicture();
    if (m_imageViewer->isVisible())
        m_imageViewer->hide();
}

void CFrmPreviewImages::paintEvent(QPaintEvent* event)
{
    CFrmRoot::paintEvent(event);
    if (m_hint.isNull())
        return;
    // The hint sits in the strip freed at the heading's right end, bottom-aligned with it.
    const QRect heading = m_heading->geometry();
    QPainter p(this);
    p.drawImage(QPoint(heading.right() + 5, heading.bottom() - LogicalSize(m_hint).height() + 1), m_hint);
}

void CFrmPreviewImages::resizeEvent(QResizeEvent*)
{
    m_viewer->setGeometry(kSide, kTop, width() - 2 * kSide, height() - kTop - kBottom);
    if (!m_hint.isNull())
        m_heading->setMaximumWidth(std::max(0, width() - 32 - LogicalSize(m_hint).width() - 5));
    const int buttonsTop = height() - kBottom + 6;
    m_keepAll->setGeometry(width() - 196, buttonsTop, 92, 24);
    m_keepNone->setGeometry(width() - 100, buttonsTop, 92, 24);
    m_summary->setGeometry(12, buttonsTop, width() - 220, 24);
}
