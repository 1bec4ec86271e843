/* The native floor of a warm start: reads every regular file below a folder
 * and runs zlib's crc32_z over its bytes, on one thread, the way a launcher
 * that finds every file right has to look at each of them once.
 *
 *   crc_files FOLDER
 *
 * Prints the number of files, the bytes read and the XOR of all the CRC-32
 * values (so that nothing can be skipped), and exits 1 when a file cannot be
 * read. Built on the host by bench/run.py: cc -O2 crc_files.c -lz. */
#define _XOPEN_SOURCE 700
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <unistd.h>
#include <zlib.h>

static unsigned char buffer[1 << 20];
static unsigned long long files, bytes;
static unsigned long combined;

static int visit(const char* path, const struct stat* st, int type, struct FTW* where) {
    (void)st;
    (void)where;
    if (type != FTW_F) return 0;
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        perror(path);
        return 1;
    }
    uLong crc = crc32_z(0L, Z_NULL, 0);
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            perror(path);
            close(fd);
            return 1;
        }
        if (n == 0) break;
        crc = crc32_z(crc, buffer, (z_size_t)n);
        bytes += (unsigned long long)n;
    }
    close(fd);
    combined ^= crc;
    ++files;
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: crc_files FOLDER\n", stderr);
        return 2;
    }
    if (nftw(argv[1], visit, 64, FTW_PHYS) != 0) return 1;
    printf("%llu files, %llu bytes, crc xor %08lx\n", files, bytes, combined);
    return 0;
}
