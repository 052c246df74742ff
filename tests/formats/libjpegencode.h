#pragma once
// Test pictures compressed by libjpeg itself, with its defaults and what a test sets.
#include <cstdio>
#include <jpeglib.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

namespace px::test {

// Compresses height rows of width pixels of `components` bytes each (in colour space
// space); tune sets what the test needs after libjpeg's defaults. libjpeg's warnings are
// kept quiet: a test may mean them.
inline std::vector<uint8_t> LibjpegCompress(const uint8_t* pixels, int width, int height, int components,
                                            J_COLOR_SPACE space,
                                            const std::function<void(jpeg_compress_struct&)>& tune)
{
    jpeg_compress_struct info {};
    jpeg_error_mgr errors {};
    info.err = jpeg_std_error(&errors);
    errors.emit_message = [](j_common_ptr, int) {};
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&info, &out, &outSize);
    info.image_width = JDIMENSION(width);
    info.image_height = JDIMENSION(height);
    info.input_components = components;
    info.in_color_space = space;
    jpeg_set_defaults(&info);
    tune(info);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(pixels + size_t(info.next_scanline) * width * components);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    std::vector<uint8_t> jpeg(out, out + outSize);
    jpeg_destroy_compress(&info);
    std::free(out);
    return jpeg;
}

}  // namespace px::test
