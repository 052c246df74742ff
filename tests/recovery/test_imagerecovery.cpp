// The recovery job on card images: what comes back, where files end, bad cards, and
// that nothing is ever written to the card.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "app/filetypes.h"
#include "device/cdrivescsi.h"
#include "platform/messagepump.h"
#include "platform/volumetable.h"
#include "recovery/ccarvefile.h"
#include "recovery/cimagerecovery.h"
#include "recoveryjob.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;
using px::VolumeTable;
using namespace px::test;

namespace {

TEST_F(RecoveryTest, DeletedCameraFilesComeBackWhole)
{
    const std::string card = home.File("card.img");
    px::test::MakeDemoCard(card, 48, "--pictures 4 --keep");
    // The originals, read back through the file system before the scan.
    const std::string originals = home.File("originals");
    fs::create_directories(originals);
    ASSERT_EQ(px::test::Run("MTOOLS_SKIP_CHECK=1 mcopy -i " + px::test::Quote(card + "@@1048576") +
                            " '::DCIM/100DEMO/*' " + px::test::Quote(originals)),
              0);
    const auto before = px::test::ReadFile(card);
    const char letter = Attach(card);
    ASSERT_TRUE(Recover(letter)) << error;
    EXPECT_EQ(error, "");

    int checked = 0;
    for (const auto& entry : fs::directory_iterator(originals)) {
        const auto original = px::test::ReadFile(entry.path().string());
        const std::string name = entry.path().filename().string();
        const std::string lower = [&] {
            std::string l = name;
            std::transform(l.begin(), l.end(), l.begin(), ::tolower);
            return l;
        }();
        bool found = false;
        for (const auto& [carved, bytes] : files) {
            if (bytes.size() < original.size() || !std::equal(original.begin(), original.end(), bytes.begin()))
                continue;
            found = true;
            // Movies and WAVE files end exactly at their own end.
            if (IsVideoFile(lower) || IsWaveFile(lower)) {
                EXPECT_EQ(bytes.size(), original.size()) << name << " as " << carved;
            }
        }
        EXPECT_TRUE(found) << name << " did not come back";
        ++checked;
    }
    EXPECT_EQ(checked, 12);
    EXPECT_TRUE(files.count("movie(1).mov") && files.count("movie(2).mp4") && files.count("movie(3).avi"))
        << "movies are numbered from 1 across kinds";
    // The scan never wrote to the card.
    EXPECT_EQ(VolumeTable::Instance().Card(letter)->WriteCommands(), 0u);
    EXPECT_EQ(px::test::ReadFile(card), before);

    // A second run makes a second folder, numbered from IMAGE_000 again.
    const std::string first = folder;
    ASSERT_TRUE(Recover(letter));
    EXPECT_NE(folder, first);
    EXPECT_TRUE(files.count("IMAGE_000.GIF") || files.count("IMAGE_000.JPG"));
}

TEST_F(RecoveryTest, QuickFormattedCardStillGivesItsPictures)
{
    const std::string card = home.File("card.img");
    px::test::MakeDemoCard(card, 48, "--pictures 3 --quick-format");
    ASSERT_TRUE(Recover(Attach(card), TypeBit::Jpg | TypeBit::Mov));
    int jpegs = 0;
    for (const auto& [name, bytes] : files)
        jpegs += name.ends_with(".JPG");
    EXPECT_EQ(jpegs, 3);
    EXPECT_TRUE(files.count("movie(1).mov"));
}

TEST_F(RecoveryTest, WhereFilesEnd)
{
    auto image = Blocks(64);
    Put(image, 0, Jpeg());
    image[512 + 5] = 0x11;   // JPEG data in blocks 1 to 3
    Put(image, 4, Jpeg());   // a JPEG right behind the first one
    // A WAVE file whose header says 600 bytes: it ends 88 bytes into its second block,
    // and the zeros behind it are skipped.
    std::vector<uint8_t> wave(44, 0);
    std::memcpy(&wave[0], "RIFF", 4);
    wave[4] = (600 - 8) & 0xFF;
    wave[5] = (600 - 8) >> 8;
    std::memcpy(&wave[8], "WAVEfmt ", 8);
    wave[16] = 16;
    std::memcpy(&wave[36], "data", 4);
    wave[40] = (600 - 44) & 0xFF;
    wave[41] = (600 - 44) >> 8;
    Put(image, 10, wave);
    Put(image, 20, Jpeg());   // then a JPEG that runs into the zeros up to the next file
    Put(image, 30, QtAtom(512 * 3, "mdat"));   // a movie of three blocks
    Put(image, 33, Jpeg());
    const std::string card = home.File("ends.img");
    ASSERT_TRUE(px::test::WriteFile(card, image));
    ASSERT_TRUE(Recover(Attach(card), kAllTypes, 4096));
    ASSERT_TRUE(files.count("IMAGE_000.JPG"));
    EXPECT_EQ(files["IMAGE_000.JPG"].size(), 4u * 512);
    EXPECT_EQ(files["IMAGE_000.JPG"][512 + 5], 0x11);
    EXPECT_EQ(files["IMAGE_001.JPG"].size(), 6u * 512);   // blocks of zeros are appended: no end rule fired
    EXPECT_EQ(files["IMAGE_002.WAV"].size(), 600u);
    EXPECT_EQ(files["IMAGE_003.JPG"].size(), 4096u + 512);   // past the maximum size: closed
    EXPECT_EQ(files["movie(1).mov"].size(), 3u * 512);
    // The last JPEG also stops after the block that takes it past the maximum size.
    EXPECT_EQ(files["IMAGE_004.JPG"].size(), 4096u + 512);
    EXPECT_EQ(status.FileCount, 6u);
}

TEST_F(RecoveryTest, OrfPreviewStaysInsideAndUnselectedMovieIsSkipped)
{
    auto image = Blocks(40);
    Put(image, 0, {'I', 'I', 'R', 'O', 0x08, 0, 0, 0});
    Put(image, 2, {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0xC5});   // the ORF's own preview
    Put(image, 4, {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0xC5});   // a second one starts a file
    Put(image, 10, QtAtom(512 * 4, "mdat"));               // a movie whose type is not chosen
    // A Motion-JPEG frame inside the movie: not carved (a camera picture's Exif or JFIF
    // header there would end the movie as one in pieces).
    Put(image, 12, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'A', 'V', 'I', '1', 0});
    Put(image, 20, Jpeg());
    const std::string card = home.File("orf.img");
    ASSERT_TRUE(px::test::WriteFile(card, image));
    ASSERT_TRUE(Recover(Attach(card), TypeBit::Orf | TypeBit::Jpg));
    EXPECT_EQ(files["IMAGE_000.ORF"].size(), 4u * 512);
    EXPECT_TRUE(files.count("IMAGE_001.THM"));
    EXPECT_EQ(files.count("movie(1).mov"), 0u);
    ASSERT_TRUE(files.count("IMAGE_002.JPG"));
    EXPECT_EQ(files.size(), 3u);
}

