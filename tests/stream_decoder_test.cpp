#include "decode/stream_decoder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <lzma.h>
#include <zlib.h>

#include "decode/crc32_combine.h"
#include "decode/decoding_thread.h"
#include "decode/deflate_bits.h"
#include "decode/gzip_split.h"
#include "decode/marked_inflate.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

using test::TempDir;

// Gzip header flags (FTEXT is left out: it changes nothing).
constexpr unsigned char kHeaderCrc = 0x02, kExtra = 0x04, kName = 0x08, kComment = 0x10;

// A gzip member holding `data` whose header carries the optional fields in
// `flags`: the deflate data and trailer of gzip -n, whose header is 10 bytes.
std::string member(const TempDir& dir, const std::string& data, unsigned char flags, bool wrongHeaderCrc) {
    test::writeFile(dir / "data", data);
    test::shell("gzip -n -c " + test::shellQuoted(dir / "data") + " > " + test::shellQuoted(dir / "data.gz"));
    const std::string plain = test::readFile(dir / "data.gz");
    std::string header = plain.substr(0, 10);
    header[3] = static_cast<char>(flags);
    if (flags & kExtra) header += std::string("\x08\x00" "AB\x04\x00" "abcd", 10);  // one 4-byte subfield
    if (flags & kName) header += std::string("bin.tar") + '\0';
    if (flags & kComment) header += std::string("made for the test") + '\0';
    if (flags & kHeaderCrc) {
        const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(header.data()), static_cast<uInt>(header.size()));
        header += static_cast<char>(crc & 0xff);
        header += static_cast<char>(((crc >> 8) & 0xff) ^ (wrongHeaderCrc ? 1 : 0));
    }
    return header + plain.substr(10);
}

// Everything `decoder` gives, `room` bytes a call; `last` says how it ended.
std::string decodeAll(StreamDecoder& decoder, std::size_t room, Decoded& last) {
    std::string out;
    std::vector<unsigned char> buffer(room);
    while ((last = decoder.decode(buffer.data(), buffer.size())).state == DecodeState::more) {
        out.append(reinterpret_cast<const char*>(buffer.data()), last.length);
    }
    return out;
}

// Two members with full headers, met by the decoder in pieces of 1 and 7
// bytes, so each header is split at every place.
TEST(GzipDecoder, HeadersSplitAcrossInputsDecode) {
    TempDir dir;
    std::string data;
    for (int i = 0; i < 3000; ++i) data += "line " + std::to_string(i * 7919 % 1000) + "\n";
    const struct {
        const char* what;
        unsigned char flags;
        bool wrongHeaderCrc;
    } cases[] = {
        {"name, header CRC", kName | kHeaderCrc, false},
        {"extra, name", kExtra | kName, false},
        {"name, comment", kName | kComment, false},
        {"every field", kExtra | kName | kComment | kHeaderCrc, false},
        {"every field, a wrong header CRC", kExtra | kName | kComment | kHeaderCrc, true},
    };
    for (const auto& c : cases) {
        const std::string half = data.substr(0, data.size() / 2);
        test::writeFile(dir / "in.gz", member(dir, half, c.flags, false) +
                                           member(dir, data.substr(half.size()), c.flags, c.wrongHeaderCrc));
        for (const std::size_t piece : {std::size_t{1}, std::size_t{7}}) {
            SCOPED_TRACE(testing::Message() << c.what << ", pieces of " << piece);
            InputSource source(::open((dir / "in.gz").c_str(), O_RDONLY | O_CLOEXEC));
            source.setReadLimit(piece);
            const auto decoder = chooseDecoder(source);
            ASSERT_NE(decoder, nullptr);
            Decoded decoded;
            const std::string out = decodeAll(*decoder, 4096, decoded);
            EXPECT_EQ(decoded.length, 0u);
            EXPECT_EQ(decoded.state, c.wrongHeaderCrc ? DecodeState::damaged : DecodeState::end);
            EXPECT_TRUE(out == (c.wrongHeaderCrc ? half : data)) << out.size() << " bytes";
        }
    }
}

