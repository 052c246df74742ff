#include "recovery/cthumb.h"

#include <algorithm>

#include "recovery/thumbnailer.h"

int32_t CThumbParams::InnerWidth() const { return std::max(0, CellWidth - MarginLeft - MarginRight); }
int32_t CThumbParams::InnerHeight() const { return std::max(0, CellHeight - MarginTop - MarginBottom); }

CThumbParams CThumbParams::FoundList()
{
    return {.CellWidth = 98, .CellHeight = 96, .MarginLeft = 2, .MarginTop = 2, .MarginRight = 2,
            .MarginBottom = 16, .Background = 0x000000};
}

CThumbParams CThumbParams::GridList()
{
    return {.CellWidth = 95, .CellHeight = 95, .MarginLeft = 2, .MarginTop = 2, .MarginRight = 2,
            .MarginBottom = 17, .Background = 0xFFFFFF};
}

namespace {

// a x b / c rounded to nearest, halves away from zero, for c > 0 and a, b >= 0.
int32_t MulDiv(int64_t a, int64_t b, int64_t c) { return int32_t((a * b * 2 + c) / (c * 2)); }

}  // namespace

QSize FitSize(QSize source, QSize box)
{
    const int64_t sw = source.width();
    const int64_t sh = source.height();
    const int64_t bw = std::max(0, box.width());
    const int64_t bh = std::max(0, box.height());
    if (sw <= 0 || sh <= 0)
        return {0, 0};
    if (bw >= sw && bh >= sh)
        return source;
    int64_t w = std::min(bw, sw);
    int64_t h = MulDiv(w, sh, sw);
    if (h <= std::min(bh, sh))
        return QSize(int(w), int(h));
    h = std::min(bh, sh);
    w = MulDiv(h, sw, sh);
    return QSize(int(w), int(h));
}

QRect FitRect(QSize source, QSize box)
{
    const QSize fit = FitSize(source, box);
    const int x = std::max(0, (box.width() - fit.width()) / 2);
    const int y = std::max(0, (box.height() - fit.height()) / 2);
    return QRect(QPoint(x, y), fit);
}

CThumb::CThumb() = default;

CThumb::CThumb(const std::string& path, const CThumbParams& params) : CFilePath(path, false), m_params(params) {}

CThumb::CThumb(const CThumb& other) : CFilePath() { CopyFrom(other); }

CThumb& CThumb::operator=(const CThumb& other)
{
    CopyFrom(other);
    return *this;
}

CObj* CThumb::CreateNew() const { return new CThumb(); }

void CThumb::Reset()
{
    CFilePath::Reset();
    std::lock_guard guard(m_lock);
    m_params = CThumbParams::Default();
    m_nCellX = 0;
    m_nCellY = 0;
    m_rcPicture = QRect();
    m_bitmap = QImage();
    m_bReady = false;
    m_nFlags.store(0);
    m_strCameraName.clear();
    m_nShotTime.store(0);
}

void CThumb::SetCameraInfo(const std::string& name, int64_t shotTime)
{
    std::lock_guard guard(m_lock);
    m_strCameraName = name;
    m_nShotTime.store(shotTime);
}

std::string CThumb::CameraName() const
{
    std::lock_guard guard(m_lock);
    return m_strCameraName;
}

void CThumb::CopyFrom(const CObj& other)
{
    if (&other == this)
        return;
    CFilePath::CopyFrom(other);
    const auto* thumb = dynamic_cast<const CThumb*>(&other);
    if (!thumb)
        return;
    // Copy under the source's lock first, then store under ours: never both at once.
    CThumbParams params;
    int32_t x, y;
    QRect picture;
    QImage bitmap;
    bool ready;
    std::string camera;
    {
        std::lock_guard guard(thumb->m_lock);
        camera = thumb->m_strCameraName;
        params = thumb->m_params;
        x = thumb->m_nCellX;
        y = thumb->m_nCellY;
        picture = thumb->m_rcPicture;
        bitmap = thumb->m_bitmap;
        ready = thumb->m_bReady;
    }
    std::lock_guard guard(m_lock);
    m_params = params;
    m_nCellX = x;
    m_nCellY = y;
    m_rcPicture = picture;
    m_bitmap = bitmap;
    m_bReady = ready;
    m_strCameraName = camera;
    m_nShotTime.store(thumb->m_nShotTime.load());
    m_nFlags.store(thumb->m_nFlags.load());
}

