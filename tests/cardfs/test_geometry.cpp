// The card's volumes and their geometry: each layout judged by where mtools put a file
// (its clusters, its FAT chain, its root entry) and by what dump.exfat reads; damaged
// boot sectors and their backups; cards and sectors that hold no file system.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <regex>
#include <sstream>

#include "cardimage.h"

using namespace px;
using namespace px::test;

namespace {

using Kind = CardGeometry::Kind;

uint32_t Le16(const uint8_t* p) { return p[0] | p[1] << 8; }
uint32_t Le32(const uint8_t* p) { return Le16(p) | Le16(p + 2) << 16; }

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = uint8_t(rng());
    return v;
}

// The clusters mshowfat lists for a file: "::/A.BIN <3-8 12-13>".
std::vector<uint32_t> ClustersOf(const CardImage& card, uint64_t volume, const std::string& file)
{
    const std::string out = Sh("mshowfat -i " + card.At(volume) + " ::/" + file);
    std::vector<uint32_t> clusters;
    const std::regex range(R"((\d+)(?:-(\d+))?)");
    const std::string list = out.substr(out.find('<'));
    for (std::sregex_iterator it(list.begin(), list.end(), range), end; it != end; ++it) {
        const uint32_t a = std::stoul((*it)[1]);
        const uint32_t b = (*it)[2].matched ? std::stoul((*it)[2]) : a;
        for (uint32_t c = a; c <= b; ++c)
            clusters.push_back(c);
    }
    return clusters;
}

uint32_t FatEntry(const std::vector<uint8_t>& card, const CardGeometry& g, uint32_t c)
{
    const uint8_t* fat = card.data() + g.FatStart;
    switch (g.FsKind) {
    case Kind::Fat12: {
        const uint32_t v = Le16(fat + c + c / 2);
        return (c & 1) ? v >> 4 : v & 0xFFF;
    }
    case Kind::Fat16: return Le16(fat + 2 * c);
    default: return Le32(fat + 4 * c) & 0x0FFFFFFF;
    }
}

// Puts a file of random bytes on the volume with mcopy and checks the geometry against
// where mtools put it: the bytes in its clusters, its chain in both FATs, its name in the
// root directory.
void ExpectFileFound(CardImage& card, const CardGeometry& g, const std::string& name83)
{
    const auto content = RandomBytes(5 * g.ClusterBytes + 100, 7);
    WriteFile(card.Path() + ".src", content);
    Sh("mcopy -i " + card.At(g.VolumeStart) + " " + Quote(card.Path() + ".src") + " ::/A.BIN");
    const auto clusters = ClustersOf(card, g.VolumeStart, "A.BIN");
    card.Load();
    const auto& bytes = card.Bytes();
    ASSERT_EQ(clusters.size(), 6u);

    for (size_t i = 0; i < clusters.size(); ++i) {
        ASSERT_TRUE(g.IsDataCluster(clusters[i]));
        const size_t take = std::min<size_t>(g.ClusterBytes, content.size() - i * g.ClusterBytes);
        EXPECT_EQ(0, std::memcmp(bytes.data() + g.ClusterOffset(clusters[i]), content.data() + i * g.ClusterBytes, take))
            << "cluster " << clusters[i];
        EXPECT_EQ(g.ClusterAt(g.ClusterOffset(clusters[i]) + g.ClusterBytes - 1), clusters[i]);
        const uint32_t next = FatEntry(bytes, g, clusters[i]);
        if (i + 1 < clusters.size())
            EXPECT_EQ(next, clusters[i + 1]);
        else
            EXPECT_GE(next, (1u << std::min(g.FatEntryBits(), 28u)) - 8) << "end of chain";
    }
    ASSERT_EQ(g.FatCount, 2u);
    EXPECT_EQ(0, std::memcmp(bytes.data() + g.FatStart, bytes.data() + g.FatStart + g.FatBytes, g.FatBytes))
        << "the second FAT follows the first";

    const uint64_t root = g.FsKind == Kind::Fat32 ? g.ClusterOffset(g.RootCluster) : g.RootStart;
    const size_t rootBytes = g.FsKind == Kind::Fat32 ? g.ClusterBytes : g.RootBytes;
    const auto* begin = bytes.data() + root;
    EXPECT_NE(std::search(begin, begin + rootBytes, name83.begin(), name83.end()), begin + rootBytes)
        << "no entry of the file in the root directory";
}

