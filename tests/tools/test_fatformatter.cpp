// The FAT formatter: parameters of the card sizes that matter, the image byte for byte,
// the written layout judged by fsck.fat and mtools, write faults, the boot programs run
// on a small 8086 interpreter, and the time a 32 GB card takes.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <thread>

#include "device/cdrivescsi.h"
#include "platform/volumetable.h"
#include "support/fixtures.h"
#include "tools/bootcode.h"
#include "tools/fatformatter.h"

using px::test::Quote;
using px::test::Run;

namespace {

uint32_t Get16(const uint8_t* p) { return p[0] | p[1] << 8; }
uint32_t Get32(const uint8_t* p) { return Get16(p) | Get16(p + 2) << 16; }

const CFatTime kFixedTime{2024, 5, 17, 14, 35, 48, 250};
CFatEnvironment FixedEnvironment(std::optional<uint32_t> serial = 0x1234ABCD)
{
    CFatEnvironment env;
    env.Clock = [] { return kFixedTime; };
    env.Serial = serial;
    return env;
}

// A drive that keeps what is written in memory and remembers every request; it can
// move fewer bytes than asked or fail a request.
class MemoryDrive : public CDrive {
public:
    struct Write {
        uint64_t first;
        uint16_t count;
        const uint8_t* buffer;
    };
    bool ReadBlocks(uint8_t*, uint32_t& done, uint64_t, uint16_t) override { return (done = 0, false); }
    bool Inquiry(CInquiryData&) override { return false; }
    bool IdentifyDevice(CIdentifyData&) override { return false; }
    std::string BusName() const override { return "Memory"; }
    bool WriteBlocks(const uint8_t* buffer, uint32_t& done, uint64_t first, uint16_t count) override
    {
        done = 0;
        m_writes.push_back({first, count, buffer});
        if (m_failAt == static_cast<int>(m_writes.size()) - 1) {
            SetError("The device is gone", false);
            return false;
        }
        uint32_t bytes = count * 512u;
        if (m_shortAt == static_cast<int>(m_writes.size()) - 1)
            bytes -= 512;
        if (m_disk.size() < (size_t(first) + count) * 512)
            m_disk.resize((size_t(first) + count) * 512);
        std::memcpy(m_disk.data() + size_t(first) * 512, buffer, bytes);
        done = bytes;
        return true;
    }
    const uint8_t* Block(uint32_t n) const { return m_disk.data() + size_t(n) * 512; }

    std::vector<Write> m_writes;
    std::vector<uint8_t> m_disk;
    int m_failAt = -1, m_shortAt = -1;
};

CFatParameters Params(uint32_t total, uint32_t spt, uint32_t heads, const std::string& label = "PX3")
{
    CFatParameters p;
    p.TotalSectors = total;
    p.BytesPerSector = 512;
    p.SectorsPerTrack = spt;
    p.Heads = heads;
    p.VolumeLabel = label;
    return p;
}

// The layout read back from a written boot sector.
struct Layout {
    uint32_t bps, spc, reserved, fats, rootEntries, total16, media, spf16, spt, heads, hidden, total32, spf32,
        rootCluster, info, backup;
    uint32_t Total() const { return total16 ? total16 : total32; }
    uint32_t Spf() const { return spf16 ? spf16 : spf32; }
};
Layout ReadLayout(const uint8_t* s)
{
    return {Get16(s + 11), s[13],          Get16(s + 14), s[16],         Get16(s + 17), Get16(s + 19),
            s[21],         Get16(s + 22),  Get16(s + 24), Get16(s + 26), Get32(s + 28), Get32(s + 32),
            Get32(s + 36), Get32(s + 44),  Get16(s + 48), Get16(s + 50)};
}

// ---------------------------------------------------------------------------------
// A small 8086 interpreter: the instructions that boot programs use, with the BIOS
// services given by the test.
class Cpu {
public:
    enum { AX, CX, DX, BX, SP, BP, SI, DI };
    enum { ES, CS, SS, DS };
    std::vector<uint8_t> mem = std::vector<uint8_t>(1 << 20, 0);
    uint16_t r[8] = {};
    uint16_t sr[4] = {};
    uint16_t ip = 0;
    bool zf = false, cf = false, sf = false, df = false;
    // An interrupt: return false to stop the run.
    std::function<bool(Cpu&, uint8_t)> onInt;
    std::string stop;

    uint8_t& At(uint16_t seg, uint16_t off) { return mem[((uint32_t(seg) << 4) + off) & 0xFFFFF]; }
    uint32_t Linear() const { return ((uint32_t(sr[CS]) << 4) + ip) & 0xFFFFF; }
    uint8_t Reg8(int i) const { return i < 4 ? r[i] & 0xFF : r[i - 4] >> 8; }
    void SetReg8(int i, uint8_t v)
    {
        if (i < 4)
            r[i] = (r[i] & 0xFF00) | v;
        else
            r[i - 4] = (r[i - 4] & 0x00FF) | uint16_t(v << 8);
    }

