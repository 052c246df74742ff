#pragma once
// The thumbnail of one found file: the file's path (with its size, read when the file is
// added), where its cell lies in the grid, its keep mark, and a small 16-bit picture of
// the cell's inner area.
//
// Cell geometry: a cell of CellWidth x CellHeight pixels at (x, y) in the grid's
// scrollable area; the inner picture area lies inside it by the four margins. The picture
// rectangle tells where the scaled picture lies inside the inner area (relative to the
// inner area's upper-left corner); around it the inner area shows the background colour.
//
// Threads: every accessor may be called from any thread. The thumbnail (bitmap, picture
// rectangle, ready state) is filled by a worker thread of the list while the user
// interface reads it, so it sits behind a lock; the flags are atomic.
#include <QImage>
#include <QRect>
#include <QSize>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "app/cfilepath.h"

// Bits of a thumbnail's flags.
namespace ThumbFlag {
constexpr uint32_t Current = 0x1;  // the current cell, drawn with a highlight frame
constexpr uint32_t Keep = 0x2;     // the file is saved; set when the file is found
}

// What a list gives each new thumbnail: the cell size, the four margins and the
// background colour (0xRRGGBB).
struct CThumbParams {
    int32_t CellWidth = 100;
    int32_t CellHeight = 100;
    int32_t MarginLeft = 5;
    int32_t MarginTop = 5;
    int32_t MarginRight = 5;
    int32_t MarginBottom = 10;
    uint32_t Background = 0xFFFFFF;
    // Device pixels per logical pixel of the screen the cells are shown on (2 on a HiDPI
    // screen): the bitmaps cover the inner area in device pixels (see thumbnailer.h). The
    // cell geometry above stays in logical pixels.
    qreal PixelRatio = 1.0;

    // The inner area: the cell less the margins (never negative).
    int32_t InnerWidth() const;
    int32_t InnerHeight() const;
    QSize InnerSize() const { return {InnerWidth(), InnerHeight()}; }

    // The parameters of a thumbnail made without a list: 100 x 100, margins 5, 5, 5, 10,
    // white.
    static CThumbParams Default() { return {}; }
    // The card document's found list: 98 x 96, margins 2, 2, 2, 16, black (inner 94 x 78).
    static CThumbParams FoundList();
    // The grid window's own list: 95 x 95, margins 2, 2, 2, 17, white (inner 91 x 76).
    static CThumbParams GridList();

    bool operator==(const CThumbParams&) const = default;
};

// The fit rule, for thumbnails and the picture viewer: the size at which a picture of
// `source` size is shown in `box`. Pictures are never enlarged; otherwise the width is
// tried first (height = width x sh / sw, rounded to nearest), then the height. A source
// with a zero or negative side fits as 0 x 0.
QSize FitSize(QSize source, QSize box);
// FitSize placed in the middle of the box: offsets (bw - w) / 2 and (bh - h) / 2 in
// integer division, a negative offset taken as 0.
QRect FitRect(QSize source, QSize box);

class CThumb : public CFilePath {
public:
    // An empty path with the default parameters.
    CThumb();
    // The file at path with the given parameters. Does not touch the file: the list
    // reads its size (Exists) and makes the thumbnail.
    explicit CThumb(const std::string& path, const CThumbParams& params = CThumbParams::Default());
    CThumb(const CThumb& other);
    CThumb& operator=(const CThumb& other);
    ~CThumb() override = default;

    CObj* CreateNew() const override;
    // The path reset, default parameters, cell at (0, 0), no flags, no thumbnail.
    void Reset() override;
    // Copies the path, the parameters, the cell position, the flags and the thumbnail;
    // from a plain path or CObj only that part.
    void CopyFrom(const CObj& other) override;

    CThumbParams GetParams() const;
    // The cell in grid coordinates.
    QRect GetCellRect() const;
    QPoint GetCellPos() const;
    void SetCellPos(int32_t x, int32_t y);
    // The inner picture area in grid coordinates.
    QRect GetInnerRect() const;
    // True when the point lies in the cell (left and top edges in, right and bottom out).
    bool CellContains(int32_t x, int32_t y) const;

    uint32_t GetFlags() const { return m_nFlags.load(); }
    void SetFlags(uint32_t flags) { m_nFlags.store(flags); }
    bool IsKept() const { return GetFlags() & ThumbFlag::Keep; }
    void SetKept(bool keep);
    // Turns the keep mark over; returns the new state.
    bool ToggleKept();
    bool IsCurrent() const { return GetFlags() & ThumbFlag::Current; }
    void SetCurrent(bool current);

    // True once the thumbnail step has ended (with or without a bitmap).
    bool IsThumbnailReady() const;
    // True when the thumbnail has a bitmap.
    bool HasThumbnail() const;
    // A copy of the bitmap (inner-area size times the pixel ratio, QImage::Format_RGB16,
    // with that devicePixelRatio); a null image while the thumbnail is not made yet or when
    // it has none (a file that does not exist).
    QImage GetThumbnail() const;
    // The picture rectangle inside the inner area; empty for a blank bitmap or none.
    QRect GetPictureRect() const;

    // Makes the thumbnail now, on the calling thread: reads the file's attributes and
    // size, then decodes it (see thumbnailer.h). The list has a worker do the same.
    void MakeThumbnail();
    // Stores a finished thumbnail (bitmap may be null: the file does not exist) and marks
    // the thumbnail ready.
    void SetThumbnail(const QImage& bitmap, const QRect& picture);
    // Drops the bitmap and marks the thumbnail not made.
    void ClearThumbnail();

    // What the card tells of the file: its camera name and when it was shot (seconds
    // since 1970); empty and 0 when not known. Set by the list from the UI's thread.
    void SetCameraInfo(const std::string& name, int64_t shotTime);
    std::string CameraName() const;
    int64_t ShotTime() const { return m_nShotTime.load(); }

private:
    mutable std::mutex m_lock;  // guards everything below but the flags
    CThumbParams m_params;
    int32_t m_nCellX = 0;
    int32_t m_nCellY = 0;
    QRect m_rcPicture;
    QImage m_bitmap;
    bool m_bReady = false;
    std::atomic<uint32_t> m_nFlags {0};
    std::string m_strCameraName;
    std::atomic<int64_t> m_nShotTime {0};
};
