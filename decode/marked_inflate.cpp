#include "decode/marked_inflate.h"

#include <cstring>

#include "decode/deflate_codes.h"

namespace kotar {

namespace {

constexpr std::size_t kNoMark = SIZE_MAX;

// The bits of a coded block, read 56 at a time: the symbol loop's reader.
// It reads up to 8 bytes past the data, which the caller's buffer holds.
class BitBuffer {
public:
    BitBuffer(const DeflateBits& from) : base_(from.bytes()), next_(base_ + from.position() / 8) {
        refill();
        drop(static_cast<unsigned>(from.position() % 8));
    }

    void refill() {
        std::uint64_t word = 0;
        std::memcpy(&word, next_, 8);
        bits_ |= word << count_;
        next_ += (63 - count_) / 8;
        count_ |= 56;
    }
    std::uint64_t bits() const { return bits_; }
    void drop(unsigned count) {
        bits_ >>= count;
        count_ -= count;
    }
    std::uint32_t take(unsigned count) {
        const auto value = static_cast<std::uint32_t>(bits_ & ((std::uint64_t{1} << count) - 1));
        drop(count);
        return value;
    }
    const unsigned char* next() const { return next_; }
    std::uint64_t position() const { return static_cast<std::uint64_t>(next_ - base_) * 8 - count_; }

private:
    const unsigned char* base_;
    const unsigned char* next_;
    std::uint64_t bits_ = 0;
    unsigned count_ = 0;
};

// The symbols of one block.
class BlockDecoder {
public:
    BlockDecoder(std::uint16_t* out, std::size_t capacity, std::size_t& length, std::size_t& lastMark)
        : out_(out), capacity_(capacity), length_(length), lastMark_(lastMark) {}

    bool codedBlock(DeflateBits& bits, const BlockCodes& codes) {
        BitBuffer in(bits);
        const unsigned char* end = bits.bytes() + (bits.sizeInBits() + 7) / 8;
        for (;;) {
            // 56 bits hold a literal, or a length and a distance with their
            // extra bits (15 + 5 + 15 + 13).
            if (in.next() > end) return false;
            in.refill();
            const std::uint16_t entry = codes.literals.lookup(in.bits());
            if (entry == 0) return false;
            in.drop(entry & 15u);
            const unsigned symbol = entry >> 4;
            if (symbol < kEndOfBlock) {
                if (length_ == capacity_) return false;
                out_[length_++] = static_cast<std::uint16_t>(symbol);
                continue;
            }
            if (symbol == kEndOfBlock) break;
            if (symbol > 285) return false;
            const CodeBase& lengthBase = kLengthBases[symbol - 257];
            const std::size_t count = lengthBase.base + in.take(lengthBase.extraBits);
            const std::uint16_t distanceEntry = codes.distances.lookup(in.bits());
            const unsigned distanceSymbol = distanceEntry >> 4;
            if (distanceEntry == 0 || distanceSymbol > 29) return false;
            in.drop(distanceEntry & 15u);
            const CodeBase& distanceBase = kDistanceBases[distanceSymbol];
            const std::size_t distance = distanceBase.base + in.take(distanceBase.extraBits);
            if (count > capacity_ - length_) return false;
            copy(count, distance);
        }
        bits.seek(in.position());
        return !bits.overrun();
    }

    bool storedBlock(DeflateBits& bits) {
        bits.alignToByte();
        const std::uint32_t count = bits.take(16);
        if ((bits.take(16) ^ 0xffff) != count || count > capacity_ - length_) return false;
        for (std::uint32_t i = 0; i < count; ++i) out_[length_++] = static_cast<std::uint16_t>(bits.take(8));
        return !bits.overrun();
    }

private:
    // A back-reference `distance` (1..32768) bytes back: into the unknown
    // window it gives marks, and a copy of a mark is a mark. A copy with a
    // mark counts as a mark at its last byte, which may only put off the
    // moment the window is known.
    void copy(std::size_t count, std::size_t distance) {
        std::uint16_t* to = out_ + length_;
        if (distance <= length_) {
            const std::uint16_t* from = to - distance;
            std::uint16_t seen = 0;
            for (std::size_t i = 0; i < count; ++i) {
                to[i] = from[i];
                seen |= to[i];
            }
            length_ += count;
            if (seen >= kFirstMark) lastMark_ = length_ - 1;
            return;
        }
        for (std::size_t i = 0; i < count; ++i, ++length_) {
            const std::uint16_t symbol = distance <= length_
                                             ? out_[length_ - distance]
                                             : static_cast<std::uint16_t>(kFirstMark + kDeflateWindow - (distance - length_));
            out_[length_] = symbol;
        }
        lastMark_ = length_ - 1;
    }

    std::uint16_t* out_;
    std::size_t capacity_;
    std::size_t& length_;
    std::size_t& lastMark_;
};

}  // namespace

MarkedRun inflateMarked(DeflateBits& bits, std::uint64_t stop, std::size_t budget, std::uint16_t* out, std::size_t capacity,
                        std::size_t& length) {
    std::size_t lastMark = kNoMark;
    for (std::size_t i = 0; i < length; ++i) {
        if (out[i] >= kFirstMark) lastMark = i;
    }
    BlockDecoder decoder(out, capacity, length, lastMark);
    BlockCodes dynamic;
    for (;;) {
        const bool final = bits.take(1) != 0;
        const auto type = static_cast<BlockType>(bits.take(2));
        bool sound = false;
        if (!final) {  // the final block ends the stream, never a segment
            switch (type) {
                case BlockType::stored: sound = decoder.storedBlock(bits); break;
                case BlockType::fixed: sound = decoder.codedBlock(bits, fixedCodes()); break;
                case BlockType::dynamic: sound = readDynamicCodes(bits, dynamic) && decoder.codedBlock(bits, dynamic); break;
                case BlockType::invalid: break;
            }
        }
        const std::uint64_t position = bits.position();
        if (!sound || position > stop) return {MarkedEnd::failed, position};
        if (position == stop) return {MarkedEnd::atStop, position};
        if (length >= kDeflateWindow && (lastMark == kNoMark || lastMark < length - kDeflateWindow)) {
            return {MarkedEnd::windowKnown, position};
        }
        if (length >= budget) return {MarkedEnd::budgetSpent, position};
    }
}

bool resolveMarks(const std::uint16_t* symbols, std::size_t count, const unsigned char* window, std::size_t windowSize,
                  unsigned char* out) {
    const std::size_t unknown = kDeflateWindow - windowSize;  // marks below this point before the stream's start
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t symbol = symbols[i];
        if (symbol < kFirstMark) {
            out[i] = static_cast<unsigned char>(symbol);
            continue;
        }
        const std::size_t place = symbol - kFirstMark;
        if (place < unknown) return false;
        out[i] = window[place - unknown];
    }
    return true;
}

}  // namespace kotar