    // Runs until a stop (hlt, an interrupt handler's stop, an unknown instruction, the
    // breakpoint, or the step limit).
    void Run(std::optional<uint32_t> breakpoint, int limit = 200000)
    {
        stop.clear();
        for (int n = 0; n < limit; ++n) {
            if (breakpoint && n > 0 && Linear() == *breakpoint) {
                stop = "break";
                return;
            }
            if (!Step())
                return;
        }
        stop = "limit";
    }

private:
    struct Loc {
        bool reg;
        int index;
        uint16_t seg, off;
    };
    uint8_t Fetch8() { return At(sr[CS], ip++); }
    uint16_t Fetch16()
    {
        uint16_t v = Fetch8();
        return v | uint16_t(Fetch8() << 8);
    }
    Loc ModRm(uint8_t modrm, int& reg)
    {
        const int mod = modrm >> 6, rm = modrm & 7;
        reg = (modrm >> 3) & 7;
        if (mod == 3)
            return {true, rm, 0, 0};
        static const int base[8][2] = {{BX, SI}, {BX, DI}, {BP, SI}, {BP, DI}, {SI, -1}, {DI, -1}, {BP, -1}, {BX, -1}};
        uint16_t off = 0;
        bool bp = false;
        if (mod == 0 && rm == 6) {
            off = Fetch16();
        } else {
            off = r[base[rm][0]] + (base[rm][1] >= 0 ? r[base[rm][1]] : 0);
            bp = base[rm][0] == BP;
        }
        if (mod == 1)
            off += uint16_t(int8_t(Fetch8()));
        else if (mod == 2)
            off += Fetch16();
        return {false, 0, sr[bp ? SS : DS], off};
    }
    uint8_t Read8(const Loc& l) { return l.reg ? Reg8(l.index) : At(l.seg, l.off); }
    uint16_t Read16(const Loc& l) { return l.reg ? r[l.index] : uint16_t(At(l.seg, l.off) | At(l.seg, l.off + 1) << 8); }
    void Write8(const Loc& l, uint8_t v) { l.reg ? SetReg8(l.index, v) : void(At(l.seg, l.off) = v); }
    void Write16(const Loc& l, uint16_t v)
    {
        if (l.reg) {
            r[l.index] = v;
        } else {
            At(l.seg, l.off) = v & 0xFF;
            At(l.seg, l.off + 1) = v >> 8;
        }
    }
    void Push(uint16_t v)
    {
        r[SP] -= 2;
        At(sr[SS], r[SP]) = v & 0xFF;
        At(sr[SS], r[SP] + 1) = v >> 8;
    }
    uint16_t Pop()
    {
        const uint16_t v = At(sr[SS], r[SP]) | At(sr[SS], r[SP] + 1) << 8;
        r[SP] += 2;
        return v;
    }
    // add 0, or 1, and 4, sub 5, xor 6, cmp 7; width 8 or 16.
    uint32_t Alu(int op, uint32_t a, uint32_t b, int bits)
    {
        const uint32_t mask = bits == 8 ? 0xFF : 0xFFFF;
        uint32_t v = 0;
        switch (op) {
        case 0: v = a + b; cf = v > mask; break;
        case 1: v = a | b; cf = false; break;
        case 4: v = a & b; cf = false; break;
        case 5: case 7: v = a - b; cf = a < b; break;
        case 6: v = a ^ b; cf = false; break;
        default: stop = "alu op " + std::to_string(op); break;
        }
        v &= mask;
        zf = v == 0;
        sf = (v >> (bits - 1)) & 1;
        return op == 7 ? a : v;
    }
    bool Step()
    {
        bool rep = false;
        uint8_t op = Fetch8();
        if (op == 0xF3) {
            rep = true;
            op = Fetch8();
        }
        int reg = 0;
        switch (op) {
        case 0x08: case 0x30: case 0x84: {   // or/xor/test r/m8, r8
            const Loc l = ModRm(Fetch8(), reg);
            const int alu = op == 0x08 ? 1 : op == 0x30 ? 6 : 4;
            const uint8_t v = uint8_t(Alu(alu, Read8(l), Reg8(reg), 8));
            if (op != 0x84)
                Write8(l, v);
            break;
        }
        case 0x31: {   // xor r/m16, r16
            const Loc l = ModRm(Fetch8(), reg);
            Write16(l, uint16_t(Alu(6, Read16(l), r[reg], 16)));
            break;
        }
        case 0x3C: Alu(7, Reg8(0), Fetch8(), 8); break;
        case 0x80: case 0x81: case 0x83: {
            const Loc l = ModRm(Fetch8(), reg);
            if (op == 0x80) {
                const uint8_t imm = Fetch8();
                const uint8_t v = uint8_t(Alu(reg, Read8(l), imm, 8));
                if (reg != 7)
                    Write8(l, v);
            } else {
                const uint16_t imm = op == 0x81 ? Fetch16() : uint16_t(int8_t(Fetch8()));
                const uint16_t v = uint16_t(Alu(reg, Read16(l), imm, 16));
                if (reg != 7)
                    Write16(l, v);
            }
            break;
        }
        case 0x89: { const Loc l = ModRm(Fetch8(), reg); Write16(l, r[reg]); break; }
        case 0x8A: { const Loc l = ModRm(Fetch8(), reg); SetReg8(reg, Read8(l)); break; }
        case 0x8B: { const Loc l = ModRm(Fetch8(), reg); r[reg] = Read16(l); break; }
        case 0x8E: { const Loc l = ModRm(Fetch8(), reg); sr[reg & 3] = Read16(l); break; }
        case 0xFE: {
            const Loc l = ModRm(Fetch8(), reg);
            const bool c = cf;
            Write8(l, uint8_t(Alu(reg == 0 ? 0 : 5, Read8(l), 1, 8)));
            cf = c;
            break;
        }
        case 0x06: case 0x0E: case 0x16: case 0x1E: Push(sr[op >> 3]); break;
        case 0x07: case 0x17: case 0x1F: sr[op >> 3] = Pop(); break;
        case 0x70 ... 0x7F: {
            const int8_t rel = int8_t(Fetch8());
            const bool taken[] = {false, false, cf, !cf, zf, !zf};
            const int cc = op - 0x70;
            if (cc < 2 || cc > 5) {
                stop = "jcc " + std::to_string(cc);
                return false;
            }
            if (taken[cc])
                ip += rel;
            break;
        }
        case 0x90: break;
        case 0xAC:
            SetReg8(0, At(sr[DS], r[SI]));
            r[SI] += df ? -1 : 1;
            break;
        case 0xA5:
            while (!rep || r[CX]) {
                At(sr[ES], r[DI]) = At(sr[DS], r[SI]);
                At(sr[ES], r[DI] + 1) = At(sr[DS], r[SI] + 1);
                r[SI] += df ? -2 : 2;
                r[DI] += df ? -2 : 2;
                if (!rep)
                    break;
                --r[CX];
            }
            break;
        case 0xCD:
            if (!onInt || !onInt(*this, Fetch8())) {
                if (stop.empty())
                    stop = "int";
                return false;
            }
            break;
        case 0xE2: {
            const int8_t rel = int8_t(Fetch8());
            if (--r[CX])
                ip += rel;
            break;
        }
        case 0xE8: { const uint16_t rel = Fetch16(); Push(ip); ip += rel; break; }
        case 0xC3: ip = Pop(); break;
        case 0xEA: { const uint16_t off = Fetch16(); sr[CS] = Fetch16(); ip = off; break; }
        case 0xEB: { const int8_t rel = int8_t(Fetch8()); ip += rel; break; }
        case 0xF4: stop = "hlt"; return false;
        case 0xFA: case 0xFB: break;
        case 0xFC: df = false; break;
        default:
            if (op >= 0x40 && op <= 0x47) {
                const bool c = cf;
                r[op - 0x40] = uint16_t(Alu(0, r[op - 0x40], 1, 16));
                cf = c;
            } else if (op >= 0x50 && op <= 0x57) {
                Push(r[op - 0x50]);
            } else if (op >= 0x58 && op <= 0x5F) {
                r[op - 0x58] = Pop();
            } else if (op >= 0xB0 && op <= 0xB7) {
                SetReg8(op - 0xB0, Fetch8());
            } else if (op >= 0xB8 && op <= 0xBF) {
                r[op - 0xB8] = Fetch16();
            } else {
                char text[32];
                std::snprintf(text, sizeof text, "opcode %02X", op);
                stop = text;
                return false;
            }
        }
        return stop.empty();
    }
};

// The BIOS that a boot program meets: the teletype output goes to a screen text, a key
// press is counted, INT 19h ends the run, INT 13h reads one sector of a given disk.
struct Bios {
    std::string screen;
    int keys = 0;
    bool bootstrap = false;
    std::vector<uint8_t> attributes;
    std::function<std::optional<std::vector<uint8_t>>(int cylinder, int head, int sector, int drive)> disk;
    struct Read {
        int cylinder, head, sector, drive;
    };
    std::vector<Read> reads;

