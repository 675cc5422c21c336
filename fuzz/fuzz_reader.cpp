// libkotar on any byte stream: open (by descriptor, or by path with
// kAlternate), then every member in turn: found by its name, its details
// taken, its data read at both ends (a kgz may be damaged there), its text
// mapped when it has any and compared with the same bytes read by
// kotar_read.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "kotar/reader.h"

using namespace kotar::fuzz;

namespace {
MemoryFile* archive = nullptr;
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
    const int status = input.has(kAlternate) ? kotar_open(archive->path(), &opened)
                                             : kotar_open_fd(archive->descriptor(), &opened);
    if (status < 0) {
        if (opened != nullptr) invariantBroken("a failed open gave an archive");
        return 0;
    }
    std::vector<unsigned char> buffer;
    for (std::size_t i = 0; i < kotar_count(opened); ++i) {
        const kotar_member* member = kotar_at(opened, i);
        const kotar_member* found = kotar_find(opened, member->name);
        if (found == nullptr || found < member || std::strcmp(found->name, member->name) != 0) {
            invariantBroken("kotar_find missed a member or gave an earlier one");
        }
        unsigned char ends[64];
        const long long head = kotar_read(opened, member, 0, ends, sizeof ends);
        const long long tail = kotar_read(opened, member, member->size > 10 ? member->size - 10 : 0, ends, sizeof ends);
        const bool damaged = head == KOTAR_EDAMAGED || tail == KOTAR_EDAMAGED;
        if ((!damaged && (head < 0 || tail < 0)) || head > static_cast<long long>(member->size)) {
            invariantBroken("read failed");
        }
        kotar_details details{};
        if (kotar_member_details(opened, member, &details) != KOTAR_OK ||
            (details.sparse_count > 0 && details.sparse == nullptr)) {
            invariantBroken("no details for a member");
        }

        const void* text = nullptr;
        std::size_t length = 0;
        if (kotar_map_text(opened, member, 0, &text, &length) == KOTAR_OK) {
            buffer.resize(length);
            if (kotar_read(opened, member, member->text_offset, buffer.data(), length) != static_cast<long long>(length) ||
                std::memcmp(buffer.data(), text, length) != 0) {
                invariantBroken("mapped text differs from the bytes read");
            }
            kotar_unmap_text(text, length);
        }
    }
    kotar_close(opened);
    return 0;
}
