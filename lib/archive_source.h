// Where an open archive's bytes come from, by the magic at the file's start:
//
//   ktar        the file itself, read by position (pread); its data can be
//               mapped and spliced
//   kgz         gzip: decompressed on demand through checkpoints
//               (lib/gzip_random_access.h); its length is known only once a
//               read has reached the end
//   zstd, xz    decompressed once, at open, into an unlinked cache file in
//               $TMPDIR (else /tmp), then read as a ktar
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "files/file_descriptor.h"
#include "lib/gzip_random_access.h"

namespace kotar {

class ArchiveSource {
public:
    enum class Kind { plain, gzip, cached };

    // Takes over `file`. Returns a kotar_status: 0, or KOTAR_EREAD,
    // KOTAR_ENOTREGULAR, KOTAR_EDAMAGED (a zstd or xz stream that does not
    // decompress whole), KOTAR_ECACHE, KOTAR_ENOMEM.
    int open(FileDescriptor file);

    // pread's contract on the stream: the bytes read, fewer only at its end;
    // KOTAR_EREAD or KOTAR_EDAMAGED on failure.
    long long read(void* buffer, std::size_t count, std::uint64_t offset) const;

    // The stream's length; for a kgz not read to its end, the largest an
    // indexed archive can be.
    std::uint64_t size() const;
    bool sizeKnown() const { return kind_ != Kind::gzip || gzip_->lengthKnown(); }

    Kind kind() const { return kind_; }
    // The descriptor the stream is read from by position; -1 for a kgz.
    int descriptor() const { return kind_ == Kind::gzip ? -1 : file_.get(); }

private:
    Kind kind_ = Kind::plain;
    FileDescriptor file_;
    std::uint64_t size_ = 0;
    std::unique_ptr<GzipRandomAccess> gzip_;
};

}  // namespace kotar