// Every stream decoder met by its input in pieces of 1 and 7 bytes: each
// stream, frame and header is split at every place. Plain input that
// begins as a compressed one would is passed through.
TEST(StreamDecoders, InputInSmallPiecesDecodes) {
    TempDir dir;
    std::string data;
    for (int i = 0; i < 2000; ++i) data += "entry " + std::to_string(i * 7919 % 1000) + "\n";
    test::writeFile(dir / "a", data.substr(0, 5000));
    test::writeFile(dir / "b", data.substr(5000));
    const struct {
        const char* what;
        const char* command;  // compresses a, then b, into in
        bool plain = false;   // in is passed through as it is
    } cases[] = {
        {"zstd", "zstd -q -c a > in && zstd -q -c b >> in"},
        {"xz", "xz -c a > in && xz -c b >> in"},
        {"xz in blocks that record their sizes", "xz -T2 --block-size=1000 -c a > in && xz -T2 --block-size=700 -c b >> in"},
        {"bzip2", "bzip2 -c a > in && bzip2 -c b >> in"},
        {"lz4", "lz4 -q -c a > in && lz4 -q -c b >> in"},
        // Skippable frames of 3 and 0 bytes first, which begin zstd streams too.
        {"lz4 after skippable frames", "printf '\\120\\052\\115\\030\\003\\000\\000\\000abc' > in && "
         "printf '\\137\\052\\115\\030\\000\\000\\000\\000' >> in && lz4 -q -c a >> in && lz4 -q -c b >> in"},
        // One longer than the input's buffer: an lz4 frame after it is found all the same.
        {"lz4 after a skippable frame of 600000 bytes", "{ printf '\\120\\052\\115\\030\\300\\047\\011\\000'; "
         "head -c 600000 /dev/zero; } > in && lz4 -q -c a >> in && lz4 -q -c b >> in"},
        {"bzip2, an empty stream first", "bzip2 -c /dev/null > in && bzip2 -c a >> in && bzip2 -c b >> in"},
        // A tar whose first member is named so.
        {"plain, beginning with BZh9", "printf BZh9notes > in && cat a b >> in", true},
    };
    for (const auto& c : cases) {
        test::shell("cd " + test::shellQuoted(dir.path()) + " && " + c.command);
        for (const std::size_t piece : {std::size_t{1}, std::size_t{7}}) {
            SCOPED_TRACE(testing::Message() << c.what << ", pieces of " << piece);
            InputSource source(::open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC));
            source.setReadLimit(piece);
            const auto decoder = chooseDecoder(source);
            ASSERT_NE(decoder, nullptr);
            ASSERT_EQ(decoder->passesThrough(), c.plain);
            Decoded decoded;
            const std::string out = decodeAll(*decoder, 1000, decoded);
            EXPECT_EQ(decoded.state, DecodeState::end);
            EXPECT_TRUE(out == (c.plain ? test::readFile(dir / "in") : data)) << out.size() << " bytes";
        }
    }
}