    bool operator()(Cpu& cpu, uint8_t vector)
    {
        const uint8_t ah = cpu.Reg8(4);
        if (vector == 0x10 && ah == 0x0E) {
            screen += char(cpu.Reg8(0));
            attributes.push_back(cpu.Reg8(3));   // BL
            if (cpu.Reg8(7) != 0)                // BH: page 0
                cpu.stop = "teletype page";
            return cpu.stop.empty();
        }
        if (vector == 0x16 && ah == 0x00) {
            ++keys;
            return true;
        }
        if (vector == 0x19) {
            bootstrap = true;
            cpu.stop = "int19";
            return false;
        }
        if (vector == 0x13 && ah == 0x02) {
            const uint16_t cx = cpu.r[Cpu::CX];
            const Read at{(cx >> 8) | ((cx & 0xC0) << 2), cpu.Reg8(6), cx & 0x3F, cpu.Reg8(2)};
            reads.push_back(at);
            auto sector = disk ? disk(at.cylinder, at.head, at.sector, at.drive) : std::nullopt;
            if (cpu.Reg8(0) != 1 || !sector) {
                cpu.cf = true;
                cpu.SetReg8(4, 0x04);   // sector not found
                return true;
            }
            for (int i = 0; i < 512; ++i)
                cpu.At(cpu.sr[Cpu::ES], uint16_t(cpu.r[Cpu::BX] + i)) = (*sector)[i];
            cpu.cf = false;
            cpu.SetReg8(4, 0);
            return true;
        }
        cpu.stop = "unexpected interrupt " + std::to_string(vector);
        return false;
    }
};

// Loads a sector at 0000:7C00 (or 07C0:0000) as the BIOS does and runs it.
void Boot(Cpu& cpu, Bios& bios, const uint8_t* sector, bool segment07C0, std::optional<uint32_t> breakpoint = {})
{
    std::memcpy(cpu.mem.data() + 0x7C00, sector, 512);
    cpu.sr[Cpu::CS] = segment07C0 ? 0x07C0 : 0;
    cpu.ip = segment07C0 ? 0 : 0x7C00;
    cpu.sr[Cpu::SS] = 0x3000;   // whatever the BIOS left: the program sets its own
    cpu.r[Cpu::SP] = 0x0100;
    cpu.r[Cpu::DX] = 0x0080;    // booted from the first hard disk
    cpu.onInt = std::ref(bios);
    cpu.Run(breakpoint);
}

// Copies the data extents of a range of an image file into a new sparse file (the
// holes stay holes, so a partition of a 32 GB sparse card is copied in no time).
bool ExtractRange(const std::string& from, uint64_t offset, uint64_t length, const std::string& to)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0 && ::ftruncate(out, static_cast<off_t>(length)) == 0;
    std::vector<char> buffer(1 << 20);
    off_t pos = static_cast<off_t>(offset);
    const off_t end = static_cast<off_t>(offset + length);
    while (ok && pos < end) {
        const off_t data = ::lseek(in, pos, SEEK_DATA);
        if (data < 0 || data >= end)
            break;
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        hole = std::min(hole < 0 ? end : hole, end);
        for (off_t at = data; ok && at < hole;) {
            const size_t n = static_cast<size_t>(std::min<off_t>(hole - at, off_t(buffer.size())));
            ok = ::pread(in, buffer.data(), n, at) == ssize_t(n) &&
                 ::pwrite(out, buffer.data(), n, at - static_cast<off_t>(offset)) == ssize_t(n);
            at += static_cast<off_t>(n);
        }
        pos = hole;
    }
    if (in >= 0)
        ::close(in);
    if (out >= 0)
        ::close(out);
    return ok;
}

std::vector<uint8_t> ReadSectors(const std::string& path, uint64_t first, size_t count)
{
    std::vector<uint8_t> bytes(count * 512, 0xAA);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), off_t(first * 512)), ssize_t(bytes.size()));
    if (fd >= 0)
        ::close(fd);
    return bytes;
}

