#include "recovery/thumbnailer.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QColor>
#include <QImageReader>
#include <QPainter>
#include <QPolygon>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

#include "app/clogfile.h"
#include "app/csettings.h"
#include "app/filetypes.h"
#include "formats/jpegdc.h"
#include "recovery/cthumb.h"
#include "recovery/movieframe.h"

#ifdef PX3_HAVE_LIBRAW
#include <libraw/libraw.h>
#endif

namespace {

// ---- file kinds ----------------------------------------------------------------------

std::string LowerExtension(std::string_view path)
{
    const size_t slash = path.find_last_of("/\\");
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot + 1 >= name.size())
        return {};
    std::string ext(name.substr(dot + 1));
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

// Camera raw formats whose embedded preview LibRaw reads: those the recovery finds, and
// DNG, which many cameras and converters write.
bool IsCameraRawExtension(const std::string& ext)
{
    static const char* const kRaw[] = {"nef", "cr2", "orf", "raf", "arw", "sr2", "pef",
                                       "dcr", "mrw", "x3f", "crw", "dng"};
    for (const char* raw : kRaw)
        if (ext == raw)
            return true;
    return false;
}

// ---- reading -------------------------------------------------------------------------

// Up to limit bytes from the start of the file; empty when it cannot be read.
QByteArray ReadHead(const std::string& path, int limit)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray head(limit, Qt::Uninitialized);
    int got = 0;
    while (got < limit) {
        const ssize_t n = ::read(fd, head.data() + got, size_t(limit - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += int(n);
    }
    ::close(fd);
    head.truncate(got);
    return head;
}

uint32_t Get16(const uint8_t* p, bool little)
{
    return little ? uint32_t(p[0] | p[1] << 8) : uint32_t(p[0] << 8 | p[1]);
}

uint32_t Get32(const uint8_t* p, bool little)
{
    return little ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24
                  : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// The JPEG thumbnail of the IFD1 of an Exif TIFF block of len bytes. Every offset is
// relative to the TIFF header and must lie inside the block.
bool ParseTiffThumbnail(const uint8_t* tiff, size_t len, QByteArray& jpeg)
{
    if (len < 8)
        return false;
    bool little;
    if (tiff[0] == 'I' && tiff[1] == 'I')
        little = true;
    else if (tiff[0] == 'M' && tiff[1] == 'M')
        little = false;
    else
        return false;
    if (Get16(tiff + 2, little) != 42)
        return false;

    // The entry count of the directory at off, when the whole directory and its next
    // link fit in the block.
    auto directory = [&](uint64_t off, uint32_t& count) {
        if (off < 8 || off + 2 > len)
            return false;
        count = Get16(tiff + off, little);
        return off + 2 + 12ull * count + 4 <= len;
    };
    const uint32_t ifd0 = Get32(tiff + 4, little);
    uint32_t count0 = 0;
    if (!directory(ifd0, count0))
        return false;
    const uint32_t ifd1 = Get32(tiff + ifd0 + 2 + 12 * count0, little);
    uint32_t count1 = 0;
    if (ifd1 == 0 || ifd1 == ifd0 || !directory(ifd1, count1))
        return false;

    uint64_t offset = 0;
    uint64_t length = 0;
    uint32_t compression = 6;
    for (uint32_t i = 0; i < count1; ++i) {
        const uint8_t* entry = tiff + ifd1 + 2 + 12 * i;
        const uint32_t tag = Get16(entry, little);
        const uint32_t type = Get16(entry + 2, little);
        // A single SHORT or LONG value sits in the entry itself.
        uint32_t value = 0;
        if (type == 3)
            value = Get16(entry + 8, little);
        else if (type == 4)
            value = Get32(entry + 8, little);
        else
            continue;
        if (tag == 0x0103)
            compression = value;
        else if (tag == 0x0201)  // JPEGInterchangeFormat
            offset = value;
        else if (tag == 0x0202)  // JPEGInterchangeFormatLength
            length = value;
    }
    // Compression 6 is a JPEG thumbnail; 1 would be uncompressed strips, which cameras
    // no longer write.
    if (compression != 6 || offset < 8 || length < 4 || offset + length > len)
        return false;
    if (tiff[offset] != 0xFF || tiff[offset + 1] != 0xD8)
        return false;
    jpeg = QByteArray(reinterpret_cast<const char*>(tiff + offset), qsizetype(length));
    return true;
}

// Start-of-frame markers carry the picture size; C4 (DHT), C8 (JPG) and CC (DAC) do not.
bool IsFrameMarker(uint8_t m)
{
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// ---- composing -----------------------------------------------------------------------

// Where a picture of size source lies in the thumbnail: in logical pixels (the fit rule in
// the inner area) and in the bitmap's device pixels. A picture counts as ratio times its
// size in device pixels, so that one smaller than the cell keeps its logical size on a
// HiDPI screen, as it does at ratio 1.
struct Placement {
    QRect Logical;
    QRect Device;
};

Placement PlaceIn(QSize source, const ThumbRequest& request)
{
    const qreal ratio = ClampPixelRatio(request.PixelRatio);
    const QSize device(int(std::lround(source.width() * ratio)), int(std::lround(source.height() * ratio)));
    return {FitRect(source, request.Inner), FitRect(device, DevicePixels(request.Inner, ratio))};
}

QImage BlankBitmap(const ThumbRequest& request)
{
    const qreal ratio = ClampPixelRatio(request.PixelRatio);
    QImage bitmap(DevicePixels(request.Inner, ratio), QImage::Format_RGB16);
    if (!bitmap.isNull()) {
        bitmap.fill(QColor(QRgb(request.Background)));
        bitmap.setDevicePixelRatio(ratio);
    }
    return bitmap;
}

// The inner-area bitmap: the background with the picture scaled into its device place.
QImage Compose(const QImage& picture, const QRect& place, const ThumbRequest& request)
{
    QImage bitmap = BlankBitmap(request);
    if (bitmap.isNull() || place.isEmpty() || picture.isNull())
        return bitmap;
    // Smooth scaling of a 1-bit or indexed picture loses its colour table: scale in 32 bits.
    QImage full = picture.convertToFormat(picture.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                                    : QImage::Format_RGB32);
    full.setDevicePixelRatio(1.0);
    const QImage scaled = full.size() == place.size()
        ? full
        : full.scaled(place.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    // Drawn in device pixels: the painter would otherwise scale by the bitmap's ratio.
    const qreal ratio = bitmap.devicePixelRatio();
    bitmap.setDevicePixelRatio(1.0);
    QPainter painter(&bitmap);
    painter.drawImage(place.topLeft(), scaled);
    painter.end();
    bitmap.setDevicePixelRatio(ratio);
    return bitmap;
}

// The thumbnail step's log lines, written together so that two workers' lines do not
// interleave. failure empty: "Thumb Created".
void LogThumbnailStep(const char* failure)
{
    static std::mutex lock;
    std::lock_guard guard(lock);
    Log().BeginScope("GetThumbnailImage");
    if (failure)
        Log().Outcome(LogMark::Fail, failure);
    else
        Log().Outcome(LogMark::Ok, "Thumb Created");
    Log().EndScope("GetThumbnailImage");
}

// Finishes a thumbnail from a decoded picture (null: it did not decode) that shows a
// picture of size whole (the main picture for a preview): composed, or blank with the
// log's failure lines.
ThumbImage Finish(const QImage& picture, QSize whole, const ThumbRequest& request, ThumbSource source)
{
    ThumbImage out;
    if (picture.isNull()) {
        LogThumbnailStep("pThumbnail == NULL");
        out.Bitmap = BlankBitmap(request);
        out.Source = ThumbSource::Blank;
        return out;
    }
    const Placement place = PlaceIn(whole, request);
    out.Bitmap = Compose(picture, place.Device, request);
    if (out.Bitmap.isNull()) {
        // Only an allocation failure gets here; the blank bitmap is tried once more.
        LogThumbnailStep("m_hBitmap == NULL");
        out.Bitmap = BlankBitmap(request);
        out.Source = ThumbSource::Blank;
        return out;
    }
    LogThumbnailStep(nullptr);
    out.Picture = place.Logical;
    out.Source = source;
    return out;
}

// The whole file, when it is a regular file of at most limit bytes; empty otherwise.
QByteArray ReadWhole(const std::string& path, qint64 limit)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat st {};
    QByteArray bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= limit) {
        bytes.resize(qsizetype(st.st_size));
        qsizetype got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += qsizetype(n);
        }
        bytes.truncate(got);
    }
    ::close(fd);
    return bytes;
}

// A JPEG file that the reader holds decodes at an eighth of its size from the DC
// coefficients alone, stepping over the rest: about half the work of libjpeg's own 1/8
// decode, whose Huffman decoding of every coefficient is most of a thumbnail's time. Used when
// that eighth still covers the picture's device pixels; false when it does not apply
// (too small, or a JPEG the DC decoder leaves to libjpeg: progressive, arithmetic,
// CMYK and the like), and the reader then decodes as before. A truncated or damaged
// file gives its upper part with grey below, as libjpeg does.
bool FromJpegDc(QImageReader& reader, QSize size, QSize device, const ThumbRequest& request, ThumbSource source,
                ThumbImage& out)
{
    if ((size.width() + 7) / 8 < device.width() || (size.height() + 7) / 8 < device.height())
        return false;
    // Larger than any picture a camera writes: left to the reader's streaming decode.
    constexpr qint64 kMaxBytes = qint64(64) << 20;
    QByteArray bytes;
    if (auto* buffer = qobject_cast<QBuffer*>(reader.device()))
        bytes = buffer->data();
    else if (!reader.fileName().isEmpty())
        bytes = ReadWhole(reader.fileName().toStdString(), kMaxBytes);
    if (bytes.isEmpty() || bytes.size() > kMaxBytes)
        return false;
    JpegDcPicture dc;
    if (DecodeJpegDc(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()), dc)
            == JpegDcResult::NotHandled
        || dc.FullWidth != size.width() || dc.FullHeight != size.height())
        return false;
    // Exif orientation stays unapplied, as the reader leaves it (its auto-transform is off).
    const QImage picture(dc.Rgb.data(), dc.Width, dc.Height, qsizetype(dc.Width) * 3, QImage::Format_RGB888);
    out = Finish(picture, size, request, source);
    return true;
}

// Decodes what reader holds at the size that the fit rule gives for the inner area.
// False when the picture cannot be opened (nothing logged); true with a finished
// thumbnail otherwise, blank when the data does not decode.
bool FromReader(QImageReader& reader, const ThumbRequest& request, ThumbSource source, ThumbImage& out)
{
    if (!reader.canRead())
        return false;
    const QSize size = reader.size();
    if (size.isValid() && !size.isEmpty()) {
        const QSize device = PlaceIn(size, request).Device.size();
        // JPEG decodes at 1/2, 1/4 or 1/8 of its size directly (libjpeg's scaled IDCT,
        // the smallest that still covers the device pixels), which saves the inverse
        // transform and colour conversion of most pixels; the entropy decoding of the
        // whole file remains, unless an eighth is enough: then the DC decoder steps over
        // most of it. Other formats decode whole and are scaled here: Qt's own scaled
        // read of a 1-bit palette PNG loses its colours.
        if (!device.isEmpty() && device.width() < size.width() && device.height() < size.height()
            && reader.format() == "jpeg") {
            if (FromJpegDc(reader, size, device, request, source, out))
                return true;
            reader.setScaledSize(device);
        }
        out = Finish(reader.read(), size, request, source);
        return true;
    }
    // A format that tells its size only by decoding (PCX and the like): decode, then fit.
    const QImage picture = reader.read();
    if (picture.isNull())
        return false;
    out = Finish(picture, picture.size(), request, source);
    return true;
}

bool FromBytes(const QByteArray& bytes, const char* format, const ThumbRequest& request, ThumbSource source,
               ThumbImage& out)
{
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return false;
    QImageReader reader(&buffer, format);
    return FromReader(reader, request, source, out);
}

// The part of a preview of size preview that shows a picture of main's proportions:
// cameras put a 3:2 picture into a 160 x 120 preview with black bars.
QRect CropToAspect(QSize preview, QSize main)
{
    QRect crop(QPoint(0, 0), preview);
    if (main.isEmpty() || preview.isEmpty())
        return crop;
    const int64_t wide = int64_t(preview.width()) * main.height();
    const int64_t tall = int64_t(preview.height()) * main.width();
    if (wide > tall) {
        const int w = int((tall * 2 / main.height() + 1) / 2);
        if (preview.width() - w > 1)
            crop = QRect((preview.width() - w) / 2, 0, w, preview.height());
    } else if (tall > wide) {
        const int h = int((wide * 2 / main.width() + 1) / 2);
        if (preview.height() - h > 1)
            crop = QRect(0, (preview.height() - h) / 2, preview.width(), h);
    }
    return crop;
}

// A thumbnail from an embedded JPEG preview of a picture of size main. False when the
// preview does not decode or is smaller than the thumbnail needs (the caller then decodes
// the picture itself).
bool FromPreview(const QByteArray& jpeg, QSize main, const ThumbRequest& request, ThumbSource source,
                 ThumbImage& out)
{
    QBuffer buffer;
    buffer.setData(jpeg);
    if (!buffer.open(QIODevice::ReadOnly))
        return false;
    QImageReader reader(&buffer, "jpeg");
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty())
        return false;
    if (!main.isValid() || main.isEmpty())
        main = size;
    const QRect fit = FitRect(main, request.Inner);
    const QRect crop = CropToAspect(size, main);
    if (crop.width() < fit.width() || crop.height() < fit.height())
        return false;
    const QImage preview = reader.read();
    if (preview.isNull())
        return false;
    out = Finish(crop.size() == size ? preview : preview.copy(crop), main, request, source);
    return true;
}

