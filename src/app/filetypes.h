#pragma once
// File-type vocabulary of the recovery: the type identifiers a recovered file gets from
// its first block, their extensions, the 32-bit file-type selection mask with its table,
// the camera brand table, and the sorting of found files by extension.
//
// Pure data, no dependency beyond the standard library, so the settings, the pages and
// the recovery all share one copy. Nothing here allocates except TypeList.
#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// Type identifiers, as the signature tests return them and as a recovered file's
// extension is made from them (TypeExtension). Values are fixed: they are compared by
// number in the recovery job and are the indices of the extension table.
namespace FileTypeId {
constexpr int32_t None = 0;       // no signature
constexpr int32_t Thm = 1;        // no test yields it
constexpr int32_t Jpg = 2;
constexpr int32_t Tif = 3;
constexpr int32_t Gif = 4;
constexpr int32_t Bmp = 5;        // no test yields it
constexpr int32_t Mrw = 6;
constexpr int32_t Unk = 7;        // no test yields it
constexpr int32_t Orf = 8;
constexpr int32_t OrfPreview = 9; // the JPEG preview inside an ORF file, extension THM
constexpr int32_t Crw = 10;
constexpr int32_t Thm2 = 11;      // no test yields it, extension THM
constexpr int32_t X3f = 12;
constexpr int32_t Nef = 13;
constexpr int32_t Dcr = 14;
constexpr int32_t Raw = 15;
constexpr int32_t Pef = 16;
constexpr int32_t Raf = 17;
constexpr int32_t Wav = 18;
constexpr int32_t Au = 19;
constexpr int32_t Mp3 = 20;
constexpr int32_t Arw = 21;       // also what an SR2 file is recognised as
constexpr int32_t Sr2 = 22;       // no test yields it
constexpr int32_t Png = 23;
// Named by what the file's structure says (no signature test of their own but the ISO
// media brands of CR3 and HEIC and the RW2 header; the others are TIFF-based raws).
constexpr int32_t Cr2 = 24;
constexpr int32_t Dng = 25;
constexpr int32_t Cr3 = 26;
constexpr int32_t Heic = 27;
constexpr int32_t Rw2 = 28;
constexpr int32_t Last = 28;
}

// Extension of a recovered file of this type: upper case, no dot ("JPG", "THM", ...).
// Any identifier outside 1..28, and 7, gives "Unk". The text is static.
std::string_view TypeExtension(int32_t type);

// Bits of the file-type selection mask (the settings' FileTypes). Bits 0x2 and 0x2000
// are not used. Cr2 and Aiff are offered and stored but no signature test reads them
// (a CR2 file is a TIFF and is found by the TIFF test).
namespace TypeBit {
constexpr uint32_t Jpg = 0x1;
constexpr uint32_t Tif = 0x4;
constexpr uint32_t Nef = 0x8;
constexpr uint32_t Dcr = 0x10;
constexpr uint32_t Pef = 0x20;
constexpr uint32_t Raf = 0x40;
constexpr uint32_t Mrw = 0x80;
constexpr uint32_t Orf = 0x100;
constexpr uint32_t Crw = 0x200;
constexpr uint32_t Cr2 = 0x400;
constexpr uint32_t X3f = 0x800;
constexpr uint32_t Gif = 0x1000;
constexpr uint32_t Avi = 0x4000;
constexpr uint32_t Mov = 0x8000;
constexpr uint32_t Mp4 = 0x10000;
constexpr uint32_t Mp3 = 0x20000;
constexpr uint32_t Aiff = 0x40000;
constexpr uint32_t Au = 0x80000;
constexpr uint32_t Wave = 0x100000;
constexpr uint32_t Arw = 0x200000;
constexpr uint32_t Sr2 = 0x400000;
constexpr uint32_t Png = 0x800000;
// Today's formats, in the bits above the first table's.
constexpr uint32_t Dng = 0x1000000;
constexpr uint32_t Cr3 = 0x2000000;
constexpr uint32_t Heic = 0x4000000;
constexpr uint32_t Rw2 = 0x8000000;
// Any of these selects the TIFF test; the file is named by what its structure says (ORF
// has a test of its own).
constexpr uint32_t TiffFamily = Tif | Nef | Dcr | Pef | Cr2 | Arw | Sr2 | Dng | Rw2;
}

// Groups of the file-type table; a group filter is an OR of these.
namespace TypeGroup {
constexpr uint32_t Picture = 1;
constexpr uint32_t RawPicture = 2;
constexpr uint32_t Video = 4;
constexpr uint32_t Sound = 8;
}

// One selectable file type: its mask bit, its group and its extension as the lists show
// it (lower case, no dot).
struct FileTypeRow {
    uint32_t Bit;
    uint32_t Group;
    std::string_view Extension;
};

// The 26 selectable types in list order: pictures (jpg tif gif png heic), camera raw (nef
// dcr pef raf mrw orf crw cr2 x3f arw sr2 dng cr3 rw2), video (avi mov mp4), sound (mp3
// aiff au wave).
std::span<const FileTypeRow> FileTypeTable();

// Brand bits (the settings' Brands).
namespace BrandBit {
constexpr uint32_t Custom = 0x1;
constexpr uint32_t Generic = 0x2;
constexpr uint32_t Nikon = 0x4;
constexpr uint32_t Canon = 0x8;
constexpr uint32_t Kodak = 0x10;
constexpr uint32_t Fuji = 0x20;
constexpr uint32_t Olympus = 0x40;
constexpr uint32_t Sigma = 0x80;
constexpr uint32_t Konika = 0x100;
constexpr uint32_t Argus = 0x200;
constexpr uint32_t AipTek = 0x800;
constexpr uint32_t Casio = 0x1000;
constexpr uint32_t HP = 0x2000;
constexpr uint32_t Panasonic = 0x4000;
constexpr uint32_t Pentax = 0x8000;
constexpr uint32_t Sony = 0x10000;
}

// One camera brand: its bit, the short name the brand list shows, the long name, the
// types the file-type lists offer for it and the types selected when it is chosen.
struct BrandRow {
    uint32_t Bit;
    std::string_view ShortName;
    std::string_view LongName;
    uint32_t Offered;
    uint32_t Default;
};

// The 16 brands in the order of the brand list (Generic first, Custom last).
std::span<const BrandRow> BrandTable();

// OR of the offered masks of every brand whose bit is in brands (0 for no brand).
uint32_t OfferedTypes(uint32_t brands);

// OR of the default masks of every brand whose bit is in brands (0 for no brand).
// DefaultTypes(BrandBit::Generic) is 0x1BD005.
uint32_t DefaultTypes(uint32_t brands);

// The rows of the file-type table, in table order, whose bit is in offered and whose
// group is in groupFilter (3 for the picture list, 4 video, 8 sound).
std::vector<FileTypeRow> TypeList(uint32_t groupFilter, uint32_t offered);

// Sorting of a found file by its path's extension (the text after the last dot of the
// last path component, '/' or '\\'), compared without regard to case. A path without an
// extension is none of these.
// Picture: .png .tif .tiff .jpeg .jpg .gif .bmp .pcx .nef
bool IsPictureFile(std::string_view path);
// Video: .mov .mp4 .avi
bool IsVideoFile(std::string_view path);
// Sound: .wav .mp3 .aiff .au .snd .wave
bool IsSoundFile(std::string_view path);
// Wave: .wav .wave
bool IsWaveFile(std::string_view path);
