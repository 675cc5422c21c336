#include "convert/list_archive.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "archive/archive_input.h"
#include "archive/header_block.h"
#include "convert/mode_string.h"

namespace kotar {

namespace {

// A long-name text is kept up to its first NUL and at most this long, so a
// damaged size field cannot make the listing hold gigabytes.
constexpr std::size_t kLongNameLimit = 16 * 1024 * 1024;

bool readBlock(ArchiveInput& input, HeaderBlock& block) {
    return input.read(block.data(), block.size()) == block.size();
}

int fail(const char* message) {
    std::fputs(message, stderr);
    return -1;
}

// A numeric field in 64 bits; a value beyond 64 bits shows as 0.
long long numberOf(const HeaderBlock& header, HeaderField field) {
    return parseNumericField(header, field).value_or(0);
}

void printMember(const HeaderBlock& header, const std::string* longName) {
    const long long uid = numberOf(header, field::uid);
    const long long gid = numberOf(header, field::gid);
    const std::int32_t mode = parseOctalField(header, field::mode);
    const long long size = numberOf(header, field::size);
    const std::time_t mtime = numberOf(header, field::mtime);

    // A time that cannot be broken down (a year past the int range) shows
    // as the epoch.
    std::tm local{};
    if (localtime_r(&mtime, &local) == nullptr) {
        const std::time_t epoch = 0;
        localtime_r(&epoch, &local);
    }
    char permissions[11];
    formatModeString(mode, permissions);
    permissions[0] = typeLetter(typeflagOf(header));

    if (longName != nullptr) {
        std::printf("%s %lld/%lld %10lld %.4d-%.2d-%.2d %.2d:%.2d %s\n", permissions, uid, gid, size,
                    local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                    local.tm_min, longName->c_str());
    } else {
        std::printf("%s %lld/%lld %10lld %.4d-%.2d-%.2d %.2d:%.2d %.100s\n", permissions, uid, gid, size,
                    local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                    local.tm_min, reinterpret_cast<const char*>(header.data() + field::name.offset));
    }
}

// Reads the `size`-byte text of a long-name entry as it arrives, keeping it
// up to its first NUL, and leaves the input after the text's last block.
bool readLongText(ArchiveInput& input, std::int32_t size, std::string& text) {
    if (size < 0) return false;
    text.clear();
    bool ended = false;
    char chunk[4096];
    for (std::size_t left = static_cast<std::size_t>(size); left > 0;) {
        const std::size_t wanted = std::min(left, sizeof chunk);
        if (input.read(chunk, wanted) != wanted) return false;
        left -= wanted;
        for (std::size_t i = 0; i < wanted && !ended; ++i) {
            if (chunk[i] == '\0' || text.size() == kLongNameLimit) {
                ended = true;
            } else {
                text.push_back(chunk[i]);
            }
        }
    }
    constexpr std::int64_t block = BLOCK_SIZE;
    const std::int64_t padding = (block - size % block) % block;
    input.seek(padding, SEEK_CUR);
    return true;
}

bool isPaxEntry(const HeaderBlock& block) {
    return typeflagOf(block) == kTypePaxHeader || typeflagOf(block) == kTypePaxGlobal;
}

// Steps over the extension blocks that follow a sparse member's header.
bool skipSparseExtension(ArchiveInput& input) {
    HeaderBlock extension;
    do {
        if (!readBlock(input, extension)) return false;
    } while (extension[kSparseExtensionExtendedAt] != 0);
    return true;
}

int listHeaders(ArchiveInput& input) {
    HeaderBlock block;
    for (;;) {
        if (!readBlock(input, block)) return fail("unable to read input file\n");
        if (isZeroBlock(block)) {
            // The lines are the listing's output: losing them is a failure.
            if (std::fflush(stdout) != 0 || std::ferror(stdout)) return fail("unable to write to output file\n");
            return 0;
        }
        if (!hasMagic(block, kIndexedMagic)) {
            const std::string_view magic = magicText(block);
            std::fprintf(stderr, "invalid kotar magic '%.*s'\n", static_cast<int>(magic.size()), magic.data());
            return -1;
        }
        if (!verifyHeaderChecksum(block)) return fail("invalid tar, checksum mismatch\n");
        // pax entries hold records, not members: no line. Their data lies
        // in the data area, so their header is all the table holds of them.
        if (isPaxEntry(block)) continue;
        // Long-name entries (and a pax 'x' entry among them), then the
        // member they describe. Its name is the 'L' text, else its own name
        // field; a 'K' text is the link target, which the listing does not
        // show.
        std::string name;
        bool haveLongName = false;
        while (isLongNameEntry(block) || isPaxEntry(block)) {
            if (isPaxEntry(block)) {
                if (!readBlock(input, block)) return fail("unable to read input file\n");
                continue;
            }
            std::string text;
            if (!octalFieldFits(block, field::size) ||
                !readLongText(input, parseOctalField(block, field::size), text)) {
                return fail("unable to read input file\n");
            }
            if (typeflagOf(block) == kTypeLongName) {
                name = std::move(text);
                haveLongName = true;
            }
            if (!readBlock(input, block)) return fail("unable to read input file\n");
        }
        printMember(block, haveLongName ? &name : nullptr);
        if (hasSparseExtension(block) && !skipSparseExtension(input)) return fail("unable to read input file\n");
    }
}

// Standard input that is closed, or a terminal, holds no archive.
int openStandardInput(ArchiveInput& input) {
    const int descriptor = fileno(stdin);
    if (fcntl(descriptor, F_GETFD) == -1 || isatty(descriptor)) return -1;
    return input.openStandardInput();
}

}  // namespace

int listArchive(const char* inputPath) {
    ArchiveInput input;
    const int opened = inputPath != nullptr ? input.open(inputPath) : openStandardInput(input);
    if (opened != 0) {
        std::fprintf(stderr, "Unable to open input file: %s\n", inputPath != nullptr ? inputPath : "stdin");
        return -1;
    }
    return listHeaders(input);
}

}  // namespace kotar
