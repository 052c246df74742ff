#include "device/cinfo.h"

#include <cctype>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/winioctl.h"

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

// Bytes as text, every byte that is not printable shown as a blank.
std::string Printable(const uint8_t* bytes, size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : ' ';
    return text;
}

std::string ZeroTerminated(const uint8_t* bytes, size_t count)
{
    size_t n = 0;
    while (n < count && bytes[n])
        ++n;
    return std::string(reinterpret_cast<const char*>(bytes), n);
}

std::string GeometryLines(int64_t cylinders, uint32_t mediaType, uint32_t tracks, uint32_t sectors, uint32_t bytes)
{
    std::string text;
    text += Format("Cylinders         %8X\r\n", static_cast<uint32_t>(cylinders));
    text += Format("MediaType         %8X\r\n", mediaType);
    text += Format("TracksPerCylinder %8X\r\n", tracks);
    text += Format("SectorsPerTrack   %8X\r\n", sectors);
    text += Format("BytesPerSector    %8X\r\n", bytes);
    return text;
}

struct MediaRow {
    uint32_t code;
    const char* symbol;
    const char* description;
};

// MEDIA_TYPE (0 to 25) and STORAGE_MEDIA_TYPE (32 to 91), with the descriptions the
// platform documentation gives them.
const MediaRow kMediaTypes[] = {
    {0, "Unknown", "Format is unknown"},
    {1, "F5_1Pt2_512", "5.25\", 1.2MB, 512 bytes/sector"},
    {2, "F3_1Pt44_512", "3.5\", 1.44MB, 512 bytes/sector"},
    {3, "F3_2Pt88_512", "3.5\", 2.88MB, 512 bytes/sector"},
    {4, "F3_20Pt8_512", "3.5\", 20.8MB, 512 bytes/sector"},
    {5, "F3_720_512", "3.5\", 720KB, 512 bytes/sector"},
    {6, "F5_360_512", "5.25\", 360KB, 512 bytes/sector"},
    {7, "F5_320_512", "5.25\", 320KB, 512 bytes/sector"},
    {8, "F5_320_1024", "5.25\", 320KB, 1024 bytes/sector"},
    {9, "F5_180_512", "5.25\", 180KB, 512 bytes/sector"},
    {10, "F5_160_512", "5.25\", 160KB, 512 bytes/sector"},
    {11, "RemovableMedia", "Removable"},
    {12, "FixedMedia", "Fixed hard disk"},
    {13, "F3_120M_512", "3.5\", 120M Floppy"},
    {14, "F3_640_512", "3.5\", 640KB, 512 bytes/sector"},
    {15, "F5_640_512", "5.25\", 640KB, 512 bytes/sector"},
    {16, "F5_720_512", "5.25\", 720KB, 512 bytes/sector"},
    {17, "F3_1Pt2_512", "3.5\", 1.2Mb, 512 bytes/sector"},
    {18, "F3_1Pt23_1024", "3.5\", 1.23Mb, 1024 bytes/sector"},
    {19, "F5_1Pt23_1024", "5.25\", 1.23MB, 1024 bytes/sector"},
    {20, "F3_128Mb_512", "3.5\" MO 128Mb 512 bytes/sector"},
    {21, "F3_230Mb_512", "3.5\" MO 230Mb 512 bytes/sector"},
    {22, "F8_256_128", "8\", 256KB, 128 bytes/sector"},
    {23, "F3_200Mb_512", "3.5\", 200M Floppy (HiFD)"},
    {24, "F3_240M_512", "3.5\", 240Mb Floppy (HiFD)"},
    {25, "F3_32M_512", "3.5\", 32Mb Floppy"},
    {32, "DDS_4mm", "Tape - DAT DDS1,2,... (all vendors)"},
    {33, "MiniQic", "Tape - miniQIC Tape"},
    {34, "Travan", "Tape - Travan TR-1,2,3,..."},
    {35, "QIC", "Tape - QIC"},
    {36, "MP_8mm", "Tape - 8mm Exabyte Metal Particle"},
    {37, "AME_8mm", "Tape - 8mm Exabyte Advanced Metal Evap"},
    {38, "AIT1_8mm", "Tape - 8mm Sony AIT"},
    {39, "DLT", "Tape - DLT Compact IIIxt, IV"},
    {40, "NCTP", "Tape - Philips NCTP"},
    {41, "IBM_3480", "Tape - IBM 3480"},
    {42, "IBM_3490E", "Tape - IBM 3490E"},
    {43, "IBM_Magstar_3590", "Tape - IBM Magstar 3590"},
    {44, "IBM_Magstar_MP", "Tape - IBM Magstar MP"},
    {45, "STK_DATA_D3", "Tape - STK Data D3"},
    {46, "SONY_DTF", "Tape - Sony DTF"},
    {47, "DV_6mm", "Tape - 6mm Digital Video"},
    {48, "DMI", "Tape - Exabyte DMI and compatibles"},
    {49, "SONY_D2", "Tape - Sony D2S and D2L"},
    {50, "CLEANER_CARTRIDGE", "Cleaner - All Drive types that support Drive Cleaners"},
    {51, "CD_ROM", "Opt_Disk - CD"},
    {52, "CD_R", "Opt_Disk - CD-Recordable (Write Once)"},
    {53, "CD_RW", "Opt_Disk - CD-Rewriteable"},
    {54, "DVD_ROM", "Opt_Disk - DVD-ROM"},
    {55, "DVD_R", "Opt_Disk - DVD-Recordable (Write Once)"},
    {56, "DVD_RW", "Opt_Disk - DVD-Rewriteable"},
    {57, "MO_3_RW", "Opt_Disk - 3.5\" Rewriteable MO Disk"},
    {58, "MO_5_WO", "Opt_Disk - MO 5.25\" Write Once"},
    {59, "MO_5_RW", "Opt_Disk - MO 5.25\" Rewriteable (not LIMDOW)"},
    {60, "MO_5_LIMDOW", "Opt_Disk - MO 5.25\" Rewriteable (LIMDOW)"},
    {61, "PC_5_WO", "Opt_Disk - Phase Change 5.25\" Write Once Optical"},
    {62, "PC_5_RW", "Opt_Disk - Phase Change 5.25\" Rewriteable"},
    {63, "PD_5_RW", "Opt_Disk - PhaseChange Dual Rewriteable"},
    {64, "ABL_5_WO", "Opt_Disk - Ablative 5.25\" Write Once Optical"},
    {65, "PINNACLE_APEX_5_RW", "Opt_Disk - Pinnacle Apex 4.6GB Rewriteable Optical"},
    {66, "SONY_12_WO", "Opt_Disk - Sony 12\" Write Once"},
    {67, "PHILIPS_12_WO", "Opt_Disk - Philips/LMS 12\" Write Once"},
    {68, "HITACHI_12_WO", "Opt_Disk - Hitachi 12\" Write Once"},
    {69, "CYGNET_12_WO", "Opt_Disk - Cygnet/ATG 12\" Write Once"},
    {70, "KODAK_14_WO", "Opt_Disk - Kodak 14\" Write Once"},
    {71, "MO_NFR_525", "Opt_Disk - Near Field Recording (Terastor)"},
    {72, "NIKON_12_RW", "Opt_Disk - Nikon 12\" Rewriteable"},
    {73, "IOMEGA_ZIP", "Mag_Disk - Iomega Zip"},
    {74, "IOMEGA_JAZ", "Mag_Disk - Iomega Jaz"},
    {75, "SYQUEST_EZ135", "Mag_Disk - Syquest EZ135"},
    {76, "SYQUEST_EZFLYER", "Mag_Disk - Syquest EzFlyer"},
    {77, "SYQUEST_SYJET", "Mag_Disk - Syquest SyJet"},
    {78, "AVATAR_F2", "Mag_Disk - 2.5\" Floppy"},
    {79, "MP2_8mm", "Tape - 8mm Hitachi"},
    {80, "DST_S", "Ampex DST Small Tapes"},
    {81, "DST_M", "Ampex DST Medium Tapes"},
    {82, "DST_L", "Ampex DST Large Tapes"},
    {83, "VXATape_1", "Ecrix 8mm Tape"},
    {84, "VXATape_2", "Ecrix 8mm Tape"},
    {85, "STK_9840", "STK 9840"},
    {86, "LTO_Ultrium", "IBM, HP, Seagate LTO Ultrium"},
    {87, "LTO_Accelis", "IBM, HP, Seagate LTO Accelis"},
    {88, "DVD_RAM", "Opt_Disk - DVD-RAM"},
    {89, "AIT_8mm", "AIT2 or higher"},
    {90, "ADR_1", "OnStream ADR Mediatypes"},
    {91, "ADR_2", ""},
};

}  // namespace

