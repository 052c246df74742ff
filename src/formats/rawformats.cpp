#include "formats/rawformats.h"

#include <algorithm>
#include <cstring>

namespace {

uint32_t Be32(const uint8_t* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

uint16_t Be16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// Where a finished end stands against the bytes at hand.
FileEnd Ended(uint64_t end, const ByteSource& src)
{
    return end <= src.Size() ? FileEnd::Complete(end) : FileEnd::NeedMore(end);
}

}  // namespace

FileEnd FindRafEnd(const ByteSource& src)
{
    // The header with every slot that any RAF has: up to the second CFA's length at 132.
    constexpr size_t kHeader = 136;
    // The first section slot after the fixed fields (JPEG offset at 84).
    constexpr uint32_t kJpegSlot = 84;
    // Headers seen are 0x94 bytes or shorter; the JPEG follows at once. 64 KiB leaves a wide
    // margin and keeps a random "FUJIFILM" from reaching far.
    constexpr uint32_t kMostHeader = 64 * 1024;

    uint8_t h[kHeader] = {};
    const size_t got = src.Read(0, h, sizeof h);
    if (got < 92 || std::memcmp(h, "FUJIFILMCCD-RAW ", 16) != 0)
        return FileEnd::Unknown();
    const uint32_t jpegOffset = Be32(h + kJpegSlot);
    const uint32_t jpegLength = Be32(h + kJpegSlot + 4);
    if (jpegOffset < 92 || jpegOffset > kMostHeader || jpegLength == 0)
        return FileEnd::Unknown();
    uint8_t soi[2];
    if (src.ReadAll(jpegOffset, soi, 2) && (soi[0] != 0xFF || soi[1] != 0xD8))
        return FileEnd::Unknown();

    uint64_t end = uint64_t{jpegOffset} + jpegLength;
    // Offset and length slots of the other sections; a slot counts only when it lies
    // before the JPEG (older headers are shorter) and its offset is set.
    for (uint32_t slot : {92u, 100u, 120u, 128u}) {
        if (slot + 8 > jpegOffset)
            break;
        if (slot + 8 > got)
            return FileEnd::NeedMore(std::max<uint64_t>(slot + 8, end));
        const uint32_t offset = Be32(h + slot);
        const uint32_t length = Be32(h + slot + 4);
        if (offset == 0)
            continue;
        if (offset < jpegOffset)
            return FileEnd::Unknown();
        end = std::max(end, uint64_t{offset} + length);
    }
    return Ended(end, src);
}

FileEnd FindMrwEnd(const ByteSource& src)
{
    // The MRM block holds a handful of small blocks (a few KiB in all); a block list longer
    // than this is not an MRW's.
    constexpr int kMostBlocks = 64;
    uint8_t h[8];
    if (!src.ReadAll(0, h, sizeof h) || std::memcmp(h, "\0MRM", 4) != 0)
        return FileEnd::Unknown();
    const uint64_t dataStart = 8 + uint64_t{Be32(h + 4)};

    uint64_t pos = 8;
    uint64_t dataLength = 0;
    bool havePrd = false;
    for (int i = 0; i < kMostBlocks && pos < dataStart; ++i) {
        uint8_t b[8];
        if (!src.ReadAll(pos, b, sizeof b))
            return FileEnd::NeedMore(std::max(pos + 8, dataStart));
        const uint64_t length = Be32(b + 4);
        if (b[0] != 0 || pos + 8 + length > dataStart)
            return FileEnd::Unknown();
        if (std::memcmp(b, "\0PRD", 4) == 0) {
            uint8_t prd[18];
            if (length < sizeof prd)
                return FileEnd::Unknown();
            if (!src.ReadAll(pos + 8, prd, sizeof prd))
                return FileEnd::NeedMore(dataStart);
            const uint64_t height = Be16(prd + 8);
            const uint64_t width = Be16(prd + 10);
            const uint8_t depth = prd[16];
            if (height == 0 || width == 0 || (depth != 12 && depth != 16))
                return FileEnd::Unknown();
            dataLength = height * width * depth / 8;
            havePrd = true;
        }
        pos += 8 + length;
    }
    if (!havePrd || pos != dataStart)
        return FileEnd::Unknown();
    return Ended(dataStart + dataLength, src);
}
