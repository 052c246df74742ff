#include "formats/jpegdc.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace {

// Bits looked up at once in a Huffman table. Nearly every code of a photograph's tables
// is at most this long, and most entries hold two or three short AC codes with their
// extra bits; 2^12 entries of 4 bytes keep the two AC tables in the first-level cache.
constexpr int kLookupBits = 12;
constexpr int kLookupSize = 1 << kLookupBits;

// Zero bytes after the unstuffed entropy data. An MCU holds at most 10 blocks (the
// standard's limit, checked before decoding), a block at most 64 codes of 16 bits
// with 15 further bits each: 10 * 64 * 31 bits < 2,500 bytes. Decoding an MCU that
// starts inside the data therefore never reads past this padding, so the MCU loop
// checks its position once an MCU, not once a code.
constexpr size_t kPadding = 4096;

// The unstuffed data of pictures up to this size stay allocated for the thread's next
// picture: a 12-megapixel camera JPEG has 4 to 8 MB.
constexpr size_t kKeptBuffer = size_t(16) << 20;

// The standard's limit on the blocks of one MCU.
constexpr int kMaxBlocksInMcu = 10;

// The largest eighth-size picture decoded here: 4096 x 4096 pixels, a picture of 268
// megapixels, beyond any camera. A damaged frame header may claim up to 65535 x 65535
// over a few bytes of data; such a file is left to libjpeg (and Qt's allocation limit)
// rather than costing the thumbnail worker a gigabyte.
constexpr int64_t kMaxEighthPixels = int64_t(4096) * 4096;

// An AC table's entry for the kLookupBits leading bits: the codes they hold whole, each
// with its extra bits, stepped over at once.
//   bits  0-4   bits of the first code with its extra bits (0: no code of at most
//               kLookupBits bits leads)
//   bits  5-11  coefficient index advance of the first code (64: end of block)
//   bits 12-16  bits of every code the entry holds, with their extra bits
//   bits 17-23  index advance of every code
//   bits 24-30  index advance of every code but the last: when it takes the index to 64
//               or past, the block ends inside the entry and only the first code counts.
// Codes are gathered while they fit; an end of block is always the last one.
using AcEntry = uint32_t;
constexpr AcEntry MakeAcEntry(uint32_t bits1, uint32_t advance1, uint32_t bits, uint32_t advance, uint32_t before)
{
    return bits1 | advance1 << 5 | bits << 12 | advance << 17 | before << 24;
}
// A DC table's entry for the kLookupBits leading bits: when they hold a whole code with
// its extra bits, their count (low 5 bits; 0: they do not) and the difference they code
// (the high 16 bits, signed).
using DcEntry = uint32_t;

struct HuffTable {
    bool Defined = false;
    uint8_t Symbols[256] = {};
    // Canonical decoding of the codes longer than the lookup: a code of length l lies in
    // [MinCode[l], MaxCode[l]] (MaxCode -1: none) and its symbol is at ValPtr[l] + code -
    // MinCode[l].
    int32_t MinCode[17] = {};
    int32_t MaxCode[17] = {};
    int32_t ValPtr[17] = {};
    std::array<AcEntry, kLookupSize> Ac {};
    std::array<DcEntry, kLookupSize> Dc {};
};

// The index advance of an AC symbol: run and size in its nibbles. Size 0 is an end of
// block unless the run is 15 (sixteen zeros); libjpeg takes every other size-0 symbol as
// an end of block too.
int AcAdvance(int symbol)
{
    if ((symbol & 15) != 0)
        return (symbol >> 4) + 1;
    return symbol == 0xF0 ? 16 : 64;
}