TEST_F(RecoveryTest, BadCardsEndCleanly)
{
    const int32_t maxSize = 64 * 1024;
    auto check = [&](const std::string& name, const std::vector<uint8_t>& image) {
        const std::string card = home.File(name);
        ASSERT_TRUE(px::test::WriteFile(card, image));
        const char letter = Attach(card);
        Recover(letter, kAllTypes, maxSize);
        for (const auto& [file, bytes] : files)
            if (!file.starts_with("movie(")) {
                EXPECT_LE(bytes.size(), size_t(maxSize) + 512) << name << ": " << file;
            }
        EXPECT_EQ(VolumeTable::Instance().Card(letter)->WriteCommands(), 0u);
        VolumeTable::Instance().Detach(letter);
    };
    std::mt19937 random(7);
    auto noise = Blocks(4096);
    for (auto& b : noise)
        b = static_cast<uint8_t>(random());
    check("random.img", noise);
    check("zeros.img", Blocks(1000));
    auto headers = Blocks(500);
    for (size_t b = 0; b < 500; ++b)
        Put(headers, b, Jpeg());
    check("headers.img", headers);
    EXPECT_EQ(files.size(), 500u);

    // Atom chains with odd sizes, the last header cut by the end of the card. A first atom
    // of size 0 starts no movie: the picture behind it comes back.
    auto atoms = Blocks(400);
    Put(atoms, 10, QtAtom(0, "moov"));
    Put(atoms, 11, Jpeg());
    check("atom0.img", atoms);
    EXPECT_FALSE(files.count("movie(1).mov"));
    EXPECT_TRUE(files.count("IMAGE_000.JPG"));
    atoms = Blocks(400);
    Put(atoms, 10, QtAtom(1, "mdat"));
    Put(atoms, 20, QtAtom(7, "free"));
    Put(atoms, 30, QtAtom(0xFFFFFFFF, "mdat"));
    Put(atoms, 40, QtAtom(512 - 8, "skip"));   // the next header falls on the next block's start
    Put(atoms, 41, QtAtom(8, "wide"));
    Put(atoms, 50, QtAtom(510, "skip"));       // the next header straddles two blocks
    atoms[50 * 512 + 510] = 0;
    atoms[50 * 512 + 511] = 0;
    Put(atoms, 51, {0x01, 0x00, 'f', 'r', 'e', 'e'});
    std::vector<uint8_t> avi(60, 0);
    std::memcpy(&avi[0], "RIFF", 4);
    avi[4] = 0xFF;
    std::memcpy(&avi[8], "AVI LIST", 8);
    std::memcpy(&avi[24], "avih", 4);   // its header runs past the card's last byte
    Put(atoms, 399, avi);
    check("atoms.img", atoms);
}