// ---------------------------------------------------------------- CInquiryData

void CInquiryData::Clear()
{
    CInfo::Clear();
    std::memset(m_bytes, 0, sizeof m_bytes);
}

void CInquiryData::Fill(const uint8_t* bytes, uint32_t length)
{
    std::memset(m_bytes, 0, sizeof m_bytes);
    std::memcpy(m_bytes, bytes, std::min<uint32_t>(length, 36));
}

uint32_t CInquiryData::FirstWord() const { return px::Get32(m_bytes); }

std::string CInquiryData::VendorId() const { return std::string(reinterpret_cast<const char*>(m_bytes + 8), 8); }
std::string CInquiryData::ProductId() const { return std::string(reinterpret_cast<const char*>(m_bytes + 16), 16); }
std::string CInquiryData::ProductRevision() const { return std::string(reinterpret_cast<const char*>(m_bytes + 32), 4); }

std::string CInquiryData::Dump() const
{
    const uint8_t* b = m_bytes;
    std::string text;
    text += Format("Device Type ............. %X\r\n", b[0] & 0x1F);
    text += Format("Device Type Qualifier ... %X\r\n", b[0] >> 5);
    text += Format("Device Type Modifier .... %X\r\n", b[1] & 0x7F);
    text += Format("Removable Media ......... %X\r\n", b[1] >> 7);
    text += Format("ANSI Version ............ %X\r\n", b[2] & 7);
    text += Format("ECMA Version ............ %X\r\n", (b[2] >> 3) & 7);
    text += Format("ISO Verions ............. %X\r\n", b[2] >> 6);
    text += Format("Response Data Format .... %X\r\n", b[3] & 0x0F);
    text += Format("AERC .................... %X\r\n", b[3] >> 7);
    text += Format("Additional Length ....... %u\r\n", b[4]);
    text += Format("Medium Changer .......... %d\r\n", (b[6] >> 3) & 1);
    text += Format("Soft Reset .............. %d\r\n", b[7] & 1);
    text += "Vendor ID ............... " + Printable(b + 8, 8) + "\r\n";
    text += "Product ID .............. " + Printable(b + 16, 16) + "\r\n";
    text += "Product Revision Level .. " + Printable(b + 32, 4) + "\r\n";
    return text;
}

