#pragma once
// A JPEG picture at an eighth of its width and height from the DC coefficients alone:
// each 8 x 8 block becomes one pixel, its average, as libjpeg's 1/8 scaled decode
// gives it. The AC coefficients are only stepped over, never decoded, which is what
// makes a thumbnail of a 12-megapixel picture cheap.
#include <cstddef>
#include <cstdint>
#include <vector>

enum class JpegDcResult {
    // Every block of the picture was read.
    Decoded,
    // The entropy-coded data ends early (a truncated or partly overwritten file) or is
    // damaged: the blocks that could not be read are mid grey, as libjpeg leaves them,
    // and a damaged restart interval costs only that interval.
    Partial,
    // Not a picture this decoder reads: not a JPEG, headers damaged or cut short, no
    // entropy-coded data, or a kind other than baseline or extended Huffman 8-bit
    // YCbCr or greyscale in one scan (progressive, arithmetic coding, 12-bit,
    // lossless, CMYK, RGB, a missing table). Decode it some other way.
    NotHandled,
};

struct JpegDcPicture {
    // The picture's own size (the frame header's).
    int FullWidth = 0;
    int FullHeight = 0;
    // The eighth-size picture: ceil(FullWidth / 8) x ceil(FullHeight / 8), RGB, three
    // bytes a pixel, rows without padding. Empty when NotHandled.
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Rgb;
};

// Decodes the JPEG file in data[0, size) at an eighth of its size. Reads nothing
// outside those bytes, whatever they hold.
JpegDcResult DecodeJpegDc(const uint8_t* data, size_t size, JpegDcPicture& picture);
