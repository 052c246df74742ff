#include "recovery/cthumblist.h"

#include <QColor>

#include <algorithm>

CThumbList::CThumbList(const CThumbParams& params) : m_params(params) {}

CThumbList::~CThumbList()
{
    // The workers refer to this list: end them before the thumbnails go.
    m_workers.Shutdown();
}

void CThumbList::SetPlaceholders(const ThumbPlaceholders& files)
{
    std::lock_guard guard(m_lock);
    m_placeholders = files;
    m_placeholderCache.Clear();
}

void CThumbList::SetMakeThumbnails(bool on)
{
    std::lock_guard guard(m_lock);
    m_bMakeThumbnails = on;
}

bool CThumbList::AddFile(const std::string& path)
{
    auto thumb = std::make_unique<CThumb>(path, m_params);
    thumb->SetFlags(ThumbFlag::Keep);
    // The file's attributes and size (the kept size counts them); a file that does not
    // exist keeps no bitmap and needs no worker.
    const bool exists = thumb->Exists();
    bool makeThumbnail;
    {
        std::lock_guard guard(m_lock);
        makeThumbnail = exists && m_bMakeThumbnails;
    }
    if (!makeThumbnail)
        thumb->SetThumbnail(QImage(), QRect());

    ThumbRequest request;
    request.Path = thumb->GetText();
    request.Inner = m_params.InnerSize();
    request.Background = m_params.Background;

    std::lock_guard guard(m_lock);
    if (!m_placeholders)
        m_placeholders = DefaultThumbPlaceholders();
    request.Placeholders = *m_placeholders;
    CThumb* added = thumb.get();
    const size_t index = m_thumbs.size();
    const uint64_t generation = m_nGeneration;
    m_thumbs.push_back(std::move(thumb));
    if (makeThumbnail) {
        m_workers.Submit([this, generation, index, added, request = std::move(request)] {
            MakeThumbnail(generation, index, added, request);
        });
    }
    return true;
}

void CThumbList::MakeThumbnail(uint64_t generation, size_t index, CThumb* thumb, const ThumbRequest& request)
{
    {
        // A list emptied since the file was queued: nothing to make.
        std::lock_guard guard(m_lock);
        if (generation != m_nGeneration)
            return;
    }
    ThumbImage image;
    try {
        image = MakeThumbImage(request, &m_placeholderCache);
    } catch (...) {
        // Out of memory while decoding: the cell shows its background.
        image.Bitmap = QImage(request.Inner, QImage::Format_RGB16);
        if (!image.Bitmap.isNull())
            image.Bitmap.fill(QColor(QRgb(request.Background)));
        image.Picture = QRect();
    }
    std::function<void(size_t)> onReady;
    {
        std::lock_guard guard(m_lock);
        if (generation != m_nGeneration)
            return;  // the thumbnail was freed while its picture was decoded
        thumb->SetThumbnail(image.Bitmap, image.Picture);
        onReady = m_onReady;
    }
    if (onReady)
        onReady(index);
}

size_t CThumbList::GetCount() const
{
    std::lock_guard guard(m_lock);
    return m_thumbs.size();
}

CThumb* CThumbList::GetAt(size_t index) const
{
    std::lock_guard guard(m_lock);
    return index < m_thumbs.size() ? m_thumbs[index].get() : nullptr;
}

size_t CThumbList::CountKept() const
{
    std::lock_guard guard(m_lock);
    return size_t(std::count_if(m_thumbs.begin(), m_thumbs.end(), [](const auto& t) { return t->IsKept(); }));
}

uint64_t CThumbList::KeptSize() const
{
    std::lock_guard guard(m_lock);
    uint64_t total = 0;
    for (const auto& thumb : m_thumbs)
        if (thumb->IsKept())
            total += thumb->GetSize();
    return total;
}

void CThumbList::SetAllKept(bool keep)
{
    std::lock_guard guard(m_lock);
    for (const auto& thumb : m_thumbs)
        thumb->SetKept(keep);
}

QImage CThumbList::CopyThumbnailAt(size_t index) const
{
    std::lock_guard guard(m_lock);
    if (index >= m_thumbs.size())
        return {};
    // A deep copy: the caller may paint on it without touching the list's bitmap.
    return m_thumbs[index]->GetThumbnail().copy();
}

CThumb* CThumbList::HitTest(int32_t x, int32_t y) const
{
    std::lock_guard guard(m_lock);
    for (const auto& thumb : m_thumbs)
        if (thumb->CellContains(x, y))
            return thumb.get();
    return nullptr;
}

CThumb* CThumbList::SetCurrentAt(int32_t x, int32_t y)
{
    std::lock_guard guard(m_lock);
    CThumb* current = nullptr;
    for (const auto& thumb : m_thumbs) {
        const bool hit = !current && thumb->CellContains(x, y);
        thumb->SetCurrent(hit);
        if (hit)
            current = thumb.get();
    }
    return current;
}

CThumb* CThumbList::GetCurrent() const
{
    std::lock_guard guard(m_lock);
    for (const auto& thumb : m_thumbs)
        if (thumb->IsCurrent())
            return thumb.get();
    return nullptr;
}

QSize CThumbList::GetExtent() const
{
    std::lock_guard guard(m_lock);
    int32_t right = 0;
    int32_t bottom = 0;
    for (const auto& thumb : m_thumbs) {
        const QRect cell = thumb->GetCellRect();
        right = std::max(right, cell.x() + cell.width());
        bottom = std::max(bottom, cell.y() + cell.height());
    }
    return QSize(right, bottom);
}

void CThumbList::LayoutGrid(int32_t columns)
{
    columns = std::max(1, columns);
    std::lock_guard guard(m_lock);
    for (size_t k = 0; k < m_thumbs.size(); ++k) {
        const auto column = int32_t(k % size_t(columns));
        const auto row = int32_t(k / size_t(columns));
        m_thumbs[k]->SetCellPos(column * m_params.CellWidth, row * m_params.CellHeight);
    }
}

void CThumbList::RemoveAll()
{
    std::vector<std::unique_ptr<CThumb>> freed;
    {
        std::lock_guard guard(m_lock);
        ++m_nGeneration;
        freed.swap(m_thumbs);
        // Under the list's lock, so that a file added from another thread right after
        // cannot have its thumbnail dropped with the old ones.
        m_workers.CancelPending();
    }
    // freed goes here, outside the lock; a worker that still holds one of its pointers
    // checks the generation under the lock before it touches it.
}

size_t CThumbList::CountPending() const { return m_workers.GetPendingCount(); }

bool CThumbList::WaitForThumbnails(int timeoutMs) const { return m_workers.WaitIdle(timeoutMs); }

void CThumbList::SetReadyHandler(std::function<void(size_t)> handler)
{
    std::lock_guard guard(m_lock);
    m_onReady = std::move(handler);
}