// Builds the table from the DHT counts and symbols; false when they do not make a prefix
// code without an all-ones code, or a DC symbol is above 15 (libjpeg refuses such a
// table too).
bool BuildTable(HuffTable& t, const uint8_t counts[16], const uint8_t* symbols, int total, bool isDc)
{
    t = HuffTable {};
    std::memcpy(t.Symbols, symbols, size_t(total));
    int32_t code = 0;
    int k = 0;
    struct Code {
        int Length;
        int32_t Value;
        int Symbol;
    };
    Code codes[256];
    for (int l = 1; l <= 16; ++l) {
        t.ValPtr[l] = k;
        t.MinCode[l] = code;
        for (int i = 0; i < counts[l - 1]; ++i) {
            if (isDc && symbols[k] > 15)
                return false;
            codes[k] = {l, code, symbols[k]};
            ++code;
            ++k;
        }
        t.MaxCode[l] = counts[l - 1] ? code - 1 : -1;
        // No code may be all ones (jdhuff.c's rule).
        if (code >= (int32_t(1) << l))
            return false;
        code <<= 1;
    }

    // One code per entry first: every entry whose leading bits are a code of at most
    // kLookupBits.
    for (int i = 0; i < total; ++i) {
        const Code& c = codes[i];
        if (c.Length > kLookupBits)
            continue;
        const int shift = kLookupBits - c.Length;
        const int first = c.Value << shift;
        const int last = (c.Value + 1) << shift;
        const int size = c.Symbol & 15;
        for (int e = first; e < last; ++e) {
            if (isDc) {
                if (c.Length + size > kLookupBits)
                    continue;
                const int bits = (e >> (shift - size)) & ((1 << size) - 1);
                const int diff = size == 0 ? 0 : bits < (1 << (size - 1)) ? bits - (1 << size) + 1 : bits;
                t.Dc[size_t(e)] = DcEntry(c.Length + size) | uint32_t(uint16_t(diff)) << 16;
            } else {
                const auto bits = uint32_t(c.Length + size);
                const auto advance = uint32_t(AcAdvance(c.Symbol));
                t.Ac[size_t(e)] = MakeAcEntry(bits, advance, bits, advance, 0);
            }
        }
    }
    if (isDc)
        return true;
    // Then the groups: while the codes so far with their extra bits leave room in the
    // lookup bits for one more whole code with its extra bits, and no end of block came,
    // it joins the entry. The advances stay below 128 to fit their 7 bits.
    std::array<AcEntry, kLookupSize> single = t.Ac;
    for (int e = 0; e < kLookupSize; ++e) {
        const AcEntry one = single[size_t(e)];
        const uint32_t bits1 = one & 31;
        const uint32_t advance1 = (one >> 5) & 127;
        if (bits1 == 0)
            continue;
        uint32_t bits = bits1;
        uint32_t advance = advance1;
        uint32_t before = 0;
        while (bits < uint32_t(kLookupBits) && advance < 64) {
            const AcEntry next = single[size_t((e << bits) & (kLookupSize - 1))];
            const uint32_t nextBits = next & 31;
            const uint32_t nextAdvance = (next >> 5) & 127;
            if (nextBits == 0 || bits + nextBits > uint32_t(kLookupBits) || advance + nextAdvance > 127)
                break;
            before = advance;
            bits += nextBits;
            advance += nextAdvance;
        }
        t.Ac[size_t(e)] = MakeAcEntry(bits1, advance1, bits, advance, before);
    }
    return true;
}

// The 57 or more bits from bit pos on, at the top of the word.
inline uint64_t Peek(const uint8_t* data, uint64_t pos)
{
    uint64_t word;
    std::memcpy(&word, data + (pos >> 3), 8);
    return __builtin_bswap64(word) << (pos & 7);
}

// The code at the top of word, the long way: its symbol, and its length in length; -1
// when the bits are no code of the table.
int DecodeSlow(const HuffTable& t, uint64_t word, int& length)
{
    for (int l = 1; l <= 16; ++l) {
        const auto code = int32_t(word >> (64 - l));
        if (code <= t.MaxCode[l]) {
            length = l;
            return t.Symbols[t.ValPtr[l] + code - t.MinCode[l]];
        }
    }
    return -1;
}

struct Component {
    int Id = 0;
    int H = 1;
    int V = 1;
    int Quant = 0;
    // Set by the scan header.
    int DcTable = -1;
    int AcTable = -1;
    // The samples of the eighth-size picture, one a block, and its width in blocks.
    int BlocksWide = 0;
    int BlocksHigh = 0;
    std::vector<uint8_t> Plane;
};

// A block of the MCU: its component, its place in the MCU and what it is decoded with.
struct Slot {
    int Comp;
    int Dx;
    int Dy;
    const HuffTable* Dc;
    const HuffTable* Ac;
    int QuantDc;
};

