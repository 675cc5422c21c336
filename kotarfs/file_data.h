// A regular file's bytes: its member's data, or for a sparse file its
// pieces with zeros between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kotar/reader.h"
#include "kotarfs/inode_tree.h"

namespace kotarfs {

// Reads up to `count` bytes from `offset` of the file into `out`: the bytes
// read (fewer only at the file's end), or -EIO when the archive cannot give
// them (damaged compressed data, a failed read, a damaged sparse map).
// A sparse file reads through its `pieces`.
long long readFileData(const kotar_archive& archive, const Node& node, std::span<const Piece> pieces,
                       std::uint64_t offset, char* out, std::size_t count);

// Where lseek's SEEK_DATA (`hole` false) or SEEK_HOLE (`hole` true) from
// `offset` lands: the first byte of data, or of a hole, at or after it (the
// end of the file counts as a hole). -ENXIO when `offset` is at or past the
// end, or only holes follow it. A sparse file's holes are those between its
// pieces; any other file is data throughout.
long long seekFileData(const Node& node, std::span<const Piece> pieces, std::uint64_t offset, bool hole);

}  // namespace kotarfs
