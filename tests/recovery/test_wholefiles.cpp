// Cards that lived like a camera's (a day's shots, some deleted in the camera, a second day
// filling the holes first-fit, then the accident): every original comes back byte for byte,
// fragmented ones included, under its type's extension.
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "recovery/cfragmentsearch.h"
#include "recoveryjob.h"

namespace px::test {
namespace {

class WholeFilesTest : public RecoveryTest {
protected:
    // Makes a card with tests/support/make-camera-life-card; pictures are cached in the
    // build tree so that the cards of a run share them.
    std::string MakeCard(const std::string& name, const std::string& options)
    {
        const std::string dir = home.File(name);
        std::string log;
        const std::string cmd = std::string(PX3_SOURCE_DIR) + "/tests/support/make-camera-life-card --cache " +
                                Quote(std::string(PX3_BINARY_DIR) + "/fixture-cache") + " " + options + " " +
                                Quote(dir) + " 2>&1";
        EXPECT_EQ(px::test::Run(cmd, &log), 0) << log;
        return dir;
    }
    // The originals that did not come back whole under their type's extension, each with
    // what came back instead. The pieces of the originals in several pieces are counted.
    std::vector<std::string> Misses(const std::string& dir, size_t& fragmented)
    {
        std::map<std::vector<uint8_t>, std::string> recovered;
        for (const auto& [name, bytes] : files)
            recovered.emplace(bytes, name);
        std::vector<std::string> misses;
        fragmented = 0;
        std::ifstream manifest(dir + "/manifest.tsv");
        std::string line;
        while (std::getline(manifest, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            std::istringstream fields(line);
            std::string name, folder, size, cluster, pieces;
            std::getline(fields, name, '\t');
            std::getline(fields, folder, '\t');
            std::getline(fields, size, '\t');
            std::getline(fields, cluster, '\t');
            std::getline(fields, pieces, '\t');
            fragmented += pieces.find(',') != std::string::npos;
            const auto original = ReadFile(dir + "/originals/" + name);
            const auto found = recovered.find(original);
            std::string want = name.substr(name.rfind('.') + 1);
            for (char& c : want)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (want == "MPO")
                want = "JPG";
            if (found == recovered.end()) {
                misses.push_back(name + " (" + size + " bytes, pieces " + pieces + ") not whole");
                continue;
            }
            std::string got = found->second.substr(found->second.rfind('.') + 1);
            for (char& c : got)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (got != want)
                misses.push_back(name + " came back as " + found->second);
        }
        return misses;
    }
    void ExpectWhole(const std::string& dir, size_t minFragmented)
    {
        ASSERT_TRUE(Recover(Attach(dir + "/card.img"))) << error;
        size_t fragmented = 0;
        const auto misses = Misses(dir, fragmented);
        EXPECT_GE(fragmented, minFragmented) << "the card should hold fragmented files";
        std::string text;
        for (const auto& miss : misses)
            text += "\n  " + miss;
        EXPECT_TRUE(misses.empty()) << dir << ":" << text;
    }
};

TEST_F(WholeFilesTest, CameraCardsComeBackWholeAndExact)
{
    // A FAT32 card with every file deleted, another quick-formatted (without a partition
    // table), and an exFAT card: the three accidents of a camera's life.
    ExpectWhole(MakeCard("fat32", "--fs fat32 --accident delete-all --seed 2 --delete 40"), 2);
    // A GIF with a folder's new cluster between its two pieces, a motion photo in three.
    ExpectWhole(MakeCard("fat32b", "--fs fat32 --accident delete-all --seed 3"), 2);
    ExpectWhole(MakeCard("quick", "--fs fat32 --accident quick-format --seed 5 --no-partition --delete 40"), 2);
    ExpectWhole(MakeCard("exfat", "--fs exfat --accident delete-all --seed 4 --delete 40"), 2);
}

TEST_F(WholeFilesTest, WithoutFileSystemTheClustersComeFromTheFileStarts)
{
    // The boot sectors wiped: the cluster size is read from where the files start.
    const std::string dir = MakeCard("wiped", "--fs exfat --accident delete-all --seed 6 --delete 40 --no-partition");
    {
        std::fstream card(dir + "/card.img", std::ios::in | std::ios::out | std::ios::binary);
        const std::vector<char> zeros(24 * 512, 0);
        card.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    ExpectWhole(dir, 1);

    uint64_t residue = 0;
    EXPECT_EQ(InferClusterBytes({4096 + 32768, 4096 + 3 * 32768, 4096 + 7 * 32768, 4096 + 8 * 32768}, residue),
              32768u)
        << "four starts a multiple of 32 KiB apart, 4 KiB into the card";
    EXPECT_EQ(residue, 4096u);
    EXPECT_EQ(InferClusterBytes({0, 512, 1024}, residue), 0u) << "too few starts tell nothing";
}

TEST_F(WholeFilesTest, APieceBeforeTheFirstIsFoundWhenNothingFitsAfterIt)
{
    // A writer that goes on from where it last wrote wraps round to the card's start: a
    // picture's second piece may lie before its first.
    std::vector<std::vector<uint8_t>> jpeg;
    for (const char* name : {"a", "b", "c"}) {
        const std::string path = home.File(std::string(name) + ".jpg");
        ASSERT_EQ(px::test::Run("convert -size 400x300 plasma:fractal -quality 90 " + Quote(path)), 0);
        jpeg.push_back(ReadFile(path));
    }
    const auto blocks = [](size_t bytes) { return (bytes + 511) / 512; };
    auto image = Blocks(2048);
    Put(image, 0, jpeg[0]);
    const size_t second = blocks(jpeg[0].size());
    const size_t firstSize = jpeg[1].size() / 2 / 512 * 512;
    Put(image, second, std::vector<uint8_t>(jpeg[1].begin() + firstSize, jpeg[1].end()));
    Put(image, 1024, std::vector<uint8_t>(jpeg[1].begin(), jpeg[1].begin() + firstSize));
    Put(image, 1024 + firstSize / 512, jpeg[2]);
    ASSERT_TRUE(Recover(AttachImage("wrapped.img", image), TypeBit::Jpg)) << error;
    std::vector<std::vector<uint8_t>> found;
    for (const auto& [name, bytes] : files)
        found.push_back(bytes);
    for (size_t i = 0; i < jpeg.size(); ++i)
        EXPECT_NE(std::find(found.begin(), found.end(), jpeg[i]), found.end()) << "picture " << i << " not whole";
}

// A file whose structure declares more than the card holds after it (a damaged or false
// header) does not take never-written space as its rest: zeros are no file's data.
TEST_F(WholeFilesTest, BlankSpaceIsNoPieceOfAFile)
{
    auto image = Blocks(8400);
    std::vector<uint8_t> tiff(50 * 512, 0x5A);
    const uint8_t header[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0,
                              0x11, 0x01, 4, 0, 1, 0, 0, 0, 0x00, 0x04, 0, 0,        // StripOffsets 1024
                              0x17, 0x01, 4, 0, 1, 0, 0, 0, 0xC0, 0xC6, 0x2D, 0,     // StripByteCounts 3,000,000
                              0, 0, 0, 0};
    std::copy(std::begin(header), std::end(header), tiff.begin());
    Put(image, 0, tiff);
    const std::string picture = home.File("next.jpg");
    ASSERT_EQ(px::test::Run("convert -size 64x48 plasma:fractal -quality 90 " + Quote(picture)), 0);
    Put(image, 50, ReadFile(picture));
    ASSERT_TRUE(Recover(AttachImage("blank.img", image), TypeBit::Tif | TypeBit::Jpg)) << error;
    ASSERT_EQ(files.count("IMAGE_000.TIF"), 1u);
    EXPECT_EQ(files["IMAGE_000.TIF"], tiff);
}

// The search reads a candidate as far as the structure looks at it, in slices, and keeps
// the file on disk: a raw's rest of several megabytes costs no buffer of its size. A cut
// first piece whose rest is not found whole leaves the file exactly as it was carved.
TEST_F(WholeFilesTest, FragmentSearchNeedsNoBufferOfTheFilesSize)
{
    constexpr size_t kRest = 6u << 20;
    std::vector<uint8_t> tiff(1024 + kRest, 0x5A);
    const uint8_t header[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0,
                              0x11, 0x01, 4, 0, 1, 0, 0, 0, 0x00, 0x04, 0, 0,  // StripOffsets 1024
                              0x17, 0x01, 4, 0, 1, 0, 0, 0, 0x00, 0x00, 0x60, 0,  // StripByteCounts 6 MiB
                              0, 0, 0, 0};
    std::copy(std::begin(header), std::end(header), tiff.begin());
    for (size_t i = 1024; i < tiff.size(); i += 4096)
        tiff[i] = static_cast<uint8_t>(i >> 12);  // each cluster its own
    // The first 64 KiB at the card's start, another file's 64 KiB, then the rest.
    constexpr size_t kFirst = 64u << 10, kRestAt = 128u << 10;
    std::vector<uint8_t> card(kRestAt + tiff.size() - kFirst, 0x33);
    std::copy(tiff.begin(), tiff.begin() + kFirst, card.begin());
    std::copy(tiff.begin() + kFirst, tiff.end(), card.begin() + kRestAt);
    size_t largestRead = 0;
    const CFragmentSearch::ReadFn read = [&](uint64_t offset, uint8_t* out, size_t n) {
        largestRead = std::max(largestRead, n);
        if (offset + n > card.size())
            return false;
        std::memcpy(out, card.data() + offset, n);
        return true;
    };
    const std::string path = home.File("IMAGE_000.TIF");
    const std::vector<uint8_t> carved(tiff.begin(), tiff.begin() + kFirst);
    CarveRecord record;
    record.Path = path;
    record.Type = FileTypeId::Tif;
    record.Length = kFirst;
    std::string problem;
    ASSERT_TRUE(WriteFile(path, carved));
    CFragmentSearch search(read, 4096, 0, {{kRestAt, card.size()}});
    ASSERT_TRUE(search.Complete(record, problem)) << problem;
    EXPECT_TRUE(record.Complete);
    EXPECT_TRUE(ReadFile(path) == tiff) << "the rest is put in place";
    EXPECT_LE(largestRead, 1u << 20);

    // A folder's cluster at 32 KiB: the first piece ends there, and no rest fits after it
    // whole (the card ends too soon), so nothing changes.
    card.resize(card.size() - 4096);
    ASSERT_TRUE(WriteFile(path, carved));
    record.Length = kFirst;
    record.SuspectAt = 32u << 10;
    CFragmentSearch again(read, 4096, 0, {{kRestAt, card.size()}});
    ASSERT_TRUE(again.Complete(record, problem)) << problem;
    EXPECT_FALSE(record.Complete);
    EXPECT_TRUE(record.Added.empty());
    EXPECT_TRUE(ReadFile(path) == carved) << "the file stays as it was carved";
}

// An empty area is read once in a search: not again for each of its starts, nor for the
// next file that tries it (two raws whose declared rest the card does not hold).
TEST_F(WholeFilesTest, AnEmptyAreaIsReadOnceInASearch)
{
    std::vector<uint8_t> tiff(64u << 10, 0x5A);
    const uint8_t header[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0,
                              0x11, 0x01, 4, 0, 1, 0, 0, 0, 0x00, 0x04, 0, 0,  // StripOffsets 1024
                              0x17, 0x01, 4, 0, 1, 0, 0, 0, 0x00, 0x00, 0x60, 0,  // StripByteCounts 6 MiB
                              0, 0, 0, 0};
    std::copy(std::begin(header), std::end(header), tiff.begin());
    constexpr size_t kEmptyAt = 128u << 10, kEmpty = 3u << 20;
    std::vector<uint8_t> card(kEmptyAt + kEmpty, 0);
    std::copy(tiff.begin(), tiff.end(), card.begin());
    std::copy(tiff.begin(), tiff.end(), card.begin() + tiff.size());
    size_t bytesRead = 0;
    const CFragmentSearch::ReadFn read = [&](uint64_t offset, uint8_t* out, size_t n) {
        bytesRead += n;
        if (offset + n > card.size())
            return false;
        std::memcpy(out, card.data() + offset, n);
        return true;
    };
    CFragmentSearch search(read, 4096, 0, {{kEmptyAt, card.size()}});
    for (const char* name : {"IMAGE_000.TIF", "IMAGE_001.TIF"}) {
        CarveRecord record;
        record.Path = home.File(name);
        record.Type = FileTypeId::Tif;
        record.Length = tiff.size();
        ASSERT_TRUE(WriteFile(record.Path, tiff));
        std::string problem;
        ASSERT_TRUE(search.Complete(record, problem)) << problem;
        EXPECT_TRUE(record.Added.empty()) << name;
        EXPECT_TRUE(ReadFile(record.Path) == tiff) << name;
    }
    EXPECT_LT(bytesRead, kEmpty + (256u << 10)) << "the empty area was read more than once";
}

TEST_F(WholeFilesTest, RawLargerThanTheMaximumSizeIsNotCut)
{
    const std::string dir = MakeCard("bigraw", "--fs fat32 --size 128 --kinds jpg,nef --big-raw --seed 7");
    ExpectWhole(dir, 0);
}

}  // namespace
}  // namespace px::test
