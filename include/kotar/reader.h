/* libkotar: reads kotar's indexed archives (ktar files).
 *
 * An indexed archive keeps every tar header at the front of the file, in its
 * header table, and records in each header where the member's data lies, so
 * that opening an archive reads only its table and a member's data is one
 * pread (or, for an aligned executable's text, one mmap) away. The layout is
 * described in kotar's format.md.
 *
 *     kotar_archive *archive;
 *     int status = kotar_open("tools.ktar", &archive);
 *     if (status < 0) { fprintf(stderr, "%s\n", kotar_strerror(status)); ... }
 *     const kotar_member *member = kotar_find(archive, "bin/true");
 *     ...
 *     kotar_close(archive);
 *
 * Every function that can fail returns 0 (or a count) on success and one of
 * the negative kotar_status codes otherwise. An archive is read-only once
 * open; its functions may be called from several threads at once.
 *
 * What each form of archive costs:
 *   ktar       kotar_open reads the header table (one read of the file's
 *              front); kotar_read is one pread.
 *   kgz        (gzip) kotar_open decompresses only the front, up to the end
 *              of the table. Reads decompress from a checkpoint: one is
 *              kept every 4 MiB of the stream as reads first reach it
 *              (the decompressor's tables and its 32 KiB window, kept
 *              compressed: about 17 KiB each), so reaching a place first
 *              costs decompressing up to it, and any later read there at
 *              most 4 MiB. Reads from
 *              several threads take turns. Damage that inflate does not
 *              see is found by the trailer's CRC, by a read that reaches
 *              the stream's end. kotar_map_text and kotar_data_fd give
 *              KOTAR_ECOMPRESSED.
 *   zstd, xz, bzip2, lz4
 *              kotar_open decompresses the whole archive once into an
 *              unlinked cache file in $TMPDIR (else /tmp), which lives until
 *              kotar_close; after that it is read as a ktar. */
#ifndef KOTAR_READER_H
#define KOTAR_READER_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define KOTAR_API __attribute__((visibility("default")))
#else
#define KOTAR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum kotar_status {
    KOTAR_OK = 0,
    KOTAR_EINVAL = -1,         /* a null or foreign argument */
    KOTAR_ENOMEM = -2,         /* out of memory */
    KOTAR_EOPEN = -3,          /* the file cannot be opened */
    KOTAR_ENOTREGULAR = -4,    /* not a regular file */
    KOTAR_EREAD = -5,          /* a read from the file failed */
    KOTAR_ETRUNCATED = -6,     /* the file ends inside the header table */
    KOTAR_EMAGIC = -7,         /* a header without the "kerix  " magic */
    KOTAR_ECHECKSUM = -8,      /* a header whose checksum does not match */
    KOTAR_EFIELD = -9,         /* a numeric field out of range (size below 0 or from 2^31) */
    KOTAR_ELONGNAME = -10,     /* a long-name entry with no member header after it */
    KOTAR_EDATA = -11,         /* member data outside the file or from 2 GiB */
    KOTAR_ENOTALIGNED = -12,   /* the member is not an aligned executable */
    KOTAR_ENOTEXT = -13,       /* the aligned executable has no text pages */
    KOTAR_ETEXTRANGE = -14,    /* the text (in whole system pages) runs past the member's data */
    KOTAR_EPAGEOFFSET = -15,   /* the text is not on a page boundary of this system */
    KOTAR_EMAP = -16,          /* mmap or munmap failed */
    KOTAR_EDAMAGED = -17,      /* the compressed archive is damaged there */
    KOTAR_ECOMPRESSED = -18,   /* the archive is compressed: no descriptor to map or splice */
    KOTAR_ECACHE = -19         /* the cache file of a zstd, xz, bzip2 or lz4 archive cannot be written */
} kotar_status;

/* A member in table order. Its strings and the member itself stay valid
 * until kotar_close. */
typedef struct kotar_member {
    const char *name;      /* the 'L' entry's text, else the name field */
    const char *link_name; /* the 'K' entry's text, else the linkname field */
    char type;             /* the typeflag byte: '0', '5', '7', ... */
    int aligned;           /* non-zero for an aligned executable (type '7') */
    int64_t mode;
    int64_t uid;
    int64_t gid;
    int64_t mtime;         /* seconds since 1970-01-01 00:00 UTC */
    uint64_t size;         /* bytes of data, below 2^31 */
    uint32_t data_offset;  /* where the data starts in the archive file */
    uint32_t text_offset;  /* aligned executable: text segment within the data */
    uint32_t text_pages;   /* aligned executable: whole 4096-byte text pages */
    uint32_t fixup_pages;  /* aligned executable: text pages relocations touch */
} kotar_member;