// What one restart interval (or the scan without them) is decoded with.
struct ScanContext {
    const uint8_t* Data;  // the unstuffed entropy-coded data, padded (kPadding)
    Component* Comps;
    const Slot* Slots;  // the MCU's blocks in order
    int SlotCount;
    int McusWide;
};

// Decodes the MCUs [first, last) of one interval whose data are the bits [start, end):
// the DC of every block into its component's plane, the AC codes stepped over. False
// when a code is not in its table or the data end inside an MCU; the MCUs read until
// then are kept, the one cut short is not.
bool DecodeInterval(const ScanContext& scan, uint64_t start, uint64_t end, int64_t first, int64_t last)
{
    // The bits are read from a word kept in a register, the bits from base + used on at
    // its top. A load guarantees 57 bits; it is repeated when fewer than 27 are left, as
    // many as a table entry may step over (a 12-bit code with 15 extra bits). The long
    // way reloads first, for a 16-bit code with 15 extra bits.
    constexpr unsigned kReload = 57 - 27;
    uint64_t base = start;
    uint64_t word = Peek(scan.Data, base);
    unsigned used = 0;
    auto reload = [&] {
        base += used;
        word = Peek(scan.Data, base);
        used = 0;
    };
    int pred[3] = {};
    for (int64_t m = first; m < last; ++m) {
        uint8_t samples[kMaxBlocksInMcu];
        int next[3] = {pred[0], pred[1], pred[2]};
        for (int s = 0; s < scan.SlotCount; ++s) {
            const Slot& slot = scan.Slots[s];
            if (used > kReload)
                reload();
            // The DC difference.
            int diff;
            unsigned bits;
            const DcEntry entry = slot.Dc->Dc[size_t(word >> (64 - kLookupBits))];
            if (entry != 0) [[likely]] {
                bits = entry & 31;
                diff = int16_t(entry >> 16);
            } else {
                reload();
                int length;
                const int size = DecodeSlow(*slot.Dc, word, length);
                if (size < 0)
                    return false;
                diff = 0;
                if (size != 0) {
                    const auto extra = int(word << length >> (64 - size));
                    diff = extra < (1 << (size - 1)) ? extra - (1 << size) + 1 : extra;
                }
                bits = unsigned(length + size);
            }
            word <<= bits;
            used += bits;
            // libjpeg keeps the coefficient in 16 bits; its 1x1 inverse transform is
            // the DC through the quantiser, divided by 8 and rounded, plus 128.
            int& p = next[slot.Comp];
            p = int16_t(p + diff);
            samples[s] = uint8_t(std::clamp(((p * slot.QuantDc + 4) >> 3) + 128, 0, 255));

            // The AC codes, stepped over.
            const HuffTable& ac = *slot.Ac;
            int k = 1;
            do {
                if (used > kReload)
                    reload();
                const AcEntry e = ac.Ac[size_t(word >> (64 - kLookupBits))];
                if ((e & 31) != 0) [[likely]] {
                    if (k + int(e >> 24) < 64) {
                        bits = (e >> 12) & 31;
                        k += int((e >> 17) & 127);
                    } else {
                        bits = e & 31;
                        k += int((e >> 5) & 127);
                    }
                } else {
                    reload();
                    int length;
                    const int symbol = DecodeSlow(ac, word, length);
                    if (symbol < 0)
                        return false;
                    bits = unsigned(length + (symbol & 15));
                    k += AcAdvance(symbol);
                }
                word <<= bits;
                used += bits;
            } while (k < 64);
        }
        if (base + used > end)
            return false;
        std::copy(next, next + 3, pred);
        const int mx = int(m % scan.McusWide);
        const int my = int(m / scan.McusWide);
        for (int s = 0; s < scan.SlotCount; ++s) {
            const Slot& slot = scan.Slots[s];
            Component& c = scan.Comps[slot.Comp];
            c.Plane[size_t(my * c.V + slot.Dy) * size_t(c.BlocksWide) + size_t(mx * c.H + slot.Dx)] = samples[s];
        }
    }
    return true;
}

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// libjpeg's YCbCr to RGB conversion (jdcolor.c), in its fixed point, so that the
// picture matches libjpeg's own eighth-size decode.
struct ColourTables {
    int CrR[256];
    int CbB[256];
    int32_t CrG[256];
    int32_t CbG[256];
    ColourTables()
    {
        constexpr int kScale = 16;
        constexpr int32_t kHalf = int32_t(1) << (kScale - 1);
        auto fix = [](double x) { return int32_t(x * (1 << kScale) + 0.5); };
        for (int i = 0; i < 256; ++i) {
            const int x = i - 128;
            CrR[i] = int((fix(1.40200) * x + kHalf) >> kScale);
            CbB[i] = int((fix(1.77200) * x + kHalf) >> kScale);
            CrG[i] = -fix(0.71414) * x;
            CbG[i] = -fix(0.34414) * x + kHalf;
        }
    }
};