TEST_F(RecoveryTest, MovieChainsAcrossBlocksAndWhatFollowsThem)
{
    // A chain whose next header starts 7 bytes before a chunk's end with a 64-bit size:
    // nothing may be read before the next chunk's buffer, and the movie ends where the
    // chain does.
    auto image = Blocks(300);
    const size_t end = 100 * 512 - 7;   // block 100 starts the second chunk
    Put(image, 0, QtAtom(end, "mdat"));
    const auto tail = QtAtom(1, "mdat");
    std::memcpy(&image[end], tail.data(), 8);
    image[end + 15] = 16;   // the extended size: the 16 header bytes alone
    Put(image, 150, Jpeg());
    // A CRW file closed by a movie start, then pictures: they must still come back.
    Put(image, 200, {0x49, 0x49, 0x1A, 0x00, 0x00, 0x00, 'H', 'E', 'A', 'P', 'C', 'C', 'D', 'R'});
    Put(image, 210, QtAtom(512 * 2, "mdat"));
    Put(image, 250, Jpeg());
    Put(image, 280, Jpeg());
    const std::string card = home.File("chains.img");
    ASSERT_TRUE(px::test::WriteFile(card, image));
    ASSERT_TRUE(Recover(Attach(card))) << error;
    EXPECT_EQ(files["movie(1).mov"].size(), end + 16);
    EXPECT_TRUE(files.count("IMAGE_000.JPG"));
    EXPECT_TRUE(files.count("IMAGE_001.CRW"));
    EXPECT_TRUE(files.count("movie(2).mov"));
    EXPECT_TRUE(files.count("IMAGE_002.JPG")) << "a picture after the movie that closed the CRW file";
    EXPECT_TRUE(files.count("IMAGE_003.JPG"));
}

