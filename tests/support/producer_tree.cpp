#include "tests/support/producer_tree.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "tests/support/test_support.h"

namespace kotar::test {

namespace {

namespace fs = std::filesystem;

// Folders end in '/'; each is followed by what it holds, so that tar sets
// its time once. The deep file's prefix is 155 bytes, the most there is.
const std::string kDeep = std::string(50, 'A') + "/" + std::string(50, 'B') + "/" + std::string(53, 'C') + "/";
const std::vector<std::string> kEntries = {
    "plain", "frac", std::string(99, 'a'), std::string(100, 'b'), "d101/", "d101/" + std::string(96, 'c'),
    std::string(101, 'e'), kDeep.substr(0, 51), kDeep.substr(0, 102), kDeep, kDeep + std::string(100, 'N'), "Q/",
    "Q/" + std::string(254, 'R'), "h\xc3\xa9llo-w\xc3\xb6rld.txt", "\xe6\x97\xa5\xe6\x9c\xac.txt"};

bool succeeds(const std::string& command, const std::string& path) {
    return runCommand({"sh", "-c", command + " \"$1\" 2>/dev/null", "sh", path}).status == 0;
}

}  // namespace

ProducerTree makeProducerTree(const std::string& root) {
    ProducerTree tree;
    fs::create_directories(root);
    for (const std::string& entry : kEntries) {
        const bool folder = entry.back() == '/';
        if (folder) fs::create_directories(root + "/" + entry);
        if (!folder) writeFile(root + "/" + entry, "contents of " + entry + "\n");
        tree.list += entry.substr(0, entry.size() - folder) + "\n";
    }
    fs::create_hard_link(root + "/plain", root + "/hard");
    fs::create_symlink("plain", root + "/sym");
    fs::create_symlink(std::string(300, 't'), root + "/longlink");
    fs::copy_file("/usr/bin/true", root + "/exe");
    // Sparse files: data then a hole (one region and the end); 60 regions
    // (a map of more than one block in pax 1.0, three extension blocks in
    // GNU form).
    shell("cd " + shellQuoted(root) + " && truncate -s 2M holeend && printf HEAD | dd of=holeend conv=notrunc "
          "status=none && truncate -s 4M holes && for i in $(seq 0 59); do printf R$i | dd of=holes bs=1 "
          "seek=$((i * 65536 + 7)) conv=notrunc status=none; done");
    tree.list += "hard\nsym\nlonglink\nexe\nholeend\nholes\n";
    shell("touch -d @1577836800.5 " + shellQuoted(root + "/frac"));
    tree.xattrs = succeeds("setfattr -n user.test -v hello", root + "/plain");
    tree.caps = succeeds("setcap cap_net_raw+ep", root + "/exe");
    if (!tree.xattrs || !tree.caps) {
        std::fprintf(stderr, "note: user xattrs (%d), capabilities (%d) not checked\n", tree.xattrs, tree.caps);
    }
    return tree;
}

}  // namespace kotar::test
