// vyk_pic_convert: turns a raw 512 × 512 grey picture into a 24-bit BMP beside it.
#include "bmp_writer.h"
#include "fatal.h"
#include "picture.h"
#include "raw_picture.h"
#include "run_memory.h"

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

// Usage: vyk_pic_convert inputfile. Writes inputfile.bmp and exits 0; on any failure prints one
// line on standard error and exits 1, leaving the output's name as it was. Prints nothing else.
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
    // Any length the system takes: the name is as long as the input's, and no shorter.
    constexpr std::string_view extension = ".bmp";
    const std::size_t input_length = std::strlen(input_name);
    const auto output_name = allocate_or_fail(input_length + extension.size() + 1);
    std::copy_n(input_name, input_length, output_name.begin());
    std::copy(extension.begin(), extension.end(), output_name.subspan(input_length).begin());
    output_name.back() = '\0';
    write_bmp(reinterpret_cast<const char*>(output_name.data()), width, height, red, green, blue);
    return 0;
}
