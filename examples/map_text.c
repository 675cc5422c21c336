/* Maps the text of an aligned executable straight from an indexed archive
 * and prints the member's line and an FNV-1a checksum of the mapped bytes.
 *
 *     map_text ARCHIVE.ktar MEMBER-NAME
 *
 * Output: "<type> <mode> <size> <data_offset> <text_offset> <text_pages>
 * <fixup_pages> <name>", then "text <bytes> fnv1a <16 hex digits>". */
#include <inttypes.h>
#include <stdio.h>

#include <kotar/reader.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: map_text ARCHIVE MEMBER\n");
        return 2;
    }
    kotar_archive *archive = NULL;
    int status = kotar_open(argv[1], &archive);
    if (status < 0) {
        fprintf(stderr, "map_text: %s: %s\n", argv[1], kotar_strerror(status));
        return 1;
    }
    int result = 1;
    const kotar_member *member = kotar_find(archive, argv[2]);
    if (member == NULL) {
        fprintf(stderr, "map_text: %s: no such member\n", argv[2]);
    } else {
        printf("%c %04" PRIo64 " %" PRIu64 " %" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32 " %s\n", member->type,
               member->mode, member->size, member->data_offset, member->text_offset, member->text_pages,
               member->fixup_pages, member->name);
        const void *text = NULL;
        size_t length = 0;
        status = kotar_map_text(archive, member, 0, &text, &length);
        if (status < 0) {
            fprintf(stderr, "map_text: %s: %s\n", argv[2], kotar_strerror(status));
        } else {
            uint64_t hash = UINT64_C(14695981039346656037);
            const unsigned char *bytes = text;
            for (size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * UINT64_C(1099511628211);
            printf("text %zu fnv1a %016" PRIx64 "\n", length, hash);
            kotar_unmap_text(text, length);
            result = 0;
        }
    }
    kotar_close(archive);
    return result;
}