CThumbParams CThumb::GetParams() const
{
    std::lock_guard guard(m_lock);
    return m_params;
}

QRect CThumb::GetCellRect() const
{
    std::lock_guard guard(m_lock);
    return QRect(m_nCellX, m_nCellY, m_params.CellWidth, m_params.CellHeight);
}

QPoint CThumb::GetCellPos() const
{
    std::lock_guard guard(m_lock);
    return QPoint(m_nCellX, m_nCellY);
}

void CThumb::SetCellPos(int32_t x, int32_t y)
{
    std::lock_guard guard(m_lock);
    m_nCellX = x;
    m_nCellY = y;
}

QRect CThumb::GetInnerRect() const
{
    std::lock_guard guard(m_lock);
    return QRect(m_nCellX + m_params.MarginLeft, m_nCellY + m_params.MarginTop, m_params.InnerWidth(),
                 m_params.InnerHeight());
}

bool CThumb::CellContains(int32_t x, int32_t y) const
{
    std::lock_guard guard(m_lock);
    return x >= m_nCellX && x < m_nCellX + m_params.CellWidth && y >= m_nCellY && y < m_nCellY + m_params.CellHeight;
}

void CThumb::SetKept(bool keep)
{
    if (keep)
        m_nFlags.fetch_or(ThumbFlag::Keep);
    else
        m_nFlags.fetch_and(~ThumbFlag::Keep);
}

bool CThumb::ToggleKept() { return !(m_nFlags.fetch_xor(ThumbFlag::Keep) & ThumbFlag::Keep); }

void CThumb::SetCurrent(bool current)
{
    if (current)
        m_nFlags.fetch_or(ThumbFlag::Current);
    else
        m_nFlags.fetch_and(~ThumbFlag::Current);
}

bool CThumb::IsThumbnailReady() const
{
    std::lock_guard guard(m_lock);
    return m_bReady;
}

bool CThumb::HasThumbnail() const
{
    std::lock_guard guard(m_lock);
    return !m_bitmap.isNull();
}

QImage CThumb::GetThumbnail() const
{
    std::lock_guard guard(m_lock);
    return m_bitmap;
}

QRect CThumb::GetPictureRect() const
{
    std::lock_guard guard(m_lock);
    return m_rcPicture;
}

void CThumb::MakeThumbnail()
{
    ThumbRequest request;
    request.Path = GetText();
    {
        std::lock_guard guard(m_lock);
        request.Inner = m_params.InnerSize();
        request.PixelRatio = m_params.PixelRatio;
        request.Background = m_params.Background;
    }
    request.Placeholders = DefaultThumbPlaceholders();
    // A file whose attributes cannot be read keeps no bitmap.
    if (!Exists()) {
        SetThumbnail(QImage(), QRect());
        return;
    }
    const ThumbImage image = MakeThumbImage(request);
    SetThumbnail(image.Bitmap, image.Picture);
}

void CThumb::SetThumbnail(const QImage& bitmap, const QRect& picture)
{
    std::lock_guard guard(m_lock);
    m_bitmap = bitmap;
    m_rcPicture = bitmap.isNull() ? QRect() : picture;
    m_bReady = true;
}

void CThumb::ClearThumbnail()
{
    std::lock_guard guard(m_lock);
    m_bitmap = QImage();
    m_rcPicture = QRect();
    m_bReady = false;
}