// dump.exfat's fields: "Cluster Count: \t\t\t\t9728".
std::map<std::string, uint64_t> DumpExFat(const std::string& path)
{
    const std::string out = Sh("dump.exfat " + Quote(path));
    std::map<std::string, uint64_t> fields;
    const std::regex line(R"(([A-Za-z][A-Za-z ()]*?)\s*:\s+(0x[0-9a-fA-F]+|\d+)\s*$)");
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (std::regex_search(l, m, line))
            fields[m[1]] = std::stoull(m[2], nullptr, 0);
    }
    return fields;
}

void ExpectMatchesDump(const CardGeometry& g, const std::map<std::string, uint64_t>& d, uint64_t volume)
{
    const uint64_t ss = uint64_t(1) << d.at("Sector Size Bits");
    EXPECT_EQ(g.FsKind, Kind::ExFat);
    EXPECT_EQ(g.VolumeStart, volume);
    EXPECT_EQ(g.VolumeBytes, d.at("Volume Length(sectors)") * ss);
    EXPECT_EQ(g.SectorBytes, ss);
    EXPECT_EQ(g.ClusterBytes, d.at("Cluster size"));
    EXPECT_EQ(g.FatStart, volume + d.at("FAT Offset(sector offset)") * ss);
    EXPECT_EQ(g.FatBytes, d.at("FAT Length(sectors)") * ss);
    EXPECT_EQ(g.DataStart, volume + d.at("Cluster Heap Offset (sector offset)") * ss);
    EXPECT_EQ(g.ClusterCount, d.at("Cluster Count"));
    EXPECT_EQ(g.RootCluster, d.at("Root Cluster (cluster offset)"));
    EXPECT_EQ(g.BitmapCluster, d.at("Bitmap start cluster"));
    EXPECT_EQ(g.BitmapBytes, d.at("Bitmap size"));
    EXPECT_EQ(g.VolumeSerial, d.at("Volume Serial"));
}

class Geometry : public ::testing::Test {
protected:
    TempHome home;
    CardImage card{home};

    // A card of the given size with one MBR partition (type) from 1 MiB to the end.
    void Partitioned(int mib, const std::string& type)
    {
        Sh("truncate -s " + std::to_string(mib) + "M " + card.Q());
        Sh("printf 'label: dos\\nstart=2048, type=" + type + "\\n' | sfdisk -q " + card.Q());
    }
};

TEST_F(Geometry, FatLayoutsWithAndWithoutPartitionTable)
{
    struct Case {
        const char* what;
        int mib;
        bool partitioned;
        std::string mkfs;
        Kind kind;
        uint32_t clusterBytes;
    };
    const Case cases[] = {
        {"MBR + FAT32", 48, true, "-F 32 -s 1", Kind::Fat32, 512},
        {"superfloppy FAT16", 20, false, "-F 16 -s 4", Kind::Fat16, 2048},
        {"superfloppy FAT12 with 2 KiB sectors", 4, false, "-F 12 -S 2048 -s 1", Kind::Fat12, 2048},
        {"MBR + FAT16 with 4 reserved sectors", 24, true, "-F 16 -s 2 -R 4", Kind::Fat16, 1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(card.Path().c_str());
        const uint64_t volume = c.partitioned ? 1 << 20 : 0;
        if (c.partitioned) {
            Partitioned(c.mib, c.kind == Kind::Fat32 ? "c" : "6");
            Sh("mkfs.fat " + c.mkfs + " --offset 2048 " + card.Q());
        } else {
            Sh("mkfs.fat -C " + c.mkfs + " " + card.Q() + " " + std::to_string(c.mib * 1024));
        }
        card.Load();
        const auto volumes = card.Geometry();
        ASSERT_EQ(volumes.size(), 1u);
        const CardGeometry& g = volumes[0];
        EXPECT_EQ(g.FsKind, c.kind);
        EXPECT_EQ(g.VolumeStart, volume);
        EXPECT_EQ(g.VolumeBytes, uint64_t(c.mib << 20) - volume);
        EXPECT_EQ(g.ClusterBytes, c.clusterBytes);
        EXPECT_FALSE(g.UsedBackup);
        EXPECT_LE(g.DataEnd(), card.Bytes().size());
        ExpectFileFound(card, g, "A       BIN");
    }
}

TEST_F(Geometry, GptCardFromMainOrBackupHeader)
{
    // A 36 MiB partition, leaving the card's end to the backup GPT.
    Sh("truncate -s 40M " + card.Q());
    Sh("printf 'label: gpt\\nstart=2048, size=36MiB, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n' | sfdisk -q " +
       card.Q());
    Sh("mkfs.fat -F 32 -s 1 --offset 2048 " + card.Q() + " 36864");
    card.Load();
    auto volumes = card.Geometry();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].VolumeStart, 1u << 20);
    ExpectFileFound(card, volumes[0], "A       BIN");

    // A damaged main header (its CRC no longer matches): the copy at the card's end.
    card.Bytes()[512 + 40] ^= 0xFF;
    volumes = card.Geometry();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].VolumeStart, 1u << 20);

    // Both headers damaged: no partition is known, and none is guessed.
    card.Bytes()[card.Bytes().size() - 512 + 40] ^= 0xFF;
    EXPECT_TRUE(card.Geometry().empty());
}

