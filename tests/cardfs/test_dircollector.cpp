// Directory entries found in the card's blocks: a camera card written with mtools (long
// and 8.3 names, in use and deleted, folder paths), the same card after a quick format,
// two deleted files on one cluster, exFAT entry sets written into a mkfs.exfat volume,
// picture and random data that must give nothing, and the memory of 100,000 files.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "cardfs/dircollector.h"
#include "cardimage.h"

using namespace px;
using namespace px::test;

namespace {

void FeedCard(DirCollector& c, const std::vector<uint8_t>& bytes, size_t block = 4096)
{
    for (size_t at = 0; at < bytes.size(); at += block)
        c.Feed(at, bytes.data() + at, std::min(block, bytes.size() - at));
}

std::vector<DirEntry> Named(const DirCollector& c, const std::string& name)
{
    std::vector<DirEntry> out;
    for (const DirEntry& e : c.Entries())
        if (e.Name == name)
            out.push_back(e);
    return out;
}

uint32_t FirstCluster(const CardImage& card, uint64_t volume, const std::string& file)
{
    const std::string out = Sh("mshowfat -i " + card.At(volume) + " " + Quote("::/" + file));
    return std::stoul(out.substr(out.find('<') + 1));
}

// A file of n bytes with a modification time, put on the volume by mcopy -m.
void Put(const CardImage& card, uint64_t volume, const std::string& target, size_t n, const std::string& when)
{
    const std::string src = card.Path() + ".src";
    Sh("head -c " + std::to_string(n) + " /dev/urandom > " + Quote(src) + " && touch -d " + Quote(when) + " " +
       Quote(src) + " && mcopy -m -i " + card.At(volume) + " " + Quote(src) + " " + Quote("::/" + target));
}

constexpr uint64_t kVolume = 1 << 20;
constexpr int64_t kMay6th = 1620284890;   // 2021-05-06 07:08:10

class CameraCard : public ::testing::Test {
protected:
    TempHome home;
    CardImage card{home};
    std::map<std::string, uint32_t> clusters;

