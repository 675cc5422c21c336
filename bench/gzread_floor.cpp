// The zlib floor: the least work any reader of a gzip stream through zlib's
// gz interface must do. Opens the file with gzopen(path, "r") and reads it to
// the end in 64 KiB pieces, throwing the bytes away.
#include <cstdio>

#include <zlib.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: gzread_floor FILE\n");
        return 2;
    }
    gzFile file = gzopen(argv[1], "r");
    if (file == nullptr) {
        std::fprintf(stderr, "gzread_floor: cannot open %s\n", argv[1]);
        return 1;
    }
    static unsigned char buffer[64 * 1024];
    int got;
    while ((got = gzread(file, buffer, sizeof buffer)) > 0) {
    }
    const int closed = gzclose(file);
    if (got < 0 || closed != Z_OK) {
        std::fprintf(stderr, "gzread_floor: read error in %s\n", argv[1]);
        return 1;
    }
    return 0;
}
