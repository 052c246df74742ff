#include "cardfs/dircollector.h"

#include <cctype>
#include <algorithm>
#include <array>
#include <cstring>

namespace px {

namespace {

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }

constexpr size_t kSlot = 32;
// Entries are judged in pieces of one 512-byte sector: a directory cluster is made of
// whole sectors, so a piece never holds the end of one thing and the start of another.
constexpr size_t kPiece = 512;

// Times are kept as seconds from 1979-12-31 00:00 in 32 bits: FAT dates run from 1980 to
// 2107, and a day's room before 1980 takes an exFAT UTC offset (at most 15 hours).
constexpr int64_t kTimeBase = 315446400;

// Characters of an 8.3 name: A-Z, 0-9, the punctuation FAT allows and the code page's
// upper half. Lower case letters are never stored in a short name.
constexpr bool IsShortChar(uint8_t c)
{
    if (c >= 0x80 || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case ' ': case '!': case '#': case '$': case '%': case '&': case '\'': case '(': case ')':
    case '-': case '@': case '^': case '_': case '`': case '{': case '}': case '~':
        return true;
    default:
        return false;
    }
}

// Characters a long name (FAT or exFAT) may not hold.
bool IsForbiddenLongChar(uint16_t c)
{
    if (c < 0x20)
        return true;
    switch (c) {
    case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
        return true;
    default:
        return false;
    }
}

// The first byte of a block that may start a FAT directory block: an 8.3 name's first
// character, 0x05 (a name starting with 0xE5), 0xE5 (deleted), '.' or a long name entry's
// sequence number (1..20, with 0x40 on the last).
struct GateTables {
    std::array<bool, 256> Fat{}, ExFat{};
    GateTables()
    {
        for (int c = 1; c < 256; ++c)
            Fat[c] = (IsShortChar(uint8_t(c)) && c != ' ') || c == 0x05 || c == '.' || c <= 0x14 || (c >= 0x41 && c <= 0x54);
        // exFAT entry types, in use and deleted (bit 7 cleared): file, stream, name,
        // allocation bitmap, up-case table, volume label, GUID, padding, ACL, vendor ones.
        for (int t : {0x85, 0xC0, 0xC1, 0x81, 0x82, 0x83, 0xA0, 0xA1, 0xA2, 0xE0, 0xE1})
            ExFat[t] = ExFat[t & 0x7F] = true;
    }
};
const GateTables kGate;

bool FatDateValid(uint16_t d)
{
    const unsigned month = (d >> 5) & 15, day = d & 31;
    return d == 0 || (month >= 1 && month <= 12 && day >= 1);
}
bool FatTimeValid(uint16_t t) { return (t >> 11) < 24 && ((t >> 5) & 63) < 60 && (t & 31) < 30; }

int64_t DaysFromCivil(int y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return int64_t(era) * 146097 + int64_t(doe) - 719468;
}

// A FAT date and time (local time, read as UTC) with its 10 ms count; 0 for no date.
int64_t FatTime(uint16_t date, uint16_t time, unsigned tenMs)
{
    if (date == 0)
        return 0;
    const int64_t days = DaysFromCivil(1980 + (date >> 9), (date >> 5) & 15, date & 31);
    return days * 86400 + (time >> 11) * 3600 + ((time >> 5) & 63) * 60 + (time & 31) * 2 + tenMs / 100;
}

// An exFAT timestamp (FAT's date and time in one 32-bit value), its 10 ms count and its
// UTC offset byte: bit 7 says the offset is there, bits 0-6 are signed 15-minute steps.
int64_t ExFatTime(uint32_t stamp, uint8_t tenMs, uint8_t utc)
{
    int64_t t = FatTime(uint16_t(stamp >> 16), uint16_t(stamp), tenMs);
    if (t != 0 && (utc & 0x80)) {
        const int quarters = (utc & 0x40) ? int(utc & 0x7F) - 128 : int(utc & 0x7F);
        t -= int64_t(quarters) * 15 * 60;
    }
    return t;
}

uint32_t PackTime(int64_t t)
{
    if (t == 0)
        return 0;
    return uint32_t(std::clamp<int64_t>(t - kTimeBase, 1, UINT32_MAX));
}
int64_t UnpackTime(uint32_t v) { return v ? int64_t(v) + kTimeBase : 0; }

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | cp >> 6);
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | cp >> 12);
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | cp >> 18);
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf8(const std::vector<uint16_t>& units)
{
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        const uint32_t u = units[i];
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

// The checksum of an 8.3 name that each of its long name entries repeats.
uint8_t ShortNameChecksum(const uint8_t* name)
{
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

// Where the 13 UTF-16 characters of a long name entry are.
constexpr int kLfnChar[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// A long name entry: attribute 0x0F, type 0, no cluster; a sequence number 1..20 (0x40
// on the last part) or 0xE5 when deleted; characters up to a 0x0000 end, 0xFFFF after
// it. Only the last part of a name may end before its 13 characters.
bool LfnSlotValid(const uint8_t* e)
{
    if (e[11] != 0x0F || e[12] != 0 || e[26] != 0 || e[27] != 0)
        return false;
    const uint8_t seq = e[0];
    const bool deleted = seq == 0xE5;
    if (!deleted && ((seq & 0xA0) != 0 || (seq & 0x1F) == 0 || (seq & 0x1F) > 20))
        return false;
    bool ended = false;
    for (int i = 0; i < 13; ++i) {
        const uint16_t c = Le16(e + kLfnChar[i]);
        if (ended) {
            if (c != 0xFFFF)
                return false;
        } else if (c == 0) {
            if (i == 0 || (!deleted && !(seq & 0x40)))
                return false;
            ended = true;
        } else if (c == 0xFFFF || IsForbiddenLongChar(c)) {
            return false;
        }
    }
    return true;
}

bool LfnHasEnd(const uint8_t* e)
{
    for (int i = 0; i < 12; ++i)
        if (Le16(e + kLfnChar[i]) == 0)
            return true;
    return false;
}

struct ShortEntry {
    int Dot = 0;        // 1 for ".", 2 for ".."
    bool Label = false;
    bool Deleted = false;
    bool Directory = false;
    uint32_t Cluster = 0;
    uint32_t Size = 0;
};

// Checks one 32-byte FAT entry that is not a long name part against the FAT rules:
// reserved attribute bits clear, only the two lower-case flags in byte 12, dates and times
// that exist (or zero), an 8.3 name of allowed characters padded with spaces, folders
// without size, a cluster number FAT32 can hold.
bool ReadShortEntry(const uint8_t* e, ShortEntry& s)
{
    const uint8_t attr = e[11];
    if ((attr & 0xC0) != 0 || (e[12] & 0xE7) != 0 || e[13] > 199)
        return false;
    if (!FatTimeValid(Le16(e + 14)) || !FatDateValid(Le16(e + 16)) || !FatDateValid(Le16(e + 18)) ||
        !FatTimeValid(Le16(e + 22)) || !FatDateValid(Le16(e + 24)))
        return false;
    s = ShortEntry{};
    s.Cluster = uint32_t(Le16(e + 20)) << 16 | Le16(e + 26);
    s.Size = Le32(e + 28);
    s.Directory = attr & 0x10;
    s.Deleted = e[0] == 0xE5;
    if (s.Cluster > 0x0FFFFFF6 || s.Cluster == 1)
        return false;

    if (std::memcmp(e, ".          ", 11) == 0 || std::memcmp(e, "..         ", 11) == 0) {
        s.Dot = e[1] == '.' ? 2 : 1;
        return s.Directory && s.Size == 0 && (s.Dot == 2 || s.Cluster >= 2);
    }
    if ((attr & 0x18) == 0x08) {
        // The volume label: any printable name, no data.
        s.Label = true;
        for (int i = 0; i < 11; ++i)
            if (e[i] < 0x20 || e[i] == 0x7F)
                return false;
        return s.Cluster == 0 && s.Size == 0;
    }
    if ((attr & 0x18) == 0x18)
        return false;

    if (!s.Deleted && e[0] != 0x05 && (e[0] == ' ' || !IsShortChar(e[0])))
        return false;
    int high = 0;
    for (int part = 0; part < 2; ++part) {
        const int from = part == 0 ? 1 : 8, to = part == 0 ? 8 : 11;
        bool padding = false;
        for (int i = from; i < to; ++i) {
            const uint8_t c = e[i];
            if (!IsShortChar(c) || (padding && c != ' '))
                return false;
            padding = padding || c == ' ';
            high += c >= 0x80;
        }
    }
    // Camera and system names are plain ASCII; a name mostly of code page letters is
    // far more likely to be picture data.
    if (high > 3)
        return false;
    if (s.Directory)
        return s.Size == 0 && (s.Deleted || s.Cluster >= 2);
    // A file with data has a first cluster.
    return s.Deleted || s.Size == 0 || s.Cluster != 0;
}

// The 8.3 name as "NAME.EXT", with the lower-case flags of byte 12; firstChar stands in
// for the first byte (a deleted entry's lost one). Code page characters become '_'.
std::string ShortName(const uint8_t* e, uint8_t firstChar)
{
    auto put = [&](std::string& s, uint8_t c, bool lower) {
        if (c >= 0x80)
            s += '_';
        else
            s += char(lower && c >= 'A' && c <= 'Z' ? c + 32 : c);
    };
    std::string base, ext;
    for (int i = 0; i < 8; ++i)
        put(base, i == 0 ? firstChar : e[i], e[12] & 0x08);
    for (int i = 8; i < 11; ++i)
        put(ext, e[i], e[12] & 0x10);
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    while (!ext.empty() && ext.back() == ' ')
        ext.pop_back();
    return ext.empty() ? base : base + "." + ext;
}

// The long name whose parts (in the order they lie, the last part first) precede the 8.3
// entry e, when their checksum matches it. For a deleted entry the sequence numbers and
// the name's first byte are gone: the parts must still share one checksum, and the first
// byte is the one that gives it (the long name's first letter is tried first). The first
// byte found is put in *firstChar.
bool LongName(const std::vector<uint8_t>& slots, const uint8_t* e, std::string& out, uint8_t* firstChar)
{
    const size_t count = slots.size() / kSlot;
    const bool deleted = e[0] == 0xE5;
    const uint8_t sum = slots[13];
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* s = slots.data() + i * kSlot;
        if (s[13] != sum || (s[0] == 0xE5) != deleted || (i > 0 && LfnHasEnd(s)))
            return false;
    }
    if (!deleted && ((slots[0] & 0x40) == 0 || size_t(slots[0] & 0x1F) != count || (slots[(count - 1) * kSlot] & 0x1F) != 1))
        return false;

    std::vector<uint16_t> units;
    for (size_t i = count; i-- > 0;) {
        const uint8_t* s = slots.data() + i * kSlot;
        for (int k = 0; k < 13; ++k) {
            const uint16_t c = Le16(s + kLfnChar[k]);
            if (c == 0)
                break;
            units.push_back(c);
        }
    }
    uint8_t name[11];
    std::memcpy(name, e, 11);
    if (deleted) {
        std::vector<uint8_t> candidates;
        if (units[0] < 0x80) {
            const uint8_t c = uint8_t(units[0] >= 'a' && units[0] <= 'z' ? units[0] - 32 : units[0]);
            if (IsShortChar(c) && c != ' ')
                candidates.push_back(c);
        }
        for (int c = 0x21; c < 0x100; ++c)
            if (IsShortChar(uint8_t(c)) && c != 0xE5)
                candidates.push_back(uint8_t(c));
        bool found = false;
        for (uint8_t c : candidates) {
            name[0] = c;
            if (ShortNameChecksum(name) == sum) {
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    } else if (ShortNameChecksum(name) != sum) {
        return false;
    }
    *firstChar = name[0];
    out = Utf8(units);
    return true;
}

}  // namespace

namespace {

// True when a long name whose slots matched the short entry's checksum is only the first
// part of the name: its last slot was full (no end mark: the name may go on in slots that
// lay in another cluster of the folder, now elsewhere or reused) and the extension the
// short name was made from is not the long name's.
bool LongNameCut(const std::string& name, const uint8_t* e)
{
    if (name.empty() || name.size() % 13 != 0)
        return false;
    std::string shortExt;
    for (int i = 8; i < 11 && e[i] != ' '; ++i)
        shortExt += char(e[i]);
    if (shortExt.empty())
        return false;
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return true;
    std::string longExt;
    for (size_t i = dot + 1; i < name.size() && longExt.size() < 3; ++i)
        longExt += char(std::toupper(static_cast<unsigned char>(name[i])));
    return longExt != shortExt;
}

}  // namespace

struct DirCollector::Found {
    std::string Name;
    uint32_t FirstCluster = 0;
    uint64_t Size = 0;
    int64_t Modified = 0, Created = 0;
    uint8_t Flags = 0;
    uint64_t EntryOffset = 0;
    uint32_t Folder = DirEntry::kUnknownFolder;
};

DirCollector::DirCollector(std::vector<CardGeometry> volumes) : m_volumes(std::move(volumes)) {}

const CardGeometry* DirCollector::VolumeAt(uint64_t offset) const
{
    for (const CardGeometry& g : m_volumes)
        if (offset >= g.VolumeStart && offset - g.VolumeStart < g.VolumeBytes)
            return &g;
    return nullptr;
}

bool DirCollector::InRoot(uint64_t offset) const
{
    const CardGeometry* g = VolumeAt(offset);
    if (!g)
        return false;
    if (g->RootBytes != 0)
        return offset >= g->RootStart && offset - g->RootStart < g->RootBytes;
    return g->ClusterAt(offset) == g->RootCluster;
}

void DirCollector::Feed(uint64_t offset, const uint8_t* block, size_t n)
{
    n -= n % kSlot;
    for (size_t i = 0; i < n; i += kPiece)
        FeedPiece(offset + i, block + i, std::min(kPiece, n - i));
}

void DirCollector::FeedPiece(uint64_t offset, const uint8_t* p, size_t n)
{
    auto forget = [this] {
        m_lfnSlots.clear();
        m_fatFolder = DirEntry::kUnknownFolder;
        m_fatOpen = false;
        m_exfatSet.clear();
        m_exfatRoot = false;
    };
    if (offset != m_next)
        forget();
    m_next = offset + n;

    // The few bytes that rule out nearly every block that is no directory block: the
    // first entry's first byte, and for FAT its attributes and the byte after them.
    const uint8_t b0 = p[0];
    const bool fatGate = kGate.Fat[b0] && (p[11] == 0x0F ? p[12] == 0 && p[26] == 0 && p[27] == 0
                                                          : (p[11] & 0xC0) == 0 && (p[12] & 0xE7) == 0);
    const bool exfatGate = kGate.ExFat[b0] || !m_exfatSet.empty();
    if (!fatGate && !exfatGate) {
        forget();
        return;
    }

    std::vector<Found> found;
    const bool fat = fatGate && ParseFat(offset, p, n, found);
    if (!fat) {
        found.clear();
        m_lfnSlots.clear();
        m_fatFolder = DirEntry::kUnknownFolder;
        m_fatOpen = false;
    }
    if (fat && !found.empty()) {
        m_exfatSet.clear();
        m_exfatRoot = false;
    } else if (exfatGate) {
        ParseExFat(offset, p, n, found);
    } else {
        m_exfatSet.clear();
        m_exfatRoot = false;
    }
    for (const Found& f : found)
        Keep(f);
}

bool DirCollector::ParseFat(uint64_t offset, const uint8_t* p, size_t n, std::vector<Found>& found)
{
    const bool continued = m_fatOpen;
    uint32_t folder = m_fatFolder;
    if (folder == DirEntry::kUnknownFolder && InRoot(offset))
        folder = 0;
    const CardGeometry* volume = VolumeAt(offset);
    uint32_t dotCluster = 0;
    std::pair<uint32_t, uint32_t> parent{0, 0};
    size_t shorts = 0, named = 0, end = n / kSlot;
    bool label = false;

    for (size_t k = 0; k < n / kSlot; ++k) {
        const uint8_t* e = p + k * kSlot;
        if (e[0] == 0x00) {
            end = k;
            break;
        }
        if (e[11] == 0x0F) {
            if (!LfnSlotValid(e))
                return false;
            if (!m_lfnSlots.empty()) {
                // A part continues the name before it when it shares its checksum and,
                // in use, has the next lower sequence number.
                const uint8_t* last = m_lfnSlots.data() + m_lfnSlots.size() - kSlot;
                const bool deleted = e[0] == 0xE5;
                const bool continues = last[13] == e[13] && (last[0] == 0xE5) == deleted &&
                                       (deleted || (!(e[0] & 0x40) && (last[0] & 0x1F) == (e[0] & 0x1F) + 1));
                if (!continues || m_lfnSlots.size() >= 20 * kSlot)
                    m_lfnSlots.clear();
            }
            // A name whose last part (the first to lie) is gone cannot be read.
            if (m_lfnSlots.empty() && e[0] != 0xE5 && !(e[0] & 0x40))
                continue;
            m_lfnSlots.insert(m_lfnSlots.end(), e, e + kSlot);
            continue;
        }
        ShortEntry s;
        if (!ReadShortEntry(e, s))
            return false;
        // FAT12 and FAT16 have no high cluster word.
        if (volume && volume->FsKind != CardGeometry::Kind::Fat32 && volume->FsKind != CardGeometry::Kind::ExFat &&
            Le16(e + 20) != 0)
            return false;
        ++shorts;
        std::vector<uint8_t> lfn;
        lfn.swap(m_lfnSlots);
        if (s.Dot) {
            // "." opens a folder's first cluster and ".." follows it; they tell the folder's
            // cluster and its parent's (0 for the root). Anywhere else they are no folder.
            if (k == 0 && s.Dot == 1) {
                dotCluster = folder = s.Cluster;
            } else if (k == 1 && s.Dot == 2 && dotCluster != 0) {
                parent = {dotCluster, s.Cluster};
            } else {
                return false;
            }
            continue;
        }
        if (s.Label) {
            label = true;
            continue;
        }
        Found f;
        uint8_t first = s.Deleted ? '_' : (e[0] == 0x05 ? 0xE5 : e[0]);
        if (!lfn.empty() && LongName(lfn, e, f.Name, &first)) {
            if (LongNameCut(f.Name, e))
                f.Name.clear();
            else
                ++named;
        }
        if (f.Name.empty())
            f.Name = ShortName(e, first);
        f.FirstCluster = s.Cluster;
        f.Size = s.Size;
        f.Modified = FatTime(Le16(e + 24), Le16(e + 22), 0);
        f.Created = FatTime(Le16(e + 16), Le16(e + 14), e[13]);
        f.Flags = uint8_t((s.Deleted ? kDeleted : 0) | (s.Directory ? kDirectory : 0));
        f.EntryOffset = offset + k * kSlot;
        f.Folder = folder;
        found.push_back(std::move(f));
    }

    // Evidence that this is a directory block and not data that happens to look like
    // entries: two 8.3 entries, a long name whose checksum matches, an entry in a block
    // that continues a directory block, or one entry followed by the end mark and nothing
    // but zeros to the end of the block (as FAT leaves an unused directory tail).
    bool evident = shorts >= 2 || named >= 1 || (continued && shorts >= 1);
    if (!evident && shorts == 1 && end < n / kSlot)
        evident = std::all_of(p + end * kSlot, p + n, [](uint8_t b) { return b == 0; });
    if (shorts == 0) {
        // Only long name parts (a name that goes on in the next block), or nothing.
        m_fatOpen = continued && end == n / kSlot;
        return end == n / kSlot;
    }
    if (!evident)
        return false;

    // The volume label lives only in the root folder.
    if (label && folder == DirEntry::kUnknownFolder) {
        folder = 0;
        for (Found& f : found)
            f.Folder = 0;
    }
    // Entries of a folder whose "." was not seen: their place tells the folder later, when
    // its entry is known.
    for (Found& f : found) {
        if (f.Folder == DirEntry::kUnknownFolder && volume) {
            if (const uint32_t home = volume->ClusterAt(f.EntryOffset)) {
                f.Folder = home;
                f.Flags |= kFolderIsHome;
            }
        }
    }
    if (parent.first != 0)
        m_parents[parent.first] = parent.second;
    // A folder goes on into the next block only when this one had no end mark.
    m_fatOpen = end == n / kSlot;
    m_fatFolder = m_fatOpen ? folder : DirEntry::kUnknownFolder;
    if (!m_fatOpen)
        m_lfnSlots.clear();
    return true;
}

void DirCollector::ParseExFat(uint64_t offset, const uint8_t* p, size_t n, std::vector<Found>& found)
{
    if (InRoot(offset))
        m_exfatRoot = true;
    for (size_t k = 0; k < n / kSlot; ++k) {
        const uint8_t* e = p + k * kSlot;
        if (!m_exfatSet.empty()) {
            m_exfatSet.insert(m_exfatSet.end(), e, e + kSlot);
            const size_t entries = size_t(m_exfatSet[1]) + 1;
            if (m_exfatSet.size() == entries * kSlot) {
                TakeExFatSet(m_exfatSetOffset, m_exfatSet.data(), entries, found);
                m_exfatSet.clear();
            }
            continue;
        }
        const uint8_t type = e[0];
        if (type == 0x00) {
            m_exfatRoot = false;
            return;
        }
        // The allocation bitmap, the up-case table and the label are entries of the root;
        // their reserved bytes, zero, tell them from chance bytes.
        auto zero = [e](int from, int to) { return std::all_of(e + from, e + to, [](uint8_t b) { return b == 0; }); };
        if ((type == 0x81 && e[1] <= 1 && zero(2, 20)) || (type == 0x82 && zero(1, 4) && zero(8, 20)) ||
            (type == 0x83 && e[1] <= 11 && zero(24, 32)))
            m_exfatRoot = true;
        // A file entry set: the file entry and 2..18 secondary entries.
        if ((type == 0x85 || type == 0x05) && e[1] >= 2 && e[1] <= 18) {
            m_exfatSetOffset = offset + k * kSlot;
            m_exfatSet.assign(e, e + kSlot);
        }
    }
}

// Checks an exFAT file entry set and takes its file: a stream extension entry, then as
// many name entries as the name's length needs, then other secondary entries; all in use
// or all deleted; the set checksum over every byte but its own two. Deleting a file only
// clears bit 7 of each entry type (0x85/0xC0/0xC1 become 0x05/0x40/0x41) and leaves the
// checksum as it was, so a deleted set is checked with those bits set again (or, failing
// that, as it lies).
bool DirCollector::TakeExFatSet(uint64_t offset, const uint8_t* set, size_t entries, std::vector<Found>& found)
{
    const bool deleted = set[0] == 0x05;
    const uint8_t inUse = deleted ? 0 : 0x80;
    for (size_t i = 0; i < entries; ++i) {
        const uint8_t t = set[i * kSlot];
        if ((t & 0x80) != inUse || (i > 0 && (t & 0x40) == 0))
            return false;
    }
    const uint8_t* file = set;
    const uint8_t* stream = set + kSlot;
    const uint16_t attributes = Le16(file + 4);
    if ((stream[0] & 0x7F) != 0x40 || (attributes & ~0x37) != 0 || Le16(file + 6) != 0 || stream[2] != 0)
        return false;
    const size_t nameLength = stream[3];
    const size_t nameEntries = (nameLength + 14) / 15;
    if (nameLength == 0 || entries < 2 + nameEntries)
        return false;
    for (size_t i = 2; i < 2 + nameEntries; ++i)
        if ((set[i * kSlot] & 0x7F) != 0x41 || set[i * kSlot + 1] != 0)
            return false;

    auto checksum = [&](uint8_t typeBits) {
        uint16_t sum = 0;
        for (size_t i = 0; i < entries * kSlot; ++i) {
            if (i == 2 || i == 3)
                continue;
            const uint8_t b = (i % kSlot == 0) ? uint8_t(set[i] | typeBits) : set[i];
            sum = uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
        }
        return sum;
    };
    // A writer that sums the deleted set anew is taken too.
    if (checksum(0x80) != Le16(file + 2) && (!deleted || checksum(0) != Le16(file + 2)))
        return false;

    std::vector<uint16_t> units;
    for (size_t i = 0; i < nameLength; ++i) {
        const uint16_t c = Le16(set + (2 + i / 15) * kSlot + 2 + (i % 15) * 2);
        if (c == 0 || IsForbiddenLongChar(c))
            return false;
        units.push_back(c);
    }
    const uint8_t flags = stream[1];
    const uint32_t cluster = Le32(stream + 20);
    const uint64_t length = Le64(stream + 24);
    // Sizes beyond 2^48 bytes are kept by no card.
    if (length >> 48 || Le64(stream + 8) > length)
        return false;
    // Without "allocation possible" (bit 0) a file has no clusters at all.
    if (!(flags & 1) && (cluster != 0 || length != 0))
        return false;
    if (cluster == 1 || cluster > 0xFFFFFFF6)
        return false;

    Found f;
    f.Name = Utf8(units);
    f.FirstCluster = cluster;
    f.Size = length;
    f.Modified = ExFatTime(Le32(file + 12), file[21], file[23]);
    f.Created = ExFatTime(Le32(file + 8), file[20], file[22]);
    f.Flags = uint8_t(kExFat | (deleted ? kDeleted : 0) | ((attributes & 0x10) ? kDirectory : 0) |
                      ((flags & 2) ? kContiguous : 0));
    f.EntryOffset = offset;
    if (m_exfatRoot) {
        f.Folder = 0;
    } else if (const CardGeometry* volume = VolumeAt(offset)) {
        if (const uint32_t home = volume->ClusterAt(offset)) {
            f.Folder = home;
            f.Flags |= kFolderIsHome;
        }
    }
    found.push_back(std::move(f));
    return true;
}

void DirCollector::Keep(const Found& f)
{
    if (m_records.size() >= kMaxEntries || m_names.size() + f.Name.size() + 1 > UINT32_MAX ||
        f.EntryOffset > kMaxOffset || f.Size > kMaxOffset) {
        ++m_dropped;
        return;
    }
    auto at = m_records.end();
    if (!m_records.empty() && m_records.back().Offset() >= f.EntryOffset) {
        at = std::lower_bound(m_records.begin(), m_records.end(), f.EntryOffset,
                              [](const Record& r, uint64_t o) { return r.Offset() < o; });
        if (at != m_records.end() && at->Offset() == f.EntryOffset)
            return;
    }
    Record r{};
    r.OffsetLow = uint32_t(f.EntryOffset);
    r.SizeLow = uint32_t(f.Size);
    r.High = uint32_t(f.EntryOffset >> 32) | uint32_t(f.Size >> 32) << 12 | uint32_t(f.Flags) << 24;
    r.FirstCluster = f.FirstCluster;
    r.Folder = f.Folder;
    r.Modified = PackTime(f.Modified);
    r.Created = PackTime(f.Created);
    // Growth by an eighth, not double: the lists of a large card stay near their size.
    if (m_records.size() == m_records.capacity()) {
        const ptrdiff_t index = at - m_records.begin();
        m_records.reserve(m_records.size() + m_records.size() / 8 + 256);
        at = m_records.begin() + index;
    }
    if (m_names.size() + f.Name.size() + 1 > m_names.capacity())
        m_names.reserve((m_names.size() + f.Name.size() + 1) * 9 / 8 + 4096);
    r.NameOffset = uint32_t(m_names.size());
    m_names.insert(m_names.end(), f.Name.begin(), f.Name.end());
    m_names.push_back('\0');
    m_records.insert(at, r);
    m_byClusterStale = true;
}

const std::vector<uint32_t>& DirCollector::ByCluster() const
{
    if (m_byClusterStale) {
        m_byCluster.resize(m_records.size());
        for (size_t i = 0; i < m_records.size(); ++i)
            m_byCluster[i] = uint32_t(i);
        std::stable_sort(m_byCluster.begin(), m_byCluster.end(),
                         [&](uint32_t a, uint32_t b) { return m_records[a].FirstCluster < m_records[b].FirstCluster; });
        m_byClusterStale = false;
    }
    return m_byCluster;
}

// The records whose first cluster is c, as a range of the cluster index.
std::pair<std::vector<uint32_t>::const_iterator, std::vector<uint32_t>::const_iterator>
DirCollector::ClusterRange(uint32_t c) const
{
    const auto& index = ByCluster();
    return {std::lower_bound(index.begin(), index.end(), c, [&](uint32_t i, uint32_t v) { return m_records[i].FirstCluster < v; }),
            std::upper_bound(index.begin(), index.end(), c, [&](uint32_t v, uint32_t i) { return v < m_records[i].FirstCluster; })};
}

// The folder's first cluster for an entry kept with the cluster it lies in: the folder
// whose clusters hold that cluster. A FAT folder is known by its first cluster only; an
// exFAT folder without FAT chain spans its whole length. A folder still in use wins over
// a deleted one.
uint32_t DirCollector::FolderOf(const Record& r) const
{
    if (!(r.Flags() & kFolderIsHome))
        return r.Folder;
    const uint32_t home = r.Folder;
    if (const auto chained = m_chainFolder.find(home); chained != m_chainFolder.end())
        return chained->second;
    const auto& index = ByCluster();
    auto it = ClusterRange(home).second;
    uint32_t best = DirEntry::kUnknownFolder;
    bool bestDeleted = true;
    // Folders are a few clusters long: a few dozen entries back is far enough.
    for (int steps = 0; it != index.begin() && steps < 64; ++steps) {
        --it;
        const Record& d = m_records[*it];
        if (!(d.Flags() & kDirectory) || d.FirstCluster < 2)
            continue;
        uint64_t clusters = 1;
        if (d.Flags() & kContiguous) {
            const CardGeometry* volume = VolumeAt(d.Offset());
            const uint64_t size = d.Size();
            if (volume && volume->ClusterBytes)
                clusters = std::max<uint64_t>(1, (size + volume->ClusterBytes - 1) / volume->ClusterBytes);
        }
        if (home - d.FirstCluster < clusters && (best == DirEntry::kUnknownFolder || (bestDeleted && !(d.Flags() & kDeleted)))) {
            best = d.FirstCluster;
            bestDeleted = d.Flags() & kDeleted;
        }
    }
    return best;
}

void DirCollector::FollowFolderChains(const CardReadFn& read)
{
    auto next = [&](const CardGeometry& g, uint32_t c) -> uint32_t {
        uint8_t b[4] = {};
        switch (g.FsKind) {
        case CardGeometry::Kind::Fat12:
            if (!read(g.FatStart + c + c / 2, b, 2))
                return 0;
            return (c & 1) ? Le16(b) >> 4 : Le16(b) & 0xFFF;
        case CardGeometry::Kind::Fat16:
            return read(g.FatStart + 2ull * c, b, 2) ? Le16(b) : 0;
        case CardGeometry::Kind::Fat32:
            return read(g.FatStart + 4ull * c, b, 4) ? Le32(b) & 0x0FFFFFFF : 0;
        default:
            return read(g.FatStart + 4ull * c, b, 4) ? Le32(b) : 0;
        }
    };
    auto follow = [&](const CardGeometry& g, uint32_t first, uint32_t folder) {
        // A FAT folder holds at most 65536 entries (2 MiB), an exFAT one 256 MiB: the bound
        // for a chain that loops.
        const uint64_t most = (g.FsKind == CardGeometry::Kind::ExFat ? 256u << 20 : 2u << 20) / g.ClusterBytes;
        uint32_t c = first;
        for (uint64_t step = 0; step < most; ++step) {
            c = next(g, c);
            if (!g.IsDataCluster(c) || !m_chainFolder.emplace(c, folder).second)
                break;
        }
    };
    for (const CardGeometry& g : m_volumes)
        if (g.RootCluster != 0)
            follow(g, g.RootCluster, 0);
    for (const Record& r : m_records) {
        if ((r.Flags() & (kDirectory | kDeleted | kContiguous)) != kDirectory)
            continue;
        const CardGeometry* g = VolumeAt(r.Offset());
        if (g && g->IsDataCluster(r.FirstCluster))
            follow(*g, r.FirstCluster, r.FirstCluster);
    }
}

DirEntry DirCollector::Make(const Record& r) const
{
    DirEntry e;
    e.Name = NameOf(r);
    e.FirstCluster = r.FirstCluster;
    e.Size = r.Size();
    e.Modified = UnpackTime(r.Modified);
    e.Created = UnpackTime(r.Created);
    e.Deleted = r.Flags() & kDeleted;
    e.Directory = r.Flags() & kDirectory;
    e.ExFat = r.Flags() & kExFat;
    e.Contiguous = r.Flags() & kContiguous;
    e.EntryOffset = r.Offset();
    e.FolderCluster = FolderOf(r);
    return e;
}

DirEntry DirCollector::At(size_t index) const { return Make(m_records.at(index)); }

std::vector<DirEntry> DirCollector::Entries() const
{
    std::vector<DirEntry> all;
    all.reserve(m_records.size());
    for (const Record& r : m_records)
        all.push_back(Make(r));
    return all;
}

std::vector<DirEntry> DirCollector::WithCluster(uint32_t cluster) const
{
    std::vector<DirEntry> out;
    const auto [from, to] = ClusterRange(cluster);
    for (auto it = from; it != to; ++it)
        out.push_back(Make(m_records[*it]));
    return out;
}

std::string DirCollector::FolderPath(const DirEntry& entry, bool* complete) const
{
    std::vector<std::string> names;
    uint32_t folder = entry.FolderCluster;
    bool whole = true;
    // Deeper than any camera goes, and a bound for folders that name each other.
    for (int depth = 0;; ++depth) {
        if (folder == 0)
            break;
        if (folder == DirEntry::kUnknownFolder || depth == 32) {
            whole = false;
            break;
        }
        // The folder's name from its entry in its parent, one in use first.
        const Record* dir = nullptr;
        const auto [from, to] = ClusterRange(folder);
        for (auto it = from; it != to; ++it) {
            const Record& r = m_records[*it];
            if ((r.Flags() & kDirectory) && (!dir || ((dir->Flags() & kDeleted) && !(r.Flags() & kDeleted))))
                dir = &r;
        }
        if (!dir) {
            whole = false;
            break;
        }
        names.push_back(NameOf(*dir));
        // The parent from the folder's ".." when it was seen, else from where its entry lies.
        const auto parent = m_parents.find(folder);
        uint32_t up = parent != m_parents.end() ? parent->second : FolderOf(*dir);
        // ".." of a folder in a FAT32 root says 0; some writers put the root's cluster.
        for (const CardGeometry& g : m_volumes)
            if (g.FsKind == CardGeometry::Kind::Fat32 && up == g.RootCluster)
                up = 0;
        folder = up;
    }
    if (complete)
        *complete = whole;
    std::string path;
    for (size_t i = names.size(); i-- > 0;)
        path += names[i] + (i ? "/" : "");
    return path;
}

size_t DirCollector::MemoryBytes() const
{
    return sizeof(*this) + m_records.capacity() * sizeof(Record) + m_names.capacity() +
           (m_parents.size() + m_chainFolder.size()) * (sizeof(std::pair<uint32_t, uint32_t>) + 32) +
           m_byCluster.capacity() * sizeof(m_byCluster[0]) + m_lfnSlots.capacity() + m_exfatSet.capacity() +
           m_volumes.capacity() * sizeof(CardGeometry);
}

}  // namespace px
