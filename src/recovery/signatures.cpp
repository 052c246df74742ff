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

// Any TIFF-based type selects the TIFF test; the recovery names the file by what its
// structure says once it is carved.
constexpr uint32_t kTiffFamily = TypeBit::TiffFamily;
// Panasonic's RW2: a little-endian TIFF whose magic number is 0x55 instead of 42.
constexpr uint8_t kRw2[] = {0x49, 0x49, 0x55, 0x00};

// A RIFF WAVE file holds at least "WAVE", a fmt chunk (8 + 16 bytes) and a data chunk
// header (8 bytes) after its own 8-byte chunk header.
constexpr uint32_t kWaveMinRiffSize = 4 + 24 + 8;
constexpr size_t kRiffHeader = 8;

// ID3v2 tag header: "ID3", major version 2, 3 or 4, a revision below 0xFF, flags whose
// low four bits are clear, and a 28-bit size in four bytes whose top bits are clear.
constexpr size_t kId3Header = 10;

// Root heap of a CRW file: 26-byte file header, then the heap; its record table is a
// 2-byte count and 10-byte records (type, size, heap offset), followed by the closing word.
constexpr int64_t kCrwHeapStart = 26;
constexpr int64_t kCrwRecord = 10;
constexpr int64_t kCrwFourRecords = kCrwHeapStart + 2 + 4 * kCrwRecord;
constexpr int64_t kCrwThreeRecords = kCrwHeapStart + 2 + 3 * kCrwRecord;
// Bits 14 and 15 of a record type say where its data is: 0 in the heap, 0x4000 in the
// record itself; the other two values are not used.
constexpr uint16_t kCrwStorageMask = 0xC000;
constexpr uint16_t kCrwInRecord = 0x4000;

// X3F directory: "SECd", version, entry count, then 12-byte entries (offset, length,
// type); the file's last 4 bytes hold the directory's offset. The cameras write a handful
// of entries (PROP, IMAG, IMA2, CAMF); 64 bounds the directory to 784 bytes, well inside
// the window the recovery keeps.
constexpr int64_t kX3fDirHeader = 12;
constexpr int64_t kX3fEntry = 12;
constexpr uint32_t kX3fMaxEntries = 64;

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

inline uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