    // An MBR card with FAT32 as a camera leaves it, and two of its pictures deleted. The
    // clusters of 512 bytes make the folder 100CANON run over several clusters.
    void SetUp() override
    {
        Sh("truncate -s 48M " + card.Q() + " && printf 'label: dos\\nstart=2048, type=c\\n' | sfdisk -q " + card.Q());
        Sh("mkfs.fat -F 32 -s 1 -n CAMERA --offset 2048 " + card.Q());
        Sh("mmd -i " + card.At(kVolume) + " ::/DCIM ::/DCIM/100CANON");
        Put(card, kVolume, "DCIM/100CANON/IMG_0001.JPG", 3000, "2021-05-06 07:08:10");
        Put(card, kVolume, "DCIM/100CANON/Holiday at the sea.jpg", 5000, "2021-05-06 07:08:10");
        Put(card, kVolume, "DCIM/100CANON/IMG_0002.JPG", 9000, "2021-05-06 07:08:10");
        Put(card, kVolume, "DCIM/100CANON/A rather long deleted name, 2021.jpg", 7000, "2021-05-06 07:08:10");
        // Enough entries for the folder to go on into its second sector.
        std::string many;
        for (int i = 0; i < 20; ++i) {
            const std::string f = home.File("IMG_" + std::to_string(1000 + i) + ".JPG");
            WriteFile(f, {1, 2, 3});
            many += " " + Quote(f);
        }
        Sh("mcopy -i " + card.At(kVolume) + many + " ::/DCIM/100CANON/");
        // And enough folders for DCIM to go on into a second cluster, the last with a file.
        std::string folders;
        for (int i = 101; i <= 120; ++i)
            folders += " ::/DCIM/" + std::to_string(i) + "CANON";
        Sh("mmd -i " + card.At(kVolume) + folders);
        Put(card, kVolume, "DCIM/120CANON/IMG_9999.JPG", 100, "2021-05-06 07:08:10");
        for (const char* f : {"DCIM", "DCIM/100CANON", "DCIM/100CANON/IMG_0001.JPG", "DCIM/100CANON/Holiday at the sea.jpg",
                              "DCIM/100CANON/IMG_0002.JPG", "DCIM/100CANON/A rather long deleted name, 2021.jpg"})
            clusters[f] = FirstCluster(card, kVolume, f);
        Sh("mdel -i " + card.At(kVolume) + " ::/DCIM/100CANON/IMG_0002.JPG " +
           Quote("::/DCIM/100CANON/A rather long deleted name, 2021.jpg"));
        card.Load();
    }
};

TEST_F(CameraCard, NamesClustersTimesAndFoldersOfLiveAndDeletedFiles)
{
    const auto volumes = card.Geometry();
    ASSERT_EQ(volumes.size(), 1u);
    DirCollector c(volumes);
    FeedCard(c, card.Bytes());
    c.FollowFolderChains(card.Reader());

    struct Expect {
        std::string name, path;
        uint32_t cluster;
        uint64_t size;
        bool deleted, directory;
    };
    const Expect expected[] = {
        {"DCIM", "", clusters["DCIM"], 0, false, true},
        {"100CANON", "DCIM", clusters["DCIM/100CANON"], 0, false, true},
        {"IMG_0001.JPG", "DCIM/100CANON", clusters["DCIM/100CANON/IMG_0001.JPG"], 3000, false, false},
        {"Holiday at the sea.jpg", "DCIM/100CANON", clusters["DCIM/100CANON/Holiday at the sea.jpg"], 5000, false, false},
        // A deleted 8.3 name has lost its first letter; a long name keeps it.
        {"_MG_0002.JPG", "DCIM/100CANON", clusters["DCIM/100CANON/IMG_0002.JPG"], 9000, true, false},
        {"A rather long deleted name, 2021.jpg", "DCIM/100CANON",
         clusters["DCIM/100CANON/A rather long deleted name, 2021.jpg"], 7000, true, false},
        {"IMG_1019.JPG", "DCIM/100CANON", 0, 3, false, false},
    };
    for (const Expect& x : expected) {
        SCOPED_TRACE(x.name);
        const auto found = Named(c, x.name);
        ASSERT_EQ(found.size(), 1u);
        const DirEntry& e = found[0];
        if (x.cluster) {
            EXPECT_EQ(e.FirstCluster, x.cluster);
        }
        EXPECT_EQ(e.Size, x.size);
        EXPECT_EQ(e.Deleted, x.deleted);
        EXPECT_EQ(e.Directory, x.directory);
        EXPECT_FALSE(e.ExFat);
        bool complete = false;
        EXPECT_EQ(c.FolderPath(e, &complete), x.path);
        EXPECT_TRUE(complete);
        if (!x.directory && x.size > 3) {
            EXPECT_EQ(e.Modified, kMay6th);
        }
    }
    // The 8.3 entry is where EntryOffset says.
    const DirEntry first = Named(c, "IMG_0001.JPG")[0];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(card.Bytes().data() + first.EntryOffset), 11), "IMG_0001JPG");
    // Nothing else: no label, no "." or "..".
    EXPECT_EQ(c.Count(), 6u + 20u + 21u);
    EXPECT_TRUE(Named(c, "CAMERA").empty());

    // Offered again, and in any order, the blocks give the same entries once.
    FeedCard(c, card.Bytes(), 512);
    EXPECT_EQ(c.Count(), 47u);
    DirCollector backwards(volumes);
    for (size_t at = card.Bytes().size(); at >= 512; at -= 512)
        backwards.Feed(at - 512, card.Bytes().data() + at - 512, 512);
    std::set<uint64_t> a, b;
    for (const DirEntry& e : c.Entries())
        a.insert(e.EntryOffset);
    for (const DirEntry& e : backwards.Entries())
        b.insert(e.EntryOffset);
    EXPECT_EQ(a, b);

    // Without the geometry the entries and their folders are still found.
    // Without the geometry the entries and their folders are still found: 120CANON's entry
    // lies in a later cluster of DCIM, and its ".." tells its parent.
    DirCollector bare;
    FeedCard(bare, card.Bytes());
    EXPECT_EQ(bare.Count(), 47u);
    for (const char* name : {"Holiday at the sea.jpg", "IMG_9999.JPG"}) {
        bool complete = false;
        const std::string path = bare.FolderPath(Named(bare, name).at(0), &complete);
        EXPECT_EQ(path, name[0] == 'H' ? "DCIM/100CANON" : "DCIM/120CANON");
        EXPECT_TRUE(complete);
    }
}

