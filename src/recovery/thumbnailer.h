#pragma once
// Making the thumbnail bitmap of a found file, and the small worker pool that does it off
// the scan's path.
//
// Where the picture comes from, by the file's extension (compared without regard to case):
//  - a picture (.png .tif .tiff .jpeg .jpg .gif .bmp .pcx .nef): a JPEG's embedded Exif
//    preview (the JPEG thumbnail of the Exif IFD1) when it has one as large as the
//    thumbnail needs, else the file decoded at a reduced size (QImageReader with a scaled
//    size: JPEG decodes at 1/2, 1/4 or 1/8 directly);
//  - a camera raw file (.nef .cr2 .orf .raf .arw .sr2 .pef .dcr .mrw .x3f .crw .dng): the
//    preview that the camera embedded, through LibRaw; a TIFF that Qt cannot read is tried
//    the same way, since a CR2 is recovered as a TIFF;
//  - a movie (.mov .mp4 .avi): its first key frame through FFmpeg (movieframe.h), and the
//    skin picture "VideoImage.png" when the movie does not decode (cut, damaged, a codec
//    FFmpeg lacks); a sound (.wav .mp3 .aiff .au .snd .wave): "AudioImage.png"; anything
//    else, and a picture or raw file that cannot be opened at all: "NoImage.png". A skin picture that is missing is replaced
//    by a plain drawing (a film strip, a loudspeaker, a crossed frame), drawn with lines
//    only, as text would need a GUI application object that the worker threads may lack.
// The picture is fitted into the inner area (the fit rule), scaled smoothly and drawn
// centred on the background colour into a 16-bit bitmap that covers the inner area in
// device pixels: the inner-area size times the request's pixel ratio, with that ratio as
// the bitmap's device pixel ratio, so that QPainter::drawImage at the inner area's corner
// fills exactly the inner area and a HiDPI screen gets every pixel it shows. Pictures are
// decoded for those device pixels. An Exif or raw preview is used when it is at least as
// large as the picture's place in logical pixels (a camera's 160 x 120 preview serves a
// 94 x 78 cell at ratio 2 slightly enlarged): decoding the 12-megapixel picture instead
// would cost a hundred times more.
// A picture whose bounds read but whose data does not decode gives a bitmap of the
// background colour alone. The log gets a "GetThumbnailImage" scope with "Thumb Created"
// or the failure for every picture that opened.
//
// Everything here may run on any thread: only QImage, never QPixmap.
#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QSize>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// The three skin pictures that stand in for files without a picture of their own.
struct ThumbPlaceholders {
    std::string Video;    // VideoImage.png
    std::string Audio;    // AudioImage.png
    std::string NoImage;  // NoImage.png
};
// The skin pictures of the program's settings object when there is one, else those of
// the installed skin folder.
ThumbPlaceholders DefaultThumbPlaceholders();

// What a file is, for its thumbnail, by its extension.
enum class ThumbKind { Picture, CameraRaw, Video, Sound, Other };
ThumbKind ThumbKindOf(std::string_view path);

// Where a finished bitmap came from.
enum class ThumbSource {
    None,         // the file does not exist: no bitmap
    Picture,      // the file's own picture, decoded at a reduced size
    ExifPreview,  // a JPEG's embedded Exif preview
    RawPreview,   // a camera raw file's embedded preview
    MovieFrame,   // a movie's first key frame
    Placeholder,  // a skin picture (or its plain stand-in)
    Blank,        // the picture's bounds read but its data did not: background only
};

struct ThumbImage {
    QImage Bitmap;   // inner-area size in device pixels (DevicePixels), QImage::Format_RGB16,
                     // its devicePixelRatio the request's; null for ThumbSource::None
    QRect Picture;   // where the picture lies inside the inner area, in logical pixels
    ThumbSource Source = ThumbSource::None;
};

