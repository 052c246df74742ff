#include "formats/tiff.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/filetypes.h"

namespace {

// Offsets in a classic TIFF are 32-bit: nothing of the file lies past 4 GiB, and a value
// that claims so is damaged or not a TIFF value at all.
constexpr uint64_t kLimit = uint64_t{1} << 32;
// Real files have a handful of IFDs (a raw: IFD0 and its chain, a few SubIFDs, Exif, GPS,
// Interop, a maker's); 64 leaves room and bounds a hostile web of pointers.
constexpr size_t kMaxIfds = 64;
// The largest IFDs met in practice (a DNG's IFD0, maker notes) have a few hundred entries.
constexpr uint32_t kMaxEntries = 1000;
// Strip and tile arrays: a 100-megapixel picture in 16x16 tiles has about 400,000 tiles;
// a longer array is damage.
constexpr uint64_t kMaxArray = uint64_t{1} << 20;
// All the strip and tile arrays of one file together: a few times the largest real array.
// Past it the file is a construction meant to keep this walk busy, and its end is not
// trusted.
constexpr uint64_t kMaxArrayTotal = uint64_t{1} << 22;
// A SubIFD list names a few IFDs (NEF: preview and raw; DNG: the raw and previews).
constexpr uint64_t kMaxSubIfds = 16;

// Tags this walk reads.
enum Tag : uint16_t {
    kNikonPreviewIfd = 0x0011,  // in a Nikon maker note
    kCompression = 0x0103,
    kPhotometric = 0x0106,
    kMake = 0x010F,
    kStripOffsets = 0x0111,
    kStripByteCounts = 0x0117,
    kRw2RawDataOffset = 0x0118,
    kTileOffsets = 0x0144,
    kTileByteCounts = 0x0145,
    kSubIfds = 0x014A,
    kJpegOffset = 0x0201,
    kJpegLength = 0x0202,
    kExifIfd = 0x8769,
    kGpsIfd = 0x8825,
    kMakerNote = 0x927C,
    kInteropIfd = 0xA005,
    kSonyFileFormat = 0xB000,  // in a Sony maker note
    kDngVersion = 0xC612,
};

struct Order {
    bool Little = true;
    uint16_t U16(const uint8_t* p) const
    {
        return static_cast<uint16_t>(Little ? p[0] | p[1] << 8 : p[0] << 8 | p[1]);
    }
    uint32_t U32(const uint8_t* p) const
    {
        return Little ? uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24
                      : uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
    }
};

// Size of one value of a TIFF field type; 0 for a type classic TIFF does not have.
uint32_t TypeSize(uint16_t type)
{
    switch (type) {
    case 1: case 2: case 6: case 7: return 1;   // BYTE ASCII SBYTE UNDEFINED
    case 3: case 8: return 2;                   // SHORT SSHORT
    case 4: case 9: case 11: case 13: return 4; // LONG SLONG FLOAT IFD
    case 5: case 10: case 12: return 8;         // RATIONAL SRATIONAL DOUBLE
    default: return 0;
    }
}

// Size of one element of an offset or count array (SHORT, LONG or IFD); 0 otherwise.
uint32_t IntegerSize(uint16_t type)
{
    return type == 3 ? 2 : (type == 4 || type == 13) ? 4 : 0;
}

struct Entry {
    uint16_t Tag = 0;
    uint16_t Type = 0;
    uint32_t Count = 0;
    uint32_t Value = 0;             // the value field as one 32-bit number (an offset)
    std::array<uint8_t, 4> Raw{};   // the value field as stored
    uint64_t Bytes() const { return uint64_t{Count} * TypeSize(Type); }
    bool Inline() const { return Bytes() <= 4; }
};

// The first element of a SHORT or LONG entry; false for other types or no elements.
bool Scalar(const Entry& e, const Order& bo, uint32_t* out)
{
    if (e.Count == 0)
        return false;
    if (e.Type == 3)
        *out = bo.U16(e.Raw.data());
    else if (e.Type == 4 || e.Type == 13)
        *out = bo.U32(e.Raw.data());
    else
        return false;
    return true;
}

// Reads the elements of a SHORT or LONG array entry a chunk at a time, so an array of any
// claimed length costs no more memory than the chunk.
class ArrayReader {
public:
    ArrayReader(const ByteSource& src, const Order& bo, const Entry& e, uint64_t base)
        : m_src(src), m_bo(bo), m_size(IntegerSize(e.Type)), m_count(e.Count)
    {
        if (m_size == 0 || m_count == 0 || m_count > kMaxArray)
            return;
        if (e.Inline()) {
            std::memcpy(m_chunk.data(), e.Raw.data(), 4);
            m_first = 0;
            m_held = m_count;
            m_ok = true;
            return;
        }
        m_pos = base + e.Value;
        m_end = m_pos + m_count * m_size;
        m_ok = e.Value >= 8 && m_end <= kLimit;
    }
    bool Ok() const { return m_ok; }
    uint64_t Count() const { return m_count; }
    // Where the array ends in the file (0 when it lies in the entry itself).
    uint64_t End() const { return m_end; }
    bool InReach() const { return m_end <= m_src.Size(); }
    // Element i (i < Count(), InReach()).
    uint32_t At(uint64_t i)
    {
        if (i < m_first || i >= m_first + m_held) {
            m_first = i;
            m_held = std::min<uint64_t>(m_count - i, m_chunk.size() / m_size);
            if (!m_src.ReadAll(m_pos + i * m_size, m_chunk.data(), static_cast<size_t>(m_held * m_size)))
                m_held = 0;
            if (m_held == 0)
                return 0;
        }
        const uint8_t* p = m_chunk.data() + (i - m_first) * m_size;
        return m_size == 2 ? m_bo.U16(p) : m_bo.U32(p);
    }

private:
    const ByteSource& m_src;
    Order m_bo;
    uint32_t m_size;
    uint64_t m_count;
    uint64_t m_pos = 0;
    uint64_t m_end = 0;
    bool m_ok = false;
    std::array<uint8_t, 1024> m_chunk{};
    uint64_t m_first = 0;
    uint64_t m_held = 0;
};

// One IFD to read: where it is, what its offsets count from, its byte order (a maker note
// may have its own), whose tags it holds and how it was reached.
struct IfdRef {
    enum class Kind { Tiff, NikonMaker, SonyMaker };
    uint64_t Pos = 0;
    uint64_t Base = 0;
    Order Bo;
    Kind Of = Kind::Tiff;
    bool Chain = false;     // part of the IFD0 chain: its next-IFD offset is followed
    bool SubIfd = false;    // named by a SubIFD tag: if it is no IFD, it is a data block
};

class TiffWalk {
public:
    explicit TiffWalk(const ByteSource& src) : m_src(src) {}