// ---------------------------------------------------------------- CIdentifyData

void CIdentifyData::Clear()
{
    CInfo::Clear();
    std::memset(m_words, 0, sizeof m_words);
}

void CIdentifyData::Fill(const uint8_t* bytes, uint32_t length)
{
    std::memset(m_words, 0, sizeof m_words);
    std::memcpy(m_words, bytes, std::min<uint32_t>(length, sizeof m_words));
}

uint32_t CIdentifyData::LbaSectors() const { return uint32_t(m_words[60]) | (uint32_t(m_words[61]) << 16); }

uint32_t CIdentifyData::FirstWord() const { return uint32_t(m_words[0]) | (uint32_t(m_words[1]) << 16); }

// ---------------------------------------------------------------- geometry records

void CDiskGeometry::Clear()
{
    CInfo::Clear();
    Cylinders = 0;
    MediaType = TracksPerCylinder = SectorsPerTrack = BytesPerSector = 0;
}

void CDiskGeometry::Fill(const uint8_t* bytes)
{
    Cylinders = static_cast<int64_t>(px::Get64(bytes));
    MediaType = px::Get32(bytes + 8);
    TracksPerCylinder = px::Get32(bytes + 12);
    SectorsPerTrack = px::Get32(bytes + 16);
    BytesPerSector = px::Get32(bytes + 20);
}

