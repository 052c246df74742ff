#pragma once
// Everything known about one card reader and its card: the raw answers of the storage
// queries and SCSI commands, and the figures derived from them.
#include <cstdint>
#include <string>

#include "device/cinfo.h"
#include "jobs/cobj.h"
#include "jobs/cstdlist.h"

class CDriveInfo : public CObj {
public:
    CDriveInfo() = default;
    CDriveInfo(const CDriveInfo& other) : CObj() { CopyInfo(other); }
    CDriveInfo& operator=(const CDriveInfo& other)
    {
        CopyInfo(other);
        return *this;
    }

    CObj* CreateNew() const override { return new CDriveInfo(); }
    // Every record cleared, letter, block count and block size 0, sense record cleared.
    void Reset() override;
    void CopyFrom(const CObj& other) override;
    // Letter, every record with its valid flag, block count, block size and sense record.
    virtual void CopyInfo(const CDriveInfo& other);

    // 4 for the readers that report one block more than the card has, else 0.
    int ReaderClass() const;
    int64_t BlockCount() const;
    int32_t BytesPerSector() const;
    int64_t DiskSize() const;
    std::string MediaTypeText() const;
    // "Card Information:" and its ten lines, or "Device is not selected" without a letter.
    std::string Report() const;

    // Whether the drive qualifies as a card: a removable disk whose unit answered good.
    bool IsCard() const;

    CInquiryData m_Inquiry;
    CIdentifyData m_Identify;
    CDeviceMediaInfo m_Media;
    CDiskGeometryEx m_GeometryEx;
    CDiskGeometry m_Geometry;
    CStorageDeviceDescriptor m_Descriptor;
    CFileInfo m_FileInfo;
    CUnitSense m_Sense;
    char m_Letter = 0;
    int64_t m_nBlockCount = 0;   // from READ CAPACITY; 0 when unknown
    int32_t m_nBlockSize = 0;    // from READ CAPACITY; 0 when unknown
};

class CDriveInfoList : public CStdList<CDriveInfo> {
public:
    // The first entry with this drive letter, or null.
    CDriveInfo* Find(char letter) const;
};