// An emulated reader over a sparse image in a temporary folder.
class Card {
public:
    Card(const px::test::TempHome& home, uint64_t blocks, const std::string& options = {})
        : m_path(home.File("card" + std::to_string(blocks) + ".img"))
    {
        EXPECT_TRUE(px::test::MakeBlankImage(m_path, blocks * 512));
        std::string error;
        EXPECT_TRUE(px::VolumeTable::Instance().Attach(m_path + options, &m_letter, &error)) << error;
    }
    ~Card()
    {
        px::VolumeTable::Instance().Detach(m_letter);
        std::filesystem::remove(m_path);
    }
    char Letter() const { return m_letter; }
    const std::string& Path() const { return m_path; }
    std::shared_ptr<px::EmulatedCard> Reader() const { return px::VolumeTable::Instance().Card(m_letter); }

private:
    std::string m_path;
    char m_letter = 0;
};

// Opens, locks and describes the card as the format job does, then runs the format.
bool FormatCard(const Card& card, std::string* error, const std::function<bool(CDriveScsi&, CDriveInfo&)>& format = {})
{
    CDriveScsi drive;
    if (!drive.OpenVolume(card.Letter()) || !drive.Lock()) {
        *error = drive.GetError();
        return false;
    }
    CDriveInfo info;
    drive.ReadDriveInfo(info);
    const bool ok = format ? format(drive, info) : Format(drive, info, "PX3");
    *error = drive.GetError();
    drive.Close();
    return ok;
}

// Judges a formatted card as a PC would: fsck.fat on the partition, then mtools writes,
// lists and reads back a file through the partition offset, and fsck.fat again.
// mtools refuses a boot sector without heads and sectors per track (the card had no
// geometry and the defaults have none for its size), which the FAT rules allow for
// media that are not reached through the BIOS; for those its geometry check is skipped.
void CheckWithTools(const px::test::TempHome& home, const Card& card, const std::string& what,
                    bool withoutGeometry = false)
{
    const std::vector<uint8_t> mbr = ReadSectors(card.Path(), 0, 1);
    const uint64_t start = Get32(&mbr[446 + 8]), size = Get32(&mbr[446 + 12]);
    ASSERT_GT(size, 0u) << what;
    const std::string part = home.File("part.img");
    ASSERT_TRUE(ExtractRange(card.Path(), start * 512, size * 512, part)) << what;
    std::string out;
    int rc = Run("fsck.fat -n -v " + Quote(part) + " 2>&1", &out);
    EXPECT_EQ(rc, 0) << what << "\n" << out;

    const std::string image = Quote(card.Path() + "@@" + std::to_string(start * 512));
    const std::string mtools = withoutGeometry ? "MTOOLS_SKIP_CHECK=1 " : "";
    const std::string source = home.File("photo.jpg");
    std::vector<uint8_t> photo(70000);
    for (size_t i = 0; i < photo.size(); ++i)
        photo[i] = static_cast<uint8_t>(i * 7 + i / 251);
    ASSERT_TRUE(px::test::WriteFile(source, photo));
    rc = Run(mtools + "mcopy -i " + image + " " + Quote(source) + " ::/DCIM.JPG 2>&1", &out);
    EXPECT_EQ(rc, 0) << what << "\n" << out;
    rc = Run(mtools + "mdir -i " + image + " ::/ 2>&1", &out);
    EXPECT_EQ(rc, 0) << what << "\n" << out;
    EXPECT_NE(out.find("DCIM     JPG     70000"), std::string::npos) << what << "\n" << out;
    EXPECT_NE(out.find("Volume in drive : is PX3"), std::string::npos) << what << "\n" << out;
    const std::string back = home.File("back.jpg");
    rc = Run(mtools + "mcopy -n -i " + image + " ::/DCIM.JPG " + Quote(back) + " 2>&1", &out);
    EXPECT_EQ(rc, 0) << what << "\n" << out;
    EXPECT_EQ(px::test::ReadFile(back), photo) << what;

    ASSERT_TRUE(ExtractRange(card.Path(), start * 512, size * 512, part)) << what;
    rc = Run("fsck.fat -n " + Quote(part) + " 2>&1", &out);
    EXPECT_EQ(rc, 0) << what << " after a file was written\n" << out;
    std::filesystem::remove(part);
    std::filesystem::remove(back);
}

}  // namespace

// ---------------------------------------------------------------------------------
// Parameters of the sizes the card tools meet.

TEST(FatFormatter, Fat16CardOf2001888Blocks)
{
    MemoryDrive drive;
    ASSERT_TRUE(FormatFat(drive, Params(2001888, 63, 1), FixedEnvironment())) << drive.GetError();
    const Layout l = ReadLayout(drive.Block(63));
    EXPECT_EQ(l.hidden, 63u);
    EXPECT_EQ(l.total32, 2001825u);
    EXPECT_EQ(l.total16, 0u);
    EXPECT_EQ(l.spc, 32u);
    EXPECT_EQ(l.reserved, 1u);
    EXPECT_EQ(l.rootEntries, 512u);
    EXPECT_EQ(l.spf16, 245u);
    EXPECT_EQ(l.media, 0xF8u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(drive.Block(63) + 54), 8), "FAT16   ");
    const uint8_t* entry = drive.Block(0) + 446;
    EXPECT_EQ(entry[0], 0x80);
    EXPECT_EQ(entry[4], 0x04);
    EXPECT_EQ(Get32(entry + 8), 63u);
    EXPECT_EQ(Get32(entry + 12), 2001825u);
    EXPECT_EQ(drive.m_disk.size(), 586u * 512);   // 63 + 1 + 2 x 245 + 32
}

