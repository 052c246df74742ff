// libFuzzer target for the eighth-size DC decoder of JPEG pictures. Built by
// build-jpegdc.sh beside this file, not by the CMake build.
//
// Input: a JPEG file. It is copied into a heap buffer of exactly its size, so that any
// read past it is caught by AddressSanitizer; the answer must fit the picture it gives.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <cstring>

#include "formats/jpegdc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[size ? size : 1]);
    if (size)
        std::memcpy(exact.get(), data, size);
    JpegDcPicture picture;
    const JpegDcResult result = DecodeJpegDc(exact.get(), size, picture);
    if (result == JpegDcResult::NotHandled) {
        if (!picture.Rgb.empty())
            __builtin_trap();
    } else if (picture.Width != (picture.FullWidth + 7) / 8 || picture.Height != (picture.FullHeight + 7) / 8
               || picture.Rgb.size() != size_t(picture.Width) * size_t(picture.Height) * 3) {
        __builtin_trap();
    }
    return 0;
}