    // Reads IFD0 at pos and everything reachable from it. False when IFD0 is broken.
    bool Run(uint64_t pos, Order bo)
    {
        IfdRef first;
        first.Pos = pos;
        first.Bo = bo;
        first.Chain = true;
        m_queue.push_back(first);
        for (size_t i = 0; i < m_queue.size(); ++i) {
            if (!ReadIfd(m_queue[i], i == 0))
                return false;
        }
        return true;
    }

    uint64_t Extent() const { return m_extent; }
    uint64_t Missing() const { return m_missing; }
    // A block whose length no tag tells comes after everything else known.
    bool OpenEnded() const { return m_openStart != 0 && m_openStart >= m_lastStart; }

    std::string Make;
    bool Dng = false;
    bool RawData = false;
    int SonyFileFormat = 0;
    bool Overloaded = false;  // more array elements than any real file has

private:
    void Cover(uint64_t start, uint64_t length)
    {
        if (length == 0)
            return;
        m_extent = std::max(m_extent, start + length);
        m_lastStart = std::max(m_lastStart, start);
    }
    void Need(uint64_t upTo) { m_missing = std::max(m_missing, upTo); }
    void Open(uint64_t start) { m_openStart = std::max(m_openStart, start); }

    void Add(const IfdRef& ref)
    {
        if (ref.Pos < 8 || m_queue.size() >= kMaxIfds)
            return;
        for (const IfdRef& known : m_queue) {
            if (known.Pos == ref.Pos)
                return;
        }
        m_queue.push_back(ref);
    }

    IfdRef Child(const IfdRef& parent, uint64_t pos, IfdRef::Kind kind = IfdRef::Kind::Tiff) const
    {
        IfdRef ref;
        ref.Pos = pos;
        ref.Base = parent.Base;
        ref.Bo = parent.Bo;
        ref.Of = kind;
        return ref;
    }

