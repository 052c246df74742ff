// The first letter of a deleted short name, which FAT's deletion mark overwrote.
#include <gtest/gtest.h>

#include "cardfs/dcfname.h"

using px::LostFirstLetter;
using px::RestoreFirstLetter;

TEST(DcfName, LostLetterComesFromNeighboursThenFromCameraPrefixes)
{
    EXPECT_TRUE(LostFirstLetter("_SC_0161.JPG"));
    EXPECT_FALSE(LostFirstLetter("DSC_0161.JPG"));
    EXPECT_FALSE(LostFirstLetter("_long_name_of_a_file.jpeg")) << "a long name keeps every letter";
    EXPECT_FALSE(LostFirstLetter("_sc_0161.jpg")) << "short names are upper case";

    // A neighbour with the same next three characters decides, also against a prefix.
    EXPECT_EQ(RestoreFirstLetter("_MG_0332.CR2", {"XMG_0001.JPG", "_MG_0333.CR2"}), "XMG_0332.CR2");
    EXPECT_EQ(RestoreFirstLetter("_MG_0332.CR2", {}), "IMG_0332.CR2");
    EXPECT_EQ(RestoreFirstLetter("_SCF0457.MPO", {}), "DSCF0457.MPO");
    EXPECT_EQ(RestoreFirstLetter("_VI_0333.MP4", {}), "MVI_0333.MP4");
    EXPECT_EQ(RestoreFirstLetter("_1000123.RW2", {}), "P1000123.RW2");
    EXPECT_EQ(RestoreFirstLetter("_ND_0001.WAV", {}), "SND_0001.WAV");
    // Nothing tells: the name stays as the card has it.
    EXPECT_EQ(RestoreFirstLetter("_ABC1234.JPG", {"QQQQ.JPG"}), "_ABC1234.JPG");
}
