#include "device/cdrive.h"

#include <cctype>
#include <cstdio>

#include "platform/lasterror.h"
#include "platform/volumetable.h"
#include "platform/winioctl.h"

CDrive::CDrive(char letter) { OpenVolume(letter); }

CDrive::~CDrive() { Close(); }

void CDrive::Reset()
{
    m_strPath.clear();
    m_strError.clear();
    m_nDrive = 0;
    m_Letter = 0;
    m_hDevice.reset();
    m_bLocked = false;
}

void CDrive::Assign(const CDrive& other)
{
    if (&other == this)
        return;
    m_Letter = other.m_Letter;
    m_nDrive = other.m_nDrive;
    m_strError = other.m_strError;
    m_strPath = other.m_strPath;
    m_hDevice = other.m_hDevice;
}

bool CDrive::Open(const std::string& path)
{
    Close();
    m_strPath = path;
    m_hDevice = px::OpenDevice(path);
    if (!m_hDevice) {
        m_strPath.clear();
        SetError({}, true);
        return false;
    }
    return true;
}

bool CDrive::OpenVolume(char letter)
{
    char path[8];
    std::snprintf(path, sizeof path, "\\\\.\\%c:", letter);
    if (!Open(path))
        return false;
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    // Drives A and Z are never cards: only B to Y are accepted.
    if (upper < 'B' || upper > 'Y') {
        SetError("Invalid drive letter", true);
        return false;
    }
    m_Letter = upper;
    m_nDrive = upper - 'A';
    return true;
}

bool CDrive::OpenPhysicalDrive(int index)
{
    m_strPath = "\\\\.\\PhysicalDrive" + std::to_string(index);
    px::Handle handle = px::OpenDevice(m_strPath);
    if (!handle) {
        m_strPath.clear();
        SetError({}, true);
        return false;
    }
    m_hDevice = handle;
    m_nDrive = index;
    return true;
}

bool CDrive::Close()
{
    if (m_bLocked)
        Unlock();
    const bool wasOpen = IsOpen();
    Reset();
    return wasOpen;
}

bool CDrive::SimpleControl(uint32_t code)
{
    uint32_t returned = 0;
    if (!m_hDevice) {
        px::SetLastError(EBADF);
        SetError({}, true);
        return false;
    }
    if (!m_hDevice->Control(code, nullptr, 0, nullptr, 0, &returned)) {
        SetError({}, true);
        return false;
    }
    return true;
}

bool CDrive::Dismount() { return SimpleControl(px::FSCTL_DISMOUNT_VOLUME); }

bool CDrive::Lock()
{
    m_bLocked = true;
    return SimpleControl(px::FSCTL_LOCK_VOLUME);
}

bool CDrive::Unlock()
{
    m_bLocked = false;
    return SimpleControl(px::FSCTL_UNLOCK_VOLUME);
}

bool CDrive::Eject() { return SimpleControl(px::IOCTL_STORAGE_EJECT_MEDIA); }

bool CDrive::QueryDeviceDescriptor(CStorageDeviceDescriptor& record)
{
    record.Clear();
    uint8_t query[12] = {};   // StorageDeviceProperty, PropertyStandardQuery
    uint8_t answer[512] = {};
    uint32_t returned = 0;
    if (!m_hDevice) {
        px::SetLastError(EBADF);
        SetError({}, true);
        return false;
    }
    if (!m_hDevice->Control(px::IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, answer, sizeof answer, &returned)) {
        SetError({}, true);
        return false;
    }
    record.Fill(answer, sizeof answer);
    return true;
}

bool CDrive::GetGeometry(CDiskGeometry& record)
{
    record.Clear();
    uint8_t buffer[px::DISK_GEOMETRY_SIZE] = {};
    uint32_t returned = 0;
    if (!m_hDevice || !m_hDevice->Control(px::IOCTL_DISK_GET_DRIVE_GEOMETRY, buffer, sizeof buffer, buffer,
                                          sizeof buffer, &returned)) {
        if (!m_hDevice)
            px::SetLastError(EBADF);
        SetError({}, true);
        return false;
    }
    record.Fill(buffer);
    return true;
}