TEST_F(Geometry, ExFatAsDumpExFatReadsIt)
{
    Sh("truncate -s 40M " + card.Q() + " && mkfs.exfat -c 4096 " + card.Q());
    card.Load();
    auto volumes = card.Geometry();
    ASSERT_EQ(volumes.size(), 1u);
    ExpectMatchesDump(volumes[0], DumpExFat(card.Path()), 0);
    EXPECT_EQ(volumes[0].FatCount, 1u);
    EXPECT_EQ(volumes[0].RootStart, 0u);

    // The same volume inside an MBR partition of type 0x07, with 32 KiB clusters.
    const std::string volumeFile = home.File("volume.img");
    Sh("truncate -s 40M " + Quote(volumeFile) + " && mkfs.exfat -c 32768 " + Quote(volumeFile));
    // The partition table goes over the unpartitioned card, whose boot sector keeps its
    // code area, now holding the table: the partition, not the old volume, is the card's.
    Partitioned(48, "7");
    Sh("dd if=" + Quote(volumeFile) + " of=" + card.Q() + " bs=1M seek=1 conv=notrunc status=none");
    card.Load();
    volumes = card.Geometry();
    ASSERT_EQ(volumes.size(), 1u);
    ExpectMatchesDump(volumes[0], DumpExFat(volumeFile), 1 << 20);
}

TEST_F(Geometry, DamagedMainBootSectorFallsBackToItsBackup)
{
    // FAT32: the backup at sector 6 gives the same geometry.
    Partitioned(48, "c");
    Sh("mkfs.fat -F 32 -s 2 --offset 2048 " + card.Q());
    card.Load();
    const auto good = card.Geometry();
    ASSERT_EQ(good.size(), 1u);
    std::fill_n(card.Bytes().begin() + (1 << 20), 512, 0);
    auto volumes = card.Geometry();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_TRUE(volumes[0].UsedBackup);
    EXPECT_EQ(volumes[0].DataStart, good[0].DataStart);
    EXPECT_EQ(volumes[0].ClusterCount, good[0].ClusterCount);
    EXPECT_EQ(volumes[0].RootCluster, good[0].RootCluster);
    EXPECT_EQ(volumes[0].FatStart, good[0].FatStart);

    // exFAT, without a partition table.
    std::remove(card.Path().c_str());
    Sh("truncate -s 40M " + card.Q() + " && mkfs.exfat -c 8192 " + card.Q());
    card.Load();
    const auto dump = DumpExFat(card.Path());
    const auto pristine = card.Bytes();

    // A zeroed boot sector.
    std::fill_n(card.Bytes().begin(), 512, 0);
    volumes = card.Geometry();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_TRUE(volumes[0].UsedBackup);
    ExpectMatchesDump(volumes[0], dump, 0);

    // A boot sector that is sound in itself but whose boot region fails its checksum (a
    // changed byte in the extended boot sectors).
    card.Bytes() = pristine;
    card.Bytes()[3 * 512 + 100] ^= 0x01;
    volumes = card.Geometry();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_TRUE(volumes[0].UsedBackup);
    // The flags and the use percentage are outside the checksum: a volume marked dirty
    // is still the main one.
    card.Bytes() = pristine;
    card.Bytes()[106] |= 0x02;
    card.Bytes()[112] = 57;
    volumes = card.Geometry();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_FALSE(volumes[0].UsedBackup);

    // Main boot sector zeroed and the backup region failing its checksum: no volume.
    card.Bytes() = pristine;
    std::fill_n(card.Bytes().begin(), 512, 0);
    card.Bytes()[12 * 512 + 2 * 512 + 7] ^= 0x01;
    EXPECT_TRUE(card.Geometry().empty());

    // FAT16 has no backup boot sector.
    std::remove(card.Path().c_str());
    Sh("mkfs.fat -C -F 16 " + card.Q() + " 20480");
    card.Load();
    ASSERT_EQ(card.Geometry().size(), 1u);
    std::fill_n(card.Bytes().begin(), 512, 0);
    EXPECT_TRUE(card.Geometry().empty());
}