    // By value: reading it may add to the queue it came from.
    bool ReadIfd(const IfdRef ref, bool first)
    {
        if (ref.Pos + 2 > kLimit)
            return !first;
        uint8_t countBytes[2];
        if (!m_src.ReadAll(ref.Pos, countBytes, 2)) {
            Need(ref.Pos + 2);
            return true;
        }
        const uint32_t n = ref.Bo.U16(countBytes);
        if (n == 0 || n > kMaxEntries)
            return NotAnIfd(ref, first);
        const uint64_t tableLength = 2 + 12 * uint64_t{n} + 4;
        if (ref.Pos + tableLength > m_src.Size()) {
            Need(ref.Pos + tableLength);
            return true;
        }
        std::vector<uint8_t> table(tableLength);
        m_src.ReadAll(ref.Pos, table.data(), table.size());

        std::vector<Entry> entries(n);
        uint32_t unknownTypes = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* p = table.data() + 2 + 12 * i;
            Entry& e = entries[i];
            e.Tag = ref.Bo.U16(p);
            e.Type = ref.Bo.U16(p + 2);
            e.Count = ref.Bo.U32(p + 4);
            e.Value = ref.Bo.U32(p + 8);
            std::memcpy(e.Raw.data(), p + 8, 4);
            if (TypeSize(e.Type) == 0)
                ++unknownTypes;
        }
        // Data that happens to start with a small count is rarely made of valid field
        // types; a real IFD may have an odd unknown one.
        if (unknownTypes * 4 > n)
            return NotAnIfd(ref, first);

        if (ref.Of != IfdRef::Kind::SonyMaker)
            Cover(ref.Pos, tableLength);
        for (const Entry& e : entries) {
            if (TypeSize(e.Type) == 0)
                continue;
            if (!e.Inline() && ref.Of != IfdRef::Kind::SonyMaker && e.Value >= 8 &&
                ref.Base + e.Value + e.Bytes() <= kLimit)
                Cover(ref.Base + e.Value, e.Bytes());
            switch (ref.Of) {
            case IfdRef::Kind::Tiff: TiffTag(ref, e, first); break;
            case IfdRef::Kind::NikonMaker: NikonTag(ref, e); break;
            case IfdRef::Kind::SonyMaker: SonyTag(e); break;
            }
        }
        if (ref.Of == IfdRef::Kind::Tiff)
            DataBlocks(ref, entries);

        if (ref.Chain) {
            const uint32_t next = ref.Bo.U32(table.data() + 2 + 12 * n);
            if (next != 0) {
                IfdRef nextRef = Child(ref, ref.Base + next);
                nextRef.Chain = true;
                Add(nextRef);
            }
        }
        return true;
    }

    // What to make of bytes at an IFD's place that are no IFD.
    bool NotAnIfd(const IfdRef& ref, bool first)
    {
        if (first)
            return false;
        // The Sony A100 points its SubIFD tag straight at the raw data, whose length no
        // tag gives.
        if (ref.SubIfd)
            Open(ref.Pos);
        return true;
    }

    void TiffTag(const IfdRef& ref, const Entry& e, bool first)
    {
        uint32_t v = 0;
        switch (e.Tag) {
        case kMake:
            if (first)
                Make = ReadText(ref, e, 64);
            break;
        case kDngVersion:
            Dng = true;
            break;
        case kCompression:
            if (Scalar(e, ref.Bo, &v) &&
                (v == 32767 || v == 32769 || v == 32770 || v == 32867 || v == 34713 || v == 65000 || v == 65535))
                RawData = true;
            break;
        case kPhotometric:
            if (Scalar(e, ref.Bo, &v) && (v == 32803 || v == 34892))
                RawData = true;
            break;
        case kSubIfds: {
            ArrayReader list(m_src, ref.Bo, e, ref.Base);
            if (!list.Ok())
                break;
            if (!list.InReach()) {
                Need(list.End());
                break;
            }
            for (uint64_t i = 0; i < std::min(list.Count(), kMaxSubIfds); ++i) {
                IfdRef sub = Child(ref, ref.Base + list.At(i));
                sub.SubIfd = true;
                Add(sub);
            }
            break;
        }
        case kExifIfd:
        case kGpsIfd:
        case kInteropIfd:
            if (Scalar(e, ref.Bo, &v) && v != 0)
                Add(Child(ref, ref.Base + v));
            break;
        case kMakerNote:
            MakerNote(ref, e);
            break;
        default:
            break;
        }
    }