TEST(FatFormatter, Fat32CardOf7831552Blocks)
{
    MemoryDrive drive;
    ASSERT_TRUE(FormatFat(drive, Params(7831552, 63, 1), FixedEnvironment())) << drive.GetError();
    const uint8_t* boot = drive.Block(63);
    const Layout l = ReadLayout(boot);
    EXPECT_EQ(l.hidden, 63u);
    EXPECT_EQ(l.total32, 7831489u);
    EXPECT_EQ(l.total16, 0u);
    EXPECT_EQ(l.spc, 8u);
    EXPECT_EQ(l.reserved, 32u);
    EXPECT_EQ(l.spf32, 7634u);
    EXPECT_EQ(l.spf16, 0u);
    EXPECT_EQ(l.rootEntries, 0u);
    EXPECT_EQ(l.info, 1u);
    EXPECT_EQ(l.backup, 6u);
    EXPECT_EQ(l.rootCluster, 2u);
    EXPECT_EQ(boot[1], 0x58);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(boot + 82), 8), "FAT32   ");
    EXPECT_EQ(drive.Block(0)[446 + 4], 0x0C);
    EXPECT_EQ(drive.m_disk.size(), 15371u * 512);   // 63 + 32 + 2 x 7634 + 8
    // The backup boot sector and both information sectors.
    EXPECT_EQ(0, std::memcmp(drive.Block(63 + 6), boot, 512));
    for (uint32_t info : {63u + 1, 63u + 7}) {
        const uint8_t* s = drive.Block(info);
        EXPECT_EQ(Get32(s), 0x41615252u);
        EXPECT_EQ(Get32(s + 484), 0x61417272u);
        EXPECT_EQ(Get32(s + 488), 0xFFFFFFFFu);
        EXPECT_EQ(Get32(s + 492), 2u);
        EXPECT_EQ(Get16(s + 510), 0xAA55u);
    }
    const uint8_t fatStart[12] = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
    EXPECT_EQ(0, std::memcmp(drive.Block(63 + 32), fatStart, 12));
    EXPECT_EQ(0, std::memcmp(drive.Block(63 + 32 + 7634), fatStart, 12));
}

TEST(FatFormatter, FatTypeBoundaries)
{
    // From 4,505,600 blocks on: FAT32; one block less: FAT16, whose 64-sector clusters
    // cannot cover the card, so the volume ends early and says so in both totals.
    for (uint32_t blocks : {4505600u, 4505599u, 4194304u + 63u + 600u}) {
        MemoryDrive drive;
        ASSERT_TRUE(FormatFat(drive, Params(blocks, 63, 1), FixedEnvironment())) << drive.GetError();
        const Layout l = ReadLayout(drive.Block(63));
        const uint8_t type = drive.Block(0)[446 + 4];
        if (blocks >= 4505600) {
            EXPECT_EQ(type, 0x0C);
            EXPECT_EQ(l.reserved, 32u);
            EXPECT_EQ(l.info, 1u);
            EXPECT_EQ(l.backup, 6u);
            EXPECT_EQ(l.rootCluster, 2u);
        } else {
            EXPECT_EQ(type, 0x04) << blocks;
            EXPECT_EQ(l.spc, 64u);
            const uint32_t data = l.Total() - l.reserved - l.fats * l.Spf() - 32;
            EXPECT_LE(data / l.spc, 65524u) << blocks;   // else a reader takes it for FAT32
            EXPECT_EQ(Get32(drive.Block(0) + 446 + 12), l.Total());
            EXPECT_LE(l.Total(), blocks - 63);
        }
    }
    // Up to 4,084 blocks FAT12, from 4,085 FAT16, except where FAT16 has no valid
    // cluster size (volumes up to 8,400 sectors): those get FAT12.
    struct Case {
        uint32_t blocks;
        uint8_t type;
    } cases[] = {{4084, 0x01}, {4085, 0x01}, {8000, 0x01}, {8463, 0x01}, {8464, 0x04}, {65536, 0x04}};
    for (const Case& c : cases) {
        MemoryDrive drive;
        ASSERT_TRUE(FormatFat(drive, Params(c.blocks, 63, 1), FixedEnvironment())) << drive.GetError();
        EXPECT_EQ(drive.Block(0)[446 + 4], c.type) << c.blocks;
    }
}

TEST(FatFormatter, SmallCardTakesGeometryDefaults)
{
    // 4,084 blocks and no geometry: 4 heads, 32 sectors per track from the defaults.
    MemoryDrive drive;
    ASSERT_TRUE(FormatFat(drive, Params(4084, 0, 0), FixedEnvironment())) << drive.GetError();
    const Layout l = ReadLayout(drive.Block(32));
    EXPECT_EQ(l.heads, 4u);
    EXPECT_EQ(l.spt, 32u);
    EXPECT_EQ(l.hidden, 32u);
    EXPECT_EQ(l.total16, 4052u);
    EXPECT_EQ(l.total32, 0u);
    EXPECT_EQ(l.spc, 1u);
    EXPECT_EQ(l.spf16, 12u);
    EXPECT_EQ(drive.Block(0)[446 + 4], 0x01);
    EXPECT_EQ(drive.m_disk.size(), 89u * 512);

    // 1,000,000 sectors and no geometry: 16 heads, 63 sectors per track.
    CFatFormatter f;
    CFatOptions o;
    o.DryRun = true;
    o.TotalSectors = 1000000;
    o.PartitionTable = true;
    ASSERT_TRUE(f.Compute(o)) << f.Error();
    EXPECT_EQ(f.Bpb().Heads, 16u);
    EXPECT_EQ(f.Bpb().SectorsPerTrack, 63u);
    EXPECT_EQ(f.Bpb().HiddenSectors, 63u);
    EXPECT_TRUE(f.Build());
    EXPECT_TRUE(f.Image().empty());   // a dry run builds nothing
}