TEST_F(CameraCard, QuickFormatLeavesTheFolderEntriesInTheDataArea)
{
    // A new empty file system over the same one: new FATs and root, the data area kept.
    Sh("mkfs.fat -F 32 -s 1 -n CAMERA --offset 2048 " + card.Q());
    card.Load();
    DirCollector c(card.Geometry());
    FeedCard(c, card.Bytes());
    EXPECT_TRUE(Named(c, "DCIM").empty()) << "the root was wiped";
    const auto holiday = Named(c, "Holiday at the sea.jpg");
    ASSERT_EQ(holiday.size(), 1u);
    EXPECT_EQ(holiday[0].FirstCluster, clusters["DCIM/100CANON/Holiday at the sea.jpg"]);
    EXPECT_EQ(holiday[0].Size, 5000u);
    // DCIM's own entry is gone, so its name is: the path is known from 100CANON on.
    bool complete = true;
    EXPECT_EQ(c.FolderPath(holiday[0], &complete), "100CANON");
    EXPECT_FALSE(complete);
    EXPECT_EQ(Named(c, "A rather long deleted name, 2021.jpg").size(), 1u);
    EXPECT_EQ(c.Count(), 46u);
}

TEST(DirCollector, TwoDeletedFilesOnOneClusterInAFat16Root)
{
    TempHome home;
    CardImage card(home);
    Sh("mkfs.fat -C -F 16 -n SHOTS " + card.Q() + " 20480 && mmd -i " + card.At(0) + " ::/DCIM");
    Put(card, 0, "IMG_0005.JPG", 3000, "2021-05-06 07:08:10");
    const uint32_t cluster = FirstCluster(card, 0, "IMG_0005.JPG");
    Sh("mdel -i " + card.At(0) + " ::/IMG_0005.JPG");
    // In another folder, so that its entry does not take the deleted one's place.
    Put(card, 0, "DCIM/Second picture.jpg", 2500, "2021-05-06 07:08:10");
    ASSERT_EQ(FirstCluster(card, 0, "DCIM/Second picture.jpg"), cluster) << "FAT16 gives the freed cluster again";
    Sh("mdel -i " + card.At(0) + " " + Quote("::/DCIM/Second picture.jpg"));
    card.Load();

    DirCollector c(card.Geometry());
    FeedCard(c, card.Bytes());
    auto both = c.WithCluster(cluster);
    ASSERT_EQ(both.size(), 2u);
    std::sort(both.begin(), both.end(), [](auto& x, auto& y) { return x.Name < y.Name; });
    EXPECT_EQ(both[0].Name, "Second picture.jpg");
    EXPECT_EQ(both[0].Size, 2500u);
    EXPECT_EQ(c.FolderPath(both[0]), "DCIM");
    EXPECT_EQ(both[1].Name, "_MG_0005.JPG");
    EXPECT_EQ(both[1].Size, 3000u);
    EXPECT_EQ(both[1].FolderCluster, 0u) << "the fixed root of FAT16";
    EXPECT_NE(both[0].EntryOffset, both[1].EntryOffset);
    EXPECT_TRUE(both[0].Deleted && both[1].Deleted);
    EXPECT_TRUE(c.WithCluster(cluster + 1).empty());
}

// exFAT entry sets as a writer makes them: a file entry, a stream extension, name entries,
// with the set checksum.
std::vector<uint8_t> ExFatSet(const std::string& name, bool directory, uint32_t cluster, uint64_t length,
                              bool contiguous, uint32_t stamp, uint8_t utc)
{
    const size_t names = (name.size() + 14) / 15;
    std::vector<uint8_t> s((2 + names) * 32, 0);
    auto put16 = [&](size_t at, uint32_t v) { s[at] = uint8_t(v), s[at + 1] = uint8_t(v >> 8); };
    auto put32 = [&](size_t at, uint32_t v) { put16(at, v), put16(at + 2, v >> 16); };
    s[0] = 0x85;
    s[1] = uint8_t(1 + names);
    put16(4, directory ? 0x10 : 0x20);
    put32(8, stamp);
    put32(12, stamp);
    put32(16, stamp);
    s[22] = s[23] = s[24] = utc;
    s[32] = 0xC0;
    s[33] = uint8_t(1 | (contiguous ? 2 : 0));
    s[35] = uint8_t(name.size());
    put32(32 + 8, uint32_t(length));
    put32(32 + 20, cluster);
    put32(32 + 24, uint32_t(length));
    for (size_t i = 0; i < name.size(); ++i) {
        s[64 + (i / 15) * 32] = 0xC1;
        put16(64 + (i / 15) * 32 + 2 + (i % 15) * 2, uint8_t(name[i]));
    }
    uint16_t sum = 0;
    for (size_t i = 0; i < s.size(); ++i)
        if (i != 2 && i != 3)
            sum = uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + s[i]);
    put16(2, sum);
    return s;
}

