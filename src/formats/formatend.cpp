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

bool HasStructuredEnd(int32_t type)
{
    switch (type) {
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
