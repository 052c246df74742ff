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
    // the file's size, and queues its thumbnail (a file that does not exist gets none and
    // is ready at once). Always true.
    bool AddFile(const std::string& path);

    // Whether AddFile queues thumbnails (on by default). A front end without pictures
    // (px3) turns them off: the list then only keeps paths, sizes and keep marks.
    void SetMakeThumbnails(bool on);

    size_t GetCount() const;
    // The index-th thumbnail (from 0), or null past the end.
    CThumb* GetAt(size_t index) const;

    // Number of thumbnails whose keep mark is set.
    size_t CountKept() const;
    // Sum of the file sizes of the thumbnails whose keep mark is set.
    uint64_t KeptSize() const;
    // Sets or clears the keep mark of every thumbnail.
    void SetAllKept(bool keep);

    // A copy of the index-th thumbnail's bitmap, which the caller owns; a null image when
    // the index is not below the count, the thumbnail is not made yet, or it has none.
    QImage CopyThumbnailAt(size_t index) const;

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
    // window posts itself a repaint from it). Set it before adding files.
    void SetReadyHandler(std::function<void(size_t)> handler);

    // Worker threads of each list.
    static constexpr unsigned WorkerThreads = 2;

private:
    // Makes the thumbnail of thumb (the index-th of generation) on a worker thread.
    void MakeThumbnail(uint64_t generation, size_t index, CThumb* thumb, const ThumbRequest& request);

    const CThumbParams m_params;
    mutable std::mutex m_lock;  // guards the list, the generation and the settings below
    std::vector<std::unique_ptr<CThumb>> m_thumbs;
    // Counts RemoveAll calls: a thumbnail finished for an earlier generation is discarded.
    uint64_t m_nGeneration = 0;
    std::optional<ThumbPlaceholders> m_placeholders;
    bool m_bMakeThumbnails = true;
    std::function<void(size_t)> m_onReady;
    CPlaceholderCache m_placeholderCache;
    CThumbnailer m_workers {WorkerThreads};
};