typedef struct kotar_archive kotar_archive;

/* A piece of a sparse member's data: the next `length` bytes of its data
 * stand at `offset` of the file it holds; what no piece covers is a hole of
 * zeros. */
typedef struct kotar_extent {
    uint64_t offset;
    uint64_t length;
} kotar_extent;

/* The header fields that kotar_member leaves out. Valid until kotar_close. */
typedef struct kotar_details {
    const char *uname;     /* the owner's user name as stored ("" when none) */
    const char *gname;     /* the owner's group name as stored */
    int64_t devmajor;      /* character ('3') and block ('4') devices */
    int64_t devminor;
    uint64_t real_size;    /* a GNU sparse member ('S'): the file's size with
                              its holes; otherwise the member's size */
    size_t sparse_count;   /* a GNU sparse member: the pieces of its data map */
    const kotar_extent *sparse;  /* ... in the order they are stored */
} kotar_details;

/* Opens the archive at `path` and reads its header table. On success stores
 * the archive in *out and returns 0; otherwise stores NULL. */
KOTAR_API int kotar_open(const char *path, kotar_archive **out);

/* As kotar_open, from a descriptor open for reading a regular file. The
 * archive reads through a duplicate of `fd` (close-on-exec): the caller
 * keeps `fd` and may close it at any time. Reads use pread, so the
 * descriptor's file position is neither used nor moved. */
KOTAR_API int kotar_open_fd(int fd, kotar_archive **out);

/* Releases the archive and its members. NULL is allowed. Text mapped by
 * kotar_map_text stays mapped until kotar_unmap_text. */
KOTAR_API void kotar_close(kotar_archive *archive);

/* Members in table order, 'K' and 'L' entries folded into their member.
 * An 'x' or 'g' entry (pax records for the next member, or for all later
 * ones) is a member of its own, told apart by its type. */
KOTAR_API size_t kotar_count(const kotar_archive *archive);
KOTAR_API const kotar_member *kotar_at(const kotar_archive *archive, size_t index);

/* The member named exactly `name`; of two with that name, the later one.
 * NULL when there is none. The first call lists and sorts the names (about
 * 0.1 ms for a thousand members; NULL too when the memory for that cannot be
 * had); every call after it is a binary search. */
KOTAR_API const kotar_member *kotar_find(const kotar_archive *archive, const char *name);

/* Reads up to `count` bytes of the member's data from `offset` into
 * `buffer`. Returns the number of bytes read: fewer than `count` only at the
 * end of the member's data (0 from there on), or when the file has shrunk
 * since it was opened (a kgz: when its stream ends before the data does).
 * KOTAR_EDAMAGED when a kgz's compressed data is damaged before the bytes
 * asked for. For a sparse member this is its data as stored, the pieces one
 * after another (see kotar_member_details). */
KOTAR_API long long kotar_read(const kotar_archive *archive, const kotar_member *member,
                               unsigned long long offset, void *buffer, size_t count);

/* Maps the text of an aligned executable, text_pages * 4096 bytes at
 * data_offset + text_offset of the archive file, read-only (and executable
 * when `executable` is non-zero), privately. Stores its address and length.
 * Refuses a member that is not an aligned executable, one without text
 * pages, text that runs past the member's data and text that does not
 * start on a page boundary of the running system. The system maps whole
 * pages: on one with pages larger than 4096 bytes, text whose last page
 * would reach past the member's data rounded up to 4096 bytes (and so into
 * the next member's) is refused as running past the data. */
KOTAR_API int kotar_map_text(const kotar_archive *archive, const kotar_member *member, int executable,
                             const void **address, size_t *length);
KOTAR_API int kotar_unmap_text(const void *address, size_t length);

/* Stores the header fields that kotar_member leaves out in *details. */
KOTAR_API int kotar_member_details(const kotar_archive *archive, const kotar_member *member,
                                   kotar_details *details);

/* Where the member's data lies in a descriptor the archive holds (the
 * archive file, or the cache file of a zstd, xz, bzip2 or lz4 archive): stores the
 * descriptor and the offset of the data's first byte. The descriptor stays
 * open until kotar_close; read it by position only (pread, or splice with an
 * offset), never moving it. A kgz has none: KOTAR_ECOMPRESSED. */
KOTAR_API int kotar_data_fd(const kotar_archive *archive, const kotar_member *member, int *fd,
                            unsigned long long *offset);

/* A fixed English description of a status code. */
KOTAR_API const char *kotar_strerror(int status);

#ifdef __cplusplus
}
#endif

#endif /* KOTAR_READER_H */
