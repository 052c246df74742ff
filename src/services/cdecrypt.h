#pragma once
// The unscrambling copy of a downloaded installer: a transfer (it hears Cancel and counts
// its errors as every transfer does) of one file, each byte combined with the key.
#include <cstddef>
#include <cstdint>
#include <string>

#include "recovery/ctransfer.h"

class CDecrypt : public CTransfer {
public:
    // The block read, unscrambled and written at a time.
    static constexpr size_t BlockSize = 512000;
    // The key byte that the update server's scrambled installers are made with.
    static constexpr uint8_t Key = 0xA7;

    CDecrypt(std::string source, std::string target);

    // Copies the source to the target (created, or replaced), every byte exclusive-or the
    // key. After each block CheckErrors runs and the window may run, so a cancel request
    // ends the copy by raising CTransferException ("Aborted by user"). A file that cannot
    // be opened, read or written ends the copy with false and the error
    // ("Copy file error ==> <what failed>"); the target is then removed.
    bool Run();

    // Combines each byte with the key; scrambling and unscrambling are the same step.
    static void Apply(uint8_t* data, size_t size);

private:
    std::string m_strSource;
    std::string m_strTarget;
};
