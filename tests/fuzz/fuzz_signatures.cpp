// libFuzzer target for the block signature tests and the end rules. Built by build.sh
// beside this file, not by the CMake build.
//
// Input: 4 bytes selection mask, 2 bytes block size, 4 bytes file offset, then the data
// held (the block and whatever follows it in the read buffer). The data is copied into a
// heap buffer of exactly its size, so any read past it is caught by AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <memory>

#include "recovery/signatures.h"

namespace {

uint32_t Le(const uint8_t* p, size_t n)
{
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v |= uint32_t(p[i]) << (8 * i);
    return v;
}

void Require(bool ok)
{
    if (!ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 10)
        return 0;
    const uint32_t mask = Le(data, 4);
    const size_t blockSize = Le(data + 4, 2);
    const int64_t fileOffset = int32_t(Le(data + 6, 4));
    const size_t n = size - 10;
    std::unique_ptr<uint8_t[]> held(new uint8_t[n ? n : 1]);
    if (n)
        std::memcpy(held.get(), data + 10, n);
    const std::span<const uint8_t> all(held.get(), n);

    // The answer lies in the table of types and, but for a WAVE length, depends only on
    // the first 44 bytes.
    const BlockSignature sig = RecogniseBlock(all, mask);
    Require(sig.Type >= 0 && sig.Type <= FileTypeId::Last);
    Require(sig.Type == FileTypeId::Wav || sig.ExpectedLength == 0);
    if (n > 44) {
        std::unique_ptr<uint8_t[]> head(new uint8_t[44]);
        std::memcpy(head.get(), held.get(), 44);
        const BlockSignature cut = RecogniseBlock({head.get(), 44}, mask);
        Require(cut.Type == sig.Type && (sig.Type == FileTypeId::Wav || cut.ExpectedLength == 0));
    }

    // The end rules read only the window, end after the positions they examine and never
    // go back.
    const FileWindow window{held.get(), n, fileOffset};
    const int64_t to = fileOffset + int64_t(blockSize);
    for (const EndSearch& r : {FindX3FEnd(window, fileOffset, to), FindCRWEnd(window, fileOffset, to)}) {
        Require(r.Next >= std::min(fileOffset, to) && r.Next <= std::max(fileOffset, to));
        Require(!r.End || *r.End > r.Next);
    }
    return 0;
}
