#include "formats/formatend.h"

#include <cstring>

#include "app/filetypes.h"
#include "formats/isomedia.h"
#include "formats/jpeg.h"
#include "formats/rawformats.h"
#include "formats/simpleformats.h"
#include "formats/tiff.h"

bool IsTiffBased(int32_t type)
{
    switch (type) {
    case FileTypeId::Tif:
    case FileTypeId::Nef:
    case FileTypeId::Dcr:
    case FileTypeId::Pef:
    case FileTypeId::Arw:
    case FileTypeId::Sr2:
    case FileTypeId::Cr2:
    case FileTypeId::Dng:
    case FileTypeId::Orf:
    case FileTypeId::Rw2:
        return true;
    default:
        return false;
    }
}

namespace {

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// A RIFF file of the given form ("WAVE", "AVI "): its size field plus the 8 bytes of the
// chunk header; Unknown when the size is one a writer leaves in a header it never finished.
FileEnd FindRiffEnd(const ByteSource& source, const char* form)
{
    uint8_t head[12];
    if (!source.ReadAll(0, head, sizeof head))
        return FileEnd::NeedMore(12);
    if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, form, 4) != 0)
        return FileEnd::Unknown();
    const uint32_t size = Le32(head + 4);
    if (size < 4 || size == 0xFFFFFFFF)
        return FileEnd::Unknown();
    const uint64_t length = uint64_t(size) + 8 + (size & 1);
    return length <= source.Size() ? FileEnd::Complete(length) : FileEnd::NeedMore(length);
}

} // namespace

FileEnd FindMovieEnd(int32_t kind, const ByteSource& source)
{
    if (kind == 2)
        return FindRiffEnd(source, "AVI ");
    if (kind == 1 || kind == 3)
        return ExamineIsoMedia(source).End;
    return FileEnd::Unknown();
}

bool HasStructuredEnd(int32_t type)
{
    switch (type) {
    case FileTypeId::Wav:
    case FileTypeId::Jpg:
    case FileTypeId::Png:
    case FileTypeId::Gif:
    case FileTypeId::Mp3:
    case FileTypeId::Au:
    case FileTypeId::Raf:
    case FileTypeId::Mrw:
    case FileTypeId::Cr3:
    case FileTypeId::Heic:
        return true;
    default:
        return IsTiffBased(type);
    }
}

FileEnd FindStructuredEnd(int32_t type, const ByteSource& source)
{
    if (IsTiffBased(type))
        return ExamineTiff(source).End;
    switch (type) {
    case FileTypeId::Jpg:
        return FindJpegEnd(source);
    case FileTypeId::Png:
        return FindPngEnd(source);
    case FileTypeId::Wav:
        return FindRiffEnd(source, "WAVE");
    case FileTypeId::Gif:
        return FindGifEnd(source);
    case FileTypeId::Mp3:
        return FindMp3End(source);
    case FileTypeId::Au:
        return FindAuEnd(source);
    case FileTypeId::Raf:
        return FindRafEnd(source);
    case FileTypeId::Mrw:
        return FindMrwEnd(source);
    case FileTypeId::Cr3:
    case FileTypeId::Heic:
        return ExamineIsoMedia(source).End;
    default:
        return FileEnd::Unknown();
    }
}

int32_t TiffBasedType(const ByteSource& source, int32_t fallback)
{
    const TiffInfo info = ExamineTiff(source);
    return info.Type != 0 ? info.Type : fallback;
}

int32_t IsoPictureType(const uint8_t* data, size_t size)
{
    if (size < 16 || std::memcmp(data + 4, "ftyp", 4) != 0)
        return 0;
    return ExamineIsoMedia(SpanSource(std::span<const uint8_t>(data, size))).Type;
}