// A picture file: its Exif preview when it is a JPEG with one, else its own picture at a
// reduced size.
bool FromPictureFile(const ThumbRequest& request, ThumbImage& out)
{
    const QByteArray head = ReadHead(request.Path, ExifHeadBytes);
    ExifPreview preview;
    if (ParseExifPreview(head, preview)) {
        QSize main = preview.MainSize;
        if (!main.isValid())
            main = QImageReader(QString::fromStdString(request.Path)).size();
        if (FromPreview(preview.Jpeg, main, request, ThumbSource::ExifPreview, out))
            return true;
    }
    QImageReader reader(QString::fromStdString(request.Path));
    // A carved file's extension may not match what it holds (a TIFF-based raw file ends
    // up as .TIF); the content decides when the extension's handler fails.
    reader.setDecideFormatFromContent(true);
    return FromReader(reader, request, ThumbSource::Picture, out);
}

bool FromRawFile(const ThumbRequest& request, ThumbImage& out)
{
    QByteArray jpeg;
    QImage bitmap;
    if (!ReadRawPreview(request.Path, jpeg, bitmap))
        return false;
    if (!jpeg.isEmpty()) {
        // A full-size preview often carries an Exif preview of its own: far less to decode.
        ExifPreview inner;
        if (ParseExifPreview(jpeg, inner) && FromPreview(inner.Jpeg, inner.MainSize, request, ThumbSource::RawPreview, out))
            return true;
        return FromBytes(jpeg, "jpeg", request, ThumbSource::RawPreview, out);
    }
    out = Finish(bitmap, bitmap.size(), request, ThumbSource::RawPreview);
    return true;
}

