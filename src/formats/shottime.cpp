#include "formats/shottime.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <mutex>

#include "app/filetypes.h"

namespace {

// Bounds of the walks, far above what real files hold.
constexpr int kMaxJpegSegments = 512;
constexpr uint32_t kMaxIfdEntries = 1000;
constexpr int kMaxBoxes = 4096;
constexpr int kMaxRiffChunks = 256;
constexpr int kMaxCursorReads = 1 << 16;

// Seconds from 1904-01-01 (the ISO media epoch) to 1970-01-01.
constexpr int64_t kIsoEpoch = 2082844800;
// 9999-12-31 23:59:59 UTC: nothing later is a date.
constexpr int64_t kLastTime = 253402300799;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t Be64(const uint8_t* p) { return uint64_t(Be32(p)) << 32 | Be32(p + 4); }

// ---------------------------------------------------------------------------------------
// Dates

struct Civil {
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool Valid(const Civil& c)
{
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (c.Year < 1900 || c.Year > 9999 || c.Month < 1 || c.Month > 12 || c.Day < 1)
        return false;
    const int days = kDays[c.Month - 1] + (c.Month == 2 && IsLeap(c.Year) ? 1 : 0);
    return c.Day <= days && c.Hour >= 0 && c.Hour <= 23 && c.Minute >= 0 && c.Minute <= 59 && c.Second >= 0 &&
           c.Second <= 59;
}

// Days from 1970-01-01 to the date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int y, int m, int d)
{
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The wall-clock time as if it were UTC.
int64_t AsUtc(const Civil& c)
{
    return DaysFromCivil(c.Year, c.Month, c.Day) * 86400 + c.Hour * 3600 + c.Minute * 60 + c.Second;
}

// The wall-clock time in the machine's time zone; 0 when mktime cannot tell. Shot times
// are read on two threads: mktime (re)reads the time zone under the C library's own lock,
// which ThreadSanitizer does not see, so the calls take turns here as well.
int64_t AsLocal(const Civil& c)
{
    static std::mutex zone;
    const std::lock_guard lock(zone);
    std::tm t {};
    t.tm_year = c.Year - 1900;
    t.tm_mon = c.Month - 1;
    t.tm_mday = c.Day;
    t.tm_hour = c.Hour;
    t.tm_min = c.Minute;
    t.tm_sec = c.Second;
    t.tm_isdst = -1;
    const std::time_t r = std::mktime(&t);
    return r == static_cast<std::time_t>(-1) ? 0 : static_cast<int64_t>(r);
}

bool Digits(const char* s, int n, int& out)
{
    out = 0;
    for (int i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

// "YYYY:MM:DD HH:MM:SS", '-' also taken in the date and 'T' between date and time.
bool ParseExifDate(const char* s, size_t n, Civil& c)
{
    if (n < 19)
        return false;
    auto dateSep = [](char ch) { return ch == ':' || ch == '-'; };
    if (!dateSep(s[4]) || s[7] != s[4] || (s[10] != ' ' && s[10] != 'T') || s[13] != ':' || s[16] != ':')
        return false;
    return Digits(s, 4, c.Year) && Digits(s + 5, 2, c.Month) && Digits(s + 8, 2, c.Day) &&
           Digits(s + 11, 2, c.Hour) && Digits(s + 14, 2, c.Minute) && Digits(s + 17, 2, c.Second) && Valid(c);
}

// "+HH:MM" or "-HH:MM" in seconds east of UTC.
bool ParseOffset(const char* s, size_t n, int64_t& seconds)
{
    int h = 0, m = 0;
    if (n < 6 || (s[0] != '+' && s[0] != '-') || s[3] != ':' || !Digits(s + 1, 2, h) || !Digits(s + 4, 2, m) ||
        h > 14 || m > 59)
        return false;
    seconds = (h * 3600 + m * 60) * (s[0] == '-' ? -1 : 1);
    return true;
}

// ---------------------------------------------------------------------------------------
// Exif tags

// The date texts found so far; the first of each tag wins.
struct ExifDates {
    enum Slot { Original, Digitized, Modified, OffsetOriginal, OffsetDigitized, OffsetModified, Count };
    static constexpr size_t kText = 32;
    std::array<std::array<char, kText>, Count> Text {};
    std::array<uint8_t, Count> Length {};
    std::array<bool, Count> Found {};
    // Something on the way lies past the bytes at hand: the answer may be another one.
    bool Short = false;

    static int SlotOf(uint16_t tag)
    {
        switch (tag) {
        case 0x9003: return Original;
        case 0x9004: return Digitized;
        case 0x0132: return Modified;
        case 0x9011: return OffsetOriginal;
        case 0x9012: return OffsetDigitized;
        case 0x9010: return OffsetModified;
        default: return -1;
        }
    }

    // The first date that reads as one, in UTC with its own offset or else local time.
    int64_t Resolve() const
    {
        if (Short)
            return 0;
        for (int date = Original; date <= Modified; ++date) {
            Civil c;
            if (!Found[date] || !ParseExifDate(Text[date].data(), Length[date], c))
                continue;
            const int off = date + OffsetOriginal;
            int64_t east = 0;
            if (Found[off] && ParseOffset(Text[off].data(), Length[off], east))
                return AsUtc(c) - east;
            if (const int64_t local = AsLocal(c))
                return local;
        }
        return 0;
    }
};

// One TIFF structure: its header at Base, nothing of it read past End.
class Tiff {
public:
    Tiff(const ByteSource& src, uint64_t base, uint64_t end) : m_src(src), m_base(base), m_end(end) {}

    // Reads the header; false when it is not a TIFF's.
    bool Open()
    {
        uint8_t h[8];
        if (!Fetch(0, h, 8))
            return false;
        if (h[0] == 'I' && h[1] == 'I')
            m_little = true;
        else if (h[0] == 'M' && h[1] == 'M')
            m_little = false;
        else
            return false;
        const uint16_t magic = U16(h + 2);
        if (magic != 42 && magic != 0x4F52 && magic != 0x5352 && magic != 0x55)
            return false;
        m_ifd0 = U32(h + 4);
        return true;
    }

    // Collects the date tags of IFD0 and of the Exif IFD it points at.
    void CollectDates(ExifDates& dates)
    {
        uint32_t exif = 0;
        ReadIfd(m_ifd0, dates, &exif);
        if (exif != 0 && exif != m_ifd0)
            ReadIfd(exif, dates, nullptr);
        dates.Short = dates.Short || m_short;
    }

private:
    uint16_t U16(const uint8_t* p) const { return m_little ? static_cast<uint16_t>(p[0] | p[1] << 8) : Be16(p); }
    uint32_t U32(const uint8_t* p) const
    {
        return m_little ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24 : Be32(p);
    }

    // Reads n bytes at offset (from the header) when all of them lie before End; notes
    // when they do but are not all at hand.
    bool Fetch(uint64_t offset, uint8_t* out, size_t n)
    {
        const uint64_t at = m_base + offset;
        if (at < m_base || at > m_end || m_end - at < n)
            return false;
        if (m_src.ReadAll(at, out, n))
            return true;
        m_short = true;
        return false;
    }

    void ReadIfd(uint32_t offset, ExifDates& dates, uint32_t* exif)
    {
        uint8_t c[2];
        if (!Fetch(offset, c, 2))
            return;
        const uint32_t count = U16(c);
        if (count == 0 || count > kMaxIfdEntries)
            return;
        constexpr uint32_t kChunk = 32;
        uint8_t e[kChunk * 12];
        for (uint32_t first = 0; first < count; first += kChunk) {
            const uint32_t n = std::min(kChunk, count - first);
            if (!Fetch(uint64_t(offset) + 2 + uint64_t(first) * 12, e, n * 12))
                return;
            for (uint32_t i = 0; i < n; ++i)
                TakeEntry(e + i * 12, dates, exif);
        }
    }

    void TakeEntry(const uint8_t* e, ExifDates& dates, uint32_t* exif)
    {
        const uint16_t tag = U16(e), type = U16(e + 2);
        const uint32_t count = U32(e + 4);
        if (tag == 0x8769) {
            // LONG or IFD, one value
            if (exif && *exif == 0 && (type == 4 || type == 13) && count == 1)
                *exif = U32(e + 8);
            return;
        }
        const int slot = ExifDates::SlotOf(tag);
        // A text of bytes: ASCII, or BYTE/UNDEFINED as some writers have it.
        if (slot < 0 || dates.Found[slot] || (type != 2 && type != 1 && type != 7) || count == 0)
            return;
        const size_t n = std::min<size_t>(count, ExifDates::kText);
        auto& text = dates.Text[slot];
        if (count <= 4)
            std::memcpy(text.data(), e + 8, n);
        else if (!Fetch(U32(e + 8), reinterpret_cast<uint8_t*>(text.data()), n))
            return;
        size_t len = 0;
        while (len < n && text[len] != '\0')
            ++len;
        dates.Length[slot] = static_cast<uint8_t>(len);
        dates.Found[slot] = true;
    }

    const ByteSource& m_src;
    uint64_t m_base, m_end;
    bool m_little = true;
    bool m_short = false;
    uint32_t m_ifd0 = 0;
};

void CollectTiff(const ByteSource& src, uint64_t base, uint64_t end, ExifDates& dates)
{
    Tiff tiff(src, base, end);
    if (tiff.Open())
        tiff.CollectDates(dates);
}

int64_t TiffShotTime(const ByteSource& src, uint64_t base, uint64_t end)
{
    ExifDates dates;
    CollectTiff(src, base, end, dates);
    return dates.Resolve();
}

// ---------------------------------------------------------------------------------------
// JPEG, RAF

// The dates of the first Exif APP1 segment of the JPEG at start, before its first scan.
int64_t JpegShotTime(const ByteSource& src, uint64_t start)
{
    uint8_t b[10];
    if (!src.ReadAll(start, b, 2) || b[0] != 0xFF || b[1] != 0xD8)
        return 0;
    uint64_t pos = start + 2;
    for (int i = 0; i < kMaxJpegSegments; ++i) {
        if (!src.ReadAll(pos, b, 4) || b[0] != 0xFF)
            return 0;
        const uint8_t marker = b[1];
        if (marker == 0xFF) {  // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA)
            return 0;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;
            continue;
        }
        const uint16_t length = Be16(b + 2);
        if (length < 2)
            return 0;
        if (marker == 0xE1 && length >= 2 + 6 + 8 && src.ReadAll(pos + 4, b, 6) && std::memcmp(b, "Exif\0", 5) == 0)
            return TiffShotTime(src, pos + 10, pos + 2 + length);
        pos += 2 + uint64_t(length);
    }
    return 0;
}

int64_t RafShotTime(const ByteSource& src)
{
    uint8_t h[92];
    if (!src.ReadAll(0, h, sizeof h) || std::memcmp(h, "FUJIFILM", 8) != 0)
        return 0;
    return JpegShotTime(src, Be32(h + 84));
}

// ---------------------------------------------------------------------------------------
// ISO media boxes

struct Box {
    uint64_t Start = 0, Body = 0, End = 0;
    uint64_t Claimed = 0;  // where the box says it ends, past the bytes at hand or not
    char Type[4] = {};
    bool Is(const char* t) const { return std::memcmp(Type, t, 4) == 0; }
};

// The box at pos within [pos, limit); a box that claims more than that is cut at limit
// (a file whose end is not at hand yet), one of size 0 runs to limit.
bool ReadBox(const ByteSource& src, uint64_t pos, uint64_t limit, Box& box)
{
    uint8_t h[16];
    if (pos >= limit || limit - pos < 8 || !src.ReadAll(pos, h, 8))
        return false;
    uint64_t size = Be32(h);
    uint64_t header = 8;
    if (size == 1) {
        if (limit - pos < 16 || !src.ReadAll(pos + 8, h + 8, 8))
            return false;
        size = Be64(h + 8);
        header = 16;
    } else if (size == 0) {
        size = limit - pos;
    }
    if (size < header)
        return false;
    box.Start = pos;
    box.Body = pos + header;
    box.End = pos + std::min(size, limit - pos);
    box.Claimed = size > UINT64_MAX - pos ? UINT64_MAX : pos + size;
    std::memcpy(box.Type, h + 4, 4);
    return true;
}

// The first child of type within [from, parent's end).
bool FindChild(const ByteSource& src, uint64_t from, uint64_t end, const char* type, Box& out)
{
    uint64_t pos = from;
    for (int i = 0; i < kMaxBoxes && ReadBox(src, pos, end, out); ++i) {
        if (out.Is(type))
            return true;
        pos = out.End;
    }
    return false;
}

bool Printable(const char* t)
{
    for (int i = 0; i < 4; ++i)
        if (static_cast<uint8_t>(t[i]) < 0x20 || static_cast<uint8_t>(t[i]) > 0x7E)
            return false;
    return true;
}

// The top-level box of type; the walk stops at a box whose type is not text.
bool FindTopLevel(const ByteSource& src, const char* type, Box& out)
{
    uint64_t pos = 0;
    const uint64_t end = src.Size();
    for (int i = 0; i < kMaxBoxes && ReadBox(src, pos, end, out) && Printable(out.Type); ++i) {
        if (out.Is(type))
            return true;
        pos = out.End;
    }
    return false;
}

// Big-endian fields read one after the other within a box.
class Cursor {
public:
    Cursor(const ByteSource& src, uint64_t pos, uint64_t end) : m_src(src), m_pos(pos), m_end(end) {}
    bool Ok() const { return m_ok; }
    // An unsigned field of 0 to 8 bytes (0 bytes: the value 0).
    uint64_t Get(unsigned bytes)
    {
        uint8_t b[8];
        if (!m_ok || bytes > 8 || m_end - m_pos < bytes || ++m_reads > kMaxCursorReads ||
            !m_src.ReadAll(m_pos, b, bytes)) {
            m_ok = false;
            return 0;
        }
        m_pos += bytes;
        uint64_t v = 0;
        for (unsigned i = 0; i < bytes; ++i)
            v = v << 8 | b[i];
        return v;
    }

private:
    const ByteSource& m_src;
    uint64_t m_pos, m_end;
    int m_reads = 0;
    bool m_ok = true;
};

// HEIF: meta -> iinf names the Exif item, iloc says where its bytes are. The item starts
// with the big-endian offset from the byte after it to the TIFF header.
int64_t HeicShotTime(const ByteSource& src)
{
    Box meta, iinf, iloc;
    if (!FindTopLevel(src, "meta", meta) || meta.End - meta.Body < 4)
        return 0;
    const uint64_t children = meta.Body + 4;  // a full box: version and flags first
    if (!FindChild(src, children, meta.End, "iinf", iinf) || !FindChild(src, children, meta.End, "iloc", iloc))
        return 0;

    // The first item of type "Exif".
    uint8_t b[16];
    if (!src.ReadAll(iinf.Body, b, 1))
        return 0;
    uint64_t exifId = 0;
    bool haveId = false;
    {
        Box infe;
        uint64_t pos = iinf.Body + 4 + (b[0] == 0 ? 2 : 4);
        for (int i = 0; i < kMaxBoxes && !haveId && ReadBox(src, pos, iinf.End, infe); ++i) {
            pos = infe.End;
            // version 2: 16-bit item id, version 3: 32-bit; then protection index and type
            const size_t n = static_cast<size_t>(std::min<uint64_t>(infe.End - infe.Body, 14));
            if (!infe.Is("infe") || n < 12 || !src.ReadAll(infe.Body, b, n))
                continue;
            if (b[0] == 2 && std::memcmp(b + 8, "Exif", 4) == 0) {
                exifId = Be16(b + 4);
                haveId = true;
            } else if (b[0] == 3 && n == 14 && std::memcmp(b + 10, "Exif", 4) == 0) {
                exifId = Be32(b + 4);
                haveId = true;
            }
        }
    }
    if (!haveId)
        return 0;

    // Its first extent.
    Cursor c(src, iloc.Body, iloc.End);
    const uint64_t version = c.Get(1);
    c.Get(3);
    const uint64_t sizes = c.Get(2);
    const unsigned offsetSize = sizes >> 12 & 15, lengthSize = sizes >> 8 & 15, baseSize = sizes >> 4 & 15;
    const unsigned indexSize = version == 1 || version == 2 ? sizes & 15 : 0;
    if (!c.Ok() || version > 2)
        return 0;
    const uint64_t items = c.Get(version < 2 ? 2 : 4);
    for (uint64_t item = 0; item < items && c.Ok(); ++item) {
        const uint64_t id = c.Get(version < 2 ? 2 : 4);
        const unsigned method = version >= 1 ? c.Get(2) & 15 : 0;
        c.Get(2);  // data reference index
        const uint64_t base = c.Get(baseSize);
        const uint64_t extents = c.Get(2);
        uint64_t first = 0, length = 0;
        for (uint64_t e = 0; e < extents && c.Ok(); ++e) {
            c.Get(indexSize);
            const uint64_t offset = c.Get(offsetSize), len = c.Get(lengthSize);
            if (e == 0) {
                first = offset;
                length = len;
            }
        }
        if (!c.Ok())
            return 0;
        if (id != exifId)
            continue;
        if (extents == 0 || (method != 0 && method != 1))
            return 0;
        uint64_t at = base + first;
        if (at < base)
            return 0;
        // length 0: the item runs to the end of the file (of idat)
        uint64_t end = UINT64_MAX;
        if (method == 1) {  // inside the meta box's idat
            Box idat;
            if (!FindChild(src, children, meta.End, "idat", idat) || at > idat.Claimed - idat.Body)
                return 0;
            at += idat.Body;
            end = idat.Claimed;
        }
        if (length != 0 && length <= end - at)
            end = at + length;
        if (!src.ReadAll(at, b, 4))
            return 0;
        uint64_t tiff = at + 4 + Be32(b);
        // A writer that counts the offset to "Exif\0\0" instead of the TIFF header.
        if (src.ReadAll(tiff, b, 6) && std::memcmp(b, "Exif\0\0", 6) == 0)
            tiff += 6;
        return TiffShotTime(src, tiff, end);
    }
    return 0;
}

// CR3: moov -> Canon's uuid box -> CMT1 (a TIFF with IFD0) and CMT2 (a TIFF whose first
// IFD is the Exif IFD). cut tells that the uuid box is not all at hand.
int64_t Cr3ShotTime(const ByteSource& src, bool& cut)
{
    cut = false;
    static constexpr uint8_t kCanon[16] = {0x85, 0xC0, 0xB6, 0x87, 0x82, 0x0F, 0x11, 0xE0,
                                           0x81, 0x11, 0xF4, 0xCE, 0x46, 0x2B, 0x6A, 0x48};
    Box moov, uuid;
    if (!FindTopLevel(src, "moov", moov))
        return 0;
    uint64_t pos = moov.Body;
    for (int i = 0; i < kMaxBoxes && FindChild(src, pos, moov.End, "uuid", uuid); ++i) {
        pos = uuid.End;
        uint8_t id[16];
        if (uuid.End - uuid.Body < 16 || !src.ReadAll(uuid.Body, id, 16) || std::memcmp(id, kCanon, 16) != 0)
            continue;
        if (uuid.Claimed > src.Size()) {
            cut = true;
            return 0;
        }
        ExifDates dates;
        Box cmt;
        if (FindChild(src, uuid.Body + 16, uuid.End, "CMT2", cmt))
            CollectTiff(src, cmt.Body, cmt.Claimed, dates);
        if (FindChild(src, uuid.Body + 16, uuid.End, "CMT1", cmt))
            CollectTiff(src, cmt.Body, cmt.Claimed, dates);
        return dates.Resolve();
    }
    return 0;
}

int64_t IsoMovieShotTime(const ByteSource& src)
{
    Box moov, mvhd;
    if (!FindTopLevel(src, "moov", moov) || !FindChild(src, moov.Body, moov.End, "mvhd", mvhd))
        return 0;
    uint8_t b[12];
    if (mvhd.End - mvhd.Body < 12 || !src.ReadAll(mvhd.Body, b, 12))
        return 0;
    uint64_t created = 0;
    if (b[0] == 0)
        created = Be32(b + 4);
    else if (b[0] == 1)
        created = Be64(b + 4);
    if (created <= uint64_t(kIsoEpoch) || created - kIsoEpoch > uint64_t(kLastTime))
        return 0;
    return static_cast<int64_t>(created - kIsoEpoch);
}

// ---------------------------------------------------------------------------------------
// AVI

// A text scanner for the IDIT date.
struct Scan {
    const char* s;
    size_t n, i = 0;
    void Spaces()
    {
        while (i < n && s[i] == ' ')
            ++i;
    }
    bool Number(int& v, int maxDigits)
    {
        int k = 0;
        v = 0;
        while (i < n && k < maxDigits && s[i] >= '0' && s[i] <= '9') {
            v = v * 10 + (s[i++] - '0');
            ++k;
        }
        return k > 0;
    }
    bool Char(char c)
    {
        if (i < n && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    }
    bool Time(Civil& c)
    {
        return Number(c.Hour, 2) && Char(':') && Number(c.Minute, 2) && Char(':') && Number(c.Second, 2);
    }
};

// "Mon Mar 03 10:20:30 2008" (ctime's form) or "2008:03:03 10:20:30" ('-' or '/' too).
bool ParseIditDate(const char* s, size_t n, Civil& c)
{
    static constexpr const char* kMonths[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                "jul", "aug", "sep", "oct", "nov", "dec"};
    Scan sc {s, n};
    sc.Spaces();
    if (sc.i < n && s[sc.i] >= '0' && s[sc.i] <= '9') {
        if (!sc.Number(c.Year, 4) || sc.i >= n || (s[sc.i] != ':' && s[sc.i] != '-' && s[sc.i] != '/'))
            return false;
        const char sep = s[sc.i++];
        if (!sc.Number(c.Month, 2) || !sc.Char(sep) || !sc.Number(c.Day, 2))
            return false;
        sc.Spaces();
        return sc.Time(c) && Valid(c);
    }
    // weekday, month name
    if (n - sc.i < 8 || s[sc.i + 3] != ' ')
        return false;
    sc.i += 4;
    sc.Spaces();
    if (n - sc.i < 4 || s[sc.i + 3] != ' ')
        return false;
    char mon[3];
    for (int k = 0; k < 3; ++k)
        mon[k] = static_cast<char>(s[sc.i + k] >= 'A' && s[sc.i + k] <= 'Z' ? s[sc.i + k] + 32 : s[sc.i + k]);
    c.Month = 0;
    for (int m = 0; m < 12; ++m)
        if (std::memcmp(mon, kMonths[m], 3) == 0)
            c.Month = m + 1;
    sc.i += 4;
    sc.Spaces();
    if (!sc.Number(c.Day, 2))
        return false;
    sc.Spaces();
    if (!sc.Time(c))
        return false;
    sc.Spaces();
    return sc.Number(c.Year, 4) && Valid(c);
}

int64_t AviShotTime(const ByteSource& src)
{
    uint8_t b[12];
    if (!src.ReadAll(0, b, 12) || std::memcmp(b, "RIFF", 4) != 0 || std::memcmp(b + 8, "AVI ", 4) != 0)
        return 0;
    auto le32 = [](const uint8_t* p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    };
    const uint64_t riffEnd = 8 + uint64_t(le32(b + 4));
    // hdrl is the first LIST; a few chunks are looked at before giving up.
    uint64_t pos = 12;
    for (int i = 0; i < 8 && pos + 12 <= riffEnd; ++i) {
        if (!src.ReadAll(pos, b, 12))
            return 0;
        const uint64_t end = pos + 8 + le32(b + 4);
        if (std::memcmp(b, "LIST", 4) == 0 && std::memcmp(b + 8, "hdrl", 4) == 0) {
            uint64_t at = pos + 12;
            for (int k = 0; k < kMaxRiffChunks && at + 8 <= end; ++k) {
                if (!src.ReadAll(at, b, 8))
                    return 0;
                const uint32_t size = le32(b + 4);
                if (std::memcmp(b, "IDIT", 4) == 0) {
                    char text[64];
                    const size_t n = std::min<size_t>(size, sizeof text);
                    if (!src.ReadAll(at + 8, reinterpret_cast<uint8_t*>(text), n))
                        return 0;
                    size_t len = 0;
                    while (len < n && text[len] != '\0' && text[len] != '\n' && text[len] != '\r')
                        ++len;
                    Civil c;
                    return ParseIditDate(text, len, c) ? AsLocal(c) : 0;
                }
                at += 8 + uint64_t(size) + (size & 1);
            }
            return 0;
        }
        pos = end + (end & 1);
    }
    return 0;
}

}  // namespace

int64_t ShotTime(int32_t type, const ByteSource& src)
{
    switch (type) {
    case FileTypeId::Jpg:
    case FileTypeId::Thm:
    case FileTypeId::Thm2:
    case FileTypeId::OrfPreview:
        return JpegShotTime(src, 0);
    case FileTypeId::Tif:
    case FileTypeId::Nef:
    case FileTypeId::Cr2:
    case FileTypeId::Dng:
    case FileTypeId::Arw:
    case FileTypeId::Sr2:
    case FileTypeId::Pef:
    case FileTypeId::Orf:
    case FileTypeId::Dcr:
    case FileTypeId::Rw2:
        return TiffShotTime(src, 0, UINT64_MAX);
    case FileTypeId::Raf:
        return RafShotTime(src);
    case FileTypeId::Heic:
        if (const int64_t t = HeicShotTime(src))
            return t;
        return MovieShotTime(src);
    case FileTypeId::Cr3: {
        bool cut = false;
        if (const int64_t t = Cr3ShotTime(src, cut))
            return t;
        return cut ? 0 : MovieShotTime(src);
    }
    default:
        return 0;
    }
}

int64_t MovieShotTime(const ByteSource& src)
{
    uint8_t b[12];
    if (src.ReadAll(0, b, 12) && std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "AVI ", 4) == 0)
        return AviShotTime(src);
    return IsoMovieShotTime(src);
}
