/* Writes the bench's synthetic tree: FILES files of 1 to 64 KiB spread
 * evenly over FOLDERS folders (GROUPS top folders, each with its share of
 * the rest), every size and byte drawn from a generator seeded with SEED,
 * so that the same arguments always give the same tree. Half the files
 * (drawn) are text-like lines from a small vocabulary, which compress well;
 * the others are random bytes, which do not.
 *
 *   make_tree FOLDER FILES FOLDERS SEED
 *
 * Built on the host by bench/run.py: cc -O2 make_tree.c. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static unsigned long long state;

/* splitmix64: small, fast, and the same everywhere. */
static unsigned long long next(void) {
    unsigned long long z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

static void make_folder(const char* path) {
    if (mkdir(path, 0755) != 0 && errno != EEXIST) {
        perror(path);
        exit(1);
    }
}

static const char* const words[] = {
    "config", "value",  "render", "module", "export", "return", "string", "buffer",
    "index",  "widget", "layout", "thread", "signal", "handle", "stream", "record",
};

static void fill_text(unsigned char* out, size_t size) {
    size_t at = 0;
    while (at < size) {
        const unsigned long long r = next();
        char line[96];
        const int n = snprintf(line, sizeof line, "%s %s = %llu;\n", words[r & 15],
                               words[(r >> 4) & 15], (r >> 8) % 1000);
        for (int i = 0; i < n && at < size; ++i) out[at++] = (unsigned char)line[i];
    }
}

static void fill_random(unsigned char* out, size_t size) {
    for (size_t at = 0; at < size; at += 8) {
        const unsigned long long r = next();
        for (size_t i = 0; i < 8 && at + i < size; ++i) out[at + i] = (unsigned char)(r >> (8 * i));
    }
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fputs("usage: make_tree FOLDER FILES FOLDERS SEED\n", stderr);
        return 2;
    }
    const char* root = argv[1];
    const long files = atol(argv[2]), folders = atol(argv[3]);
    state = strtoull(argv[4], NULL, 10);
    if (files <= 0 || folders <= 0) {
        fputs("make_tree: FILES and FOLDERS must be positive\n", stderr);
        return 2;
    }
    /* Two levels: about the square root of FOLDERS groups at the top. */
    long groups = 1;
    while (groups * groups < folders) ++groups;
    static unsigned char data[64 * 1024];
    char path[4096];
    make_folder(root);
    for (long f = 0; f < files; ++f) {
        const long folder = f % folders;
        const long group = folder % groups;
        snprintf(path, sizeof path, "%s/group%03ld", root, group);
        make_folder(path);
        snprintf(path, sizeof path, "%s/group%03ld/folder%04ld", root, group, folder);
        make_folder(path);
        const size_t size = 1024 + (size_t)(next() % (63 * 1024 + 1));
        const int text = (int)(next() & 1);
        if (text) {
            fill_text(data, size);
        } else {
            fill_random(data, size);
        }
        snprintf(path, sizeof path, "%s/group%03ld/folder%04ld/file%05ld.%s", root, group, folder,
                 f, text ? "txt" : "bin");
        FILE* out = fopen(path, "wb");
        if (out == NULL || fwrite(data, 1, size, out) != size || fclose(out) != 0) {
            perror(path);
            return 1;
        }
    }
    return 0;
}