// As an exFAT driver deletes: bit 7 of each entry type cleared, the checksum left (or,
// resum, summed anew).
std::vector<uint8_t> Deleted(std::vector<uint8_t> set, bool resum = false)
{
    for (size_t i = 0; i < set.size(); i += 32)
        set[i] &= 0x7F;
    uint16_t sum = 0;
    for (size_t i = 0; i < set.size(); ++i)
        if (i != 2 && i != 3)
            sum = uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
    if (resum)
        set[2] = uint8_t(sum), set[3] = uint8_t(sum >> 8);
    return set;
}

TEST(DirCollector, ExFatEntrySetsInAFormattedVolume)
{
    TempHome home;
    CardImage card(home);
    Sh("truncate -s 40M " + card.Q() + " && mkfs.exfat -c 4096 " + card.Q());
    card.Load();
    // Where the volume's root and clusters are, as dump.exfat reads them.
    const std::string dump = Sh("dump.exfat " + card.Q());
    auto field = [&](const std::string& key) {
        const size_t at = dump.find(key);
        return std::stoull(dump.substr(dump.find(':', at) + 1));
    };
    const uint64_t heap = field("Cluster Heap Offset") * 512;
    const uint32_t root = uint32_t(field("Root Cluster"));
    auto clusterAt = [&](uint32_t c) { return heap + uint64_t(c - 2) * 4096; };

    // 2022-03-04 10:20:30 local time, 2 hours east of UTC (offset 8 quarters, valid bit).
    const uint32_t stamp = (42u << 25 | 3u << 21 | 4u << 16) | (10u << 11 | 20u << 5 | 15u);
    const int64_t utc = 1646389230 - 2 * 3600;
    auto& bytes = card.Bytes();
    auto write = [&](uint64_t at, const std::vector<uint8_t>& set) { std::copy(set.begin(), set.end(), bytes.begin() + at); };
    // The root: the label, bitmap and up-case entries of mkfs.exfat, then a folder.
    uint64_t slot = clusterAt(root);
    while (bytes[slot] != 0)
        slot += 32;
    const uint32_t dcim = 40;
    write(slot, ExFatSet("DCIM", true, dcim, 2 * 4096, true, stamp, 0x88));
    // In the folder: a picture, a deleted one, one whose name needs four name entries,
    // one across the boundary of the first two sectors, one whose checksum fails; and one
    // at the start of the folder's second cluster.
    const uint64_t folder = clusterAt(dcim);
    write(folder, ExFatSet("IMG_0001.JPG", false, 100, 123456, true, stamp, 0x88));
    write(folder + 3 * 32, Deleted(ExFatSet("Deleted long name of a picture.jpg", false, 200, 99999, false, stamp, 0)));
    write(folder + 8 * 32, ExFatSet("A picture whose name is long enough for four entries.jpg", false, 250, 10, false, stamp, 0x88));
    write(folder + 14 * 32, ExFatSet("IMG_0003.JPG", false, 300, 5000, false, stamp, 0x88));
    auto broken = ExFatSet("BAD.JPG", false, 400, 1000, false, stamp, 0x88);
    broken[64 + 2] = 'C';
    write(folder + 17 * 32, broken);
    write(folder + 4096, ExFatSet("IMG_0004.JPG", false, 500, 5000, false, stamp, 0x88));
    write(folder + 4096 + 3 * 32, Deleted(ExFatSet("IMG_0005.JPG", false, 600, 5000, false, stamp, 0x88), true));

    DirCollector c(card.Geometry());
    FeedCard(c, bytes, 512);
    ASSERT_EQ(c.Count(), 7u);
    const auto pic = Named(c, "IMG_0001.JPG");
    ASSERT_EQ(pic.size(), 1u);
    EXPECT_TRUE(pic[0].ExFat);
    EXPECT_FALSE(pic[0].Deleted);
    EXPECT_TRUE(pic[0].Contiguous);
    EXPECT_EQ(pic[0].FirstCluster, 100u);
    EXPECT_EQ(pic[0].Size, 123456u);
    EXPECT_EQ(pic[0].Modified, utc);
    EXPECT_EQ(pic[0].Created, utc);
    EXPECT_EQ(pic[0].EntryOffset, folder);
    bool complete = false;
    EXPECT_EQ(c.FolderPath(pic[0], &complete), "DCIM");
    EXPECT_TRUE(complete);

    const auto gone = Named(c, "Deleted long name of a picture.jpg");
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_TRUE(gone[0].Deleted);
    EXPECT_FALSE(gone[0].Contiguous);
    EXPECT_EQ(gone[0].FirstCluster, 200u);
    EXPECT_EQ(gone[0].Modified, 1646389230) << "no UTC offset: local time as UTC";

    // Across sectors, and in the folder's second cluster (the folder runs without FAT
    // chain).
    for (const char* name : {"IMG_0003.JPG", "IMG_0004.JPG", "IMG_0005.JPG", "A picture whose name is long enough for four entries.jpg"}) {
        const auto found = Named(c, name);
        ASSERT_EQ(found.size(), 1u) << name;
        EXPECT_EQ(c.FolderPath(found[0], &complete), "DCIM");
        EXPECT_TRUE(complete);
    }
    const auto dir = Named(c, "DCIM");
    ASSERT_EQ(dir.size(), 1u);
    EXPECT_TRUE(dir[0].Directory);
    EXPECT_EQ(dir[0].FolderCluster, 0u);

    // Without the geometry, the bitmap and up-case entries beside it tell the root.
    DirCollector bare;
    FeedCard(bare, bytes, 512);
    EXPECT_EQ(bare.Count(), 7u);
    EXPECT_EQ(Named(bare, "DCIM").at(0).FolderCluster, 0u);
}

