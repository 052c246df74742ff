#pragma once
// One SCSI target for a card of 512-byte blocks: the command decoder that the emulated
// card reader and the SD-slot block backend share, so both answer alike. INQUIRY, TEST
// UNIT READY, READ CAPACITY(10) and (16), READ and WRITE (10) and (16) with their range
// checks and sense; ILLEGAL REQUEST for anything else. The backend plugs in its identity,
// its readiness and its block I/O.
#include <cstdint>
#include <string>

#include "platform/devicehandle.h"

namespace px {

class BlockTarget {
public:
    virtual ~BlockTarget() = default;

    // Carries out one command. False (with the last error set) only when the backend says
    // the request itself failed: the device is gone.
    bool ExecuteCommand(const ScsiRequest& request, ScsiResult& result);

protected:
    struct Identity {
        std::string vendor, product, revision;
    };
    virtual Identity InquiryIdentity() const = 0;
    // Asked before every command but INQUIRY: false when the request fails (last error
    // set); true with CHECK CONDITION in result when the target is not ready (no card, a
    // card just inserted), else true with the card's block count.
    virtual bool Ready(ScsiResult& result, uint64_t& blocks) = 0;
    // A READ or WRITE arrived (before any check), for the backends that count them.
    virtual void Arrived(bool write) {}
    virtual bool WriteProtected() const = 0;
    // Moves count blocks at first (in range, the data area checked). Sets transferred and,
    // when the transfer stopped, the sense; false when the request itself failed.
    virtual bool Transfer(bool write, uint64_t first, uint64_t count, uint8_t* data, ScsiResult& result) = 0;

private:
    bool Inquiry(const ScsiRequest& request, ScsiResult& result) const;
    bool Capacity16(const ScsiRequest& request, uint64_t blocks, ScsiResult& result) const;
};

}  // namespace px
