#include "widgets/cimageviewerdlg.h"

#include <QBuffer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include "recovery/cthumb.h"
#include "recovery/thumbnailer.h"

namespace {

const QColor kBackground(0x26, 0x28, 0x2B);

// The smallest client area of the first placement, so that a tiny picture still gives a
// window that can be seen and grabbed.
constexpr QSize kMinimumClient(80, 60);

// The camera's embedded preview of a raw file; null when it has none.
QImage RawPreview(const std::string& path)
{
    QByteArray jpeg;
    QImage bitmap;
    if (!ReadRawPreview(path, jpeg, bitmap))
        return {};
    if (jpeg.isEmpty())
        return bitmap;
    QBuffer buffer(&jpeg);
    QImageReader reader(&buffer, "jpeg");
    reader.setAutoTransform(true);
    return reader.read();
}

// Restores the cursor on every way out.
struct WaitCursor {
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

CImageViewerDlg::CImageViewerDlg(QWidget* parent) : QDialog(parent)
{
    setModal(false);
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    // paintEvent fills the whole client area.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QImage CImageViewerDlg::LoadPicture(const QString& path) { return LoadPicture(path, QSize(), nullptr); }

QImage CImageViewerDlg::LoadPicture(const QString& path, QSize box, QSize* fullSize)
{
    const std::string file = path.toStdString();
    QSize full;
    QImage picture;
    // A raw file first through its preview: Qt's TIFF reader would otherwise show the
    // small thumbnail of its first directory.
    if (ThumbKindOf(file) == ThumbKind::CameraRaw)
        picture = RawPreview(file);
    if (picture.isNull()) {
        QImageReader reader(path);
        reader.setAutoTransform(true);
        // A carved file's extension may not match what it holds.
        reader.setDecideFormatFromContent(true);
        const QSize stored = reader.size();
        // The Exif orientation turns the stored picture after it is scaled: the scaled size
        // is the stored one.
        const bool turned = reader.transformation() & QImageIOHandler::TransformationRotate90;
        full = turned ? stored.transposed() : stored;
        const QSize fit = FitSize(full, box);
        if (box.isValid() && !fit.isEmpty() && fit.width() < full.width() && fit.height() < full.height()
            && reader.format() == "jpeg")
            reader.setScaledSize(turned ? fit.transposed() : fit);
        picture = reader.read();
        const QString suffix = QFileInfo(path).suffix().toLower();
        if (picture.isNull() && (suffix == QLatin1String("tif") || suffix == QLatin1String("tiff")))
            picture = RawPreview(file);
    }
    if (fullSize)
        *fullSize = picture.isNull() ? QSize() : picture.size().expandedTo(full);
    return picture;
}

bool CImageViewerDlg::ShowPicture(const QString& path, const QString& title)
{
    m_path = path;
    if (!title.isEmpty())
        SetTitle(title);
    {
        WaitCursor wait;
        FreePicture();
        // Decoded for the client area in pixels; before the first placement that is at
        // most the middle of the desktop (half its width and height).
        QSize box = size();
        if (!m_bPlaced) {
            const QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
            box = screen ? screen->availableGeometry().size() / 2 : QSize(512, 384);
        }
        m_picture = LoadPicture(path, box * devicePixelRatioF(), &m_fullSize);
    }
    if (!m_bPlaced) {
        PlaceFirstTime(m_fullSize);
        m_bPlaced = true;
    }
    Present();
    return !m_picture.isNull();
}

void CImageViewerDlg::ShowNothing(const QString& title)
{
    m_path.clear();
    if (!title.isEmpty())
        SetTitle(title);
    FreePicture();
    Present();
}

void CImageViewerDlg::FreePicture()
{
    m_picture = QImage();
    m_fullSize = QSize();
    m_scaled = QImage();
    update();
}

void CImageViewerDlg::SetTitle(const QString& title)
{
    setWindowTitle(title);
    setAccessibleName(title);
}

void CImageViewerDlg::PlaceFirstTime(QSize picture)
{
    QScreen* screen = parentWidget() ? parentWidget()->screen() : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect desk = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const QRect middle = desk.adjusted(desk.width() / 4, desk.height() / 4, -desk.width() / 4, -desk.height() / 4);
    const QSize client = FitSize(picture.expandedTo(kMinimumClient), middle.size());
    resize(client);
    // The frame as the platform knows it once the window exists.
    winId();
    const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    const int frameHeight = client.height() + frame.top() + frame.bottom();
    // move() places the frame's upper-left corner.
    move(desk.left() + 20, desk.top() + desk.height() - 40 - frameHeight);
}

void CImageViewerDlg::Present()
{
    if (isHidden())
        show();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    update();
}

void CImageViewerDlg::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), kBackground);
    if (m_picture.isNull())
        return;
    const QRect target = FitRect(m_fullSize, size());
    if (target.isEmpty())
        return;
    LoadDetailFor(target.size());
    // Scaled once per client size, not on every paint: a camera's picture is large. On a
    // HiDPI screen it is scaled for the device pixels, and drawn sharp at them.
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(target.size()) * ratio).toSize().boundedTo(m_picture.size());
    if (m_scaled.size() != pixels) {
        m_scaled = pixels == m_picture.size()
            ? m_picture
            : m_picture.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(QRectF(target), m_scaled);
}

void CImageViewerDlg::LoadDetailFor(QSize target)
{
    if (m_picture.size() == m_fullSize || m_path.isEmpty())
        return;
    // A pixel of slack: the reduced decode was fitted with the same rounding.
    const qreal ratio = devicePixelRatioF();
    if (target.width() * ratio <= m_picture.width() + 1 && target.height() * ratio <= m_picture.height() + 1)
        return;
    WaitCursor wait;
    QImage full = LoadPicture(m_path);
    if (full.isNull())
        return;
    m_picture = full;
    m_fullSize = full.size();
    m_scaled = QImage();
}