    void NikonTag(const IfdRef& ref, const Entry& e)
    {
        uint32_t v = 0;
        if (e.Tag == kNikonPreviewIfd && Scalar(e, ref.Bo, &v) && v != 0)
            Add(Child(ref, ref.Base + v));
    }

    void SonyTag(const Entry& e)
    {
        if (e.Tag == kSonyFileFormat && (e.Type == 1 || e.Type == 7) && e.Count == 4)
            SonyFileFormat = e.Raw[0];
    }

    // A maker note is a block of the file (its extent is counted with the other values).
    // Two makers' notes are read further: Nikon's, a TIFF of its own whose preview IFD
    // points at a JPEG, and Sony's, whose FileFormat tells an SR2 from an ARW.
    void MakerNote(const IfdRef& ref, const Entry& e)
    {
        if (e.Inline() || e.Bytes() < 18)
            return;
        const uint64_t start = ref.Base + e.Value;
        uint8_t head[18];
        if (!m_src.ReadAll(start, head, sizeof head))
            return;
        if (std::memcmp(head, "Nikon\0\x02", 7) == 0) {
            Order bo;
            if (std::memcmp(head + 10, "II*\0", 4) == 0)
                bo.Little = true;
            else if (std::memcmp(head + 10, "MM\0*", 4) == 0)
                bo.Little = false;
            else
                return;
            IfdRef nikon;
            nikon.Base = start + 10;
            nikon.Bo = bo;
            nikon.Pos = nikon.Base + bo.U32(head + 14);
            nikon.Of = IfdRef::Kind::NikonMaker;
            Add(nikon);
        } else if (std::memcmp(head, "SONY DSC \0\0\0", 12) == 0 || std::memcmp(head, "SONY CAM \0\0\0", 12) == 0) {
            // Its offsets count from the file's start.
            IfdRef sony = Child(ref, start + 12, IfdRef::Kind::SonyMaker);
            Add(sony);
        }
    }

    // The extents of the image data an IFD points at: strips, tiles, the JPEG thumbnail and
    // RW2's raw data.
    void DataBlocks(const IfdRef& ref, const std::vector<Entry>& entries)
    {
        const Entry* found[6] = {};
        const uint16_t tags[6] = {kStripOffsets, kStripByteCounts, kTileOffsets, kTileByteCounts, kJpegOffset, kJpegLength};
        const Entry* rawOffset = nullptr;
        for (const Entry& e : entries) {
            for (int i = 0; i < 6; ++i) {
                if (e.Tag == tags[i] && !found[i])
                    found[i] = &e;
            }
            if (e.Tag == kRw2RawDataOffset && !rawOffset)
                rawOffset = &e;
        }
        Pairs(ref, found[0], found[1]);
        Pairs(ref, found[2], found[3]);
        Pairs(ref, found[4], found[5]);
        uint32_t raw = 0;
        if (rawOffset && Scalar(*rawOffset, ref.Bo, &raw) && raw >= 8 && ref.Base + raw < kLimit) {
            // RW2 keeps StripByteCounts (0 in some models) next to RawDataOffset.
            uint32_t length = 0;
            if (found[1] && Scalar(*found[1], ref.Bo, &length) && length != 0 && ref.Base + raw + length <= kLimit)
                Cover(ref.Base + raw, length);
            else
                Open(ref.Base + raw);
        }
    }

