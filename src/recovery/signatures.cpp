#include "recovery/signatures.h"

#include <algorithm>
#include <cstring>

namespace {

// Signatures, byte for byte. Each test compares one of these at a fixed offset.
constexpr uint8_t kPng[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
// A little-endian TIFF header whose first directory sits right after it: how Sony writes
// ARW and SR2 files. It is also a valid TIFF header, so it is tested before the TIFF test.
constexpr uint8_t kArw[] = {0x49, 0x49, 0x2A, 0x00, 0x08, 0x00, 0x00, 0x00};
constexpr uint8_t kId3[] = {'I', 'D', '3'};
constexpr uint8_t kAu[] = {'.', 's', 'n', 'd'};
constexpr uint8_t kRiff[] = {'R', 'I', 'F', 'F'};
constexpr uint8_t kWave[] = {'W', 'A', 'V', 'E'};
constexpr uint8_t kGif87[] = {'G', 'I', 'F', '8', '7', 'a'};
constexpr uint8_t kGif89[] = {'G', 'I', 'F', '8', '9', 'a'};
constexpr uint8_t kTiffMM[] = {0x4D, 0x4D, 0x00, 0x2A};
constexpr uint8_t kTiffII[] = {0x49, 0x49, 0x2A, 0x00};
constexpr uint8_t kX3f[] = {'F', 'O', 'V', 'b'};
constexpr uint8_t kOrfMM[] = {'M', 'M', 'O', 'R'};
constexpr uint8_t kOrfRS[] = {'I', 'I', 'R', 'S'};
constexpr uint8_t kOrfRO[] = {'I', 'I', 'R', 'O'};
// The JPEG preview an Olympus camera writes inside its ORF file: SOI, then a
// quantisation table segment of length 0xC5, with no application marker.
constexpr uint8_t kOrfPreview[] = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0xC5};
constexpr uint8_t kMrw[] = {0x00, 0x4D, 0x52, 0x4D};
// CRW: byte order "II", header length 26, then the heap type "HEAPCCDR" at offset 6.
constexpr uint8_t kCrw[] = {0x49, 0x49, 0x1A, 0x00, 0x00, 0x00,
                            'H',  'E',  'A',  'P',  'C',  'C',  'D', 'R'};
// The fixed 32-byte header of a camera RAW file.
constexpr uint8_t kRawHeader[] = {0x00, 0x34, 0x30, 0x2E, 0x31, 0x20, 0x2E, 0x72, 0x65, 0x56, 0x00,
                                  0x00, 0x4C, 0x41, 0x54, 0x49, 0x47, 0x49, 0x44, 0x20, 0x4E, 0x00,
                                  0x00, 0x00, 0x00, 0x41, 0x52, 0x45, 0x43, 0x4F, 0x59, 0x4B};
constexpr uint8_t kRaf[] = {'F', 'U', 'J', 'I', 'F', 'I', 'L', 'M', 'C', 'C', 'D', '-', 'R', 'A', 'W'};
constexpr uint8_t kSecd[] = {'S', 'E', 'C', 'd'};

constexpr uint32_t kTiffFamily = TypeBit::Tif | TypeBit::Nef | TypeBit::Dcr | TypeBit::Pef;

// Offset of the data size word in the canonical 44-byte WAVE header, and what the header
// holds besides the data (44 bytes less the 8 of the RIFF chunk header).
constexpr size_t kWaveDataSizeOffset = 40;
constexpr uint64_t kWaveHeaderExtra = 36;

// Root heap of a CRW file: 26-byte file header, 2-byte record count, 10-byte records.
constexpr size_t kCrwFourRecords = 26 + 2 + 4 * 10;
constexpr size_t kCrwThreeRecords = 26 + 2 + 3 * 10;

// True when the n bytes at p hold sig at offset off.
template <size_t N>
inline bool Has(const uint8_t* p, size_t n, size_t off, const uint8_t (&sig)[N])
{
    return n >= off + N && std::memcmp(p + off, sig, N) == 0;
}

inline uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline BlockSignature Found(int32_t type)
{
    return BlockSignature{type, 0};
}

} // namespace