// An atom of size 0 runs "to the end of the file": the movie ends at the next block that
// starts a file, or with the card, and is announced under its own name either way.
TEST_F(RecoveryTest, MovieToTheEndOfItsFileEndsAtTheNextFile)
{
    auto image = Blocks(100);
    auto movie = QtAtom(16, "ftyp");
    movie.insert(movie.end(), {'q', 't', ' ', ' ', 0, 0, 0, 0});
    const auto open = QtAtom(0, "mdat");
    movie.insert(movie.end(), open.begin(), open.end());
    Put(image, 10, movie);
    Put(image, 40, Jpeg());
    Put(image, 60, movie);
    const std::string card = home.File("open.img");
    ASSERT_TRUE(px::test::WriteFile(card, image));
    // Each file is announced in the order the files were closed (the first movie, cut by
    // the picture, after the search for its pieces), also when its close went on behind
    // the scan.
    struct Finished : CListener {
        std::vector<std::string> names;
        Finished() { Bus().AddListener("Finished", this); }
        ~Finished() override { Bus().RemoveListener(this); }
        void OnMessage(CSingleMsg& msg) override
        {
            auto* status = dynamic_cast<CTransferStatus*>(msg.Attached);
            if (msg.Code == MsgCode::TransferStatus && status && status->Kind == StatusKind::FileFinished)
                names.push_back(status->FilePath.GetFileName());
        }
    } finished;
    ASSERT_TRUE(Recover(Attach(card))) << error;
    EXPECT_EQ(finished.names, (std::vector<std::string>{"IMAGE_000.JPG", "movie(2).mov", "movie(1).mov"}));
    EXPECT_EQ(files["movie(1).mov"].size(), 30u * 512);
    EXPECT_EQ(files["IMAGE_000.JPG"].size(), 20u * 512);
    EXPECT_EQ(files["movie(2).mov"].size(), 40u * 512);
}

// Runs started in the same second never share a folder, and a name planted in the work
// folder (a link to another user's folder, say) is passed over, never written through.
TEST_F(RecoveryTest, EveryRunHasAFolderOfItsOwn)
{
    const char letter = AttachImage("c.img", JpegEvery(40, 4));
    COleDateTime::SetClock([] { return std::time_t(1765000000); });
    ASSERT_TRUE(Recover(letter)) << error;
    const std::string first = folder;
    const auto firstFiles = files;
    ASSERT_TRUE(Recover(letter)) << error;
    const std::string second = folder;
    const std::string victim = home.File("victim");
    fs::create_directories(victim);
    fs::create_symlink(victim, first.substr(0, first.size() - 1) + "_3");
    ASSERT_TRUE(Recover(letter)) << error;
    COleDateTime::SetClock({});
    EXPECT_EQ(second.substr(0, second.size() - 1), first.substr(0, first.size() - 1) + "_2");
    EXPECT_EQ(folder.substr(0, folder.size() - 1), first.substr(0, first.size() - 1) + "_4");
    EXPECT_TRUE(fs::is_empty(victim));
    std::map<std::string, std::vector<uint8_t>> again;
    for (const auto& entry : fs::directory_iterator(first))
        again[entry.path().filename().string()] = px::test::ReadFile(entry.path().string());
    EXPECT_EQ(again, firstFiles);
    EXPECT_EQ(firstFiles.size(), 10u);
}

