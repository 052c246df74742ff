#include "app/filetypes.h"

#include <algorithm>

namespace {

// Indexed by type identifier.
constexpr std::array<std::string_view, FileTypeId::Last + 1> kExtensions = {
    "Unk", "THM", "JPG", "TIF", "GIF", "BMP", "MRW", "Unk", "ORF", "THM", "CRW", "THM",
    "X3F", "NEF", "DCR", "RAW", "PEF", "RAF", "WAV", "AU",  "MP3", "ARW", "SR2", "PNG",
    "CR2", "DNG", "CR3", "HEIC", "RW2",
};

constexpr std::array<FileTypeRow, 26> kFileTypes = {{
    {TypeBit::Jpg, TypeGroup::Picture, "jpg"},
    {TypeBit::Tif, TypeGroup::Picture, "tif"},
    {TypeBit::Gif, TypeGroup::Picture, "gif"},
    {TypeBit::Png, TypeGroup::Picture, "png"},
    {TypeBit::Heic, TypeGroup::Picture, "heic"},
    {TypeBit::Nef, TypeGroup::RawPicture, "nef"},
    {TypeBit::Dcr, TypeGroup::RawPicture, "dcr"},
    {TypeBit::Pef, TypeGroup::RawPicture, "pef"},
    {TypeBit::Raf, TypeGroup::RawPicture, "raf"},
    {TypeBit::Mrw, TypeGroup::RawPicture, "mrw"},
    {TypeBit::Orf, TypeGroup::RawPicture, "orf"},
    {TypeBit::Crw, TypeGroup::RawPicture, "crw"},
    {TypeBit::Cr2, TypeGroup::RawPicture, "cr2"},
    {TypeBit::X3f, TypeGroup::RawPicture, "x3f"},
    {TypeBit::Arw, TypeGroup::RawPicture, "arw"},
    {TypeBit::Sr2, TypeGroup::RawPicture, "sr2"},
    {TypeBit::Dng, TypeGroup::RawPicture, "dng"},
    {TypeBit::Cr3, TypeGroup::RawPicture, "cr3"},
    {TypeBit::Rw2, TypeGroup::RawPicture, "rw2"},
    {TypeBit::Avi, TypeGroup::Video, "avi"},
    {TypeBit::Mov, TypeGroup::Video, "mov"},
    {TypeBit::Mp4, TypeGroup::Video, "mp4"},
    {TypeBit::Mp3, TypeGroup::Sound, "mp3"},
    {TypeBit::Aiff, TypeGroup::Sound, "aiff"},
    {TypeBit::Au, TypeGroup::Sound, "au"},
    {TypeBit::Wave, TypeGroup::Sound, "wave"},
}};

// Offered and default masks per brand. Every brand but Custom offers the video and sound
// types a camera writes (avi mov mp4 mp3 au wave) and selects mov and wave with its
// picture types; Sony adds arw and sr2, Custom offers everything but arw and sr2. Every
// brand also offers today's formats a camera of it may write: HEIC and DNG for all, CR3
// for Canon, RW2 for Panasonic, all four for Custom (kNew); the defaults stay as they were.
constexpr uint32_t kNewAny = TypeBit::Heic | TypeBit::Dng;
constexpr uint32_t kNewCanon = kNewAny | TypeBit::Cr3;
constexpr uint32_t kNewPanasonic = kNewAny | TypeBit::Rw2;
constexpr uint32_t kNewAll = kNewAny | TypeBit::Cr3 | TypeBit::Rw2;
constexpr std::array<BrandRow, 16> kBrands = {{
    {BrandBit::Generic, "Generic", "Generic Digital Camera", 0x1BD005 | kNewAny, 0x1BD005},
    {BrandBit::Nikon, "Nikon", "Nikon Digital Camera", 0x1B8009 | kNewAny, 0x108009},
    {BrandBit::Canon, "Canon", "Canon Digital Camera", 0x1BC605 | kNewCanon, 0x118605},
    {BrandBit::Kodak, "Kodak", "Kodak Digital Camera", 0x1BC011 | kNewAny, 0x108011},
    {BrandBit::Fuji, "Fuji", "Fuji Digital Camera", 0x1BC041 | kNewAny, 0x108041},
    {BrandBit::Olympus, "Olympus", "Olympus Digital Camera", 0x1BC101 | kNewAny, 0x108101},
    {BrandBit::Sigma, "Sigma", "Sigma Digital Camera", 0x1BC801 | kNewAny, 0x108801},
    {BrandBit::Konika, "Konika", "Konika Minolta Digital Camera", 0x1BC081 | kNewAny, 0x108081},
    {BrandBit::Casio, "Casio", "Casio Digital Camera", 0x1BC005 | kNewAny, 0x108005},
    {BrandBit::HP, "HP", "HP Digital Camera", 0x1BC005 | kNewAny, 0x108005},
    {BrandBit::Pentax, "Pentax", "Pentax Digital Camera", 0x1BC021 | kNewAny, 0x108021},
    {BrandBit::Argus, "Argus", "Argus Digital Camera", 0x1BC005 | kNewAny, 0x108005},
    {BrandBit::Sony, "Sony", "Sony Digital Camera", 0x7BC005 | kNewAny, 0x708005},
    {BrandBit::Panasonic, "Panasonic", "Panasonic Digital Camera", 0x1BC005 | kNewPanasonic, 0x108005},
    {BrandBit::AipTek, "AipTek", "AipTek Digital Camera", 0x1BC005 | kNewAny, 0x108005},
    {BrandBit::Custom, "Custom", "Custom", 0x9FDFFD | kNewAll, 0},
}};

// The extension of the last path component, without the dot; empty when there is none.
std::string_view Extension(std::string_view path)
{
    const size_t slash = path.find_last_of("/\\");
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
}

bool SameNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

template <size_t N>
bool ExtensionIn(std::string_view path, const std::array<std::string_view, N>& list)
{
    const std::string_view ext = Extension(path);
    if (ext.empty())
        return false;
    return std::any_of(list.begin(), list.end(), [ext](std::string_view e) { return SameNoCase(ext, e); });
}

constexpr std::array<std::string_view, 9> kPictureExt = {"png", "tif", "tiff", "jpeg", "jpg",
                                                         "gif", "bmp", "pcx",  "nef"};
constexpr std::array<std::string_view, 3> kVideoExt = {"mov", "mp4", "avi"};
constexpr std::array<std::string_view, 6> kSoundExt = {"wav", "mp3", "aiff", "au", "snd", "wave"};
constexpr std::array<std::string_view, 2> kWaveExt = {"wav", "wave"};

} // namespace

