#pragma once
// A card image behind the emulated reader, described as the card document describes a
// card: for the tests of the jobs that take a CDriveInfo.
#include <gtest/gtest.h>

#include <string>

#include "device/cdriveinfo.h"
#include "device/cdrivescsi.h"
#include "platform/volumetable.h"

namespace px::test {

// The description of the card behind letter; its letter is set even when the card cannot
// be opened.
inline CDriveInfo CardInfo(char letter)
{
    CDriveInfo info;
    CDriveScsi drive;
    if (drive.OpenVolume(letter))
        drive.ReadDriveInfo(info);
    info.m_Letter = letter;
    return info;
}

// Attaches an image with its fault options ("card.img,bad=1-2") and describes it; a
// failed attach fails the test.
inline CDriveInfo AttachCard(const std::string& imageAndOptions)
{
    char letter = 0;
    std::string error;
    EXPECT_TRUE(VolumeTable::Instance().Attach(imageAndOptions, &letter, &error)) << error;
    return CardInfo(letter);
}

}  // namespace px::test