BlockSignature RecogniseBlock(std::span<const uint8_t> block, uint32_t sel)
{
    const uint8_t* p = block.data();
    const size_t n = block.size();
    if (n == 0)
        return {};

    // One dispatch on the first byte; inside each case the tests keep the global order
    // (PNG, ARW/SR2, MP3, AU, WAVE, JPEG, GIF, TIFF, X3F, ORF, MRW, CRW, RAW, RAF).
    switch (p[0]) {
    case 0x89:
        if ((sel & TypeBit::Png) && Has(p, n, 0, kPng))
            return Found(FileTypeId::Png);
        break;

    case 'I':
        if ((sel & (TypeBit::Arw | TypeBit::Sr2)) && Has(p, n, 0, kArw))
            return Found(FileTypeId::Arw);
        if ((sel & TypeBit::Mp3) && Has(p, n, 0, kId3))
            return Found(FileTypeId::Mp3);
        if ((sel & kTiffFamily) && Has(p, n, 0, kTiffII))
            return Found(FileTypeId::Tif);
        if ((sel & TypeBit::Orf) && (Has(p, n, 0, kOrfRS) || Has(p, n, 0, kOrfRO)))
            return Found(FileTypeId::Orf);
        if ((sel & TypeBit::Crw) && Has(p, n, 0, kCrw))
            return Found(FileTypeId::Crw);
        break;

    case 0xFF:
        // An MPEG-1 layer III frame header (FF FB: no CRC; 84: 128 kbit/s, 48 kHz) whose
        // side information starts with a zero byte: main_data_begin is 0 in the first
        // frame of a stream, which has no earlier frame to borrow bits from.
        if ((sel & TypeBit::Mp3) && n >= 5 && p[1] == 0xFB && p[2] == 0x84 && p[4] == 0x00)
            return Found(FileTypeId::Mp3);
        // JPEG: start of image followed by an Exif (APP1) or JFIF (APP0) segment.
        if ((sel & TypeBit::Jpg) && n >= 4 && p[1] == 0xD8 && p[2] == 0xFF && (p[3] == 0xE1 || p[3] == 0xE0))
            return Found(FileTypeId::Jpg);
        if ((sel & TypeBit::Orf) && Has(p, n, 0, kOrfPreview))
            return Found(FileTypeId::OrfPreview);
        break;

    case '.':
        if ((sel & TypeBit::Au) && Has(p, n, 0, kAu))
            return Found(FileTypeId::Au);
        break;

    case 'R':
        if ((sel & TypeBit::Wave) && Has(p, n, 0, kRiff) && Has(p, n, 8, kWave)) {
            BlockSignature found = Found(FileTypeId::Wav);
            // Summed in 64 bits: a header that leaves the size at 0xFFFFFFFF (a recorder
            // that never finished the file) must not wrap round to a 35-byte limit.
            if (n >= kWaveDataSizeOffset + 4)
                found.ExpectedLength = uint64_t(Le32(p + kWaveDataSizeOffset)) + kWaveHeaderExtra;
            return found;
        }
        break;

    case 'G':
        if ((sel & TypeBit::Gif) && (Has(p, n, 0, kGif87) || Has(p, n, 0, kGif89)))
            return Found(FileTypeId::Gif);
        break;

    case 'M':
        // Big-endian TIFF: Kodak DCR, Nikon NEF and Pentax PEF files all start like a plain
        // TIFF, so the selection decides the name, DCR first, then NEF, then PEF.
        if ((sel & kTiffFamily) && Has(p, n, 0, kTiffMM)) {
            if (sel & TypeBit::Dcr)
                return Found(FileTypeId::Dcr);
            if (sel & TypeBit::Nef)
                return Found(FileTypeId::Nef);
            if (sel & TypeBit::Pef)
                return Found(FileTypeId::Pef);
            return Found(FileTypeId::Tif);
        }
        if ((sel & TypeBit::Orf) && Has(p, n, 0, kOrfMM))
            return Found(FileTypeId::Orf);
        break;

    case 'F':
        if ((sel & TypeBit::X3f) && Has(p, n, 0, kX3f))
            return Found(FileTypeId::X3f);
        if ((sel & TypeBit::Raf) && Has(p, n, 0, kRaf))
            return Found(FileTypeId::Raf);
        break;

    case 0x00:
        if ((sel & TypeBit::Mrw) && Has(p, n, 0, kMrw))
            return Found(FileTypeId::Mrw);
        // No selection bit belongs to this type: it is always looked for.
        if (Has(p, n, 0, kRawHeader))
            return Found(FileTypeId::Raw);
        break;

    default:
        break;
    }
    return {};
}

