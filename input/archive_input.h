// ArchiveInput: the one way every mode reads its input. A decoder chosen by
// the input's magic number (stream_decoder.h) turns gzip, zstd or xz input
// into its uncompressed bytes and passes any other input unchanged;
// positions are positions in that stream.
//
// A compressed stream can only be gone back in by decoding again from its
// start. ArchiveInput therefore keeps a window of the bytes it most recently
// delivered and serves short backward moves from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "decode/input_source.h"
#include "decode/stream_decoder.h"

namespace kotar {

// The bytes that every ArchiveInput of the process has had decoded so far,
// the same bytes again after a restart included: the work that reading the
// inputs has cost, for the tests that bound it.
std::uint64_t decodedByteCount();

class ArchiveInput {
public:
    ArchiveInput() = default;
    ~ArchiveInput();
    ArchiveInput(const ArchiveInput&) = delete;
    ArchiveInput& operator=(const ArchiveInput&) = delete;

    // 0 on success, -1 when the input cannot be opened.
    int open(const char* path);
    int openStandardInput();
    // Reads a duplicate of the process's descriptor `held` from where it
    // stands; a regular file is otherwise taken as open() takes it.
    int openDescriptor(int held);

    // Reads up to `count` bytes; returns how many were delivered. Fewer than
    // asked means the end of the stream, a read error or corrupt data; every
    // byte decoded before damage is delivered first.
    std::size_t read(void* buffer, std::size_t count);

    // Moves to an absolute (SEEK_SET) or relative (SEEK_CUR) position and
    // returns it, or -1 when the target is negative or cannot be reached.
    // A target past the end succeeds; the next read then comes up short.
    std::int64_t seek(std::int64_t offset, int whence);

    std::int64_t tell() const { return position_; }

    // The next bytes, up to `most`, without a copy: at `bytes`, valid until
    // the next call on the input; the position moves past them. 0 at the
    // end of the stream, on a read error or corrupt data, as read() would
    // come up short. Bytes lent by a decoding thread are not kept in the
    // window: going back to them costs decoding again from the start.
    std::size_t view(std::size_t most, const unsigned char*& bytes);

    // From here on a compressed input is decoded on a thread of its own
    // when the process may use more than one CPU (decoding_thread.h); a
    // further thread's files go in `workDirectory`.
    void decodeOnItsOwnThread(const std::string& workDirectory = "");

    // Reads the rest of the stream and returns true when it ends cleanly:
    // for compressed input, every member, frame or stream decoded whole and
    // its check verified. Plain input has nothing to check.
    bool readToEnd();

    // For uncompressed input in a regular file read from its start: its
    // descriptor, where stream positions are file offsets. Otherwise -1.
    int plainFileDescriptor() const { return direct_ ? regularFile_ : -1; }

    // A copy has taken `count` bytes from the read position on straight
    // from that file: the progress line counts them as read. The position
    // itself moves with seek().
    void copiedAhead(std::uint64_t count);

    // The decoded bytes that the decoder keeps in a file of its own.
    DecodedInFile decodedInFile() const { return decoder_ != nullptr ? decoder_->decodedInFile() : DecodedInFile{}; }
    // Those bytes are to be read again from there (StreamDecoder::keepDecodedFile).
    void keepDecodedFile() {
        if (decoder_ != nullptr) decoder_->keepDecodedFile();
    }

    // What the input is when it begins with the magic number of a
    // compression that kotar does not read (decode/unread_compression.h),
    // else null.
    const char* unreadCompression() const { return unreadCompression_; }

    // The size of an input file from where it is read, 0 for any other input.
    std::uint64_t inputSize() const { return inputSize_; }

    // Whether any earlier position can be gone back to (not a pipe).
    bool seekable() const { return source_ != nullptr && source_->seekable(); }

    // Whether the input is compressed: going back beyond the window of
    // recent bytes means decoding again from the start.
    bool compressed() const { return decoder_ != nullptr && !direct_; }

private:
    int adopt(int descriptor);
    int adoptFile(int descriptor);  // adopt(), and what a regular file allows
    bool restartDecoding(std::int64_t offset);
    std::size_t readStream(unsigned char* out, std::size_t count);
    bool refillWindow();
    bool moveStreamTo(std::int64_t target);
    bool reachPosition();
    void countDecoded(std::size_t count);
    void showProgress(std::uint64_t ahead);
    void startDecoder(std::unique_ptr<StreamDecoder> decoder);
    bool skipByReading(std::int64_t target);

    std::unique_ptr<InputSource> source_;
    std::unique_ptr<StreamDecoder> decoder_;
    std::uint64_t inputSize_ = 0;
    std::uint64_t decoded_ = 0;     // bytes decoded in all, for the progress line
    std::uint64_t reached_ = 0;     // plain input: the furthest position read or copied from, for it too
    int regularFile_ = -1;          // the source's descriptor, when a regular file read from its start
    bool direct_ = false;           // plain input: bytes pass through unchanged
    const char* unreadCompression_ = nullptr;
    bool ownThread_ = false;        // compressed input decoded on a thread of its own
    std::string workDirectory_;     // for its files
    DecodeState decodeState_ = DecodeState::more;  // after the bytes up to streamPos_
    std::int64_t position_ = 0;     // where the next read starts
    std::int64_t streamPos_ = 0;    // where the decoder stands

    // window_[0, windowLength_) holds the stream bytes that end at streamPos_.
    std::unique_ptr<unsigned char[]> window_;  // kWindowCapacity bytes, filled as read
    std::size_t windowLength_ = 0;
    std::size_t refillSize_ = 16 * 1024;  // plain input: grows while read in order
};

}  // namespace kotar