TEST_F(Geometry, BootSectorsAgainstTheRulesAreRefused)
{
    Sh("mkfs.fat -C -F 16 -s 4 " + card.Q() + " 20480");
    card.Load();
    const auto pristine = card.Bytes();
    ASSERT_EQ(card.Geometry().size(), 1u);
    struct Change {
        const char* what;
        size_t offset;
        std::vector<uint8_t> bytes;
    };
    const Change changes[] = {
        {"no jump", 0, {0x00}},
        {"600 bytes per sector", 11, {0x58, 0x02}},
        {"8192 bytes per sector", 11, {0x00, 0x20}},
        {"3 sectors per cluster", 13, {3}},
        {"no reserved sector", 14, {0, 0}},
        {"no FAT", 16, {0}},
        {"media byte 0x12", 21, {0x12}},
        {"no FAT mark", 0x36, {'N', 'O', 'F'}},
        {"FAT too small for its clusters", 22, {1, 0}},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        card.Bytes() = pristine;
        std::copy(c.bytes.begin(), c.bytes.end(), card.Bytes().begin() + c.offset);
        EXPECT_TRUE(card.Geometry().empty());
    }
    // A volume larger than the card (one sector is missing).
    card.Bytes() = pristine;
    card.Bytes().resize(pristine.size() - 512);
    EXPECT_TRUE(card.Geometry().empty());

    // exFAT: its BPB area must be zero, and sectors are at most 4096 bytes.
    Sh("truncate -s 40M " + card.Q() + " && mkfs.exfat " + card.Q());
    card.Load();
    const auto exfat = card.Bytes();
    ASSERT_EQ(card.Geometry().size(), 1u);
    for (auto [offset, value] : {std::pair{20, 1}, std::pair{108, 13}}) {
        card.Bytes() = exfat;
        // The same change in the main and the backup region.
        card.Bytes()[offset] = uint8_t(value);
        card.Bytes()[12 * 512 + offset] = uint8_t(value);
        EXPECT_TRUE(card.Geometry().empty()) << "byte " << offset;
    }
}

TEST_F(Geometry, CardsWithoutFileSystem)
{
    // Blank, random, and a partition table whose partition holds nothing or lies past
    // the card's end.
    Sh("truncate -s 8M " + card.Q());
    card.Load();
    EXPECT_TRUE(card.Geometry().empty());
    card.Bytes() = RandomBytes(8 << 20, 3);
    EXPECT_TRUE(card.Geometry().empty());
    Partitioned(8, "c");
    card.Load();
    EXPECT_TRUE(card.Geometry().empty());
    card.Bytes()[446 + 8 + 2] = 0x10;   // start at sector 0x100800: 513 MiB
    EXPECT_TRUE(card.Geometry().empty());
    // A read error is no volume.
    EXPECT_TRUE(ReadCardGeometry([](uint64_t, uint8_t*, size_t) { return false; }, 1 << 20).empty());
}

}  // namespace