// A movie file: its first key frame, decoded for the device pixels of the inner area.
bool FromMovieFile(const ThumbRequest& request, ThumbImage& out)
{
    MovieFrame frame;
    if (!ReadMovieFrame(request.Path, DevicePixels(request.Inner, request.PixelRatio), frame))
        return false;
    out = Finish(frame.Picture, frame.DisplaySize, request, ThumbSource::MovieFrame);
    return out.Source == ThumbSource::MovieFrame;
}

ThumbImage FromPlaceholder(const ThumbRequest& request, ThumbKind kind, CPlaceholderCache* cache)
{
    const std::string& file = kind == ThumbKind::Video ? request.Placeholders.Video
        : kind == ThumbKind::Sound                     ? request.Placeholders.Audio
                                                       : request.Placeholders.NoImage;
    const std::string key = std::to_string(int(kind)) + '|' + file + '|' + std::to_string(request.Inner.width()) + 'x'
        + std::to_string(request.Inner.height()) + '@' + std::to_string(ClampPixelRatio(request.PixelRatio)) + '|'
        + std::to_string(request.Background);
    ThumbImage out;
    if (cache && cache->Find(key, out)) {
        LogThumbnailStep(nullptr);
        return out;
    }
    QImageReader reader(QString::fromStdString(file));
    if (file.empty() || !FromReader(reader, request, ThumbSource::Placeholder, out) || out.Source == ThumbSource::Blank) {
        const QImage drawn = BuiltInPlaceholder(kind);
        out = Finish(drawn, drawn.size(), request, ThumbSource::Placeholder);
    }
    if (cache && out.Source == ThumbSource::Placeholder)
        cache->Store(key, out);
    return out;
}