TEST(FatFormatter, EveryCardSizeGivesAValidLayout)
{
    // Over the whole range of card sizes and the geometries readers report: the cluster
    // count lies inside the FAT type's range, the FAT holds every cluster, the volume
    // and the system area fit on the card.
    const std::pair<uint32_t, uint32_t> geometries[] = {{0, 0}, {63, 1}, {63, 255}, {32, 4}};
    int checked = 0;
    // Every size of the small cards, where rounding bites, then steps of 1%.
    for (uint64_t blocks = 100; blocks <= 0xFFFFFFFFull; blocks = blocks < 20000 ? blocks + 1 : blocks * 101 / 100) {
        for (const auto& [spt, heads] : geometries) {
            CFatOptions o;
            o.DryRun = true;
            o.PartitionTable = true;
            o.TotalSectors = static_cast<uint32_t>(blocks);
            o.FatType = blocks <= 4084 ? 12 : blocks < 4505600 ? 16 : 32;
            o.SectorsPerTrack = static_cast<uint16_t>(spt);
            o.Heads = static_cast<uint16_t>(heads);
            o.MediaGiven = true;
            o.Media = 0xF8;
            CFatFormatter f;
            ASSERT_TRUE(f.Compute(o)) << blocks << ": " << f.Error();
            const CFatBpb& b = f.Bpb();
            const uint64_t total = b.TotalSectors16 ? b.TotalSectors16 : b.TotalSectors32;
            const uint64_t rds = (uint64_t(b.RootEntries) * 32 + 511) / 512;
            const uint64_t dataStart = b.ReservedSectors + uint64_t(b.NumberOfFats) * f.SectorsPerFat() + rds;
            ASSERT_GT(total, dataStart) << blocks;
            const uint64_t clusters = (total - dataStart) / b.SectorsPerCluster;
            const uint32_t fat = f.FatType();
            const uint64_t lo = fat == 12 ? 1 : fat == 16 ? 4085 : 65525;
            const uint64_t hi = fat == 12 ? 4084 : fat == 16 ? 65524 : 0xFFFFFF5;
            EXPECT_GE(clusters, lo) << blocks << " FAT" << fat;
            EXPECT_LE(clusters, hi) << blocks << " FAT" << fat;
            EXPECT_GE(uint64_t(f.SectorsPerFat()) * 512 * 2 / (fat / 4), clusters + 2) << blocks;
            EXPECT_LE(b.HiddenSectors + total, blocks) << blocks;
            EXPECT_GE(b.HiddenSectors, 1u);
            ++checked;
        }
    }
    EXPECT_GT(checked, 1000);
}

TEST(FatFormatter, BadParametersWriteNothing)
{
    MemoryDrive drive;
    CFatParameters p = Params(100000, 63, 1);
    p.BytesPerSector = 0;
    EXPECT_FALSE(FormatFat(drive, p));
    EXPECT_EQ(drive.GetError().rfind("Invalid drive parameters ", 0), 0u) << drive.GetError();
    p.BytesPerSector = 2048;
    EXPECT_FALSE(FormatFat(drive, p));
    EXPECT_NE(drive.GetError().find("2048"), std::string::npos);
    EXPECT_FALSE(FormatFat(drive, Params(60, 32, 2)));   // no room for the FATs
    EXPECT_NE(drive.GetError().find("too small"), std::string::npos) << drive.GetError();
    EXPECT_FALSE(FormatFat(drive, Params(63, 63, 1)));   // nothing after the first track
    EXPECT_FALSE(FormatFat(drive, Params(0, 63, 1)));
    EXPECT_TRUE(drive.m_writes.empty());
}

// ---------------------------------------------------------------------------------
// The image byte for byte.

TEST(FatFormatter, Fat12ImageByteForByte)
{
    MemoryDrive drive;
    ASSERT_TRUE(FormatFat(drive, Params(4084, 0, 0), FixedEnvironment(0x1234ABCD)));
    // The expected image, laid out field by field.
    std::vector<uint8_t> want(89 * 512, 0);
    uint8_t* mbr = want.data();
    std::memcpy(mbr, fatboot::MasterBootCode().data(), 260);
    const uint8_t entry[16] = {0x80, 1, 1, 0,                      // active, CHS 0/1/1
                               0x01, 3, 20, 31,                    // FAT12, CHS 31/3/20 = sector 4083
                               32, 0, 0, 0, 0xD4, 0x0F, 0, 0};     // LBA 32, 4052 sectors
    std::memcpy(mbr + 446, entry, 16);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    uint8_t* boot = want.data() + 32 * 512;
    const uint8_t bpb[] = {0xEB, 0x3C, 0x90, 'M', 'S', 'D', 'O', 'S', '5', '.', '0',
                           0x00, 0x02, 1, 1, 0, 2, 0x00, 0x02, 0xD4, 0x0F, 0xF8, 12, 0,
                           32, 0, 4, 0, 32, 0, 0, 0, 0, 0, 0, 0,
                           0, 0, 0x29, 0xCD, 0xAB, 0x34, 0x12, 'P', 'X', '3', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                           'F', 'A', 'T', '1', '2', ' ', ' ', ' '};
    std::memcpy(boot, bpb, sizeof bpb);
    std::memcpy(boot + 62, fatboot::BootCode().data(), 84);
    boot[510] = 0x55;
    boot[511] = 0xAA;
    for (int copy = 0; copy < 2; ++copy) {
        uint8_t* fat = want.data() + (33 + copy * 12) * 512;
        fat[0] = 0xF8;
        fat[1] = fat[2] = 0xFF;
    }
    uint8_t* label = want.data() + 57 * 512;
    std::memcpy(label, "PX3        ", 11);
    label[11] = 0x28;
    const uint16_t time = 48 / 2 | 35 << 5 | 14 << 11, date = 17 | 5 << 5 | (2024 - 1980) << 9;
    label[22] = time & 0xFF;
    label[23] = time >> 8;
    label[24] = date & 0xFF;
    label[25] = date >> 8;
    ASSERT_EQ(drive.m_disk.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(drive.m_disk[i], want[i]) << "byte " << i << " (sector " << i / 512 << ", offset " << i % 512 << ")";
    // Built again with the same clock and serial: the same image.
    MemoryDrive again;
    ASSERT_TRUE(FormatFat(again, Params(4084, 0, 0), FixedEnvironment(0x1234ABCD)));
    EXPECT_EQ(again.m_disk, drive.m_disk);
}

TEST(FatFormatter, LabelAndSerial)
{
    // "PX3" and eight blanks, in the boot sector and in the label entry.
    MemoryDrive drive;
    ASSERT_TRUE(FormatFat(drive, Params(65536, 63, 1, "px3"), FixedEnvironment(std::nullopt)));
    const uint8_t* boot = drive.Block(63);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(boot + 43), 11), "PX3        ");
    const uint32_t rootSector = 63 + Get16(boot + 14) + 2 * Get16(boot + 22);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(drive.Block(rootSector)), 11), "PX3        ");
    EXPECT_EQ(drive.Block(rootSector)[11], 0x28);
    // The serial made from the fixed clock: (5 << 8 | 17) + (48 << 8 | 25) in the high
    // word, 2024 + (14 << 8 | 35) in the low word.
    EXPECT_EQ(Get32(boot + 39), (((5u << 8 | 17) + (48u << 8 | 25)) << 16) | (2024u + (14u << 8 | 35)));

    // Without a label: "NO NAME" and no label entry; a long label is cut to 11.
    EXPECT_EQ(FatLabelField(std::nullopt), "NO NAME    ");
    EXPECT_EQ(FatLabelField(std::string("Holiday Pictures")), "HOLIDAY PIC");
    EXPECT_EQ(FatLabelField(std::string("\xE5x")), std::string("\x05X         "));
    MemoryDrive accented;   // characters beyond ASCII become '_'
    ASSERT_TRUE(FormatFat(accented, Params(65536, 63, 1, "D\xC3\xAD" "a 1"), FixedEnvironment()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(accented.Block(63) + 43), 11), "D_A 1      ");
    MemoryDrive unnamed;
    ASSERT_TRUE(FormatFat(unnamed, Params(65536, 63, 1, ""), FixedEnvironment()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(unnamed.Block(63) + 43), 11), "NO NAME    ");
    EXPECT_EQ(unnamed.Block(rootSector)[0], 0);

    // Every format takes a new serial from the time of day.
    MemoryDrive first, second;
    ASSERT_TRUE(FormatFat(first, Params(65536, 63, 1)));
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_TRUE(FormatFat(second, Params(65536, 63, 1)));
    EXPECT_NE(Get32(first.Block(63) + 39), Get32(second.Block(63) + 39));
}