// A deflate stream taken up at a block start in its middle, without the
// 32 KiB before it: the marks resolve with those bytes to exactly what
// follows, for each way zlib encodes (every strategy, small windows, data
// that repeats little or not at all), and the CRC-32 of the two
// pieces combines into the whole's. The second piece starts where a sync
// flush left a byte-aligned block start, its window still in use.
TEST(MarkedInflate, MarksResolveToTheBytesThatFollow) {
    std::string text;  // as seq writes it
    for (int i = 1; i <= 150000; ++i) text += std::to_string(i) + "\n";
    std::string noise(200000, '\0');
    std::uint32_t state = 1;
    for (char& c : noise) c = static_cast<char>((state = state * 1103515245 + 12345) >> 24);
    const struct {
        const char* what;
        std::string data;
        int strategy;
        int windowBits;  // negative: raw deflate
    } cases[] = {
        {"text", text, Z_DEFAULT_STRATEGY, -15},
        {"text, filtered", text, Z_FILTERED, -15},
        {"text, fixed codes", text, Z_FIXED, -15},
        {"text, run lengths", text, Z_RLE, -15},
        {"text, Huffman codes only", text, Z_HUFFMAN_ONLY, -15},
        {"text, a 512-byte window", text, Z_DEFAULT_STRATEGY, -9},
        {"noise, stored", noise + noise, Z_DEFAULT_STRATEGY, -15},
        {"text then noise", text + noise + text, Z_DEFAULT_STRATEGY, -15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t cut = c.data.size() / 4;
        z_stream z{};
        ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, c.windowBits, 8, c.strategy), Z_OK);
        std::vector<unsigned char> packed(c.data.size() + c.data.size() / 100 + 1024);
        const auto pack = [&](std::size_t from, std::size_t to, int flush) {
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(c.data.data() + from));
            z.avail_in = static_cast<uInt>(to - from);
            z.next_out = packed.data() + z.total_out;
            z.avail_out = static_cast<uInt>(packed.size() - z.total_out);
            return deflate(&z, flush);
        };
        ASSERT_EQ(pack(0, cut, Z_SYNC_FLUSH), Z_OK);
        const std::size_t secondStart = z.total_out;
        ASSERT_EQ(pack(cut, c.data.size(), Z_FINISH), Z_STREAM_END);
        packed.resize(z.total_out);
        deflateEnd(&z);
        packed.insert(packed.end(), 64, 0);  // the slack the marked decoder may read

        DeflateBits bits(packed.data(), packed.size() - 64, std::uint64_t{secondStart} * 8);
        std::vector<std::uint16_t> marks(c.data.size());
        std::size_t count = 0;
        const MarkedRun run = inflateMarked(bits, bits.sizeInBits(), marks.size(), marks.data(), marks.size(), count);
        ASSERT_EQ(run.end, MarkedEnd::windowKnown) << count << " symbols";
        ASSERT_LE(cut + count, c.data.size());
        const std::size_t windowSize = std::min(cut, kDeflateWindow);
        const auto* window = reinterpret_cast<const unsigned char*>(c.data.data() + cut - windowSize);
        std::vector<unsigned char> resolved(count);
        ASSERT_TRUE(resolveMarks(marks.data(), count, window, windowSize, resolved.data()));
        EXPECT_EQ(std::memcmp(resolved.data(), c.data.data() + cut, count), 0);
        // Marks that reach before a stream start this close are refused.
        if (count > 0 && *std::max_element(marks.begin(), marks.begin() + static_cast<std::ptrdiff_t>(count)) >= kFirstMark) {
            EXPECT_FALSE(resolveMarks(marks.data(), count, window + windowSize, 0, resolved.data()));
        }

        const auto crcOf = [](const char* bytes, std::size_t size) {
            return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(bytes), static_cast<uInt>(size)));
        };
        EXPECT_EQ(crc32Combine(crcOf(c.data.data(), cut), crcOf(c.data.data() + cut, c.data.size() - cut), c.data.size() - cut),
                  crcOf(c.data.data(), c.data.size()));
    }
}

