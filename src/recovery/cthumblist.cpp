#include "recovery/cthumblist.h"

#include <QColor>

#include <algorithm>

CThumbList::CThumbList(const CThumbParams& params) : m_params(params), m_pixelRatio(params.PixelRatio) {}

void CThumbList::SetPixelRatio(qreal ratio)
{
    ratio = std::clamp<qreal>(ratio, 1.0, 4.0);
    std::lock_guard guard(m_lock);
    if (ratio == m_pixelRatio)
        return;
    m_pixelRatio = ratio;
    for (size_t k = 0; k < m_thumbs.size(); ++k) {
        if (!m_thumbs[k]->HasThumbnail() || m_thumbs[k]->GetThumbnail().devicePixelRatio() == ratio)
            continue;
        m_thumbs[k]->ClearThumbnail();
        m_resident.erase(std::remove(m_resident.begin(), m_resident.end(), k), m_resident.end());
    }
}

qreal CThumbList::GetPixelRatio() const
{
    std::lock_guard guard(m_lock);
    return m_pixelRatio;
}

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
    if (!thumb->Exists())
        thumb->SetThumbnail(QImage(), QRect());

    std::lock_guard guard(m_lock);
    if (!m_placeholders)
        m_placeholders = DefaultThumbPlaceholders();
    // Without thumbnails (px3) every file is ready at once, without a bitmap.
    if (!m_bMakeThumbnails)
        thumb->SetThumbnail(QImage(), QRect());
    const size_t index = m_thumbs.size();
    const bool ready = thumb->IsThumbnailReady();
    m_thumbs.push_back(std::move(thumb));
    m_slots.emplace_back();
    if (!ready && m_nCacheLimit == 0)
        QueueLocked(index);
    return true;
}

bool CThumbList::Describe(const std::string& path, const std::string& cameraName, int64_t shotTime)
{
    std::lock_guard guard(m_lock);
    for (auto it = m_thumbs.rbegin(); it != m_thumbs.rend(); ++it) {
        if ((*it)->GetText() == path) {
            (*it)->SetCameraInfo(cameraName, shotTime);
            return true;
        }
    }
    return false;
}

size_t CThumbList::CountNamed() const
{
    std::lock_guard guard(m_lock);
    return static_cast<size_t>(std::count_if(m_thumbs.begin(), m_thumbs.end(),
                                             [](const auto& thumb) { return !thumb->CameraName().empty(); }));
}

void CThumbList::QueueLocked(size_t index) const
{
    m_slots[index].State = Work::Queued;
    ++m_nWaiting;
    const uint64_t generation = m_nGeneration;
    // The list outlives its workers (the destructor ends them first), so the task may
    // hold it. Lists are never made const objects: const here only marks the reading
    // operations (CopyThumbnailAt) that may ask for a thumbnail.
    auto* list = const_cast<CThumbList*>(this);
    m_workers.Submit([list, generation, index] { list->MakeThumbnail(generation, index); });
}

