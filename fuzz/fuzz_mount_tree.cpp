// kotarfs's tree on any byte stream that libkotar opens: pax records, GNU
// and pax sparse maps, names folded or left out, hard links; then every
// regular file read whole through its data or its sparse pieces.
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "kotar/reader.h"
#include "kotarfs/file_data.h"
#include "kotarfs/inode_tree.h"

using namespace kotar::fuzz;

namespace {
MemoryFile* archive = nullptr;

void ignore(const std::string&) {}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceAndLimit();
    archive = new MemoryFile("archive");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FuzzCase input = splitInput(data, size);
    archive->assign(input.payload, input.size);
    kotar_archive* opened = nullptr;
    if (kotar_open_fd(archive->descriptor(), &opened) < 0) return 0;
    kotarfs::InodeTree tree;
    struct stat madeUp {};
    tree.build(*opened, kotarfs::TreeOptions{}, madeUp, ignore);
    std::vector<char> buffer(65536);
    for (kotarfs::Inode inode = 1; inode <= tree.size(); ++inode) {
        const kotarfs::Node& node = *tree.find(inode);
        for (std::size_t i = 0; const kotarfs::Entry* entry = tree.listed(inode, i); ++i) {
            if (entry->directory != inode || tree.find(entry->inode) == nullptr ||
                tree.lookup(inode, entry->name) != entry->inode) {
                invariantBroken("a lost entry");
            }
        }
        if (!S_ISREG(node.mode)) continue;
        // Sparse files may be large and mostly holes: their first and last pieces.
        const std::uint64_t last = node.size > buffer.size() ? node.size - buffer.size() : 0;
        for (const std::uint64_t at : {std::uint64_t{0}, last}) {
            const long long got = kotarfs::readFileData(*opened, node, tree.pieces(node), at, buffer.data(), buffer.size());
            if (got > static_cast<long long>(buffer.size())) invariantBroken("read past the buffer");
        }
    }
    kotar_close(opened);
    return 0;
}
