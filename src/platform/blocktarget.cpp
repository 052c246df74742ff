#include "platform/blocktarget.h"

#include <algorithm>
#include <cstring>

#include "platform/sense.h"
#include "platform/sgio.h"
#include "platform/winioctl.h"

namespace px {

namespace {

constexpr uint32_t kBlock = 512;
// Operation codes (SBC-3).
constexpr uint8_t kTestUnitReady = 0x00, kInquiry = 0x12, kReadCapacity10 = 0x25, kRead10 = 0x28, kWrite10 = 0x2A,
                  kRead16 = 0x88, kWrite16 = 0x8A, kServiceActionIn16 = 0x9E;
constexpr uint8_t kReadCapacity16Action = 0x10;
// READ CAPACITY(16) answers 32 bytes: last LBA (8), block length (4), protection and
// provisioning fields that a card leaves at zero.
constexpr uint32_t kCapacity16Length = 32;

void CopyPadded(uint8_t* to, const std::string& text, size_t width)
{
    std::memset(to, ' ', width);
    std::memcpy(to, text.data(), std::min(width, text.size()));
}

}  // namespace

bool BlockTarget::Inquiry(const ScsiRequest& request, ScsiResult& result) const
{
    const uint8_t* cdb = request.cdb;
    if (request.cdbLength < 6 || (cdb[1] & 0x01)) {
        MakeSense(result, SenseKey::IllegalRequest, 0x24, 0x00);   // no vital product data pages
        return true;
    }
    uint8_t inquiry[36] = {};
    inquiry[0] = 0x00;   // direct-access block device, connected
    inquiry[1] = 0x80;   // removable medium
    inquiry[2] = 0x02;   // SCSI-2
    inquiry[3] = 0x02;   // response data format 2
    inquiry[4] = 31;     // additional length: 36 bytes in all
    const Identity id = InquiryIdentity();
    CopyPadded(inquiry + 8, id.vendor, 8);
    CopyPadded(inquiry + 16, id.product, 16);
    CopyPadded(inquiry + 32, id.revision, 4);
    const uint32_t n = std::min<uint32_t>({request.dataLength, 36u, cdb[4]});
    if (request.data && n)
        std::memcpy(request.data, inquiry, n);
    result.transferred = n;
    return true;
}

bool BlockTarget::Capacity16(const ScsiRequest& request, uint64_t blocks, ScsiResult& result) const
{
    const uint8_t* cdb = request.cdb;
    if (request.cdbLength < 16 || (cdb[1] & 0x1F) != kReadCapacity16Action || !request.data) {
        MakeSense(result, SenseKey::IllegalRequest, 0x24, 0x00);
        return true;
    }
    uint8_t answer[kCapacity16Length] = {};
    PutBE64(answer, blocks == 0 ? 0 : blocks - 1);
    PutBE32(answer + 8, kBlock);
    const uint32_t n = std::min<uint32_t>({request.dataLength, kCapacity16Length, GetBE32(cdb + 10)});
    std::memcpy(request.data, answer, n);
    result.transferred = n;
    return true;
}

bool BlockTarget::ExecuteCommand(const ScsiRequest& request, ScsiResult& result)
{
    result = ScsiResult{};
    const uint8_t* cdb = request.cdb;
    if (!cdb || request.cdbLength == 0) {
        MakeSense(result, SenseKey::IllegalRequest, 0x20, 0x00);
        return true;
    }
    const uint8_t op = cdb[0];
    if (op == kInquiry)   // answered with or without a card
        return Inquiry(request, result);
    uint64_t blocks = 0;
    if (!Ready(result, blocks))
        return false;
    if (result.status != ScsiStatus::Good)
        return true;
    uint64_t first = 0, count = 0;
    switch (op) {
    case kTestUnitReady:
        return true;
    case kReadCapacity10: {
        if (request.dataLength < 8 || !request.data) {
            MakeSense(result, SenseKey::IllegalRequest, 0x24, 0x00);
            return true;
        }
        // A card past 2^32 blocks answers all ones: the caller asks READ CAPACITY(16).
        const uint64_t last = blocks == 0 ? 0 : blocks - 1;
        PutBE32(request.data, last > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(last));
        PutBE32(request.data + 4, kBlock);
        result.transferred = 8;
        return true;
    }
    case kServiceActionIn16:
        return Capacity16(request, blocks, result);
    case kRead10:
    case kWrite10:
        if (request.cdbLength < 10) {
            MakeSense(result, SenseKey::IllegalRequest, 0x24, 0x00);
            return true;
        }
        first = GetBE32(cdb + 2);
        count = GetBE16(cdb + 7);
        break;
    case kRead16:
    case kWrite16:
        if (request.cdbLength < 16) {
            MakeSense(result, SenseKey::IllegalRequest, 0x24, 0x00);
            return true;
        }
        first = GetBE64(cdb + 2);
        count = GetBE32(cdb + 10);
        break;
    default:
        MakeSense(result, SenseKey::IllegalRequest, 0x20, 0x00);   // invalid command operation code
        return true;
    }
    const bool write = op == kWrite10 || op == kWrite16;
    Arrived(write);
    if (first > blocks || count > blocks - first) {
        MakeSense(result, SenseKey::IllegalRequest, 0x21, 0x00, static_cast<int64_t>(first));   // LBA out of range
        return true;
    }
    if (count * kBlock > request.dataLength || (count && !request.data) ||
        request.direction != (write ? spt::DATA_OUT : spt::DATA_IN)) {
        MakeSense(result, SenseKey::IllegalRequest, 0x24, 0x00);   // invalid field in CDB
        return true;
    }
    if (write && WriteProtected()) {
        MakeSense(result, SenseKey::DataProtect, 0x27, 0x00);   // write protected
        return true;
    }
    return Transfer(write, first, count, request.data, result);
}

}  // namespace px
