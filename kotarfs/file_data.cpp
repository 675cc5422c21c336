#include "kotarfs/file_data.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kotarfs {

namespace {

// Exactly `count` bytes of the member's data, or false.
bool readExactly(const kotar_archive& archive, const kotar_member& member, std::uint64_t offset, char* out,
                 std::size_t count) {
    while (count > 0) {
        const long long got = kotar_read(&archive, &member, offset, out, count);
        if (got <= 0) return false;
        offset += static_cast<std::uint64_t>(got);
        out += got;
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

long long readFileData(const kotar_archive& archive, const Node& node, std::span<const Piece> pieces,
                       std::uint64_t offset, char* out, std::size_t count) {
    if (node.member == nullptr || node.damaged) return -EIO;
    if (offset >= node.size) return 0;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(count, node.size - offset));
    if (!node.sparse) {
        return readExactly(archive, *node.member, offset, out, length) ? static_cast<long long>(length) : -EIO;
    }
    std::memset(out, 0, length);
    const std::uint64_t end = offset + length;
    // The first piece that ends after `offset`.
    auto piece = std::upper_bound(pieces.begin(), pieces.end(), offset,
                                  [](std::uint64_t at, const Piece& p) { return at < p.fileAt + p.length; });
    for (; piece != pieces.end() && piece->fileAt < end; ++piece) {
        const std::uint64_t from = std::max(offset, piece->fileAt);
        const std::uint64_t to = std::min(end, piece->fileAt + piece->length);
        if (from >= to) continue;
        if (!readExactly(archive, *node.member, piece->dataAt + (from - piece->fileAt), out + (from - offset),
                         static_cast<std::size_t>(to - from))) {
            return -EIO;
        }
    }
    return static_cast<long long>(length);
}

long long seekFileData(const Node& node, std::span<const Piece> pieces, std::uint64_t offset, bool hole) {
    if (offset >= node.size) return -ENXIO;
    const auto size = static_cast<long long>(node.size);
    if (!node.sparse || node.damaged) return hole ? size : static_cast<long long>(offset);
    // The first piece with data that ends after `offset`.
    auto piece = std::upper_bound(pieces.begin(), pieces.end(), offset,
                                  [](std::uint64_t at, const Piece& p) { return at < p.fileAt + p.length; });
    while (piece != pieces.end() && piece->length == 0) ++piece;
    if (!hole) return piece == pieces.end() ? -ENXIO : static_cast<long long>(std::max(offset, piece->fileAt));
    if (piece == pieces.end() || piece->fileAt > offset) return static_cast<long long>(offset);
    // Within data: the hole starts where pieces stop following one another.
    std::uint64_t end = piece->fileAt + piece->length;
    for (++piece; piece != pieces.end() && piece->fileAt <= end; ++piece) end = std::max(end, piece->fileAt + piece->length);
    return static_cast<long long>(std::min(end, node.size));
}

}  // namespace kotarfs