// Lowers the calling thread's scheduling priority (on Linux a thread has its own nice
// value), so that the workers take what the scan leaves of the processor.
void LowerThreadPriority()
{
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
}

}  // namespace

// ---- public --------------------------------------------------------------------------

ThumbPlaceholders DefaultThumbPlaceholders()
{
    ThumbPlaceholders files;
    if (const CSettings* settings = TheSettings()) {
        files.Video = settings->SkinFile(SkinPictureId::VideoImg);
        files.Audio = settings->SkinFile(SkinPictureId::AudioImg);
        files.NoImage = settings->SkinFile(SkinPictureId::NoImg);
    } else {
        const std::string skin = CSettings::JoinPath(CSettings::InstalledHomeFolder(), "/Skin");
        files.Video = skin + "/VideoImage.png";
        files.Audio = skin + "/AudioImage.png";
        files.NoImage = skin + "/NoImage.png";
    }
    return files;
}

qreal ClampPixelRatio(qreal ratio)
{
    // Written so that a NaN fails the first test.
    if (!(ratio >= 1.0))
        return 1.0;
    return std::min(ratio, 4.0);
}

QSize DevicePixels(QSize inner, qreal ratio)
{
    ratio = ClampPixelRatio(ratio);
    return QSize(int(std::lround(std::max(0, inner.width()) * ratio)),
                 int(std::lround(std::max(0, inner.height()) * ratio)));
}