std::string CDiskGeometry::Dump() const
{
    return GeometryLines(Cylinders, MediaType, TracksPerCylinder, SectorsPerTrack, BytesPerSector);
}

void CDiskGeometryEx::Clear()
{
    CDiskGeometry::Clear();
    DiskSize = 0;
    Data = 0;
}

void CDiskGeometryEx::FillEx(const uint8_t* bytes, uint32_t length)
{
    Fill(bytes);
    DiskSize = length >= 32 ? static_cast<int64_t>(px::Get64(bytes + 24)) : 0;
    Data = length >= 33 ? bytes[32] : 0;
}

std::string CDiskGeometryEx::Dump() const
{
    return CDiskGeometry::Dump() + Format("DiskSize          %-14s\r\n", std::to_string(DiskSize).c_str());
}

void CDeviceMediaInfo::Clear()
{
    CInfo::Clear();
    Cylinders = 0;
    MediaType = TracksPerCylinder = SectorsPerTrack = BytesPerSector = NumberMediaSides = MediaCharacteristics = 0;
}

void CDeviceMediaInfo::Fill(const uint8_t* bytes)
{
    Cylinders = static_cast<int64_t>(px::Get64(bytes));
    MediaType = px::Get32(bytes + 8);
    TracksPerCylinder = px::Get32(bytes + 12);
    SectorsPerTrack = px::Get32(bytes + 16);
    BytesPerSector = px::Get32(bytes + 20);
    NumberMediaSides = px::Get32(bytes + 24);
    MediaCharacteristics = px::Get32(bytes + 28);
}

std::string CDeviceMediaInfo::Dump() const
{
    return GeometryLines(Cylinders, MediaType, TracksPerCylinder, SectorsPerTrack, BytesPerSector) +
           Format("NumberMediaSides  %8X\r\n", NumberMediaSides) +
           Format("MediaCharacteristics  %8X\r\n", MediaCharacteristics);
}

// ---------------------------------------------------------------- descriptor

void CStorageDeviceDescriptor::Clear()
{
    CInfo::Clear();
    Version = Size = 0;
    DeviceType = DeviceTypeModifier = RemovableMedia = CommandQueueing = 0;
    VendorIdOffset = ProductIdOffset = ProductRevisionOffset = SerialNumberOffset = 0;
    BusType = RawPropertiesLength = 0;
    RawDeviceProperties = 0;
    Product.clear();
    Vendor.clear();
    Revision.clear();
    SerialNumber.clear();
}

void CStorageDeviceDescriptor::Fill(const uint8_t* bytes, uint32_t length)
{
    if (length < px::STORAGE_DESCRIPTOR_FIXED)
        return;
    Version = px::Get32(bytes);
    Size = px::Get32(bytes + 4);
    DeviceType = bytes[8];
    DeviceTypeModifier = bytes[9];
    RemovableMedia = bytes[10];
    CommandQueueing = bytes[11];
    VendorIdOffset = px::Get32(bytes + 12);
    ProductIdOffset = px::Get32(bytes + 16);
    ProductRevisionOffset = px::Get32(bytes + 20);
    SerialNumberOffset = px::Get32(bytes + 24);
    BusType = px::Get32(bytes + 28);
    RawPropertiesLength = px::Get32(bytes + 32);
    RawDeviceProperties = bytes[36];
    auto text = [&](uint32_t offset) {
        if (offset == 0 || offset >= length)
            return std::string();
        return ZeroTerminated(bytes + offset, length - offset);
    };
    Vendor = text(VendorIdOffset);
    Product = text(ProductIdOffset);
    Revision = text(ProductRevisionOffset);
    SerialNumber = text(SerialNumberOffset);
}

