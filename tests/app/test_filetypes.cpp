// File-type and brand tables: the masks must agree with the type lists the pages show
// for each brand, and found files must sort into picture, video and sound by extension.
#include <gtest/gtest.h>

#include <string>

#include "app/filetypes.h"

namespace {

// The extensions of the file-type table rows whose bit is in mask, in table order.
std::string Extensions(uint32_t mask)
{
    std::string text;
    for (const FileTypeRow& row : FileTypeTable()) {
        if (mask & row.Bit) {
            if (!text.empty())
                text += ' ';
            text += row.Extension;
        }
    }
    return text;
}

std::string Extensions(const std::vector<FileTypeRow>& rows)
{
    std::string text;
    for (const FileTypeRow& row : rows) {
        if (!text.empty())
            text += ' ';
        text += row.Extension;
    }
    return text;
}

} // namespace

TEST(FileTypes, ExtensionOfEveryIdentifier)
{
    const char* expected[] = {"Unk", "THM", "JPG", "TIF", "GIF", "BMP", "MRW", "Unk",
                              "ORF", "THM", "CRW", "THM", "X3F", "NEF", "DCR", "RAW",
                              "PEF", "RAF", "WAV", "AU",  "MP3", "ARW", "SR2", "PNG",
                              "CR2", "DNG", "CR3", "HEIC", "RW2"};
    for (int32_t id = 0; id <= 28; ++id)
        EXPECT_EQ(TypeExtension(id), expected[id]) << "type " << id;
    EXPECT_EQ(TypeExtension(-1), "Unk");
    EXPECT_EQ(TypeExtension(29), "Unk");
    EXPECT_EQ(TypeExtension(INT32_MIN), "Unk");
}

TEST(FileTypes, TableHoldsEachBitOnceAndNeverTheUnusedOnes)
{
    uint32_t seen = 0;
    for (const FileTypeRow& row : FileTypeTable()) {
        EXPECT_EQ(row.Bit & (row.Bit - 1), 0u) << row.Extension << " is not one bit";
        EXPECT_EQ(seen & row.Bit, 0u) << row.Extension << " repeats a bit";
        seen |= row.Bit;
    }
    EXPECT_EQ(FileTypeTable().size(), 26u);
    EXPECT_EQ(seen & (0x2u | 0x2000u), 0u);
    // Every brand's masks name table rows only, and a brand selects only what it offers.
    for (const BrandRow& brand : BrandTable()) {
        EXPECT_EQ(brand.Offered & ~seen, 0u) << brand.ShortName;
        EXPECT_EQ(brand.Default & ~brand.Offered, 0u) << brand.ShortName;
    }
}

// The brand table read as the extension lists of the file-type page.
TEST(FileTypes, BrandsOfferAndSelectTheirTypes)
{
    struct Expect {
        const char* brand;
        const char* offered;
        const char* selected;
    };
    const std::string avSound = "avi mov mp4 mp3 au wave";
    const Expect expect[] = {
        // Every brand offers today's HEIC and DNG, Canon its CR3, Panasonic its RW2; the
        // defaults are the first table's.
        {"Generic", "jpg tif gif heic dng avi mov mp4 mp3 au wave", "jpg tif gif avi mov mp4 mp3 au wave"},
        {"Nikon", "jpg heic nef dng mov mp4 mp3 au wave", "jpg nef mov wave"},
        {"Canon", "jpg tif heic crw cr2 dng cr3 avi mov mp4 mp3 au wave", "jpg tif crw cr2 mov mp4 wave"},
        {"Kodak", "jpg heic dcr dng avi mov mp4 mp3 au wave", "jpg dcr mov wave"},
        {"Fuji", "jpg heic raf dng avi mov mp4 mp3 au wave", "jpg raf mov wave"},
        {"Olympus", "jpg heic orf dng avi mov mp4 mp3 au wave", "jpg orf mov wave"},
        {"Sigma", "jpg heic x3f dng avi mov mp4 mp3 au wave", "jpg x3f mov wave"},
        {"Konika", "jpg heic mrw dng avi mov mp4 mp3 au wave", "jpg mrw mov wave"},
        {"Casio", "jpg tif heic dng avi mov mp4 mp3 au wave", "jpg tif mov wave"},
        {"HP", "jpg tif heic dng avi mov mp4 mp3 au wave", "jpg tif mov wave"},
        {"Pentax", "jpg heic pef dng avi mov mp4 mp3 au wave", "jpg pef mov wave"},
        {"Argus", "jpg tif heic dng avi mov mp4 mp3 au wave", "jpg tif mov wave"},
        {"Sony", "jpg tif heic arw sr2 dng avi mov mp4 mp3 au wave", "jpg tif arw sr2 mov wave"},
        {"Panasonic", "jpg tif heic dng rw2 avi mov mp4 mp3 au wave", "jpg tif mov wave"},
        {"AipTek", "jpg tif heic dng avi mov mp4 mp3 au wave", "jpg tif mov wave"},
        {"Custom",
         "jpg tif gif png heic nef dcr pef raf mrw orf crw cr2 x3f dng cr3 rw2 avi mov mp4 mp3 aiff au wave", ""},
    };
    ASSERT_EQ(BrandTable().size(), std::size(expect));
    uint32_t bits = 0;
    for (size_t i = 0; i < std::size(expect); ++i) {
        const BrandRow& row = BrandTable()[i];
        EXPECT_EQ(row.ShortName, expect[i].brand);
        EXPECT_EQ(Extensions(OfferedTypes(row.Bit)), expect[i].offered) << row.ShortName;
        EXPECT_EQ(Extensions(DefaultTypes(row.Bit)), expect[i].selected) << row.ShortName;
        EXPECT_EQ(bits & row.Bit, 0u) << row.ShortName << " repeats a brand bit";
        bits |= row.Bit;
    }
    EXPECT_EQ(BrandTable()[6].LongName, "Sigma Digital Camera");
    EXPECT_EQ(BrandTable()[7].LongName, "Konika Minolta Digital Camera");
    EXPECT_EQ(BrandTable()[15].LongName, "Custom");
}