ThumbKind ThumbKindOf(std::string_view path)
{
    // Raw first: .nef is also in the picture list, and its preview is what shows it.
    if (IsCameraRawExtension(LowerExtension(path)))
        return ThumbKind::CameraRaw;
    if (IsPictureFile(path))
        return ThumbKind::Picture;
    if (IsVideoFile(path))
        return ThumbKind::Video;
    if (IsSoundFile(path))
        return ThumbKind::Sound;
    return ThumbKind::Other;
}

bool CPlaceholderCache::Find(const std::string& key, ThumbImage& image) const
{
    std::lock_guard guard(m_lock);
    const auto it = m_images.find(key);
    if (it == m_images.end())
        return false;
    image = it->second;
    return true;
}

void CPlaceholderCache::Store(const std::string& key, const ThumbImage& image)
{
    std::lock_guard guard(m_lock);
    m_images[key] = image;
}

void CPlaceholderCache::Clear()
{
    std::lock_guard guard(m_lock);
    m_images.clear();
}

ThumbImage MakeThumbImage(const ThumbRequest& request, CPlaceholderCache* cache)
{
    struct stat st {};
    if (request.Path.empty() || ::stat(request.Path.c_str(), &st) != 0)
        return {};
    ThumbImage out;
    const ThumbKind kind = ThumbKindOf(request.Path);
    if (S_ISREG(st.st_mode)) {
        const std::string ext = LowerExtension(request.Path);
        if (kind == ThumbKind::Picture) {
            // A recovered TIFF is most often a TIFF-based camera raw file (CR2, DCR, PEF
            // and others are found by the TIFF signature): its preview first.
            if ((ext == "tif" || ext == "tiff") && FromRawFile(request, out))
                return out;
            if (FromPictureFile(request, out))
                return out;
        } else if (kind == ThumbKind::CameraRaw) {
            if (FromRawFile(request, out) || FromPictureFile(request, out))
                return out;
        } else if (kind == ThumbKind::Video) {
            if (FromMovieFile(request, out))
                return out;
        }
    }
    return FromPlaceholder(request, kind == ThumbKind::Video || kind == ThumbKind::Sound ? kind : ThumbKind::Other, cache);
}

