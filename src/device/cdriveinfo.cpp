#include "device/cdriveinfo.h"

#include <algorithm>
#include <cctype>

namespace {

// Readers of this family report one block beyond the card's last block.
const char* const kClass4Readers[] = {"USBSTORAGE-SMC0180", "USBSTORAGE-CFC0180", "USBSTORAGE-MMC0180",
                                      "USBSTORAGE-MSC0180"};

}  // namespace

void CDriveInfo::Reset()
{
    CObj::Reset();
    m_Inquiry.Clear();
    m_Identify.Clear();
    m_Media.Clear();
    m_GeometryEx.Clear();
    m_Geometry.Clear();
    m_Descriptor.Clear();
    m_FileInfo.Clear();
    m_Sense.Clear();
    m_Letter = 0;
    m_nBlockCount = 0;
    m_nBlockSize = 0;
}

void CDriveInfo::CopyFrom(const CObj& other)
{
    if (&other == this)
        return;
    CObj::CopyFrom(other);
    if (auto* info = dynamic_cast<const CDriveInfo*>(&other))
        CopyInfo(*info);
}

void CDriveInfo::CopyInfo(const CDriveInfo& other)
{
    if (&other == this)
        return;
    m_Inquiry = other.m_Inquiry;
    m_Identify = other.m_Identify;
    m_Media = other.m_Media;
    m_GeometryEx = other.m_GeometryEx;
    m_Geometry = other.m_Geometry;
    m_Descriptor = other.m_Descriptor;
    m_FileInfo = other.m_FileInfo;
    m_Sense = other.m_Sense;
    m_Letter = other.m_Letter;
    m_nBlockCount = other.m_nBlockCount;
    m_nBlockSize = other.m_nBlockSize;
}

int CDriveInfo::ReaderClass() const
{
    // Product identification and revision, bytes 16 to 35, as one string up to a zero.
    std::string identity;
    for (int i = 16; i < 36 && m_Inquiry.m_bytes[i]; ++i)
        identity += static_cast<char>(m_Inquiry.m_bytes[i]);
    std::string compact;
    for (char c : identity) {
        if (!std::isspace(static_cast<unsigned char>(c)))
            compact += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    for (const char* reader : kClass4Readers)
        if (compact == reader)
            return 4;
    return 0;
}

int64_t CDriveInfo::BlockCount() const
{
    int64_t count = 0;
    if (m_GeometryEx.IsValid()) {
        const int64_t bytes = m_GeometryEx.BytesPerSector;
        count = bytes > 0 ? static_cast<int64_t>(m_GeometryEx.DiskSize) / bytes : 0;
    } else if (m_nBlockCount > 0) {
        count = m_nBlockCount;
    } else if (m_Media.IsValid()) {
        count = static_cast<int64_t>(m_Media.NumberMediaSides) * m_Media.SectorsPerTrack * m_Media.TracksPerCylinder *
                static_cast<int64_t>(m_Media.Cylinders);
    }
    if (ReaderClass() == 4)
        count -= 1;
    return count;
}

int32_t CDriveInfo::BytesPerSector() const
{
    if (m_nBlockSize > 0)
        return m_nBlockSize;
    if (m_GeometryEx.IsValid())
        return static_cast<int32_t>(m_GeometryEx.BytesPerSector);
    if (m_Media.IsValid())
        return static_cast<int32_t>(m_Media.BytesPerSector);
    return 0;
}

int64_t CDriveInfo::DiskSize() const
{
    if (m_GeometryEx.IsValid())
        return m_GeometryEx.DiskSize;
    if (m_nBlockCount > 0)
        return static_cast<int64_t>(BlockCount()) * BytesPerSector();
    if (m_Media.IsValid())
        return static_cast<int64_t>(m_Media.BytesPerSector) *
               (static_cast<int64_t>(m_Media.NumberMediaSides) * m_Media.SectorsPerTrack * m_Media.TracksPerCylinder *
                m_Media.Cylinders);
    return 0;
}

std::string CDriveInfo::MediaTypeText() const
{
    return DeviceNames::MediaType(m_Media.IsValid() ? m_Media.MediaType : m_GeometryEx.MediaType);
}

std::string CDriveInfo::Report() const
{
    if (m_Letter == 0)
        return "Device is not selected";
    using DeviceText::ReportLine;
    std::string text = "Card Information:";
    text += "\r\n" + ReportLine("Card Path", std::string(1, m_Letter) + ":\\");
    text += "\r\n" + ReportLine("Disk Size", std::to_string(DiskSize()));
    text += "\r\n" + ReportLine("Bytes Per Sector", std::to_string(BytesPerSector()));
    text += "\r\n" + ReportLine("Media Type", MediaTypeText());
    text += "\r\n" + ReportLine("Blocks", DeviceText::WithCommas(BlockCount()));
    text += "\r\n" + ReportLine("Reader Vendor", m_Descriptor.Vendor);
    text += "\r\n" + ReportLine("Reader Name", m_Descriptor.Product);
    text += "\r\n" + ReportLine("Reader Revision", m_Descriptor.Revision);
    text += "\r\n" + ReportLine("Bus Type", DeviceNames::BusType(m_Descriptor.BusType));
    text += "\r\n" + ReportLine("Device Type", DeviceNames::DeviceType(m_Descriptor.DeviceType));
    return text;
}

bool CDriveInfo::IsCard() const
{
    return m_Descriptor.DeviceType == 0 && m_Descriptor.RemovableMedia == 1 && (m_Sense.ScsiStatus & 0x3E) == 0;
}

CDriveInfo* CDriveInfoList::Find(char letter) const
{
    for (CDriveInfo* info : m_list)
        if (info && info->m_Letter == letter)
            return info;
    return nullptr;
}