TEST(FileTypes, MasksOfSeveralBrandsAreUnions)
{
    EXPECT_EQ(DefaultTypes(BrandBit::Generic), 0x1BD005u);
    EXPECT_EQ(OfferedTypes(0), 0u);
    EXPECT_EQ(DefaultTypes(0), 0u);
    EXPECT_EQ(DefaultTypes(BrandBit::Custom), 0u);
    EXPECT_EQ(DefaultTypes(BrandBit::Nikon | BrandBit::Canon), 0x108009u | 0x118605u);
    const uint32_t heicDng = TypeBit::Heic | TypeBit::Dng;
    EXPECT_EQ(OfferedTypes(BrandBit::Nikon | BrandBit::Sony), 0x1B8009u | 0x7BC005u | heicDng);
    // Bits that name no brand (0x2_0000 and up) add nothing.
    EXPECT_EQ(OfferedTypes(0xFFFE0000u), 0u);
    EXPECT_EQ(OfferedTypes(0xFFFFFFFFu), 0xFFDFFDu | heicDng | TypeBit::Cr3 | TypeBit::Rw2);
}

TEST(FileTypes, TypeListsFollowGroupAndOffer)
{
    const uint32_t canon = OfferedTypes(BrandBit::Canon);
    EXPECT_EQ(Extensions(TypeList(TypeGroup::Picture | TypeGroup::RawPicture, canon)), "jpg tif heic crw cr2 dng cr3");
    EXPECT_EQ(Extensions(TypeList(TypeGroup::Video, canon)), "avi mov mp4");
    EXPECT_EQ(Extensions(TypeList(TypeGroup::Sound, canon)), "mp3 au wave");
    EXPECT_EQ(Extensions(TypeList(TypeGroup::RawPicture, OfferedTypes(BrandBit::Sony))), "arw sr2 dng");
    EXPECT_EQ(Extensions(TypeList(TypeGroup::Sound, OfferedTypes(BrandBit::Custom))), "mp3 aiff au wave");
    EXPECT_TRUE(TypeList(TypeGroup::Video, 0).empty());
    EXPECT_TRUE(TypeList(0, 0xFFFFFFFF).empty());
}

TEST(FileTypes, FilesSortByExtensionWithoutRegardToCase)
{
    EXPECT_TRUE(IsPictureFile("/home/u/Recovered/IMAGE_000.JPG"));
    EXPECT_TRUE(IsPictureFile("a.jpeg"));
    EXPECT_TRUE(IsPictureFile("a.Tiff"));
    EXPECT_TRUE(IsPictureFile("a.NEF"));
    EXPECT_TRUE(IsPictureFile("a.pcx"));
    EXPECT_TRUE(IsPictureFile("a.PNG"));
    // Raw types other than NEF are no pictures for the viewer; THM is not listed either.
    EXPECT_FALSE(IsPictureFile("IMAGE_001.ORF"));
    EXPECT_FALSE(IsPictureFile("IMAGE_002.THM"));
    EXPECT_FALSE(IsPictureFile("a.jpg.part"));
    EXPECT_FALSE(IsPictureFile("jpg"));
    EXPECT_FALSE(IsPictureFile(""));
    EXPECT_FALSE(IsPictureFile("a."));
    // Only the last path component has an extension.
    EXPECT_FALSE(IsPictureFile("/cards/run.jpg/IMAGE_000"));
    EXPECT_FALSE(IsPictureFile("C:\\run.jpg\\IMAGE_000"));
    EXPECT_TRUE(IsPictureFile("C:\\run\\IMAGE_000.gif"));

    EXPECT_TRUE(IsVideoFile("movie(1).MOV"));
    EXPECT_TRUE(IsVideoFile("x.mp4"));
    EXPECT_TRUE(IsVideoFile("x.Avi"));
    EXPECT_FALSE(IsVideoFile("x.mpg"));

    for (const char* s : {"a.wav", "a.MP3", "a.aiff", "a.au", "a.snd", "a.WAVE"})
        EXPECT_TRUE(IsSoundFile(s)) << s;
    EXPECT_FALSE(IsSoundFile("a.aif"));
    EXPECT_FALSE(IsSoundFile("a.jpg"));

    EXPECT_TRUE(IsWaveFile("IMAGE_003.WAV"));
    EXPECT_TRUE(IsWaveFile("a.wave"));
    EXPECT_FALSE(IsWaveFile("a.mp3"));
    EXPECT_FALSE(IsWaveFile("a.wav2"));
}
