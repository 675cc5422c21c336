// RetainedInput: creation's input, read once from front to back, with every
// byte that has gone by kept readable by its position in the stream.
//
// A plain regular file keeps its own bytes: positions in the stream are
// offsets in the file, and going by a stretch is a seek forward. Any other
// input (compressed, a pipe) is copied as it is read into an unlinked
// temporary file, at the same offsets, but for the stretch that the decoder
// keeps in a file of its own, where it may be read again (the second part of
// a gzip member decoded in two parts). Creation learns where member data
// belongs only once the header table is complete; it then analyses the
// executables and copies the data from what was kept, without reading the
// input again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "input/archive_input.h"
#include "files/byte_source.h"
#include "files/file_descriptor.h"

namespace kotar {

class RetainedInput final : public ByteSource {
public:
    RetainedInput() = default;
    ~RetainedInput() override;
    RetainedInput(const RetainedInput&) = delete;
    RetainedInput& operator=(const RetainedInput&) = delete;

    // Starts reading `input` from its position 0. A copy, when one is
    // needed, goes in `directory`. 0 on success, -1 when no copy can be made.
    // `shareDecoderFile`: bytes that the decoder keeps in a file are read
    // from there, so that descriptor() does not hold them.
    int open(ArchiveInput& input, const std::string& directory, bool shareDecoderFile = false);

    // The next `count` bytes; false when the stream cannot deliver them all.
    bool read(void* buffer, std::size_t count);
    // Goes by the next `count` bytes; false when the stream ends first.
    bool skip(std::uint64_t count);
    // Decodes the rest of the stream without keeping it (nothing after the
    // archive's end is read again); true when it ends cleanly.
    bool readToEnd();

    std::uint64_t position() const { return position_; }

    // After finish(): the bytes that have gone by, by stream position.
    std::size_t readAt(std::uint64_t offset, void* buffer, std::size_t count) const override;
    // Where the byte at stream position `offset` is kept: at `offset` of
    // `descriptor`, with `length` bytes in a row there (to the end of the
    // stream read, or of the stretch).
    struct Place {
        int descriptor;
        std::uint64_t offset;
        std::uint64_t length;
    };
    Place locate(std::uint64_t offset) const;
    // A descriptor in which stream position X lies at file offset X, but
    // for a stretch in the decoder's file (see locate()).
    int descriptor() const { return copy_ >= 0 ? copy_ : plainFile_; }
    // The temporary copy, when there is one (else -1): its last reader may
    // cut it short as it goes, to free it sooner.
    int temporaryCopyDescriptor() const { return copy_; }
    // The decoder's file, when a stretch of the stream is read from there
    // (else -1): likewise.
    int decoderFileDescriptor() const { return shared_.get(); }
    // Makes every byte that has gone by readable; false on a write failure.
    bool finish();
    // Whether writing the copy failed (a full disk): the reason, rather than
    // the input, when read(), skip() or readToEnd() came up false.
    bool keepFailed() const { return keepFailed_; }

private:
    bool keep(const unsigned char* bytes, std::size_t count);
    bool keptByDecoder(std::size_t count);
    bool gather(const unsigned char* bytes, std::size_t count);
    bool flushCopy();

    ArchiveInput* input_ = nullptr;
    int plainFile_ = -1;  // the input's own file, when it keeps its bytes
    int copy_ = -1;       // the temporary copy, otherwise
    std::unique_ptr<unsigned char[]> pending_;  // bytes not yet written to the copy
    std::size_t pendingLength_ = 0;
    std::uint64_t pendingAt_ = 0;  // their stream position
    // The stretch [sharedFrom_, sharedTo_) of the stream lies at offset
    // (X - sharedBase_) of shared_, the decoder's file.
    bool shareDecoderFile_ = false;
    FileDescriptor shared_;
    std::uint64_t sharedBase_ = 0;
    std::uint64_t sharedFrom_ = 0;
    std::uint64_t sharedTo_ = 0;
    std::uint64_t position_ = 0;
    bool keepFailed_ = false;
};

}  // namespace kotar
