// InputSource: the raw bytes of an input, read from its descriptor with
// read(2) in large pieces, so it works on pipes as well as on files. The
// decoders take their compressed bytes from here; the unconsumed bytes stay
// in the buffer until the decoder consumes them.
//
//   buffer_: [ consumed | data() .. data() + size() | free ]
//                         unconsumed bytes, filled by fill()
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kotar {

class InputSource {
public:
    // Takes over `descriptor` (closed by the destructor; -1 for none). The
    // stream starts at the descriptor's current offset.
    explicit InputSource(int descriptor);
    ~InputSource();
    InputSource(const InputSource&) = delete;
    InputSource& operator=(const InputSource&) = delete;

    enum class Fill { more, end, failed };

    const unsigned char* data() const { return buffer_.get() + begin_; }
    std::size_t size() const { return end_ - begin_; }
    void consume(std::size_t count) { begin_ += count < size() ? count : size(); }

    // Appends the bytes of one read(2) to the unconsumed ones: `more` when
    // it added some, `end` at the end of the input, `failed` on a read error
    // (or when the buffer is full of unconsumed bytes).
    Fill fill();
    // Fills until at least `count` bytes are unconsumed (`more`), or the
    // input ends first (`end`) or fails (`failed`).
    Fill ensure(std::size_t count);

    // Moves to `offset` bytes after the stream's start and drops the
    // buffered bytes. False when the descriptor cannot seek (a pipe).
    bool seekTo(std::int64_t offset);
    bool seekable() const { return start_ >= 0; }

    // Reads straight into `out`, bypassing the buffer (which must be empty):
    // the bytes read, 0 at the end, -1 on a read error.
    std::int64_t readDirect(unsigned char* out, std::size_t count);

    // A regular file's length from the stream's start; -1 for other input.
    std::int64_t length() const;
    // For a regular file, from any thread: up to `count` bytes at `offset`
    // from the stream's start, read with pread(2), so the read position
    // stays. The bytes read, 0 at the end, -1 on an error. The caller
    // counts what it used with countRead().
    std::int64_t readAt(std::int64_t offset, unsigned char* out, std::size_t count);
    void countRead(std::uint64_t count) { bytesRead_.fetch_add(count, std::memory_order_relaxed); }

    // From any thread: every read from now on fails, and one that waits on
    // a pipe or a terminal ends at once, so that a decoding thread stops
    // without waiting for its writer. resume() undoes it, once that thread
    // has gone.
    void interrupt();
    void resume();

    // Whether a read may wait for bytes that have not come yet: a pipe, a
    // socket or a terminal, not a regular file.
    bool mayWait() const { return wakeup_ >= 0; }

    // The bytes read from the descriptor so far (from any thread).
    std::uint64_t bytesRead() const { return bytesRead_.load(std::memory_order_relaxed); }

    // For tests: no read(2) asks for more than `limit` bytes, so a decoder
    // meets its input in pieces of that size.
    void setReadLimit(std::size_t limit) { readLimit_ = limit; }

private:
    bool waitForInput();
    std::size_t limited(std::size_t count) const { return count < readLimit_ ? count : readLimit_; }

    int descriptor_ = -1;
    std::int64_t start_ = -1;  // the stream's offset in the file; -1 when not seekable
    std::unique_ptr<unsigned char[]> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::size_t readLimit_ = SIZE_MAX;
    std::atomic<std::uint64_t> bytesRead_ = 0;
    std::atomic<bool> interrupted_ = false;
    int wakeup_ = -1;  // an eventfd that interrupt() signals, for input that may wait
};

}  // namespace kotar