bool ParseExifPreview(const QByteArray& head, ExifPreview& preview)
{
    preview = {};
    const auto* p = reinterpret_cast<const uint8_t*>(head.constData());
    const size_t n = size_t(head.size());
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8)
        return false;
    bool found = false;
    size_t pos = 2;
    while (pos + 4 <= n) {
        if (p[pos] != 0xFF)
            break;  // out of step with the markers: a damaged header
        const uint8_t marker = p[pos + 1];
        if (marker == 0xFF) {  // fill byte
            ++pos;
            continue;
        }
        if (marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;  // markers without a length
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)
            break;  // the first scan or the end: no header segment follows
        const size_t length = Get16(p + pos + 2, false);
        if (length < 2)
            break;
        const size_t body = pos + 4;
        const size_t end = pos + 2 + length;
        if (marker == 0xE1 && !found && end <= n && length >= 2 + 6 + 8
            && std::memcmp(p + body, "Exif\0\0", 6) == 0)
            found = ParseTiffThumbnail(p + body + 6, end - body - 6, preview.Jpeg);
        if (IsFrameMarker(marker)) {
            if (body + 5 <= n && length >= 7) {
                const int height = int(Get16(p + body + 1, false));
                const int width = int(Get16(p + body + 3, false));
                if (width > 0 && height > 0)
                    preview.MainSize = QSize(width, height);
            }
            break;
        }
        pos = end;
    }
    if (!found)
        preview.Jpeg.clear();
    return found;
}

bool ReadExifPreview(const std::string& path, ExifPreview& preview)
{
    return ParseExifPreview(ReadHead(path, ExifHeadBytes), preview);
}

