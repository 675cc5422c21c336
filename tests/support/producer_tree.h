// The tree that the tests of real tar producers and of kotarfs archive:
// names of 99, 100, 101 and 256 bytes (some split into prefix and name, some
// not), non-ASCII names, a hard link, symbolic links (one to a 300-byte
// target), an ELF executable, sparse files (a hole at the end; 60 pieces),
// a time with a fraction, a user xattr and a capability where the machine
// allows them.
#pragma once

#include <string>

namespace kotar::test {

struct ProducerTree {
    std::string list;  // the names to archive, one a line, folders before what they hold
    bool xattrs = false;
    bool caps = false;
};

// Makes the tree in `root` (which must not exist yet).
ProducerTree makeProducerTree(const std::string& root);

}  // namespace kotar::test