TEST(DirCollector, PictureAndRandomDataGiveNoEntries)
{
    TempHome home;
    // Pictures as cameras make them: JPEG of detailed and of noisy content, with EXIF text.
    std::vector<uint8_t> data;
    for (int i = 0; i < 6; ++i) {
        const std::string f = home.File("p" + std::to_string(i) + ".jpg");
        Sh("convert -seed " + std::to_string(i + 1) + " -size 1600x1200 " + (i % 2 ? "plasma:fractal" : "xc:gray +noise Random") +
           " -set comment 'Canon EOS 5D Mark IV IMG_0001.JPG' -quality 92 " + Quote(f));
        const auto jpeg = ReadFile(f);
        data.insert(data.end(), jpeg.begin(), jpeg.end());
        data.resize((data.size() + 511) / 512 * 512);
    }
    ASSERT_GT(data.size(), 4u << 20);
    DirCollector pictures;
    FeedCard(pictures, data, 512);
    EXPECT_EQ(pictures.Count(), 0u);

    std::mt19937_64 rng(11);
    std::vector<uint8_t> random(64 << 20);
    for (size_t i = 0; i < random.size(); i += 8) {
        const uint64_t v = rng();
        std::memcpy(random.data() + i, &v, 8);
    }
    DirCollector noise;
    FeedCard(noise, random, 65536);
    EXPECT_EQ(noise.Count(), 0u);
}

TEST(DirCollector, HundredThousandFilesInAFewMegabytes)
{
    // A folder of 100,000 camera files, as 8.3 entries with dates, after its "." and "..".
    std::vector<uint8_t> dir((100000 + 2) * 32, 0);
    auto entry = [&](size_t i, const char* name, uint8_t attr, uint32_t cluster, uint32_t size) {
        uint8_t* e = dir.data() + i * 32;
        std::memcpy(e, name, 11);
        e[11] = attr;
        e[24] = 0xA6, e[25] = 0x52;   // 2021-05-06
        e[26] = uint8_t(cluster), e[27] = uint8_t(cluster >> 8), e[20] = uint8_t(cluster >> 16);
        std::memcpy(e + 28, &size, 4);
    };
    entry(0, ".          ", 0x10, 5, 0);
    entry(1, "..         ", 0x10, 0, 0);
    for (uint32_t i = 0; i < 100000; ++i) {
        char name[12];
        std::snprintf(name, sizeof name, "IMG%05uJPG", i);
        entry(i + 2, name, 0x20, 100 + i * 4, 4 * 32768);
    }
    DirCollector c;
    FeedCard(c, dir, 32768);
    ASSERT_EQ(c.Count(), 100000u);
    EXPECT_EQ(c.At(99999).Name, "IMG99999.JPG");
    EXPECT_EQ(c.WithCluster(100 + 4 * 777).at(0).Name, "IMG00777.JPG");
    EXPECT_LT(c.MemoryBytes(), 6u << 20);
}

}  // namespace