const ColourTables& Colours()
{
    static const ColourTables tables;
    return tables;
}

// Doubles a component's plane both ways: every sample from its nearest neighbours,
// weighted by distance (9:3:3:1), the edges repeated.
void InterpolateHalf(Component& c)
{
    const int wide = c.BlocksWide;
    const int high = c.BlocksHigh;
    std::vector<uint8_t> doubled(size_t(wide) * 2 * size_t(high) * 2);
    uint8_t* out = doubled.data();
    for (int y = 0; y < 2 * high; ++y) {
        const int near = y / 2;
        const int far = y & 1 ? std::min(near + 1, high - 1) : std::max(near - 1, 0);
        const uint8_t* a = c.Plane.data() + size_t(near) * size_t(wide);
        const uint8_t* b = c.Plane.data() + size_t(far) * size_t(wide);
        for (int x = 0; x < 2 * wide; ++x) {
            const int nx = x / 2;
            const int fx = x & 1 ? std::min(nx + 1, wide - 1) : std::max(nx - 1, 0);
            *out++ = uint8_t((9 * a[nx] + 3 * a[fx] + 3 * b[nx] + b[fx] + 8) >> 4);
        }
    }
    c.Plane = std::move(doubled);
    c.BlocksWide *= 2;
    c.BlocksHigh *= 2;
    c.H *= 2;
    c.V *= 2;
}

inline uint8_t Clamp255(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

}  // namespace

