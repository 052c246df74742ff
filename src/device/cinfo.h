#pragma once
// The records that hold the raw answers of the storage queries and SCSI commands, each
// with a valid flag that its owner sets from the result of the operation that filled it.
#include <cstdint>
#include <string>

class CInfo {
public:
    virtual ~CInfo() = default;
    // Valid flag false, payload zeroed, strings emptied.
    virtual void Clear() { m_bValid = false; }
    virtual void CopyValid(const CInfo& other) { m_bValid = other.m_bValid; }
    // True when the first 32-bit word of the payload is greater than 0.
    virtual bool HasData() const { return FirstWord() > 0; }
    virtual bool IsSupported() const { return true; }
    // The record as text; every line ends with CR LF.
    virtual std::string Dump() const { return "Data is missing"; }

    bool IsValid() const { return m_bValid; }
    void SetValid(bool valid) { m_bValid = valid; }

protected:
    virtual uint32_t FirstWord() const { return 0; }
    bool m_bValid = false;
};

// Standard inquiry data: the 96-byte _INQUIRYDATA of which the first 36 bytes are filled.
class CInquiryData : public CInfo {
public:
    CInquiryData() { Clear(); }
    void Clear() override;
    std::string Dump() const override;
    // Takes the 36 bytes of a standard inquiry answer (fewer are zero-padded).
    void Fill(const uint8_t* bytes, uint32_t length);

    uint8_t DeviceType() const { return m_bytes[0] & 0x1F; }
    uint8_t Qualifier() const { return m_bytes[0] >> 5; }
    bool Removable() const { return (m_bytes[1] & 0x80) != 0; }
    // Bytes 8..15, 16..31, 32..35 as stored.
    std::string VendorId() const;
    std::string ProductId() const;
    std::string ProductRevision() const;
    const uint8_t* Bytes() const { return m_bytes; }

    uint8_t m_bytes[96];

protected:
    uint32_t FirstWord() const override;
};

// ATA IDENTIFY DEVICE answer: 256 words.
class CIdentifyData : public CInfo {
public:
    CIdentifyData() { Clear(); }
    void Clear() override;
    void Fill(const uint8_t* bytes, uint32_t length);
    // The LBA capacity in words 60..61; 0 when the identify words give none.
    uint32_t LbaSectors() const;

    uint16_t m_words[256];

protected:
    uint32_t FirstWord() const override;
};

// _DISK_GEOMETRY.
class CDiskGeometry : public CInfo {
public:
    CDiskGeometry() { Clear(); }
    void Clear() override;
    std::string Dump() const override;
    // Reads the 24-byte answer.
    void Fill(const uint8_t* bytes);

    int64_t Cylinders = 0;
    uint32_t MediaType = 0;
    uint32_t TracksPerCylinder = 0;
    uint32_t SectorsPerTrack = 0;
    uint32_t BytesPerSector = 0;

protected:
    uint32_t FirstWord() const override { return static_cast<uint32_t>(Cylinders); }
};

// _DISK_GEOMETRY_EX: the geometry, the disk size and the first byte of the trailing data.
class CDiskGeometryEx : public CDiskGeometry {
public:
    CDiskGeometryEx() { Clear(); }
    void Clear() override;
    std::string Dump() const override;
    // Reads the 40-byte answer (33 bytes are used).
    void FillEx(const uint8_t* bytes, uint32_t length);

    int64_t DiskSize = 0;
    uint8_t Data = 0;
};

// The disk part of _DEVICE_MEDIA_INFO.
class CDeviceMediaInfo : public CInfo {
public:
    CDeviceMediaInfo() { Clear(); }
    void Clear() override;
    std::string Dump() const override;
    // Reads the DEVICE_MEDIA_INFO at the given bytes (32 bytes).
    void Fill(const uint8_t* bytes);

    int64_t Cylinders = 0;
    uint32_t MediaType = 0;
    uint32_t TracksPerCylinder = 0;
    uint32_t SectorsPerTrack = 0;
    uint32_t BytesPerSector = 0;
    uint32_t NumberMediaSides = 0;
    uint32_t MediaCharacteristics = 0;

protected:
    uint32_t FirstWord() const override { return static_cast<uint32_t>(Cylinders); }
};

// The fixed part of _STORAGE_DEVICE_DESCRIPTOR and its four texts.
class CStorageDeviceDescriptor : public CInfo {
public:
    CStorageDeviceDescriptor() { Clear(); }
    void Clear() override;
    std::string Dump() const override;
    // Reads the answer (up to 512 bytes); the texts at their offsets, each up to its first
    // zero byte or the end of the answer; an offset of 0 or outside gives an empty text.
    void Fill(const uint8_t* bytes, uint32_t length);

    uint32_t Version = 0;
    uint32_t Size = 0;
    uint8_t DeviceType = 0;
    uint8_t DeviceTypeModifier = 0;
    uint8_t RemovableMedia = 0;
    uint8_t CommandQueueing = 0;
    uint32_t VendorIdOffset = 0;
    uint32_t ProductIdOffset = 0;
    uint32_t ProductRevisionOffset = 0;
    uint32_t SerialNumberOffset = 0;
    uint32_t BusType = 0;
    uint32_t RawPropertiesLength = 0;
    uint8_t RawDeviceProperties = 0;
    std::string Product, Vendor, Revision, SerialNumber;

protected:
    uint32_t FirstWord() const override { return Version; }
};

// Free space of the volume.
class CFileInfo : public CInfo {
public:
    CFileInfo() { Clear(); }
    void Clear() override;

    uint32_t SectorsPerCluster = 0;
    uint32_t BytesPerSector = 0;
    uint32_t NumberOfFreeClusters = 0;
    uint32_t TotalNumberOfClusters = 0;
    uint64_t FreeBytesAvailable = 0;
    uint64_t TotalNumberOfBytes = 0;
    uint64_t TotalNumberOfFreeBytes = 0;
    bool ExValid = false;   // whether the second (64-bit) query succeeded

protected:
    uint32_t FirstWord() const override { return SectorsPerCluster; }
};

// The unit's answer to TEST UNIT READY: ready flag, status byte, sense key and the
// status text of the request.
struct CUnitStatus {
    bool Ready = false;
    uint8_t ScsiStatus = 0;
    uint8_t SenseKey = 0;
    std::string StatusText;
};

// The sense bytes of TEST UNIT READY, its status byte and a valid flag.
struct CUnitSense {
    uint8_t Sense[18] = {};
    uint8_t ScsiStatus = 0;
    bool Valid = false;
    void Clear() { *this = CUnitSense{}; }
};

// Name tables of the dumps and the card report.
namespace DeviceNames {
// Device type byte (read as signed: 128 and above, and values not listed, give "ERROR").
std::string DeviceType(uint8_t type);
std::string BusType(uint32_t bus);
std::string Removable(uint8_t removable);
std::string Qualifier(uint8_t type);
// The description of a media type code; empty for a code not in the table.
std::string MediaType(uint32_t code);
// The symbolic name of a media type code; empty for a code not in the table.
std::string MediaTypeSymbol(uint32_t code);
// Number of rows of the media-type table.
int MediaTypeRows();
}  // namespace DeviceNames

// Formatting helpers shared by the report and the property lists.
namespace DeviceText {
// A decimal number with a comma before every group of three digits from the right,
// at most four commas.
std::string WithCommas(int64_t value);
// "label" padded with dots to 33 characters, then the value.
std::string ReportLine(const std::string& label, const std::string& value);
}  // namespace DeviceText