std::string_view TypeExtension(int32_t type)
{
    if (type < 0 || type > FileTypeId::Last)
        return "Unk";
    return kExtensions[size_t(type)];
}

std::span<const FileTypeRow> FileTypeTable()
{
    return kFileTypes;
}

std::span<const BrandRow> BrandTable()
{
    return kBrands;
}

uint32_t OfferedTypes(uint32_t brands)
{
    uint32_t mask = 0;
    for (const BrandRow& row : kBrands)
        if (brands & row.Bit)
            mask |= row.Offered;
    return mask;
}

uint32_t DefaultTypes(uint32_t brands)
{
    uint32_t mask = 0;
    for (const BrandRow& row : kBrands)
        if (brands & row.Bit)
            mask |= row.Default;
    return mask;
}

std::vector<FileTypeRow> TypeList(uint32_t groupFilter, uint32_t offered)
{
    std::vector<FileTypeRow> rows;
    for (const FileTypeRow& row : kFileTypes)
        if ((row.Bit & offered) && (row.Group & groupFilter))
            rows.push_back(row);
    return rows;
}

bool IsPictureFile(std::string_view path)
{
    return ExtensionIn(path, kPictureExt);
}

bool IsVideoFile(std::string_view path)
{
    return ExtensionIn(path, kVideoExt);
}

bool IsSoundFile(std::string_view path)
{
    return ExtensionIn(path, kSoundExt);
}

bool IsWaveFile(std::string_view path)
{
    return ExtensionIn(path, kWaveExt);
}