// ---------------------------------------------------------------------------------
// Writing.

TEST(FatFormatter, WritesOneImageInRequestsOfTenBlocks)
{
    MemoryDrive drive;
    ASSERT_TRUE(FormatFat(drive, Params(7831552, 63, 1), FixedEnvironment()));
    ASSERT_EQ(drive.m_writes.size(), 1538u);   // 15,371 blocks
    const uint8_t* base = drive.m_writes.front().buffer;
    uint32_t next = 0;
    for (const auto& w : drive.m_writes) {
        EXPECT_EQ(w.first, next);
        EXPECT_EQ(w.count, w.first == 15370 ? 1 : 10);
        EXPECT_EQ(w.buffer, base + size_t(w.first) * 512);   // one image, built once
        next += w.count;
    }
}

TEST(FatFormatter, ShortOrFailedWriteStopsTheFormat)
{
    MemoryDrive shortDrive;
    shortDrive.m_shortAt = 3;
    EXPECT_FALSE(FormatFat(shortDrive, Params(2001888, 63, 1)));
    EXPECT_EQ(shortDrive.GetError(), "Write failed at block 30: 4608 of 5120 bytes written");
    EXPECT_EQ(shortDrive.m_writes.size(), 4u);

    MemoryDrive failing;
    failing.m_failAt = 5;
    EXPECT_FALSE(FormatFat(failing, Params(2001888, 63, 1)));
    EXPECT_EQ(failing.GetError(), "The device is gone");
    EXPECT_EQ(failing.m_writes.size(), 6u);
}

TEST(FatFormatter, WriteProtectedCardFailsWithDataProtect)
{
    px::test::TempHome home;
    Card card(home, 65536, ",readonly");
    std::string error;
    EXPECT_FALSE(FormatCard(card, &error));
    EXPECT_NE(error.find("DATA PROTECT"), std::string::npos) << error;
    EXPECT_NE(error.find("block 0"), std::string::npos) << error;
    EXPECT_EQ(card.Reader()->WriteCommands(), 1u);   // the first refused write ends it
    const std::vector<uint8_t> bytes = ReadSectors(card.Path(), 0, 200);
    EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }));
}