bool FileComplete(int64_t fileSize, int64_t maxFileSize, int32_t type, uint64_t expectedLength)
{
    if (fileSize > maxFileSize)
        return true;
    return type == FileTypeId::Wav && expectedLength > 0 && fileSize > 0 && uint64_t(fileSize) > expectedLength;
}

std::optional<size_t> FindX3FEnd(std::span<const uint8_t> held, size_t blockSize)
{
    const uint8_t* p = held.data();
    const size_t n = held.size();
    const size_t starts = std::min(blockSize, n);
    size_t k = 0;
    while (k < starts) {
        const void* s = std::memchr(p + k, kSecd[0], starts - k);
        if (s == nullptr)
            break;
        k = size_t(static_cast<const uint8_t*>(s) - p);
        // The directory is the marker, a version word, the entry count and 12 bytes per
        // entry; the file's last 4 bytes, right after it, point back to the directory.
        // The count word must be in the data held.
        if (k + 12 <= n && std::memcmp(p + k, kSecd, sizeof kSecd) == 0) {
            const uint64_t entries = Le32(p + k + 8);
            const uint64_t end = uint64_t(k) + 4 + 12 * (entries + 1);
            return size_t(std::min<uint64_t>(end, n));
        }
        ++k;
    }
    return std::nullopt;
}

std::optional<size_t> FindCRWEnd(std::span<const uint8_t> held, size_t blockSize, int64_t fileOffset)
{
    const uint8_t* p = held.data();
    const size_t n = held.size();
    // The word, read as signed, is non-zero and equals the file offset P + i.
    auto matches = [fileOffset](const uint8_t* at, size_t i) {
        const int32_t word = int32_t(Le32(at));
        return word != 0 && int64_t(word) - int64_t(i) == fileOffset;
    };
    // While both words lie wholly in the data held, a 32-bit compare sorts out the
    // misses (nearly every word) before the exact test.
    const size_t bothHeld = n >= kCrwFourRecords + 4 ? std::min(blockSize, n - kCrwFourRecords - 3) : 0;
    size_t i = 0;
    for (; i < bothHeld; ++i) {
        const uint32_t want = uint32_t(uint64_t(fileOffset) + i);
        if (Le32(p + kCrwFourRecords + i) == want && matches(p + kCrwFourRecords + i, i))
            return kCrwFourRecords + i + 4;
        if (Le32(p + kCrwThreeRecords + i) == want && matches(p + kCrwThreeRecords + i, i))
            return kCrwThreeRecords + i + 4;
    }
    // Near the end of the data held only the three-entry word may still be whole.
    for (; i < blockSize; ++i) {
        const size_t at = kCrwThreeRecords + i;
        if (at + 4 > n)
            break;  // every later word lies further out
        if (kCrwFourRecords + i + 4 <= n && matches(p + kCrwFourRecords + i, i))
            return kCrwFourRecords + i + 4;
        if (matches(p + at, i))
            return at + 4;
    }
    return std::nullopt;
}