// A gzip member decoded in two parts at once gives the bytes and the end
// that one pass gives (before damage, the same bytes, though not always as
// many), whatever damage it holds and wherever: damage in the
// first part, in the stretch decoded before the window is known, in the
// rest, and in the trailer that checks both. The second part's file must
// not meet a file size limit, and where its file system fills, the first
// part's thread goes on alone from where the second stopped. A second part
// of some MiB is let go from its file as it is delivered.
TEST(GzipDecoder, MemberDecodedInTwoPartsGivesWhatOnePassGives) {
    const test::EnvironmentSet everyFile("KOTAR_GZIP_SPLIT", "0");
    TempDir dir;
    const std::string quoted = test::shellQuoted(dir.path());
    test::shell("cd " + quoted + " && { seq 250000; head -c 400000 /dev/urandom; seq 250000 400000; } > data && "
                "seq 1000 > small && seq 4000000 > large");
    const test::SmallTmpfs full(dir / "full", "256k");
    const struct {
        const char* what;
        const char* command;   // compresses data into in
        double damagedAt = 0;  // the share of the file where a byte is flipped
        int trailerByte = 0;   // a byte counted from the end to flip
        double cutAt = 0;      // the share of the file kept
        rlim_t sizeLimit = 0;  // ulimit -f, which the second part's file must not meet
        bool fullDirectory = false;  // the second part's file on a file system of 256 KiB
    } cases[] = {
        {"gzip", "gzip -c data > in"},
        {"igzip -1", "igzip -1 -c data > in"},
        {"pigz", "pigz -p2 -c data > in"},
        {"a second part let go as it is delivered", "pigz -p2 -c large > in"},
        {"damage in a second part let go as it is delivered", "pigz -p2 -c large > in", 0.9},
        {"a second member", "gzip -c data > in && gzip -c small >> in"},
        {"bytes after the member", "gzip -c data > in && printf trailing >> in"},
        {"damage in the first part", "gzip -c data > in", 0.3},
        {"damage where the second part starts", "gzip -c data > in", 0.68},
        {"damage in the second part", "gzip -c data > in", 0.9},
        {"a wrong CRC-32", "gzip -c data > in", 0, 8},
        {"a wrong length", "gzip -c data > in", 0, 2},
        {"cut short in the second part", "gzip -c data > in", 0, 0, 0.95},
        {"a file size limit: one part", "gzip -c data > in", 0, 0, 0, 256 * 1024},
        {"a file system too small for the second part", "gzip -c data > in", 0, 0, 0, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.fullDirectory && !full.mounted()) continue;  // no small tmpfs to be had here
        test::shell("cd " + quoted + " && " + c.command);
        std::string bytes = test::readFile(dir / "in");
        if (c.damagedAt > 0) bytes[static_cast<std::size_t>(bytes.size() * c.damagedAt)] ^= 0x55;
        if (c.trailerByte > 0) bytes[bytes.size() - c.trailerByte] ^= 1;
        if (c.cutAt > 0) bytes.resize(static_cast<std::size_t>(bytes.size() * c.cutAt));
        test::writeFile(dir / "in", bytes);
        const bool sound = c.damagedAt == 0 && c.trailerByte == 0 && c.cutAt == 0;
        const test::FileSizeLimit limit(c.sizeLimit);

        InputSource onePass(::open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC));
        Decoded expectedEnd;
        const std::string expected = decodeAll(*chooseDecoder(onePass), kDecodeRoom, expectedEnd);
        InputSource inParts(::open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC));
        const std::uint64_t splitBefore = gzipMembersSplit();
        Decoded end;
        const std::string out = decodeAll(*runOnDecodingThread(chooseDecoder(inParts), false, c.fullDirectory ? dir / "full" : ""), kDecodeRoom, end);
        EXPECT_EQ(end.state, sound ? DecodeState::end : DecodeState::damaged);
        EXPECT_EQ(end.state, expectedEnd.state);
        if (sound) {
            EXPECT_TRUE(out == expected) << out.size() << " bytes, " << expected.size() << " in one pass";
        } else {
            // What ISA-L hands out before it finds damage depends on where
            // its calls fall, and a part resumed after the second stopped
            // falls where the delivery stood: one output leads the other.
            const std::size_t common = std::min(out.size(), expected.size());
            EXPECT_EQ(out.compare(0, common, expected, 0, common), 0)
                << out.size() << " bytes, " << expected.size() << " in one pass";
        }
        const std::uint64_t splits = sound && c.sizeLimit == 0 ? 1 : 0;
        if (sound) {
            EXPECT_EQ(gzipMembersSplit(), splitBefore + splits) << "members decoded in two parts";
        }
    }
}

// The blocks of xz streams (each with CRC-64 checks) as one stream, with an
// index of them all: blocks with sizes in their headers (xz -T2) and blocks
// without (xz -T1) mixed in one stream, as no xz command writes them.
std::string oneStreamOfTheirBlocks(const std::vector<std::string>& streams) {
    lzma_index* combined = lzma_index_init(nullptr);
    std::string blocks;
    for (const std::string& z : streams) {
        lzma_stream_flags footer{};
        EXPECT_EQ(lzma_stream_footer_decode(&footer, reinterpret_cast<const std::uint8_t*>(z.data() + z.size() - 12)),
                  LZMA_OK);
        const std::size_t indexAt = z.size() - 12 - footer.backward_size;
        lzma_index* index = nullptr;
        std::uint64_t memory = UINT64_MAX;
        std::size_t at = indexAt;
        EXPECT_EQ(lzma_index_buffer_decode(&index, &memory, nullptr, reinterpret_cast<const std::uint8_t*>(z.data()),
                                           &at, z.size() - 12),
                  LZMA_OK);
        lzma_index_iter record;
        lzma_index_iter_init(&record, index);
        while (!lzma_index_iter_next(&record, LZMA_INDEX_ITER_BLOCK)) {
            EXPECT_EQ(lzma_index_append(combined, nullptr, record.block.unpadded_size, record.block.uncompressed_size),
                      LZMA_OK);
        }
        lzma_index_end(index, nullptr);
        blocks += z.substr(12, indexAt - 12);
    }
    std::string index(lzma_index_size(combined), '\0');
    std::size_t written = 0;
    EXPECT_EQ(lzma_index_buffer_encode(combined, reinterpret_cast<std::uint8_t*>(index.data()), &written, index.size()),
              LZMA_OK);
    lzma_stream_flags flags{};
    flags.backward_size = lzma_index_size(combined);
    flags.check = LZMA_CHECK_CRC64;
    std::string footer(12, '\0');
    EXPECT_EQ(lzma_stream_footer_encode(&flags, reinterpret_cast<std::uint8_t*>(footer.data())), LZMA_OK);
    lzma_index_end(combined, nullptr);
    return streams.front().substr(0, 12) + blocks + index + footer;
}