void CThumbList::MakeThumbnail(uint64_t generation, size_t index)
{
    CThumb* thumb;
    ThumbRequest request;
    {
        std::lock_guard guard(m_lock);
        // A list emptied since the file was queued, or a request dropped by a later one
        // (or already served by an earlier task for the same thumbnail): nothing to make.
        if (generation != m_nGeneration || index >= m_slots.size() || m_slots[index].State != Work::Queued)
            return;
        m_slots[index].State = Work::Running;
        thumb = m_thumbs[index].get();
        request.Path = thumb->GetText();
        request.Inner = m_params.InnerSize();
        request.PixelRatio = m_pixelRatio;
        request.Background = m_params.Background;
        request.Placeholders = *m_placeholders;
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
    {
        std::lock_guard guard(m_lock);
        if (generation != m_nGeneration)
            return;  // the thumbnail was freed while its picture was decoded
        thumb->SetThumbnail(image.Bitmap, image.Picture);
        m_slots[index].State = Work::Idle;
        --m_nWaiting;
        if (m_nCacheLimit > 0 && !image.Bitmap.isNull()) {
            if (std::find(m_resident.begin(), m_resident.end(), index) == m_resident.end())
                m_resident.push_back(index);
            EvictLocked(index);
        }
    }
    std::lock_guard guard(m_handlerLock);
    if (m_onReady)
        m_onReady(index);
}

void CThumbList::EvictLocked(size_t keep) const
{
    if (m_nCacheLimit == 0)
        return;
    // A linear search: the resident set is no larger than the limit plus one, a few
    // hundred thumbnails for a window's rows and their neighbours.
    while (m_resident.size() > m_nCacheLimit) {
        size_t oldest = m_resident.size();
        for (size_t k = 0; k < m_resident.size(); ++k) {
            if (m_resident[k] == keep)
                continue;
            if (oldest == m_resident.size() || m_slots[m_resident[k]].Used < m_slots[m_resident[oldest]].Used)
                oldest = k;
        }
        if (oldest == m_resident.size())
            return;
        m_thumbs[m_resident[oldest]]->ClearThumbnail();
        m_resident[oldest] = m_resident.back();
        m_resident.pop_back();
    }
}

void CThumbList::SetCacheLimit(size_t limit)
{
    std::lock_guard guard(m_lock);
    m_nCacheLimit = limit;
    m_resident.clear();
    m_queued.clear();
    if (limit == 0)
        return;
    for (size_t k = 0; k < m_thumbs.size(); ++k)
        if (m_thumbs[k]->HasThumbnail())
            m_resident.push_back(k);
    EvictLocked(m_thumbs.size());
}

void CThumbList::RenameAt(size_t index, const std::string& path)
{
    std::lock_guard guard(m_lock);
    if (index < m_thumbs.size()) {
        m_thumbs[index]->SetPath(path, false);
        m_thumbs[index]->Exists();
    }
}

size_t CThumbList::GetCacheLimit() const
{
    std::lock_guard guard(m_lock);
    return m_nCacheLimit;
}

void CThumbList::RequestThumbnails(size_t first, size_t count)
{
    std::lock_guard guard(m_lock);
    RequestLocked(first, count, true);
}

void CThumbList::RequestLocked(size_t first, size_t count, bool supersede) const
{
    if (!m_bMakeThumbnails)
        return;
    const size_t total = m_thumbs.size();
    first = std::min(first, total);
    count = std::min(count, total - first);
    if (m_nCacheLimit > 0)
        count = std::min(count, m_nCacheLimit);
    const size_t end = first + count;
    if (m_nCacheLimit > 0 && supersede) {
        // A queued task whose slot went back to idle finds nothing to make when it starts.
        std::vector<size_t> kept;
        for (size_t index : m_queued) {
            if (index >= total || m_slots[index].State != Work::Queued)
                continue;
            if (index >= first && index < end) {
                kept.push_back(index);
            } else {
                m_slots[index].State = Work::Idle;
                --m_nWaiting;
            }
        }
        m_queued.swap(kept);
    }
    const uint64_t stamp = ++m_nUseClock;
    for (size_t index = first; index < end; ++index) {
        Slot& slot = m_slots[index];
        slot.Used = stamp;
        if (slot.State != Work::Idle || m_thumbs[index]->IsThumbnailReady())
            continue;
        QueueLocked(index);
        if (m_nCacheLimit > 0 && supersede)
            m_queued.push_back(index);
    }
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
    const QImage bitmap = m_thumbs[index]->GetThumbnail();
    if (m_nCacheLimit > 0)
        RequestLocked(index, 1, false);
    // A deep copy: the caller may paint on it without touching the list's bitmap.
    return bitmap.copy();
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
        m_slots.clear();
        m_resident.clear();
        m_queued.clear();
        m_nWaiting = 0;
        // Under the list's lock, so that a file added from another thread right after
        // cannot have its thumbnail dropped with the old ones.
        m_workers.CancelPending();
    }
    // freed goes here, outside the lock; a worker that still holds one of its pointers
    // checks the generation under the lock before it touches it.
}

size_t CThumbList::CountPending() const
{
    std::lock_guard guard(m_lock);
    return m_nWaiting;
}

bool CThumbList::WaitForThumbnails(int timeoutMs) const { return m_workers.WaitIdle(timeoutMs); }

void CThumbList::SetReadyHandler(std::function<void(size_t)> handler)
{
    std::function<void(size_t)> replaced;
    {
        std::lock_guard guard(m_handlerLock);
        replaced.swap(m_onReady);
        m_onReady = std::move(handler);
    }
    // replaced (and whatever it holds) goes here, outside the lock.
}
