#pragma once
// The found list: the found files in the order they were found, each a CThumb with a keep
// mark (set when the file is added) and a thumbnail, and the cell parameters that every
// new thumbnail gets. The card document owns one (CThumbParams::FoundList()); the grid
// window has its own (CThumbParams::GridList()) until a page gives it another.
//
// Thumbnails are made off the caller's path: AddFile appends the file at once and queues
// its thumbnail for a small pool of worker threads, so that adding a found file costs the
// scan nothing but a stat of the file. Until a thumbnail is ready, CopyThumbnailAt gives
// nothing for it (the preview on the scan page then waits for the next tick);
// WaitForThumbnails waits for every queued thumbnail.
//
// On demand, for large cards: by default every thumbnail is made when its file is added
// and kept until RemoveAll, which for 100,000 found files is 1.4 GB of bitmaps. With a
// cache limit (SetCacheLimit) nothing is made until it is asked for (RequestThumbnails for
// the rows a window shows, CopyThumbnailAt for one preview), and at most that many
// bitmaps are held: the least recently requested ones are dropped and made again when
// asked for again.
//
// Threads: every operation may be called from any thread, typically the user interface
// while the workers fill bitmaps. A CThumb pointer that the list hands out stays valid
// until RemoveAll or the list's destruction, which only the owner of the list calls.
#include <QImage>
#include <QSize>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "recovery/cthumb.h"
#include "recovery/thumbnailer.h"

class CThumbList {
public:
    explicit CThumbList(const CThumbParams& params = CThumbParams::FoundList());
    // Drops the queued thumbnails, waits for those being made, then frees every thumbnail.
    ~CThumbList();
    CThumbList(const CThumbList&) = delete;
    CThumbList& operator=(const CThumbList&) = delete;

    CThumbParams GetParams() const { return m_params; }

    // The skin pictures for movies, sounds and files without a picture. Until set, the
    // first AddFile takes them from the program's settings (DefaultThumbPlaceholders).
    void SetPlaceholders(const ThumbPlaceholders& files);

    // Appends a thumbnail for path with the list's parameters and the keep mark set, reads
    // the file's size, and, without a cache limit, queues its thumbnail (a file that does
    // not exist gets none and is ready at once). Always true.
    bool AddFile(const std::string& path);
    // Gives the entry of path (the last one of that path) its camera name and shot time;
    // false when no entry has that path.
    bool Describe(const std::string& path, const std::string& cameraName, int64_t shotTime);
    // Entries that have a camera name.
    size_t CountNamed() const;

    // Whether AddFile queues thumbnails (on by default). A front end without pictures
    // (px3) turns them off: the list then only keeps paths, sizes and keep marks.
    void SetMakeThumbnails(bool on);

    size_t GetCount() const;
    // The index-th thumbnail (from 0), or null past the end.
    CThumb* GetAt(size_t index) const;

    // The index-th file took a new name (a save renamed it): its path and size from now on,
    // changed under the list's lock, as a worker may be reading the path.
    void RenameAt(size_t index, const std::string& path);

    // Number of thumbnails whose keep mark is set.
    size_t CountKept() const;
    // Sum of the file sizes of the thumbnails whose keep mark is set.
    uint64_t KeptSize() const;
    // Sets or clears the keep mark of every thumbnail.
    void SetAllKept(bool keep);

    // A copy of the index-th thumbnail's bitmap, which the caller owns; a null image when
    // the index is not below the count, the thumbnail is not made yet, or it has none.
    // With a cache limit, a thumbnail not made yet is requested (without dropping other
    // requests), so a later call gives it; a made one counts as just requested.
    QImage CopyThumbnailAt(size_t index) const;

    // How many thumbnails may hold a bitmap at a time. 0 (the default): every thumbnail
    // is queued when its file is added and kept until RemoveAll. Above 0: AddFile queues
    // nothing (it still reads the size and sets the keep mark); thumbnails are made when
    // requested, and when one more becomes ready beyond the limit the least recently
    // requested ones are dropped (CThumb::ClearThumbnail: not ready again, made again when
    // requested again). Meant to be set before files are added; a lower limit set later
    // drops what is over it at once.
    void SetCacheLimit(size_t limit);
    size_t GetCacheLimit() const;
    // The device pixel ratio thumbnails are made for from now on (the screen the grid
    // shows on; 1 to 4). Bitmaps made for another ratio are dropped and made again when
    // requested.
    void SetPixelRatio(qreal ratio);
    qreal GetPixelRatio() const;
    // Queues the thumbnails of indices [first, first + count) (clipped to the list) that
    // are neither ready, queued nor being made, and marks the range as the most recently
    // requested. With a cache limit, at most limit of the range (from first on) are taken,
    // as a larger range would drop its own bitmaps, and thumbnails queued by earlier calls
    // outside the range that have not started are dropped: a fast scroll does not have
    // the workers decode every row it passed. Nothing is queued while thumbnails are off.
    void RequestThumbnails(size_t first, size_t count);

