#include "input/retained_input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/anonymous_file.h"
#include "files/write_all.h"

namespace kotar {

namespace {

// Bytes are copied in pieces this large, and written to the copy when this
// many are pending.
constexpr std::size_t kPiece = 1024 * 1024;
// Runs of decoded bytes up to this long are gathered before they are
// written; longer ones are written from where they were decoded.
constexpr std::size_t kShortRun = 64 * 1024;

}  // namespace

RetainedInput::~RetainedInput() {
    if (copy_ >= 0) ::close(copy_);
}

int RetainedInput::open(ArchiveInput& input, const std::string& directory, bool shareDecoderFile) {
    input_ = &input;
    shareDecoderFile_ = shareDecoderFile;
    if (shareDecoderFile) input.keepDecodedFile();
    plainFile_ = input.plainFileDescriptor();
    if (plainFile_ >= 0) return 0;
    copy_ = openAnonymousFile(directory);
    if (copy_ < 0) return -1;
    pending_ = std::make_unique_for_overwrite<unsigned char[]>(kPiece);
    return 0;
}

bool RetainedInput::keep(const unsigned char* bytes, std::size_t count) {
    if (copy_ < 0 || keptByDecoder(count)) {
        position_ += count;
        return true;
    }
    while (count > 0) {
        const std::size_t piece = std::min(count, kPiece - pendingLength_);
        if (!gather(bytes, piece)) return false;
        bytes += piece;
        count -= piece;
        if (pendingLength_ == kPiece && !flushCopy()) return false;
    }
    return true;
}

// Whether the next `count` bytes stand in the decoder's file, and are read
// from there rather than copied: one stretch, begun at its start or later.
bool RetainedInput::keptByDecoder(std::size_t count) {
    if (!shareDecoderFile_) return false;
    const DecodedInFile inFile = input_->decodedInFile();
    if (inFile.descriptor < 0 || position_ < inFile.from || position_ + count > inFile.to) return false;
    if (!shared_.valid()) {
        shared_ = FileDescriptor(::fcntl(inFile.descriptor, F_DUPFD_CLOEXEC, kFirstOwnDescriptor));
        if (!shared_.valid()) return false;
        sharedBase_ = inFile.from;
        sharedFrom_ = position_;
        sharedTo_ = position_;
    }
    if (inFile.from != sharedBase_ || position_ != sharedTo_) return false;
    sharedTo_ += count;
    return true;
}

// Appends bytes at the read position to the pending ones.
bool RetainedInput::gather(const unsigned char* bytes, std::size_t count) {
    if (pendingLength_ > 0 && pendingAt_ + pendingLength_ != position_ && !flushCopy()) return false;
    if (pendingLength_ == 0) pendingAt_ = position_;
    std::memcpy(pending_.get() + pendingLength_, bytes, count);
    pendingLength_ += count;
    position_ += count;
    return true;
}

bool RetainedInput::flushCopy() {
    if (copy_ < 0 || pendingLength_ == 0) return true;
    const bool written = writeAllAt(copy_, pending_.get(), pendingLength_, pendingAt_);
    pendingLength_ = 0;
    if (!written) keepFailed_ = true;
    return written;
}

bool RetainedInput::read(void* buffer, std::size_t count) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    const std::size_t got = input_->read(bytes, count);
    return keep(bytes, got) && got == count;
}

bool RetainedInput::skip(std::uint64_t count) {
    if (copy_ < 0) {
        // The file keeps its bytes: only whether they are there matters.
        if (input_->seek(static_cast<std::int64_t>(count), SEEK_CUR) < 0) return false;
        position_ += count;
        struct stat status {};
        return fstat(plainFile_, &status) == 0 && position_ <= static_cast<std::uint64_t>(status.st_size);
    }
    // The decoded bytes go to the copy from where the input holds them:
    // short runs join the pending bytes, long ones are written as they are.
    while (count > 0) {
        const unsigned char* bytes = nullptr;
        const std::size_t got = input_->view(static_cast<std::size_t>(std::min<std::uint64_t>(count, kPiece)), bytes);
        if (got == 0) return false;
        count -= got;
        if (keptByDecoder(got)) {
            position_ += got;
        } else if (got <= kShortRun && pendingLength_ + got <= kPiece) {
            if (!gather(bytes, got)) return false;
        } else if (!flushCopy() || !writeAllAt(copy_, bytes, got, position_)) {
            keepFailed_ = true;
            return false;
        } else {
            position_ += got;
        }
    }
    return true;
}

// What follows the archive's end is decoded and checked, but not kept: no
// member's data lies there, and it may be far larger than the archive.
bool RetainedInput::readToEnd() {
    if (copy_ < 0) return true;  // nothing to check in a plain file
    if (!flushCopy()) return false;
    const unsigned char* bytes = nullptr;
    while (input_->view(kPiece, bytes) > 0) {
    }
    return input_->readToEnd();
}

bool RetainedInput::finish() { return flushCopy(); }

RetainedInput::Place RetainedInput::locate(std::uint64_t offset) const {
    if (offset >= sharedFrom_ && offset < sharedTo_) return {shared_.get(), offset - sharedBase_, sharedTo_ - offset};
    const std::uint64_t end = offset < sharedFrom_ && sharedTo_ > sharedFrom_ ? sharedFrom_ : position_;
    return {descriptor(), offset, end > offset ? end - offset : 0};
}

std::size_t RetainedInput::readAt(std::uint64_t offset, void* buffer, std::size_t count) const {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const Place place = locate(offset + done);
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, place.length));
        if (piece == 0) break;
        const std::size_t got = FileByteSource(place.descriptor).readAt(place.offset, bytes + done, piece);
        done += got;
        if (got < piece) break;
    }
    return done;
}

}  // namespace kotar
