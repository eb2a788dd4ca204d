/* The least a converter with the tool's guarantees must do, for bench/run to measure it against.
 *
 * Usage: floor INPUT. Reads the 512 x 512 raw picture at INPUT, writes its 786,486-byte BMP to
 * a new unnamed file beside INPUT.bmp in one call, waits for the data to reach the disk
 * (fdatasync), and links the file to INPUT.bmp; where that name is taken, links it under a
 * temporary name and renames that over it. Linked statically and with no checks beyond what
 * keeps the result right: what it costs is what any such program must pay, start-up included.
 * Exits 1 on any failure. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { side = 512, headers = 54, row = 3 * side, size = headers + row * side };

static unsigned char raw[side * side];
static unsigned char bmp[size] = {
    'B', 'M', size & 0xFF, size >> 8 & 0xFF, size >> 16 & 0xFF, 0, 0, 0, 0, 0, headers, 0, 0, 0,
    40, 0, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 1, 0, 24};

int main(int argc, char **argv)
{
    if (argc != 2)
        return 1;
    const int in = open(argv[1], O_RDONLY);
    if (in < 0)
        return 1;
    for (size_t got = 0; got < sizeof raw;) {
        const ssize_t more = read(in, raw + got, sizeof raw - got);
        if (more < 0)
            return 1;
        if (more == 0)
            break;
        got += (size_t)more;
    }
    close(in);

    /* Bottom-up rows, each pixel's grey level three times. */
    for (size_t y = 0; y < side; ++y) {
        const unsigned char *from = raw + (side - 1 - y) * side;
        unsigned char *to = bmp + headers + y * row;
        for (size_t x = 0; x < side; ++x)
            to[3 * x] = to[3 * x + 1] = to[3 * x + 2] = from[x];
    }

    char name[4096];
    char directory[4096];
    if (snprintf(name, sizeof name, "%s.bmp", argv[1]) >= (int)sizeof name)
        return 1;
    strcpy(directory, name);
    char *slash = strrchr(directory, '/');
    if (slash == NULL)
        strcpy(directory, ".");
    else
        slash[slash == directory] = '\0';

    const int out = open(directory, O_TMPFILE | O_WRONLY, 0666);
    if (out < 0 || write(out, bmp, sizeof bmp) != (ssize_t)sizeof bmp || fdatasync(out) != 0)
        return 1;
    if (linkat(out, "", AT_FDCWD, name, AT_EMPTY_PATH) == 0)
        return 0;
    char temporary[4200];
    snprintf(temporary, sizeof temporary, "%s.%d.tmp", name, (int)getpid());
    return linkat(out, "", AT_FDCWD, temporary, AT_EMPTY_PATH) != 0 || rename(temporary, name) != 0;
}