    // The first thumbnail whose cell contains the point, or null.
    CThumb* HitTest(int32_t x, int32_t y) const;
    // Marks current the thumbnail whose cell contains the point (the first such) and
    // clears the mark on all others; a point outside every cell clears them all. Returns
    // the new current thumbnail or null.
    CThumb* SetCurrentAt(int32_t x, int32_t y);
    // The first thumbnail marked current, or null.
    CThumb* GetCurrent() const;
    // The largest right edge and the largest bottom edge of all cells; 0 x 0 when empty.
    QSize GetExtent() const;
    // Places the cells in list order in rows of columns (the grid's rows of five): the
    // k-th at (k mod columns x cell width, k div columns x cell height).
    void LayoutGrid(int32_t columns = 5);

    // Empties the list: queued thumbnails are dropped, thumbnails being made are
    // discarded when they finish, and every thumbnail is freed.
    void RemoveAll();

    // Thumbnails queued or being made.
    size_t CountPending() const;
    // Waits until every queued thumbnail is ready; false when timeoutMs (>= 0) passed first.
    bool WaitForThumbnails(int timeoutMs = -1) const;
    // Called on a worker thread with the index of each thumbnail as it becomes ready (a
    // window posts itself a repaint from it), one call at a time. It may be set, replaced
    // or cleared (an empty function) at any time: once SetReadyHandler returns, the
    // handler it replaced is never called again, as a call in progress is waited for.
    // So the handler must not call SetReadyHandler, nor wait for the thread that sets it
    // (a blocking call into the user interface would deadlock). An index may name a
    // thumbnail that a RemoveAll has just freed: the handler looks it up with GetAt.
    void SetReadyHandler(std::function<void(size_t)> handler);

    // Worker threads of each list.
    static constexpr unsigned WorkerThreads = 2;

private:
    // Where a thumbnail stands with the workers.
    enum class Work : uint8_t { Idle, Queued, Running };
    struct Slot {
        uint64_t Used = 0;  // the request stamp that last asked for it
        Work State = Work::Idle;
    };

    // Queues the index-th thumbnail for a worker. m_lock held.
    void QueueLocked(size_t index) const;
    // RequestThumbnails; supersede drops earlier queued requests outside the range.
    // m_lock held.
    void RequestLocked(size_t first, size_t count, bool supersede) const;
    // Drops the least recently requested bitmaps over the cache limit, never keep's.
    // m_lock held.
    void EvictLocked(size_t keep) const;
    // Makes the index-th thumbnail of generation on a worker thread.
    void MakeThumbnail(uint64_t generation, size_t index);

    const CThumbParams m_params;
    mutable std::mutex m_lock;  // guards everything below but the ready handler
    qreal m_pixelRatio;
    std::vector<std::unique_ptr<CThumb>> m_thumbs;
    // Counts RemoveAll calls: a thumbnail finished for an earlier generation is discarded.
    uint64_t m_nGeneration = 0;
    std::optional<ThumbPlaceholders> m_placeholders;
    bool m_bMakeThumbnails = true;
    size_t m_nCacheLimit = 0;
    // The request state changes on reads too (CopyThumbnailAt asks for what it could not
    // give), hence mutable.
    mutable std::vector<Slot> m_slots;  // one per thumbnail
    // With a cache limit: the indices that hold a bitmap, and those queued by the last
    // range request (which the next one may drop).
    mutable std::vector<size_t> m_resident;
    mutable std::vector<size_t> m_queued;
    mutable uint64_t m_nUseClock = 0;  // the last request stamp
    mutable size_t m_nWaiting = 0;     // slots queued or running

    // Held while the handler runs, so that replacing it waits for a call in progress.
    std::mutex m_handlerLock;
    std::function<void(size_t)> m_onReady;
    CPlaceholderCache m_placeholderCache;
    mutable CThumbnailer m_workers {WorkerThreads};
};