bool CDrive::GetGeometryEx(CDiskGeometryEx& record)
{
    record.Clear();
    uint8_t buffer[px::DISK_GEOMETRY_EX_SIZE] = {};
    uint32_t returned = 0;
    if (!m_hDevice ||
        !m_hDevice->Control(px::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, buffer, sizeof buffer, &returned)) {
        if (!m_hDevice)
            px::SetLastError(EBADF);
        SetError({}, true);
        return false;
    }
    record.FillEx(buffer, returned);
    return true;
}

bool CDrive::GetMediaTypes(CDeviceMediaInfo& record)
{
    record.Clear();
    uint8_t buffer[px::GET_MEDIA_TYPES_SIZE] = {};
    px::Put32(buffer + 0, 45);   // device type preset as the request expects
    px::Put32(buffer + 4, 1);    // room for one media info
    uint32_t returned = 0;
    if (!m_hDevice || !m_hDevice->Control(px::IOCTL_STORAGE_GET_MEDIA_TYPES_EX, buffer, sizeof buffer, buffer,
                                          sizeof buffer, &returned)) {
        if (!m_hDevice)
            px::SetLastError(EBADF);
        SetError({}, true);
        return false;
    }
    record.Fill(buffer + 8);
    return true;
}

bool CDrive::GetFreeSpace(CFileInfo& record)
{
    record.Clear();
    px::FreeSpaceInfo space;
    if (!px::VolumeTable::Instance().FreeSpace(m_Letter, space)) {
        SetError({}, true);
        return false;
    }
    record.SectorsPerCluster = space.sectorsPerCluster;
    record.BytesPerSector = space.bytesPerSector;
    record.NumberOfFreeClusters = space.freeClusters;
    record.TotalNumberOfClusters = space.totalClusters;
    record.FreeBytesAvailable = space.freeBytesAvailable;
    record.TotalNumberOfBytes = space.totalBytes;
    record.TotalNumberOfFreeBytes = space.totalFreeBytes;
    record.ExValid = true;
    return true;
}

bool CDrive::ReadDriveInfo(CDriveInfo& info)
{
    info.Reset();
    info.m_Letter = m_Letter;
    const bool inquiry = Inquiry(info.m_Inquiry);
    info.m_Inquiry.SetValid(inquiry);
    uint64_t lastBlock = 0;
    uint16_t blockSize = 0;
    if (ReadCapacity(lastBlock, blockSize)) {
        info.m_nBlockCount = lastBlock == 0 ? 0 : static_cast<int64_t>(lastBlock + 1);
        info.m_nBlockSize = blockSize;
    }
    const bool media = GetMediaTypes(info.m_Media);
    info.m_Media.SetValid(media);
    const bool geometry = GetGeometryEx(info.m_GeometryEx);
    info.m_GeometryEx.SetValid(geometry);
    const bool descriptor = QueryDeviceDescriptor(info.m_Descriptor);
    info.m_Descriptor.SetValid(descriptor);
    return inquiry || media || geometry || descriptor;
}

bool CDrive::ReadCapacity(uint64_t&, uint16_t&) { return true; }

bool CDrive::SendVendorWrite(const uint8_t*, uint32_t) { return false; }

unsigned CDrive::GetDriveType() { return px::VolumeTable::Instance().DriveType(m_Letter); }

bool CDrive::HasLogicalDrives() { return !px::VolumeTable::Instance().Letters().empty(); }

void CDrive::SetError(const std::string& message, bool withSystemText)
{
    std::string text = message;
    if (withSystemText) {
        if (!text.empty())
            text += "\n";
        std::string system = px::SystemErrorText(px::GetLastError());
        text += system.empty() ? "FormatMessage Netive Error" : system;
        for (char& c : text)
            if (c == '\r' || c == '\n')
                c = ' ';
    }
    m_strError = text;
}