std::string CStorageDeviceDescriptor::Dump() const
{
    std::string text;
    text += "DeviceType        " + DeviceNames::DeviceType(DeviceType) + "\r\n";
    text += "Removable Media   " + DeviceNames::Removable(RemovableMedia) + "\r\n";
    text += "Reader Vendor     " + Vendor + "\r\n";
    text += "Size              " + std::to_string(Size) + "\r\n";
    text += "Version           " + std::to_string(Version) + "\r\n";
    text += "Product           " + Product + "\r\n";
    text += "BusType           " + DeviceNames::BusType(BusType) + "\r\n";
    text += "ProductRevision   " + Revision + "\r\n";
    text += "SerialNumber      " + SerialNumber + "\r\n";
    text += "DeviceQualifier   " + DeviceNames::Qualifier(DeviceType) + "\r\n";
    return text;
}

void CFileInfo::Clear()
{
    CInfo::Clear();
    SectorsPerCluster = BytesPerSector = NumberOfFreeClusters = TotalNumberOfClusters = 0;
    FreeBytesAvailable = TotalNumberOfBytes = TotalNumberOfFreeBytes = 0;
    ExValid = false;
}

// ---------------------------------------------------------------- names

namespace DeviceNames {

std::string DeviceType(uint8_t type)
{
    switch (static_cast<int8_t>(type)) {
    case 0: return "Disk";
    case 1: return "Tape";
    case 2: return "Printer";
    case 3: return "Processor device";
    case 4: return "Worm";
    case 5: return "CD Drive";
    case 6: return "Scanner";
    case 7: return "Optical disk";
    case 8: return "Jukebox";
    case 9: return "Network";
    case 127: return "unit not present";
    default: return "ERROR";
    }
}

std::string BusType(uint32_t bus)
{
    static const char* const kNames[] = {"Unknown", "Scsi", "Atapi", "Ata", "1394", "Ssa", "Fibre", "Usb", "RAID"};
    return bus < 9 ? kNames[bus] : "ERROR";
}

std::string Removable(uint8_t removable) { return removable ? "Removable" : "Non Removable"; }

std::string Qualifier(uint8_t type)
{
    switch (static_cast<int8_t>(type)) {
    case 0: return "active";
    case 1: return "not active";
    case 3: return "not supported";
    default: return "ERROR";
    }
}

std::string MediaType(uint32_t code)
{
    for (const MediaRow& row : kMediaTypes)
        if (row.code == code)
            return row.description;
    return {};
}

std::string MediaTypeSymbol(uint32_t code)
{
    for (const MediaRow& row : kMediaTypes)
        if (row.code == code)
            return row.symbol;
    return {};
}

int MediaTypeRows() { return static_cast<int>(sizeof kMediaTypes / sizeof kMediaTypes[0]); }

}  // namespace DeviceNames

namespace DeviceText {

std::string WithCommas(int64_t value)
{
    std::string digits = std::to_string(value);
    const size_t start = (!digits.empty() && digits[0] == '-') ? 1 : 0;
    int commas = 0;
    for (size_t i = digits.size(); i > start + 3 && commas < 4; i -= 3, ++commas)
        digits.insert(i - 3, ",");
    return digits;
}

std::string ReportLine(const std::string& label, const std::string& value)
{
    std::string line = label;
    while (line.size() < 33)
        line += '.';
    return line + value;
}

}  // namespace DeviceText