JpegDcResult DecodeJpegDc(const uint8_t* data, size_t size, JpegDcPicture& picture)
{
    picture = JpegDcPicture {};
    if (!data || size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return JpegDcResult::NotHandled;

    auto tables = std::make_unique<HuffTable[]>(8);  // DC 0-3, AC 0-3
    HuffTable* dcTables = tables.get();
    HuffTable* acTables = tables.get() + 4;
    int quant[4] = {};
    bool quantDefined[4] = {};
    std::vector<Component> comps;
    int width = 0;
    int height = 0;
    int restartInterval = 0;
    bool sawJfif = false;
    int adobeTransform = -1;
    std::vector<int> scanOrder;  // the scan's components, as indexes into comps

    // ---- headers up to the first scan --------------------------------------------------
    size_t pos = 2;
    for (;;) {
        if (pos + 2 > size || data[pos] != 0xFF)
            return JpegDcResult::NotHandled;
        while (pos + 1 < size && data[pos + 1] == 0xFF)  // fill bytes
            ++pos;
        if (pos + 2 > size)
            return JpegDcResult::NotHandled;
        const uint8_t marker = data[pos + 1];
        pos += 2;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue;
        if (marker == 0xD8 || marker == 0xD9 || marker == 0x00)
            return JpegDcResult::NotHandled;
        if (pos + 2 > size)
            return JpegDcResult::NotHandled;
        const size_t length = Get16(data + pos);
        if (length < 2 || pos + length > size)
            return JpegDcResult::NotHandled;
        const uint8_t* body = data + pos + 2;
        const size_t n = length - 2;
        pos += length;

        if (marker == 0xDB) {  // DQT
            size_t at = 0;
            while (at < n) {
                const int precision = body[at] >> 4;
                const int id = body[at] & 15;
                if (id > 3 || precision > 1)
                    return JpegDcResult::NotHandled;
                const size_t bytes = precision ? 128 : 64;
                if (at + 1 + bytes > n)
                    return JpegDcResult::NotHandled;
                // Only the first value (the DC's quantiser) is needed.
                quant[id] = precision ? Get16(body + at + 1) : body[at + 1];
                quantDefined[id] = true;
                at += 1 + bytes;
            }
        } else if (marker == 0xC4) {  // DHT
            size_t at = 0;
            while (at < n) {
                if (at + 17 > n)
                    return JpegDcResult::NotHandled;
                const int tableClass = body[at] >> 4;
                const int id = body[at] & 15;
                if (tableClass > 1 || id > 3)
                    return JpegDcResult::NotHandled;
                int total = 0;
                for (int i = 0; i < 16; ++i)
                    total += body[at + 1 + i];
                if (total > 256 || at + 17 + size_t(total) > n)
                    return JpegDcResult::NotHandled;
                HuffTable& table = tableClass == 0 ? dcTables[id] : acTables[id];
                if (!BuildTable(table, body + at + 1, body + at + 17, total, tableClass == 0))
                    return JpegDcResult::NotHandled;
                table.Defined = true;
                at += 17 + size_t(total);
            }
        } else if (marker == 0xC0 || marker == 0xC1) {  // baseline, extended Huffman
            if (!comps.empty() || n < 6 || body[0] != 8)
                return JpegDcResult::NotHandled;
            height = Get16(body + 1);
            width = Get16(body + 3);
            const int count = body[5];
            // Height 0 defers the height to a DNL marker after the scan, which nobody writes.
            if (width == 0 || height == 0 || (count != 1 && count != 3) || n < 6 + 3 * size_t(count))
                return JpegDcResult::NotHandled;
            for (int i = 0; i < count; ++i) {
                Component c;
                c.Id = body[6 + 3 * i];
                c.H = body[7 + 3 * i] >> 4;
                c.V = body[7 + 3 * i] & 15;
                c.Quant = body[8 + 3 * i];
                if (c.H < 1 || c.H > 4 || c.V < 1 || c.V > 4 || c.Quant > 3)
                    return JpegDcResult::NotHandled;
                comps.push_back(std::move(c));
            }
        } else if ((marker >= 0xC2 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8)) {
            // Progressive, lossless, hierarchical, arithmetic coding (and its DAC tables).
            return JpegDcResult::NotHandled;
        } else if (marker == 0xDD) {  // DRI
            if (n < 2)
                return JpegDcResult::NotHandled;
            restartInterval = Get16(body);
        } else if (marker == 0xE0) {
            if (n >= 5 && std::memcmp(body, "JFIF", 5) == 0)
                sawJfif = true;
        } else if (marker == 0xEE) {
            if (n >= 12 && std::memcmp(body, "Adobe", 5) == 0)
                adobeTransform = body[11];
        } else if (marker == 0xDA) {  // SOS
            if (comps.empty() || n < 1)
                return JpegDcResult::NotHandled;
            const int count = body[0];
            if (n < 1 + 2 * size_t(count) + 3)
                return JpegDcResult::NotHandled;
            // Components in scans of their own (allowed in baseline, written by nobody
            // who matters) would need every scan: left to libjpeg.
            if (count != int(comps.size()))
                return JpegDcResult::NotHandled;
            for (int i = 0; i < count; ++i) {
                const int id = body[1 + 2 * i];
                const int dc = body[2 + 2 * i] >> 4;
                const int ac = body[2 + 2 * i] & 15;
                int index = -1;
                for (size_t c = 0; c < comps.size(); ++c)
                    if (comps[c].Id == id)
                        index = int(c);
                if (index < 0 || std::find(scanOrder.begin(), scanOrder.end(), index) != scanOrder.end())
                    return JpegDcResult::NotHandled;
                if (dc > 3 || ac > 3 || !dcTables[dc].Defined || !acTables[ac].Defined)
                    return JpegDcResult::NotHandled;
                comps[size_t(index)].DcTable = dc;
                comps[size_t(index)].AcTable = ac;
                scanOrder.push_back(index);
            }
            const uint8_t* tail = body + 1 + 2 * count;
            if (tail[0] != 0 || tail[1] != 63 || tail[2] != 0)
                return JpegDcResult::NotHandled;
            break;
        }
    }
    for (const Component& c : comps)
        if (!quantDefined[c.Quant])
            return JpegDcResult::NotHandled;
    if (comps.size() == 3) {
        // libjpeg's guess of the colour space (jdapimin.c): JFIF means YCbCr; else an
        // Adobe marker's transform (0 RGB, 1 YCbCr); else the component ids R, G, B mean
        // RGB. Only YCbCr is read here.
        bool ycc = true;
        if (sawJfif)
            ycc = true;
        else if (adobeTransform >= 0)
            ycc = adobeTransform == 1;
        else if (comps[0].Id == 'R' && comps[1].Id == 'G' && comps[2].Id == 'B')
            ycc = false;
        if (!ycc)
            return JpegDcResult::NotHandled;
    }

    // ---- the block grid ----------------------------------------------------------------
    int hMax = 1;
    int vMax = 1;
    for (const Component& c : comps) {
        hMax = std::max(hMax, c.H);
        vMax = std::max(vMax, c.V);
    }
    int mcusWide;
    int mcusHigh;
    if (comps.size() == 1) {
        // A scan of one component has an MCU of one block, whatever its sampling factors.
        Component& c = comps[0];
        c.H = c.V = hMax = vMax = 1;
        mcusWide = (width + 7) / 8;
        mcusHigh = (height + 7) / 8;
    } else {
        int blocks = 0;
        for (const Component& c : comps)
            blocks += c.H * c.V;
        if (blocks > kMaxBlocksInMcu)
            return JpegDcResult::NotHandled;
        mcusWide = (width + 8 * hMax - 1) / (8 * hMax);
        mcusHigh = (height + 8 * vMax - 1) / (8 * vMax);
    }
    if (int64_t((width + 7) / 8) * ((height + 7) / 8) > kMaxEighthPixels)
        return JpegDcResult::NotHandled;
    for (Component& c : comps) {
        c.BlocksWide = mcusWide * c.H;
        c.BlocksHigh = mcusHigh * c.V;
        // Mid grey (a DC of 0) where a block is not read.
        c.Plane.assign(size_t(c.BlocksWide) * size_t(c.BlocksHigh), 128);
    }

    // ---- the entropy-coded data, unstuffed, cut at its restart markers ------------------
    const uint8_t* in = data + pos;
    const uint8_t* const end = data + size;
    if (in >= end)
        return JpegDcResult::NotHandled;
    const int64_t totalMcus = int64_t(mcusWide) * mcusHigh;
    const int64_t perInterval = restartInterval > 0 ? restartInterval : totalMcus;
    const int64_t intervalCount = (totalMcus + perInterval - 1) / perInterval;
    const size_t scanBytes = size_t(end - in);
    // Kept by the thread for the next picture, saving the page faults of a fresh buffer
    // of a few megabytes each time; an unusually large one is let go afterwards.
    thread_local std::vector<uint8_t> cleanBuffer;
    struct Shrink {
        ~Shrink()
        {
            if (cleanBuffer.capacity() > kKeptBuffer)
                std::vector<uint8_t>().swap(cleanBuffer);
        }
    } shrink;
    if (cleanBuffer.size() < scanBytes + kPadding)
        cleanBuffer.resize(scanBytes + kPadding);
    uint8_t* const clean = cleanBuffer.data();
    size_t cleanSize = 0;
    std::vector<size_t> intervals {0};  // where each restart interval starts in clean
    while (in < end) {
        const auto* ff = static_cast<const uint8_t*>(std::memchr(in, 0xFF, size_t(end - in)));
        const uint8_t* stop = ff ? ff : end;
        std::memcpy(clean + cleanSize, in, size_t(stop - in));
        cleanSize += size_t(stop - in);
        if (!ff)
            break;
        const uint8_t* next = ff + 1;
        while (next < end && *next == 0xFF)
            ++next;
        if (next >= end)
            break;
        if (*next == 0x00) {
            clean[cleanSize++] = 0xFF;
        } else if (*next >= 0xD0 && *next <= 0xD7 && restartInterval > 0) {
            // Restart markers past the last interval (damaged data) end the scan.
            if (int64_t(intervals.size()) == intervalCount)
                break;
            intervals.push_back(cleanSize);
        } else {
            break;  // EOI or any other marker ends the scan
        }
        in = next + 1;
    }
    std::memset(clean + cleanSize, 0, kPadding);

    // ---- the MCUs ------------------------------------------------------------------------
    Slot slots[kMaxBlocksInMcu];
    int slotCount = 0;
    for (int index : scanOrder)
        for (int y = 0; y < comps[size_t(index)].V; ++y)
            for (int x = 0; x < comps[size_t(index)].H; ++x)
                slots[slotCount++] = {index, x, y, &dcTables[comps[size_t(index)].DcTable],
                                      &acTables[comps[size_t(index)].AcTable], quant[comps[size_t(index)].Quant]};
    const ScanContext scan {clean, comps.data(), slots, slotCount, mcusWide};
    bool complete = true;
    for (size_t interval = 0; int64_t(interval) < intervalCount; ++interval) {
        if (interval >= intervals.size()) {
            complete = false;  // the data end before this interval
            break;
        }
        const size_t endByte = interval + 1 < intervals.size() ? intervals[interval + 1] : cleanSize;
        const int64_t first = int64_t(interval) * perInterval;
        // A damaged interval leaves the rest of its blocks grey, as libjpeg does; the next
        // restart marker brings the decoding back in step.
        if (!DecodeInterval(scan, uint64_t(intervals[interval]) * 8, uint64_t(endByte) * 8, first,
                            std::min(totalMcus, first + perInterval)))
            complete = false;
    }

    // ---- the picture -----------------------------------------------------------------
    picture.FullWidth = width;
    picture.FullHeight = height;
    picture.Width = (width + 7) / 8;
    picture.Height = (height + 7) / 8;
    picture.Rgb.resize(size_t(picture.Width) * size_t(picture.Height) * 3);
    uint8_t* out = picture.Rgb.data();
    if (comps.size() == 1) {
        const Component& c = comps[0];
        for (int y = 0; y < picture.Height; ++y) {
            const uint8_t* row = c.Plane.data() + size_t(y) * size_t(c.BlocksWide);
            for (int x = 0; x < picture.Width; ++x, out += 3)
                out[0] = out[1] = out[2] = row[x];
        }
    } else {
        // Chroma at half the luma's resolution both ways (4:2:0) is interpolated, as
        // libjpeg's 1/8 decode gives it a 2 x 2 inverse transform of its own; any other
        // coarser chroma is repeated over the pixels it covers, as libjpeg does.
        for (size_t i = 1; i < comps.size(); ++i)
            if (hMax == 2 * comps[i].H && vMax == 2 * comps[i].V)
                InterpolateHalf(comps[i]);
        const ColourTables& t = Colours();
        const Component& cy = comps[0];
        const Component& cb = comps[1];
        const Component& cr = comps[2];
        std::vector<int> xy(size_t(picture.Width)), xb(size_t(picture.Width)), xr(size_t(picture.Width));
        for (int x = 0; x < picture.Width; ++x) {
            xy[size_t(x)] = x * cy.H / hMax;
            xb[size_t(x)] = x * cb.H / hMax;
            xr[size_t(x)] = x * cr.H / hMax;
        }
        for (int y = 0; y < picture.Height; ++y) {
            const uint8_t* ry = cy.Plane.data() + size_t(y * cy.V / vMax) * size_t(cy.BlocksWide);
            const uint8_t* rb = cb.Plane.data() + size_t(y * cb.V / vMax) * size_t(cb.BlocksWide);
            const uint8_t* rr = cr.Plane.data() + size_t(y * cr.V / vMax) * size_t(cr.BlocksWide);
            for (int x = 0; x < picture.Width; ++x, out += 3) {
                const int Y = ry[xy[size_t(x)]];
                const int b = rb[xb[size_t(x)]];
                const int r = rr[xr[size_t(x)]];
                out[0] = Clamp255(Y + t.CrR[r]);
                out[1] = Clamp255(Y + int((t.CbG[b] + t.CrG[r]) >> 16));
                out[2] = Clamp255(Y + t.CbB[b]);
            }
        }
    }
    return complete ? JpegDcResult::Decoded : JpegDcResult::Partial;
}
