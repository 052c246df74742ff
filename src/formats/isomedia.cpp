#include "formats/isomedia.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "app/filetypes.h"

namespace {

// An ftyp box lists a few compatible brands; 1 KiB holds over 250 of them.
constexpr uint32_t kMostFtyp = 1024;
// No picture or camera movie has a box past 1 TiB; a larger size is not a box's.
constexpr uint64_t kMostBoxEnd = uint64_t{1} << 40;
// A picture has a handful of top-level boxes; a fragmented movie one pair per fragment.
constexpr int kMostBoxes = 100000;

// Box types met at the top level of HEIF, CR3, MP4 and QuickTime files. "ftyp" is left out:
// it opens a file, so one met later is the next file's.
constexpr std::string_view kTopLevel[] = {
    "moov", "mdat", "meta", "uuid", "free", "skip", "wide", "pnot", "PICT", "idat", "iinf", "iloc",
    "pitm", "mfra", "moof", "styp", "sidx", "ssix", "prft", "emsg", "pdin", "meco", "udta", "jumb",
};

uint32_t Be32(const uint8_t* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

// True when the n (at most 4) type bytes at hand begin a known top-level type.
bool StartsKnownType(const uint8_t* type, size_t n)
{
    const std::string_view have(reinterpret_cast<const char*>(type), n);
    return std::any_of(std::begin(kTopLevel), std::end(kTopLevel),
                       [&](std::string_view known) { return known.substr(0, n) == have; });
}

bool BrandIn(const uint8_t* brand, std::initializer_list<std::string_view> brands)
{
    const std::string_view have(reinterpret_cast<const char*>(brand), 4);
    return std::find(brands.begin(), brands.end(), have) != brands.end();
}

int32_t BrandType(const uint8_t* ftyp, uint32_t size)
{
    const uint8_t* major = ftyp + 8;
    const uint32_t compatible = (size - 16) / 4;
    auto listed = [&](std::initializer_list<std::string_view> brands) {
        for (uint32_t i = 0; i < compatible; ++i) {
            if (BrandIn(ftyp + 16 + 4 * i, brands))
                return true;
        }
        return false;
    };
    if (BrandIn(major, {"crx "}))
        return FileTypeId::Cr3;
    if (BrandIn(major, {"heic", "heix", "heim", "heis", "hevc"}))
        return FileTypeId::Heic;
    if (BrandIn(major, {"mif1", "msf1"}))
        return listed({"avif", "avis"}) ? 0 : FileTypeId::Heic;
    if (listed({"crx "}))
        return FileTypeId::Cr3;
    if (listed({"heic", "heix", "heim", "heis", "hevc"}))
        return FileTypeId::Heic;
    return 0;
}

}  // namespace

IsoMediaInfo ExamineIsoMedia(const ByteSource& src)
{
    IsoMediaInfo info;
    uint8_t ftyp[kMostFtyp];
    const size_t got = src.Read(0, ftyp, sizeof ftyp);
    if (got < 16 || std::memcmp(ftyp + 4, "ftyp", 4) != 0)
        return info;
    const uint32_t ftypSize = Be32(ftyp);
    if (ftypSize < 16 || ftypSize > kMostFtyp)
        return info;
    if (ftypSize > got) {
        info.End = FileEnd::NeedMore(ftypSize);
        return info;
    }
    info.Type = BrandType(ftyp, ftypSize);

    uint64_t pos = ftypSize;
    for (int boxes = 1; boxes < kMostBoxes; ++boxes) {
        uint8_t h[16];
        const size_t have = src.Read(pos, h, sizeof h);
        if (have == 0) {
            info.End = FileEnd::Complete(pos);
            return info;
        }
        if (have < 8) {
            // The bytes at hand stop inside a box header, or what follows the file is short.
            const bool maybeBox = have <= 4 || StartsKnownType(h + 4, have - 4);
            info.End = maybeBox ? FileEnd::NeedMore(pos + 8) : FileEnd::Complete(pos);
            return info;
        }
        if (!StartsKnownType(h + 4, 4)) {
            info.End = FileEnd::Complete(pos);
            return info;
        }
        uint64_t size = Be32(h);
        if (size == 0) {
            // Runs to the end of the file, which nothing records.
            info.End = FileEnd::Unknown();
            return info;
        }
        if (size == 1) {
            if (have < 16) {
                info.End = FileEnd::NeedMore(pos + 16);
                return info;
            }
            size = uint64_t{Be32(h + 8)} << 32 | Be32(h + 12);
            if (size < 16) {
                info.End = FileEnd::Complete(pos);
                return info;
            }
        } else if (size < 8) {
            info.End = FileEnd::Complete(pos);
            return info;
        }
        if (size > kMostBoxEnd - pos) {
            info.End = FileEnd::Complete(pos);
            return info;
        }
        pos += size;
        if (pos > src.Size()) {
            info.End = FileEnd::NeedMore(pos);
            return info;
        }
    }
    // More boxes than any file of these kinds has.
    info.End = FileEnd::Unknown();
    return info;
}