// The files the writer makes ahead take a name only where nothing is: a link planted
// under the next name is refused as an exclusive create refuses it, never written through.
TEST_F(RecoveryTest, FilesMadeAheadNeverTakeAnExistingName)
{
    const std::string run = home.File("run");
    fs::create_directories(run);
    const std::string victim = home.File("victim.txt");
    ASSERT_TRUE(px::test::WriteFile(victim, {1, 2, 3}));
    fs::create_symlink(victim, run + "/IMAGE_000.JPG");
    CWriteBehind writer;
    writer.KeepSpares(run);
    int fd = -1, code = 0;
    for (int tries = 0; tries < 200 && fd < 0 && code == 0; ++tries) {
        fd = writer.TakeSpare(run + "/IMAGE_000.JPG", code);
        if (fd < 0 && code == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(code, EEXIST) << "a file made ahead was at hand and the name was refused";
    CCarveFile file;
    file.SetWriteBehind(&writer);
    EXPECT_FALSE(file.Create(run + "/IMAGE_000.JPG"));
    EXPECT_EQ(file.GetError(), "Cannot create " + run + "/IMAGE_000.JPG: File exists");
    ASSERT_TRUE(file.Create(run + "/IMAGE_001.JPG")) << file.GetError();
    const uint8_t bytes[] = {0xFF, 0xD8, 0xFF, 0xD9};
    ASSERT_TRUE(file.Append(bytes, sizeof bytes));
    ASSERT_TRUE(file.Close()) << file.GetError();
    writer.KeepSpares(std::string());
    EXPECT_EQ(px::test::ReadFile(victim), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(px::test::ReadFile(run + "/IMAGE_001.JPG"), std::vector<uint8_t>(bytes, bytes + sizeof bytes));
    EXPECT_EQ(std::distance(fs::directory_iterator(run), fs::directory_iterator()), 2) << "nothing left behind";
}

// A file's end found in bytes appended but not yet written drops them unwritten; an end in
// bytes already written cuts the file once its writes are done; a close behind waits for
// neither, and the file is whole and closed when its ticket is done.
TEST_F(RecoveryTest, EndsAndClosesGoOnBehindTheScan)
{
    CWriteBehind writer;
    CCarveFile file;
    file.SetWriteBehind(&writer);
    const std::string path = home.File("cut.jpg");
    ASSERT_TRUE(file.Create(path)) << file.GetError();
    std::vector<uint8_t> bytes(3000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 7);
    ASSERT_TRUE(file.Append(bytes.data(), 1000));
    ASSERT_TRUE(file.Flush());
    ASSERT_TRUE(file.Append(bytes.data() + 1000, 1000));
    ASSERT_TRUE(file.Append(bytes.data() + 2500, 500));  // a second span
    ASSERT_TRUE(file.Truncate(2100));                    // in the second span
    ASSERT_TRUE(file.Flush());
    EXPECT_EQ(file.Written(), 2100u);
    ASSERT_TRUE(file.Truncate(900));  // in bytes queued or written
    ASSERT_TRUE(file.Append(bytes.data(), 10));
    CCarveFile::Closing closing;
    ASSERT_TRUE(file.CloseBehind(closing)) << file.GetError();
    EXPECT_FALSE(file.IsOpen());
    ASSERT_GT(closing.Ticket, 0u);
    writer.WaitFor(closing.Ticket);
    EXPECT_GE(writer.Done(), closing.Ticket);
    EXPECT_EQ(closing.State->Error.load(), 0);
    std::vector<uint8_t> expected(bytes.begin(), bytes.begin() + 900);
    expected.insert(expected.end(), bytes.begin(), bytes.begin() + 10);
    EXPECT_EQ(px::test::ReadFile(path), expected);
}

// A card of count blocks of noise (no zero byte, nothing that looks like a file) with a
// picture at block 0 and one at block `second`.
std::vector<uint8_t> TwoPicturesInNoise(size_t count, size_t second, unsigned seed)
{
    std::vector<uint8_t> image(count * 512);
    std::mt19937 random(seed);
    for (size_t i = 512; i < image.size(); ++i)
        image[i] = uint8_t(random() | 1);
    const auto header = Jpeg();
    std::copy(header.begin(), header.end(), image.begin());
    std::copy(header.begin(), header.end(), image.begin() + static_cast<ptrdiff_t>(second * 512));
    return image;
}

// What a reader says about its data decides what is kept: RECOVERED ERROR with every byte
// moved is good data, kept as it came; a failed read's leftovers are never carved.
TEST_F(RecoveryTest, RecoveredDataIsKeptAndFailedReadsAreZeros)
{
    const auto image = TwoPicturesInNoise(400, 200, 3);
    const std::string card = home.File("faults.img");
    ASSERT_TRUE(px::test::WriteFile(card, image));
    const char letter = Attach(card + ",recovered=50-60,bad=250,garbage");
    ASSERT_FALSE(Recover(letter, TypeBit::Jpg) && error.empty());
    EXPECT_EQ(status.UnreadableBlocks, 1u);
    EXPECT_EQ(files["IMAGE_000.JPG"], std::vector<uint8_t>(image.begin(), image.begin() + 200 * 512));
    auto second = std::vector<uint8_t>(image.begin() + 200 * 512, image.end());
    std::fill(second.begin() + 50 * 512, second.begin() + 51 * 512, 0);
    EXPECT_EQ(files["IMAGE_001.JPG"], second);
    // One request for the card (it stops at the bad block), the chunk that holds it again
    // by block, one request for the rest: the recovered blocks were not asked for twice.
    EXPECT_EQ(VolumeTable::Instance().Card(letter)->ReadCommands(), 1u + 100 + 1);
}

// The carved files are written behind the scan: a write that fails (here past the
// process's file size limit, as on a full disk) still stops the run with the system's
// reason, and the file before it is whole.
TEST_F(RecoveryTest, CarvedFileThatCannotBeWrittenStopsTheRun)
{
    const auto image = TwoPicturesInNoise(3000, 40, 5);  // more than one request read ahead
    const std::string card = home.File("full.img");
    ASSERT_TRUE(px::test::WriteFile(card, image));
    const char letter = Attach(card);
    bool ok = true;
    {
        FileSizeLimit limit(100000);
        ok = Recover(letter, TypeBit::Jpg);
    }
    EXPECT_FALSE(ok);
    EXPECT_NE(error.find("Cannot write "), std::string::npos) << error;
    EXPECT_NE(error.find("File too large"), std::string::npos) << error;
    EXPECT_EQ(files["IMAGE_000.JPG"], std::vector<uint8_t>(image.begin(), image.begin() + 40 * 512));
}

// A card whose last quarter is dead: the scan moves through it in chunks instead of
// asking for each block (each failure costs the reader's retries, here 2 ms), and every
// picture before it comes back. Counted in requests, which a loaded machine does not
// change (timed, the test failed under a parallel build): without the skipping, this
// card takes 164 requests instead of about 63.
TEST_F(RecoveryTest, DyingCardSkipsItsDeadArea)
{
    const std::string card = home.File("dying.img");
    ASSERT_TRUE(px::test::WriteFile(card, JpegEvery(20000, 100)));
    auto requests = [&](const std::string& options) {
        const char letter = Attach(card + options);
        Recover(letter, TypeBit::Jpg);
        return VolumeTable::Instance().Card(letter)->ReadCommands();
    };
    const uint64_t good = requests(",slow=1");
    EXPECT_EQ(files.size(), 200u);
    const uint64_t dying = requests(",slow=1,failslow=2,bad=15000-19999");
    EXPECT_EQ(status.UnreadableBlocks, 5000u);
    EXPECT_NE(error.find("5000 blocks"), std::string::npos) << error;
    // The last picture before the dead area takes its zeros up to the card's end.
    for (size_t n = 0; n < 150; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "IMAGE_%03zu.JPG", n);
        EXPECT_EQ(files[name].size(), n < 149 ? 100u * 512 : 5100u * 512) << name;
    }
    // The 50 chunks of the dead area, each asked for about once.
    EXPECT_LE(dying, good + 2 * 5000 / CCardJob::ChunkBlocks) << "good card " << good << ", dying card " << dying;
}

// The end of a 3 TB card, past block 2^32: the pictures there come back, a movie's atom
// chain is looked up across the chunk, and the run ends with the card.
TEST_F(RecoveryTest, PicturesAtTheEndOfA3TBCard)
{
    const uint64_t blocks = 3000000000000ull / 512;
    const std::string card = home.File("large.img");
    ASSERT_TRUE(px::test::MakeBlankImage(card, blocks * 512));
    auto tail = Blocks(300);
    Put(tail, 10, Jpeg());
    Put(tail, 50, QtAtom(512 * 100, "mdat"));
    Put(tail, 150, QtAtom(8, "moov"));
    Put(tail, 200, Jpeg());
    {
        std::fstream out(card, std::ios::in | std::ios::out | std::ios::binary);
        out.seekp(static_cast<std::streamoff>((blocks - 300) * 512));
        out.write(reinterpret_cast<const char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
        ASSERT_TRUE(out.good());
    }
    ASSERT_TRUE(Recover(Attach(card), kAllTypes, DefaultMaxFileSize, blocks - 300)) << error;
    EXPECT_EQ(status.CurrentBlock, blocks);
    EXPECT_EQ(files.size(), 3u);
    EXPECT_EQ(files["IMAGE_000.JPG"].size(), 40u * 512);
    EXPECT_EQ(files["movie(1).mov"].size(), 512u * 100 + 8);
    EXPECT_EQ(files["IMAGE_001.JPG"].size(), 100u * 512);
}

// The reader thread meets the faults first: a reader that vanishes, a card taken out in
// the middle of the scan. The run ends with the reason, the files found so far stay and
// are whole up to where the card went.
TEST_F(RecoveryTest, ReaderGoneOrCardTakenOutWhileReadingAhead)
{
    // Large enough that the reader, a mebibyte per request, is still reading when it goes.
    const auto image = JpegEvery(30000, 100);
    ASSERT_TRUE(px::test::WriteFile(home.File("pulled.img"), image));
    EXPECT_FALSE(Recover(Attach(home.File("pulled.img") + ",pull=20"), TypeBit::Jpg));
    EXPECT_EQ(error, "The card reader or the card went away (No such device)");
    EXPECT_GT(files.size(), 0u);
    for (const auto& [name, bytes] : files)
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image.begin() + 512 * 100 * std::stoul(name.substr(6, 3))))
            << name;

    VolumeTable::Instance().DetachAll();
    const char out = AttachImage("out.img", image);
    auto card = VolumeTable::Instance().Card(out);
    int pumps = 0;
    px::SetMessagePump([&] {
        if (++pumps == 5)
            card->RemoveCard();
    });
    EXPECT_FALSE(Recover(out, TypeBit::Jpg));
    px::SetMessagePump({});
    EXPECT_EQ(error, "The card was taken out of the reader");
    EXPECT_GE(files.size(), 4u);
}

TEST_F(RecoveryTest, RunFolderThatCannotBeMadeFailsTheRun)
{
    auto image = Blocks(20);
    Put(image, 0, Jpeg());
    const std::string card = home.File("c.img");
    ASSERT_TRUE(px::test::WriteFile(card, image));
    const char letter = Attach(card);
    CDriveScsi drive;
    ASSERT_TRUE(drive.OpenVolume(letter));
    CDriveInfo info;
    drive.ReadDriveInfo(info);
    drive.Close();
    // A file stands where the work folder should be.
    ASSERT_TRUE(px::test::WriteFile(home.File("blocker"), {1}));
    status.Settings.WorkFolder.SetPath(home.File("blocker/work/"), true);
    status.Settings.FileTypes = kAllTypes;
    status.SelectedDrive = static_cast<uint32_t>(letter);
    status.SetError("an earlier run's error");   // the record outlives runs
    CImageRecovery job(&status, info);
    EXPECT_FALSE(job.Run());
    EXPECT_NE(job.GetError().find("Not a directory"), std::string::npos) << job.GetError();
    EXPECT_EQ(VolumeTable::Instance().Card(letter)->ReadCommands(), 0u);   // the card was not read

    status.SelectedDrive = 0;
    CImageRecovery unselected(&status, info);
    EXPECT_FALSE(unselected.Run());
    EXPECT_EQ(unselected.GetError(), "Drive is not selected");
}

}  // namespace
