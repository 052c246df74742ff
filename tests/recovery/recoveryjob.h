#pragma once
// The recovery job run on an attached card image, for the recovery tests: the files of
// the run folder by name, the job's error and the status record.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/filetypes.h"
#include "device/cdrivescsi.h"
#include "platform/volumetable.h"
#include "recovery/cimagerecovery.h"
#include "support/fixtures.h"


namespace px::test {

inline constexpr uint32_t kAllTypes = 0xFFFFFFFF;

class RecoveryTest : public ::testing::Test {
protected:
    void SetUp() override { px::VolumeTable::Instance().DetachAll(); }
    void TearDown() override { px::VolumeTable::Instance().DetachAll(); }

    char Attach(const std::string& path)
    {
        char letter = 0;
        std::string error;
        EXPECT_TRUE(px::VolumeTable::Instance().Attach(path, &letter, &error)) << error;
        return letter;
    }
    // A card image of these bytes, attached.
    char AttachImage(const std::string& name, const std::vector<uint8_t>& image)
    {
        const std::string path = home.File(name);
        EXPECT_TRUE(px::test::WriteFile(path, image));
        return Attach(path);
    }
    // A card of `count` blocks with a JPEG header every `every` blocks.
    static std::vector<uint8_t> JpegEvery(size_t count, size_t every);
    // Runs a recovery of the card (from firstBlock on); the files it made, by name.
    bool Recover(char letter, uint32_t types = kAllTypes, int32_t maxSize = DefaultMaxFileSize, uint64_t firstBlock = 0)
    {
        CDriveScsi drive;
        EXPECT_TRUE(drive.OpenVolume(letter));
        CDriveInfo info;
        drive.ReadDriveInfo(info);
        drive.Close();
        status.Reset();
        status.Settings.FileTypes = types;
        status.Settings.MaxFileSize = maxSize;
        status.Settings.WorkFolder.SetPath(home.File("work/"), true);
        status.SelectedDrive = static_cast<uint32_t>(letter);
        CImageRecovery job(&status, info);
        job.SetFirstBlock(firstBlock);
        const bool ok = job.Run();
        error = job.GetError();
        folder = job.DestinationFolder();
        files.clear();
        if (!folder.empty())
            for (const auto& entry : std::filesystem::directory_iterator(folder))
                files[entry.path().filename().string()] = px::test::ReadFile(entry.path().string());
        return ok;
    }
    static std::vector<uint8_t> Blocks(size_t count) { return std::vector<uint8_t>(count * 512, 0); }
    static void Put(std::vector<uint8_t>& image, size_t block, const std::vector<uint8_t>& bytes)
    {
        std::memcpy(&image[block * 512], bytes.data(), bytes.size());
    }

    TempHome home;
    CTransferStatus status;
    std::string error, folder;
    std::map<std::string, std::vector<uint8_t>> files;
};

inline std::vector<uint8_t> Jpeg() { return {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0}; }

inline std::vector<uint8_t> QtAtom(uint32_t size, const char* name)
{
    return {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size),
            uint8_t(name[0]), uint8_t(name[1]), uint8_t(name[2]), uint8_t(name[3])};
}

inline std::vector<uint8_t> RecoveryTest::JpegEvery(size_t count, size_t every)
{
    auto image = Blocks(count);
    for (size_t b = 0; b < count; b += every)
        Put(image, b, Jpeg());
    return image;
}

}  // namespace px::test
