// vyk_pic_convert: turns a raw 512 × 512 grey picture into a 24-bit BMP beside it.
#include "bmp_writer.h"
#include "fatal.h"
#include "picture.h"
#include "raw_picture.h"

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <new>
#include <string>

// Usage: vyk_pic_convert inputfile. Writes inputfile.bmp and exits 0; on any failure prints one
// line on standard error and exits 1, leaving the output's name as it was. Never writes to standard
// output.
int main(int argc, char* argv[])
{
    const std::uint32_t width = picture_width;
    const std::uint32_t height = picture_height;
    const std::size_t plane_size = std::size_t{width} * height;
    const auto red = allocate_or_fail(plane_size);
    const auto green = allocate_or_fail(plane_size);
    const auto blue = allocate_or_fail(plane_size);
    // Past a file-size limit (ulimit -f) the kernel would kill the process with SIGXFSZ midway
    // through the output; ignored, the write fails with EFBIG instead, which is reported as the
    // write error it is.
    std::signal(SIGXFSZ, SIG_IGN);

    if (argc != 2)
        fatal("USAGE: vyk_pic_convert inputfile.\n");
    const char* input_name = argv[1];

    std::FILE* in = std::fopen(input_name, "rb");
    if (in == nullptr)
        fatal("open read file error.\n");
    read_raw_picture(in, width, height, red, green, blue);
    std::fclose(in);

    // The whole path is kept, directory and extension: scan.raw gives scan.raw.bmp beside it.
    std::string output_name;
    try {
        output_name = std::string(input_name) + ".bmp";
    } catch (const std::bad_alloc&) {
        fatal("out of memory.\n"); // one line and status 1, not an abort
    }
    write_bmp(output_name.c_str(), width, height, red, green, blue);
    return 0;
}