inline bool IsId3Header(const uint8_t* p, size_t n)
{
    if (!Has(p, n, 0, kId3) || n < kId3Header)
        return false;
    if (p[3] < 2 || p[3] > 4 || p[4] == 0xFF || (p[5] & 0x0F) != 0)
        return false;
    return ((p[6] | p[7] | p[8] | p[9]) & 0x80) == 0;
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
        if ((sel & TypeBit::Mp3) && IsId3Header(p, n))
            return Found(FileTypeId::Mp3);
        if ((sel & kTiffFamily) && Has(p, n, 0, kTiffII))
            return Found(FileTypeId::Tif);
        if ((sel & kTiffFamily) && Has(p, n, 0, kRw2))
            return Found(FileTypeId::Rw2);
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
        if ((sel & TypeBit::Wave) && Has(p, n, 0, kRiff) && Has(p, n, 8, kWave))
            return BlockSignature{FileTypeId::Wav, WaveLength(p, n)};
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

uint64_t WaveLength(const uint8_t* p, size_t n)
{
    if (n < 12)
        return 0;
    const uint32_t riff = Le32(p + 4);
    if (riff < kWaveMinRiffSize || riff == 0xFFFFFFFF)
        return 0;
    const uint64_t length = uint64_t(riff) + kRiffHeader;
    // Walk the chunks the bytes hold up to the data chunk: a recorder that never finished
    // its header leaves the data size at 0 (or all ones) while the samples follow.
    uint64_t at = 12;
    while (at + 8 <= n && at + 8 <= length) {
        const uint32_t size = Le32(p + at + 4);
        if (std::memcmp(p + at, "data", 4) == 0)
            return size == 0 || size == 0xFFFFFFFF ? 0 : length;
        at += 8 + uint64_t(size) + (size & 1);
    }
    return length;
}

bool FileComplete(int64_t fileSize, int64_t maxFileSize, int64_t expectedLength)
{
    return fileSize > maxFileSize || (expectedLength > 0 && fileSize >= expectedLength);
}

namespace {

inline bool IsTagChar(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// The X3F directory at file offset k: nullopt when it is not wholly in the window, else
// whether it is a plausible directory (and then the file's length in *end).
std::optional<bool> X3fDirectory(const FileWindow& w, int64_t k, int64_t* end)
{
    if (!w.Holds(k, kX3fDirHeader))
        return std::nullopt;
    const uint8_t* d = w.At(k);
    const uint32_t version = Le32(d + 4);
    const uint32_t entries = Le32(d + 8);
    if (version >> 16 < 1 || version >> 16 > 4 || entries < 1 || entries > kX3fMaxEntries)
        return false;
    const int64_t size = kX3fDirHeader + kX3fEntry * entries;
    if (!w.Holds(k, size_t(size)))
        return std::nullopt;
    for (uint32_t i = 0; i < entries; ++i) {
        const uint8_t* e = d + kX3fDirHeader + kX3fEntry * i;
        if (uint64_t(Le32(e)) + Le32(e + 4) > uint64_t(k))
            return false;
        if (!IsTagChar(e[8]) || !IsTagChar(e[9]) || !IsTagChar(e[10]) || !IsTagChar(e[11]))
            return false;
    }
    // The last word points back to the directory; it may lie past the data read.
    if (w.Holds(k + size, 4) && Le32(w.At(k + size)) != uint64_t(k))
        return false;
    *end = k + size + 4;
    return true;
}

// The CRW record table that the closing word at file offset word names (v, heap-relative)
// with `records` entries: nullopt when the table is not in the window.
std::optional<bool> CrwTable(const FileWindow& w, int64_t v, int64_t records)
{
    const int64_t table = kCrwHeapStart + v;
    if (!w.Holds(table, size_t(2 + records * kCrwRecord)))
        return std::nullopt;
    const uint8_t* t = w.At(table);
    if (Le16(t) != records)
        return false;
    for (int64_t i = 0; i < records; ++i) {
        const uint8_t* r = t + 2 + i * kCrwRecord;
        const uint16_t storage = Le16(r) & kCrwStorageMask;
        if (storage == kCrwInRecord)
            continue;
        if (storage != 0 || int64_t(Le32(r + 2)) + int64_t(Le32(r + 6)) > v)
            return false;
    }
    return true;
}

} // namespace

EndSearch FindX3FEnd(const FileWindow& w, int64_t from, int64_t to)
{
    int64_t k = std::max<int64_t>({from, w.First, 0});
    while (k < to) {
        const int64_t last = std::min(to, w.End());
        if (k >= last)
            break;
        const void* s = std::memchr(w.At(k), kSecd[0], size_t(last - k));
        if (s == nullptr) {
            k = last;
            break;
        }
        k = w.First + (static_cast<const uint8_t*>(s) - w.Data);
        if (!w.Holds(k, sizeof kSecd))
            break;
        if (std::memcmp(w.At(k), kSecd, sizeof kSecd) == 0) {
            int64_t end = 0;
            const std::optional<bool> plausible = X3fDirectory(w, k, &end);
            if (!plausible)
                return EndSearch{std::nullopt, k};
            if (*plausible)
                return EndSearch{end, k};
        }
        ++k;
    }
    return EndSearch{std::nullopt, std::max(from, std::min(k, to))};
}

namespace {

// The next v in [v, stop) whose closing word for a table at `offset` (kCrwThreeRecords or
// kCrwFourRecords past v) can equal v: its high byte must be v's. Positions whose word
// lies before the window have none. stop shares v's high byte, so one memchr looks.
int64_t NextCrwCandidate(const FileWindow& w, int64_t v, int64_t stop, int64_t offset)
{
    v = std::max(v, w.First - offset);
    if (v >= stop)
        return stop;
    const auto high = uint8_t(uint64_t(v) >> 24);
    const void* hit = std::memchr(w.At(v + offset + 3), high, size_t(stop - v));
    return hit ? v + (static_cast<const uint8_t*>(hit) - w.At(v + offset + 3)) : stop;
}

}  // namespace

EndSearch FindCRWEnd(const FileWindow& w, int64_t from, int64_t to)
{
    // The word, read as signed, is non-zero and equals v.
    auto matches = [&w](int64_t word, int64_t v) {
        const int32_t value = int32_t(Le32(w.At(word)));
        return value != 0 && int64_t(value) == v;
    };
    // Every v is examined in order; raw data is random, so the high byte alone passes one
    // position in 256 on to the whole test, and memchr finds those.
    const int64_t last = w.End() - kCrwFourRecords - 4;  // the last v whose words are at hand
    int64_t v = std::max<int64_t>(from, 0);
    while (v < to) {
        if (v > last)
            return EndSearch{std::nullopt, v};
        const int64_t stop = std::min({to, last + 1, (v | 0xFFFFFF) + 1});
        int64_t four = NextCrwCandidate(w, v, stop, kCrwFourRecords);
        int64_t three = NextCrwCandidate(w, v, stop, kCrwThreeRecords);
        while ((v = std::min(four, three)) < stop) {
            if (v == four && matches(v + kCrwFourRecords, v) && CrwTable(w, v, 4).value_or(false))
                return EndSearch{v + kCrwFourRecords + 4, v};
            if (v == three && matches(v + kCrwThreeRecords, v) && CrwTable(w, v, 3).value_or(false))
                return EndSearch{v + kCrwThreeRecords + 4, v};
            if (v == four)
                four = NextCrwCandidate(w, v + 1, stop, kCrwFourRecords);
            if (v == three)
                three = NextCrwCandidate(w, v + 1, stop, kCrwThreeRecords);
        }
    }
    return EndSearch{std::nullopt, std::max(from, to)};
}