// Blocks without sizes among blocks with them are decoded in turn; the
// bytes are xz's own, and damage in the index that covers them is found.
TEST(XzDecoder, BlocksWithAndWithoutSizesInOneStream) {
    TempDir dir;
    std::string data;
    for (int i = 0; i < 3000; ++i) data += "record " + std::to_string(i * 7919 % 1000) + "\n";
    const std::string parts[] = {data.substr(0, 9000), data.substr(9000, 9000), data.substr(18000)};
    std::vector<std::string> streams;
    for (std::size_t i = 0; i < 3; ++i) {
        test::writeFile(dir / "part", parts[i]);
        const std::string threads = i == 1 ? "-T1" : "-T2 --block-size=4000";
        test::shell("xz " + threads + " -c " + test::shellQuoted(dir / "part") + " > " + test::shellQuoted(dir / "part.xz"));
        streams.push_back(test::readFile(dir / "part.xz"));
    }
    const std::string mixed = oneStreamOfTheirBlocks(streams);
    test::writeFile(dir / "mixed.xz", mixed);
    test::shell("xz -dc " + test::shellQuoted(dir / "mixed.xz") + " > " + test::shellQuoted(dir / "xz-out"));
    ASSERT_TRUE(test::readFile(dir / "xz-out") == data);  // a sound stream
    std::string damagedIndex = mixed;
    damagedIndex[mixed.size() - 12 - 6] ^= 1;  // in the index's last record
    for (const auto& [what, bytes] : {std::pair{"sound", mixed}, std::pair{"a damaged index", damagedIndex}}) {
        SCOPED_TRACE(what);
        test::writeFile(dir / "in.xz", bytes);
        InputSource source(::open((dir / "in.xz").c_str(), O_RDONLY | O_CLOEXEC));
        const auto decoder = chooseDecoder(source);
        ASSERT_NE(decoder, nullptr);
        Decoded decoded;
        const std::string out = decodeAll(*decoder, 4096, decoded);
        EXPECT_TRUE(out == data) << out.size() << " bytes";
        EXPECT_EQ(decoded.state, bytes == mixed ? DecodeState::end : DecodeState::damaged);
    }
}

// Blocks after the first whose dictionaries (64 MiB, 40 MiB of each used)
// are larger than a worker may hold are decoded one at a time: two workers
// holding one each took the process to 97 MiB, past its bound of 64 MiB.
TEST(XzDecoder, LargeDictionariesAfterTheFirstBlockTakeTurns) {
    // Blocks on several threads, where there are CPUs for them.
    const test::EnvironmentSet forced("KOTAR_DECODING_THREAD", "1");
    TempDir dir;
    const std::string quoted = test::shellQuoted(dir.path());
    test::shell("cd " + quoted + " && seq 200000 > a && xz -T2 --block-size=1MiB -0 -c a > a.xz && "
                "head -c 83886080 /dev/zero | xz -T2 --block-size=40MiB --lzma2=preset=0,dict=64MiB -c > b.xz");
    test::writeFile(dir / "in.xz", oneStreamOfTheirBlocks({test::readFile(dir / "a.xz"), test::readFile(dir / "b.xz")}));
    InputSource source(::open((dir / "in.xz").c_str(), O_RDONLY | O_CLOEXEC));
    const auto decoder = chooseDecoder(source);
    ASSERT_NE(decoder, nullptr);
    std::vector<unsigned char> buffer(kDecodeRoom);
    std::uint64_t total = 0;
    Decoded decoded;
    while ((decoded = decoder->decode(buffer.data(), buffer.size())).state == DecodeState::more) total += decoded.length;
    EXPECT_EQ(decoded.state, DecodeState::end);
    EXPECT_EQ(total, test::readFile(dir / "a").size() + 83886080);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their shadow memory counts too
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "KiB at most";
#endif
}

}  // namespace
}  // namespace kotar
