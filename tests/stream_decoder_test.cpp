#include "decode/stream_decoder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>

#include <zlib.h>

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
            std::string out;
            Decoded decoded;
            unsigned char buffer[4096];
            while ((decoded = decoder->decode(buffer, sizeof buffer)).state == DecodeState::more) {
                out.append(reinterpret_cast<const char*>(buffer), decoded.length);
            }
            EXPECT_EQ(decoded.length, 0u);
            EXPECT_EQ(decoded.state, c.wrongHeaderCrc ? DecodeState::damaged : DecodeState::end);
            EXPECT_TRUE(out == (c.wrongHeaderCrc ? half : data)) << out.size() << " bytes";
        }
    }
}

// Every stream decoder met by its input in pieces of 1 and 7 bytes: each
// stream, frame and header is split at every place.
TEST(StreamDecoders, InputInSmallPiecesDecodes) {
    TempDir dir;
    std::string data;
    for (int i = 0; i < 2000; ++i) data += "entry " + std::to_string(i * 7919 % 1000) + "\n";
    test::writeFile(dir / "a", data.substr(0, 5000));
    test::writeFile(dir / "b", data.substr(5000));
    const struct {
        const char* what;
        const char* command;  // compresses a, then b, into in
    } cases[] = {
        {"zstd", "zstd -q -c a > in && zstd -q -c b >> in"},
        {"xz", "xz -c a > in && xz -c b >> in"},
        {"bzip2", "bzip2 -c a > in && bzip2 -c b >> in"},
        {"lz4", "lz4 -q -c a > in && lz4 -q -c b >> in"},
    };
    for (const auto& c : cases) {
        test::shell("cd " + test::shellQuoted(dir.path()) + " && " + c.command);
        for (const std::size_t piece : {std::size_t{1}, std::size_t{7}}) {
            SCOPED_TRACE(testing::Message() << c.what << ", pieces of " << piece);
            InputSource source(::open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC));
            source.setReadLimit(piece);
            const auto decoder = chooseDecoder(source);
            ASSERT_NE(decoder, nullptr);
            ASSERT_FALSE(decoder->passesThrough());
            std::string out;
            Decoded decoded;
            unsigned char buffer[1000];
            while ((decoded = decoder->decode(buffer, sizeof buffer)).state == DecodeState::more) {
                out.append(reinterpret_cast<const char*>(buffer), decoded.length);
            }
            EXPECT_EQ(decoded.state, DecodeState::end);
            EXPECT_TRUE(out == data) << out.size() << " bytes";
        }
    }
}

}  // namespace
}  // namespace kotar
