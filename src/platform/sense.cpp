#include "platform/sense.h"

namespace px {

namespace {

constexpr uint8_t kDescriptorCurrent = 0x72, kDescriptorDeferred = 0x73;
constexpr uint8_t kDescInformation = 0x00;
constexpr size_t kDescriptorHeader = 8;

uint64_t Be(const uint8_t* p, int bytes)
{
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | p[i];
    return value;
}

}  // namespace

SenseData ParseSense(const uint8_t* sense, size_t length)
{
    SenseData d;
    if (!sense || length == 0)
        return d;
    const uint8_t code = sense[0] & 0x7F;
    // Fixed format, and whatever a reader sends that is not descriptor format: card
    // readers have always been read by byte 2, and some fill in no response code.
    if (code != kDescriptorCurrent && code != kDescriptorDeferred) {
        if (length < 3)
            return d;
        d.Valid = true;
        d.Key = sense[2] & 0x0F;
        if (length >= 7 && (sense[0] & 0x80)) {
            d.HasInformation = true;
            d.Information = Be(sense + 3, 4);
        }
        d.Asc = length > 12 ? sense[12] : 0;
        d.Ascq = length > 13 ? sense[13] : 0;
        return d;
    }
    if (length < 2)
        return d;
    d.Valid = true;
    d.Key = sense[1] & 0x0F;
    d.Asc = length > 2 ? sense[2] : 0;
    d.Ascq = length > 3 ? sense[3] : 0;
    if (length <= kDescriptorHeader)
        return d;
    const size_t end = length < kDescriptorHeader + sense[7] ? length : kDescriptorHeader + sense[7];
    for (size_t at = kDescriptorHeader; at + 2 <= end;) {
        const size_t size = 2u + sense[at + 1];
        if (at + size > end)
            break;
        // The information descriptor: VALID in byte 2, a 64-bit field from byte 4.
        if (sense[at] == kDescInformation && size >= 12 && (sense[at + 2] & 0x80)) {
            d.HasInformation = true;
            d.Information = Be(sense + at + 4, 8);
        }
        at += size;
    }
    return d;
}

bool TransferComplete(uint8_t status, const SenseData& sense, uint32_t moved, uint32_t asked)
{
    if (moved < asked)
        return false;
    if ((status & 0x3E) == ScsiStatus::Good)
        return true;
    return (status & 0x3E) == ScsiStatus::CheckCondition && sense.Valid &&
           (sense.Key == SenseKey::NoSense || sense.Key == SenseKey::RecoveredError);
}

}  // namespace px