TEST(FatFormatter, ReaderGoneDuringTheFormat)
{
    px::test::TempHome home;
    Card card(home, 65536, ",pull=12");
    std::string error;
    EXPECT_FALSE(FormatCard(card, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_GT(card.Reader()->WriteCommands(), 0u);
    EXPECT_LT(card.Reader()->WriteCommands(), 10u);
}

// ---------------------------------------------------------------------------------
// What a PC makes of the formatted cards.

TEST(FatFormatter, FormattedCardsPassFsckAndMtools)
{
    px::test::TempHome home;
    for (uint32_t blocks : {4084u, 8000u, 65536u, 2001888u, 4505600u, 7831552u}) {
        Card card(home, blocks);
        std::string error;
        ASSERT_TRUE(FormatCard(card, &error)) << blocks << ": " << error;
        // The reader reports 63 sectors per track, 255 tracks per cylinder and one media
        // side; the format takes the side count as heads.
        const Layout l = ReadLayout(ReadSectors(card.Path(), 63, 1).data());
        EXPECT_EQ(l.spt, 63u);
        EXPECT_EQ(l.heads, 1u);
        EXPECT_EQ(l.hidden, 63u);
        CheckWithTools(home, card, std::to_string(blocks) + " blocks");
    }
}

TEST(FatFormatter, GeometryVariantsPassFsckAndMtools)
{
    px::test::TempHome home;
    struct Variant {
        uint32_t blocks, spt, heads;
    } variants[] = {{4084, 0, 0},    {8000, 0, 0},      {1000000, 0, 0},    {1000000, 63, 255},
                    {2001888, 32, 4}, {4505599, 63, 255}, {9000000, 0, 0}, {7831552, 63, 255}};
    for (const Variant& v : variants) {
        Card card(home, v.blocks);
        std::string error;
        const bool ok = FormatCard(card, &error, [&](CDriveScsi& drive, CDriveInfo&) {
            return FormatFat(drive, Params(v.blocks, v.spt, v.heads));
        });
        ASSERT_TRUE(ok) << v.blocks << ": " << error;
        CheckWithTools(home, card,
                       std::to_string(v.blocks) + " blocks, " + std::to_string(v.spt) + "/" + std::to_string(v.heads),
                       v.blocks > 8053920 && v.spt == 0);
    }
}

TEST(FatFormatter, LargeCardFormatsQuickly)
{
    // A 32 GB card: the two FATs take about 15 MB, built once and written in 10-block
    // requests.
    px::test::TempHome home;
    const uint32_t blocks = 62333952;
    Card card(home, blocks);
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(FormatCard(card, &error)) << error;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("formatting a card of %u blocks took %.3f s (%llu write requests)\n", blocks, seconds,
                static_cast<unsigned long long>(card.Reader()->WriteCommands()));
    EXPECT_LT(seconds, 5.0);
    CheckWithTools(home, card, "32 GB");

    // The image alone: computed and built once, about 15 MB for the two FATs.
    CFatOptions o;
    o.TotalSectors = blocks;
    o.FatType = 32;
    o.PartitionTable = true;
    o.SectorsPerTrack = 63;
    o.Heads = 1;
    CFatFormatter f;
    const auto built = std::chrono::steady_clock::now();
    ASSERT_TRUE(f.Compute(o) && f.Build(FixedEnvironment()));
    std::printf("its image: %u sectors (%.1f MB) built in %.3f s\n", f.ImageSectors(), f.Image().size() / 1048576.0,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - built).count());
    EXPECT_EQ(f.Image().size(), size_t(f.ImageSectors()) * 512);
}

// ---------------------------------------------------------------------------------
// The boot programs.

TEST(FatFormatter, BootSectorProgramPrintsAndRestarts)
{
    const std::string text = "\r\nNon-system disk\r\nPress any key to reboot\r\n";
    for (uint32_t blocks : {65536u, 7831552u}) {   // FAT16 and FAT32 place it differently
        MemoryDrive drive;
        ASSERT_TRUE(FormatFat(drive, Params(blocks, 63, 1), FixedEnvironment()));
        for (bool segment07C0 : {false, true}) {
            Cpu cpu;
            Bios bios;
            Boot(cpu, bios, drive.Block(63), segment07C0);
            EXPECT_EQ(cpu.stop, "int19") << blocks;
            EXPECT_EQ(bios.screen, text);
            EXPECT_EQ(bios.keys, 1);
            EXPECT_TRUE(std::all_of(bios.attributes.begin(), bios.attributes.end(), [](uint8_t a) { return a == 7; }));
            EXPECT_EQ(cpu.sr[Cpu::SS], 0);
            EXPECT_LE(cpu.r[Cpu::SP], 0x7C00);
            EXPECT_GE(cpu.r[Cpu::SP], 0x7B00);
        }
    }
    const auto& code = fatboot::BootCode();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(code.data()) + 39), text);
}

TEST(FatFormatter, MasterBootProgram)
{
    MemoryDrive drive;
    ASSERT_TRUE(FormatFat(drive, Params(2001888, 63, 16), FixedEnvironment()));
    const std::vector<uint8_t> mbr(drive.Block(0), drive.Block(0) + 512);
    const std::vector<uint8_t> vbr(drive.Block(63), drive.Block(63) + 512);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(mbr.data()) + 226), "TolvexMedia Boot Partition Sector");

    // The formatted card: the partition's boot sector is read from its CHS address,
    // checked and started with DS:SI at the partition entry and DL the boot drive.
    {
        Cpu cpu;
        Bios bios;
        bios.disk = [&](int c, int h, int s, int) -> std::optional<std::vector<uint8_t>> {
            if (c == 0 && h == 1 && s == 1)
                return vbr;
            return std::nullopt;
        };
        Boot(cpu, bios, mbr.data(), false, 0x7C00);
        EXPECT_EQ(cpu.stop, "break");
        ASSERT_EQ(bios.reads.size(), 1u);
        EXPECT_EQ(bios.reads[0].drive, 0x80);
        EXPECT_EQ(0, std::memcmp(cpu.mem.data() + 0x7C00, vbr.data(), 512));
        EXPECT_EQ(0, std::memcmp(cpu.mem.data() + 0x7A00, mbr.data(), 512));   // moved away first
        EXPECT_EQ(cpu.r[Cpu::SI], 0x7A00 + 446);
        EXPECT_EQ(cpu.Reg8(2), 0x80);
        EXPECT_TRUE(bios.screen.empty());
        // and the started boot sector then prints its text
        cpu.Run(std::nullopt);
        EXPECT_EQ(cpu.stop, "int19");
        EXPECT_EQ(bios.screen, "\r\nNon-system disk\r\nPress any key to reboot\r\n");
    }

    auto run = [&](const std::vector<uint8_t>& sector, std::optional<std::vector<uint8_t>> partitionBoot) {
        Cpu cpu;
        Bios bios;
        bios.disk = [&](int, int, int, int) { return partitionBoot; };
        Boot(cpu, bios, sector.data(), false, 0x7C00);
        EXPECT_EQ(cpu.stop, "hlt") << bios.screen;
        return bios.screen;
    };
    // A read error, or a partition sector without 55 AA: damaged.
    EXPECT_EQ(run(mbr, std::nullopt), "Invalid or damaged Bootable partition");
    std::vector<uint8_t> unsigned_ = vbr;
    unsigned_[511] = 0;
    EXPECT_EQ(run(mbr, unsigned_), "Invalid or damaged Bootable partition");
    // No active entry at all: nothing to boot.
    std::vector<uint8_t> table = mbr;
    table[446] = 0;
    EXPECT_EQ(run(table, vbr), "No bootable partiton in table");
    // Two active entries, or a status byte that is neither 00 nor 80: invalid table.
    table = mbr;
    table[446 + 16] = 0x80;
    EXPECT_EQ(run(table, vbr), "Invalid Partiton table");
    table = mbr;
    table[446 + 48] = 0x7F;
    EXPECT_EQ(run(table, vbr), "Invalid Partiton table");
    table = mbr;
    table[446] = 0x01;
    EXPECT_EQ(run(table, vbr), "Invalid Partiton table");
}
