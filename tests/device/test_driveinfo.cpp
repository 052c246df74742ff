// Derived figures, name tables and the card report of a drive description.
#include <gtest/gtest.h>

#include <cstring>

#include "app/progresstext.h"
#include "device/cdriveinfo.h"

namespace {

void SetProduct(CDriveInfo& info, const char* product, const char* revision)
{
    std::memset(info.m_Inquiry.m_bytes + 16, ' ', 20);
    std::memcpy(info.m_Inquiry.m_bytes + 16, product, std::strlen(product));
    std::memcpy(info.m_Inquiry.m_bytes + 32, revision, std::strlen(revision));
}

TEST(DriveInfo, ClassFourReadersCountOneBlockLess)
{
    CDriveInfo info;
    info.m_Letter = 'E';
    SetProduct(info, "USB STORAGE-CFC", "0180");
    info.m_nBlockCount = 1000000;
    info.m_nBlockSize = 512;
    EXPECT_EQ(info.ReaderClass(), 4);
    EXPECT_EQ(info.BlockCount(), 999999);
    EXPECT_EQ(info.DiskSize(), 999999LL * 512);   // the adjusted count
    SetProduct(info, " usbstorage-smc ", "0180");
    EXPECT_EQ(info.ReaderClass(), 4);
    SetProduct(info, "USB STORAGE-CFC", "0181");
    EXPECT_EQ(info.ReaderClass(), 0);
    EXPECT_EQ(info.BlockCount(), 1000000);
}

TEST(DriveInfo, SourcesInTheirOrderOfPreference)
{
    CDriveInfo info;
    info.m_nBlockCount = 5000;
    info.m_GeometryEx.SetValid(true);
    info.m_GeometryEx.DiskSize = 0;
    info.m_GeometryEx.BytesPerSector = 512;
    EXPECT_EQ(info.BlockCount(), 0);   // a valid geometry-ex record wins even at size 0
    info.m_GeometryEx.BytesPerSector = 0;
    EXPECT_EQ(info.BlockCount(), 0);
    EXPECT_EQ(info.BytesPerSector(), 0);
    info.m_GeometryEx.SetValid(false);
    EXPECT_EQ(info.BlockCount(), 5000);
    info.m_nBlockCount = 0;
    info.m_Media.SetValid(true);
    info.m_Media.NumberMediaSides = 1;
    info.m_Media.SectorsPerTrack = 63;
    info.m_Media.TracksPerCylinder = 255;
    info.m_Media.Cylinders = 10;
    info.m_Media.BytesPerSector = 512;
    info.m_Media.MediaType = 11;
    EXPECT_EQ(info.BlockCount(), 160650);
    EXPECT_EQ(info.DiskSize(), 160650LL * 512);
    EXPECT_EQ(info.BytesPerSector(), 512);
    info.m_nBlockSize = 2048;
    EXPECT_EQ(info.BytesPerSector(), 2048);
    EXPECT_EQ(info.MediaTypeText(), "Removable");
    info.m_Media.MediaType = 26;   // not in the table
    EXPECT_EQ(info.MediaTypeText(), "");
}

TEST(DriveInfo, ReportLinesAndNotSelected)
{
    CDriveInfo info;
    EXPECT_EQ(info.Report(), "Device is not selected");
    info.m_Letter = 'F';
    info.m_nBlockCount = 1234567;
    info.m_nBlockSize = 512;
    info.m_Descriptor.DeviceType = 0x85;
    info.m_Descriptor.BusType = 9;
    const std::string report = info.Report();
    EXPECT_EQ(report.rfind("Card Information:\r\nCard Path........................F:\\\r\n", 0), 0u);
    EXPECT_NE(report.find("Blocks...........................1,234,567\r\n"), std::string::npos);
    EXPECT_NE(report.find("Media Type.......................Format is unknown\r\n"), std::string::npos);
    EXPECT_NE(report.find("Bus Type.........................ERROR\r\n"), std::string::npos);
    EXPECT_EQ(report.substr(report.size() - 38), "Device Type......................ERROR");
    EXPECT_EQ(DeviceNames::Qualifier(0x85), "ERROR");
}

TEST(DriveInfo, CommasAndSizeTexts)
{
    EXPECT_EQ(DeviceText::WithCommas(999), "999");
    EXPECT_EQ(DeviceText::WithCommas(1000), "1,000");
    EXPECT_EQ(DeviceText::WithCommas(1234567), "1,234,567");
    EXPECT_EQ(DeviceText::WithCommas(1234567890123456789LL), "1234567,890,123,456,789");   // four commas at most
    EXPECT_EQ(DeviceText::ReportLine("A label that is much longer than 33", "v"), "A label that is much longer than 33v");
    EXPECT_EQ(SizeText(1024), "1024.0 B");
    EXPECT_EQ(SizeText(1536), "1.5 KB");
    EXPECT_EQ(SizeText(1073741824), "1024.0 MB");
    EXPECT_EQ(SizeText(4009754624LL), "3.7 GB");
}

TEST(DriveInfo, TablesAndCopies)
{
    EXPECT_EQ(DeviceNames::MediaTypeRows(), 86);
    EXPECT_EQ(DeviceNames::MediaType(0), "Format is unknown");
    EXPECT_EQ(DeviceNames::MediaType(12), "Fixed hard disk");
    EXPECT_EQ(DeviceNames::MediaType(91), "");
    EXPECT_EQ(DeviceNames::MediaTypeSymbol(91), "ADR_2");
    EXPECT_EQ(DeviceNames::DeviceType(127), "unit not present");
    EXPECT_EQ(DeviceNames::BusType(7), "Usb");
    EXPECT_EQ(DeviceNames::Removable(2), "Removable");

    CDriveInfo info;
    info.m_Letter = 'G';
    info.m_nBlockCount = 77;
    info.m_Descriptor.Vendor = "Vendor";
    info.m_Descriptor.SetValid(true);
    info.m_Sense.ScsiStatus = 2;
    CObj* clone = info.Clone();
    auto* copy = dynamic_cast<CDriveInfo*>(clone);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->m_Letter, 'G');
    EXPECT_EQ(copy->m_nBlockCount, 77);
    EXPECT_TRUE(copy->m_Descriptor.IsValid());
    EXPECT_EQ(copy->m_Descriptor.Vendor, "Vendor");
    EXPECT_EQ(copy->m_Sense.ScsiStatus, 2);
    copy->Reset();
    EXPECT_FALSE(copy->m_Descriptor.IsValid());
    EXPECT_EQ(copy->m_Letter, 0);
    clone->Release();
}

TEST(DriveInfo, DescriptorTextsStayInsideTheAnswer)
{
    uint8_t answer[512] = {};
    answer[8] = 0;
    answer[10] = 1;
    const uint32_t vendorAt = 40, productAt = 508, badAt = 4000;
    std::memcpy(answer + 12, &vendorAt, 4);
    std::memcpy(answer + 16, &productAt, 4);
    std::memcpy(answer + 20, &badAt, 4);
    std::memcpy(answer + 40, "Acme", 5);
    std::memset(answer + 508, 'X', 4);   // runs to the end without a zero
    CStorageDeviceDescriptor descriptor;
    descriptor.Fill(answer, sizeof answer);
    EXPECT_EQ(descriptor.Vendor, "Acme");
    EXPECT_EQ(descriptor.Product, "XXXX");
    EXPECT_EQ(descriptor.Revision, "");
    EXPECT_EQ(descriptor.SerialNumber, "");
}

}  // namespace