bool ReadRawPreview(const std::string& path, QByteArray& jpeg, QImage& bitmap)
{
    jpeg.clear();
    bitmap = QImage();
#ifdef PX3_HAVE_LIBRAW
    // The plain LibRaw build keeps state that is not thread-safe; previews are read one
    // at a time (reading one is quick, its decoding happens outside the lock).
    static std::mutex lock;
    std::lock_guard guard(lock);
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    if (raw->open_file(path.c_str()) != LIBRAW_SUCCESS || raw->unpack_thumb() != LIBRAW_SUCCESS)
        return false;
    int error = 0;
    libraw_processed_image_t* image = raw->dcraw_make_mem_thumb(&error);
    if (!image)
        return false;
    bool ok = false;
    if (image->type == LIBRAW_IMAGE_JPEG && image->data_size > 0) {
        jpeg = QByteArray(reinterpret_cast<const char*>(image->data), qsizetype(image->data_size));
        ok = true;
    } else if (image->type == LIBRAW_IMAGE_BITMAP && image->bits == 8 && (image->colors == 3 || image->colors == 1)
               && image->width > 0 && image->height > 0
               && uint64_t(image->width) * image->height * image->colors <= image->data_size) {
        const int bytesPerLine = image->width * image->colors;
        const QImage view(image->data, image->width, image->height, bytesPerLine,
                          image->colors == 3 ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
        bitmap = view.copy();  // the view's bytes are freed with the LibRaw image below
        ok = !bitmap.isNull();
    }
    LibRaw::dcraw_clear_mem(image);
    return ok;
#else
    (void)path;
    return false;
#endif
}

QImage BuiltInPlaceholder(ThumbKind kind)
{
    QImage picture(80, 60, QImage::Format_RGB32);
    picture.fill(QColor(0x50, 0x50, 0x50));
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor light(0xC8, 0xC8, 0xC8);
    const QColor dark(0x50, 0x50, 0x50);
    painter.setPen(QPen(light, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(1, 1, 78, 58));
    if (kind == ThumbKind::Video) {
        // A film strip: a light band with two rows of sprocket holes and a play mark.
        painter.setPen(Qt::NoPen);
        painter.setBrush(light);
        painter.drawRect(QRectF(12, 12, 56, 36));
        painter.setBrush(dark);
        for (int x = 15; x < 66; x += 8) {
            painter.drawRect(QRectF(x, 14, 4, 4));
            painter.drawRect(QRectF(x, 42, 4, 4));
        }
        painter.drawPolygon(QPolygonF({QPointF(34, 22), QPointF(34, 38), QPointF(48, 30)}));
    } else if (kind == ThumbKind::Sound) {
        // A loudspeaker with three sound waves.
        painter.setPen(Qt::NoPen);
        painter.setBrush(light);
        painter.drawPolygon(QPolygonF({QPointF(18, 24), QPointF(26, 24), QPointF(38, 14), QPointF(38, 46),
                                       QPointF(26, 36), QPointF(18, 36)}));
        painter.setPen(QPen(light, 3));
        painter.setBrush(Qt::NoBrush);
        for (int r = 8; r <= 24; r += 8)
            painter.drawArc(QRectF(38 - r, 30 - r, 2 * r, 2 * r), -45 * 16, 90 * 16);
    } else {
        // A crossed frame: no picture to show.
        painter.setPen(QPen(light, 3));
        painter.drawRect(QRectF(20, 12, 40, 36));
        painter.drawLine(QPointF(20, 12), QPointF(60, 48));
        painter.drawLine(QPointF(60, 12), QPointF(20, 48));
    }
    painter.end();
    return picture;
}

// ---- worker pool ---------------------------------------------------------------------

CThumbnailer::CThumbnailer(unsigned threads) : m_nThreads(threads ? threads : 1) {}

CThumbnailer::~CThumbnailer() { Shutdown(); }

void CThumbnailer::Submit(std::function<void()> task)
{
    {
        std::lock_guard guard(m_lock);
        if (m_bStop)
            return;
        if (m_threads.empty()) {
            for (unsigned i = 0; i < m_nThreads; ++i)
                m_threads.emplace_back([this] { Work(); });
        }
        m_queue.push_back(std::move(task));
    }
    m_wake.notify_one();
}

size_t CThumbnailer::CancelPending()
{
    std::lock_guard guard(m_lock);
    const size_t dropped = m_queue.size();
    m_queue.clear();
    if (m_nRunning == 0)
        m_idle.notify_all();
    return dropped;
}

bool CThumbnailer::WaitIdle(int timeoutMs) const
{
    std::unique_lock lock(m_lock);
    const auto idle = [this] { return m_queue.empty() && m_nRunning == 0; };
    if (timeoutMs < 0) {
        m_idle.wait(lock, idle);
        return true;
    }
    return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs), idle);
}

size_t CThumbnailer::GetPendingCount() const
{
    std::lock_guard guard(m_lock);
    return m_queue.size() + m_nRunning;
}

void CThumbnailer::Shutdown()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard guard(m_lock);
        m_bStop = true;
        m_queue.clear();
        threads.swap(m_threads);
    }
    m_wake.notify_all();
    for (std::thread& thread : threads)
        if (thread.joinable())
            thread.join();
    m_idle.notify_all();
}

void CThumbnailer::Work()
{
    LowerThreadPriority();
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(m_lock);
            m_wake.wait(lock, [this] { return m_bStop || !m_queue.empty(); });
            if (m_bStop)
                return;
            task = std::move(m_queue.front());
            m_queue.pop_front();
            ++m_nRunning;
        }
        try {
            task();
        } catch (...) {
            // A task that throws (out of memory while decoding) loses its thumbnail, not
            // the worker.
        }
        {
            std::lock_guard guard(m_lock);
            --m_nRunning;
            if (m_queue.empty() && m_nRunning == 0)
                m_idle.notify_all();
        }
    }
}