// One thumbnail to make.
struct ThumbRequest {
    std::string Path;
    QSize Inner;                    // the inner-area size, in logical pixels
    qreal PixelRatio = 1.0;         // device pixels per logical pixel (the grid's screen)
    uint32_t Background = 0xFFFFFF; // 0xRRGGBB
    ThumbPlaceholders Placeholders;
};
// The inner area in device pixels: each side times the ratio, rounded (a ratio below 1 or
// not a number counts as 1, above 4 as 4: no screen has more, and a wild value must not
// allocate gigabytes).
QSize DevicePixels(QSize inner, qreal ratio);
qreal ClampPixelRatio(qreal ratio);

// Composed placeholder thumbnails by skin file, inner size and background, so that a
// card full of sound files decodes "AudioImage.png" once. Thread-safe.
class CPlaceholderCache {
public:
    bool Find(const std::string& key, ThumbImage& image) const;
    void Store(const std::string& key, const ThumbImage& image);
    void Clear();

private:
    mutable std::mutex m_lock;
    std::map<std::string, ThumbImage> m_images;
};

// Makes the thumbnail of request.Path (see above). Never fails: a file that does not
// exist gives ThumbSource::None and a null bitmap, anything else a bitmap.
ThumbImage MakeThumbImage(const ThumbRequest& request, CPlaceholderCache* cache = nullptr);

// A JPEG's Exif preview and the size of its main picture.
struct ExifPreview {
    QByteArray Jpeg;  // the JPEG stream of the IFD1 thumbnail
    QSize MainSize;   // from the frame header (SOFn); invalid when it lies beyond the bytes given
};
// Reads the preview from the first bytes of a JPEG stream (the Exif segment lies near the
// start, before the first scan). False when the bytes are not a JPEG, have no Exif
// segment, or its IFD1 has no JPEG thumbnail that lies wholly inside the segment. Every
// offset is checked against the bytes given.
bool ParseExifPreview(const QByteArray& head, ExifPreview& preview);
// The same from the head of the file at path (at most HeadBytes of it are read).
bool ReadExifPreview(const std::string& path, ExifPreview& preview);
// How much of a JPEG file is read for its Exif segment and frame header: the Exif
// segment is at most 64 KiB and comes first; colour profiles and maker segments may
// stand between it and the frame header.
constexpr int ExifHeadBytes = 256 * 1024;

// A camera raw file's embedded preview, through LibRaw: the JPEG stream, or a decoded
// RGB bitmap for cameras that store one. False when LibRaw does not know the file or it
// has no preview (and always when the program was built without LibRaw).
bool ReadRawPreview(const std::string& path, QByteArray& jpeg, QImage& bitmap);

// The plain stand-in for a missing skin picture of the given kind (Video, Sound, or
// anything else for "no image"), 80 x 60 pixels.
QImage BuiltInPlaceholder(ThumbKind kind);

// A few worker threads that run queued tasks in the order given. Threads start with the
// first task and run at a lower scheduling priority, so that a scan sharing the machine
// keeps its pace. Thread-safe.
class CThumbnailer {
public:
    explicit CThumbnailer(unsigned threads = 2);
    // Drops the queued tasks, waits for the running ones and ends the threads.
    ~CThumbnailer();
    CThumbnailer(const CThumbnailer&) = delete;
    CThumbnailer& operator=(const CThumbnailer&) = delete;

    void Submit(std::function<void()> task);
    // Drops the tasks not started yet; returns how many.
    size_t CancelPending();
    // Waits until no task is queued or running; false when timeoutMs (>= 0) passed first.
    bool WaitIdle(int timeoutMs = -1) const;
    // Tasks queued or running.
    size_t GetPendingCount() const;
    // Drops the queued tasks, waits for the running ones and ends the threads; later
    // tasks are dropped.
    void Shutdown();

private:
    void Work();

    const unsigned m_nThreads;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    mutable std::condition_variable m_idle;
    std::deque<std::function<void()>> m_queue;
    size_t m_nRunning = 0;
    bool m_bStop = false;
    std::vector<std::thread> m_threads;
};