    // Offset and length arrays side by side: each block's extent, or, without lengths, the
    // start of a block of unknown length.
    void Pairs(const IfdRef& ref, const Entry* offsets, const Entry* lengths)
    {
        if (!offsets)
            return;
        ArrayReader off(m_src, ref.Bo, *offsets, ref.Base);
        if (!off.Ok())
            return;
        ArrayReader len(m_src, ref.Bo, lengths ? *lengths : Entry{}, ref.Base);
        const bool offReach = off.InReach();
        const bool lenReach = !len.Ok() || len.InReach();
        if (!offReach)
            Need(off.End());
        if (!lenReach)
            Need(len.End());
        if (!offReach || !lenReach)
            return;
        m_arrayElements += off.Count() + (len.Ok() ? len.Count() : 0);
        if (m_arrayElements > kMaxArrayTotal) {
            Overloaded = true;
            return;
        }
        const uint64_t n = len.Ok() ? std::min(off.Count(), len.Count()) : 0;
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t o = off.At(i);
            const uint64_t l = len.At(i);
            if (o >= 8 && ref.Base + o + l <= kLimit)
                Cover(ref.Base + o, l);
        }
        if (!len.Ok()) {
            uint64_t last = 0;
            for (uint64_t i = 0; i < off.Count(); ++i)
                last = std::max<uint64_t>(last, off.At(i));
            if (last >= 8 && ref.Base + last < kLimit)
                Open(ref.Base + last);
        }
    }

    std::string ReadText(const IfdRef& ref, const Entry& e, size_t most)
    {
        if (e.Type != 2)
            return {};
        const size_t n = static_cast<size_t>(std::min<uint64_t>(e.Count, most));
        std::string text(n, '\0');
        if (e.Inline())
            std::memcpy(text.data(), e.Raw.data(), n);
        else
            text.resize(m_src.Read(ref.Base + e.Value, reinterpret_cast<uint8_t*>(text.data()), n));
        text.resize(std::strlen(text.c_str()));
        return text;
    }

    const ByteSource& m_src;
    std::vector<IfdRef> m_queue;
    uint64_t m_extent = 8;
    uint64_t m_missing = 0;
    uint64_t m_lastStart = 0;
    uint64_t m_openStart = 0;
    uint64_t m_arrayElements = 0;
};

bool MakeIs(std::string_view make, std::string_view prefix)
{
    while (!make.empty() && make.front() == ' ')
        make.remove_prefix(1);
    if (make.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(make[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

int32_t NameTiff(const TiffWalk& walk, uint16_t magic, const uint8_t* header)
{
    if (walk.Dng)
        return FileTypeId::Dng;
    if (magic == 0x4F52 || magic == 0x5352)
        return FileTypeId::Orf;
    if (magic == 0x55)
        return FileTypeId::Rw2;
    const std::string& make = walk.Make;
    if (MakeIs(make, "Canon") && std::memcmp(header + 8, "CR\x02\0", 4) == 0)
        return FileTypeId::Cr2;
    if (MakeIs(make, "SONY") && walk.SonyFileFormat != 0)
        return walk.SonyFileFormat == 1 ? FileTypeId::Sr2 : FileTypeId::Arw;
    if (!walk.RawData)
        return FileTypeId::Tif;
    if (MakeIs(make, "NIKON"))
        return FileTypeId::Nef;
    if (MakeIs(make, "SONY"))
        return FileTypeId::Arw;
    if (MakeIs(make, "PENTAX") || MakeIs(make, "RICOH") || MakeIs(make, "Asahi"))
        return FileTypeId::Pef;
    if (MakeIs(make, "KODAK") || MakeIs(make, "EASTMAN"))
        return FileTypeId::Dcr;
    if (MakeIs(make, "OLYMPUS") || MakeIs(make, "OM Digital"))
        return FileTypeId::Orf;
    return FileTypeId::Tif;
}

}  // namespace

TiffInfo ExamineTiff(const ByteSource& src)
{
    TiffInfo info;
    uint8_t header[12] = {};
    if (src.Read(0, header, sizeof header) < 8)
        return info;
    Order bo;
    if (header[0] == 'I' && header[1] == 'I')
        bo.Little = true;
    else if (header[0] == 'M' && header[1] == 'M')
        bo.Little = false;
    else
        return info;
    const uint16_t magic = bo.U16(header + 2);
    if (magic != 42 && magic != 0x4F52 && magic != 0x5352 && magic != 0x55)
        return info;
    const uint32_t ifd0 = bo.U32(header + 4);
    if (ifd0 < 8)
        return info;

    TiffWalk walk(src);
    if (!walk.Run(ifd0, bo))
        return info;
    info.Type = NameTiff(walk, magic, header);
    if (walk.Overloaded)
        info.End = FileEnd::Unknown();
    else if (walk.Missing() != 0)
        info.End = FileEnd::NeedMore(std::max(walk.Missing(), walk.Extent()));
    else if (walk.Extent() > src.Size())
        info.End = FileEnd::NeedMore(walk.Extent());
    else if (walk.OpenEnded())
        info.End = FileEnd::Unknown();
    else
        info.End = FileEnd::Complete(walk.Extent());
    return info;
}
