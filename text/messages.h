// Every fixed message that kotar writes on standard error, in one place.
// The texts are the tool's own and stay exactly as they are; the odd ones
// are deliberate, and marked so. Messages go out without a program name.
#pragma once

namespace kotar {

namespace message {

inline constexpr char kUsage[] =
    "Usage: kotar {[-x ktar/kgz-file] [-c tar/tgz-file] [-v] -o destination} | -t < ktar/kgz-file\n";
inline constexpr char kBadAlignment[] = "invalid alignment '%s', it must be 4096, 16384 or 65536\n";

inline constexpr char kOpenInput[] = "Unable to open input file: %s\n";
inline constexpr char kOpenOutput[] = "Unable to open output file: %s\n";
inline constexpr char kReadInput[] = "unable to read input file\n";
inline constexpr char kWriteOutput[] = "unable to write to output file\n";
// Intended: member data that cannot be written, worded without "to".
inline constexpr char kWriteData[] = "unable to write output file\n";
// Intended: the closing zero blocks, capitalised, with "ouput" misspelt.
inline constexpr char kWriteEnd[] = "Unable to write to ouput file\n";
inline constexpr char kInvalidInput[] = "invalid input file\n";
inline constexpr char kTarMagic[] = "invalid tar magic '%s'\n";
inline constexpr char kKotarMagic[] = "invalid kotar magic '%s'\n";
// Intended: "tar" for indexed headers too.
inline constexpr char kChecksum[] = "invalid tar, checksum mismatch\n";
inline constexpr char kTooBig[] = "file too big, max supported size is %u\n";
inline constexpr char kInvalidPax[] = "invalid pax header\n";
// The second line after a refused first header, when the input is
// compressed in a form kotar recognises but does not read; %s says which:
// "lzip-compressed", "compressed with compress (.Z)".
inline constexpr char kUnreadCompression[] = "the input is %s, which kotar does not read\n";

// The executable analysis: one line for an image it cannot read whole.
inline constexpr char kBitmapMemory[] = "could not allocate memory for bitmap\n";
inline constexpr char kEhdrMemory[] = "could not allocate memory for ehdr\n";
// Intended: named after the stream call that once positioned the input.
inline constexpr char kPositionFailed[] = "gzseek failed\n";
inline constexpr char kEhdrRead[] = "could not read ehdr\n";
inline constexpr char kNotExecutable[] = "not a valid exec file\n";
inline constexpr char kPhdrMemory[] = "could not allocate memory for phdr\n";
inline constexpr char kPhdrRead[] = "could not read phdr\n";
inline constexpr char kOneTextSegment[] = "only 1 executable load section supported\n";
inline constexpr char kTextUnaligned[] = "text address not aligned on page boundary\n";
inline constexpr char kTextTooBig[] = "text region is too big\n";
inline constexpr char kShdrMemory[] = "could not allocate memory for shdr\n";
inline constexpr char kShdrRead[] = "could not read shdr\n";
inline constexpr char kReltabMemory[] = "could not allocate memory for reltab\n";
inline constexpr char kRelRead[] = "could not read rel\n";

// Every message above, for the manual page's list of diagnostics.
inline constexpr const char* kAll[] = {
    kUsage,        kBadAlignment,   kOpenInput,      kOpenOutput,    kReadInput,   kWriteOutput,
    kWriteData,    kWriteEnd,       kInvalidInput,   kTarMagic,      kKotarMagic,  kChecksum,
    kTooBig,       kInvalidPax,     kUnreadCompression,     kBitmapMemory,   kEhdrMemory,     kPositionFailed, kEhdrRead,   kNotExecutable,
    kPhdrMemory,   kPhdrRead,       kOneTextSegment, kTextUnaligned, kTextTooBig, kShdrMemory,
    kShdrRead,     kReltabMemory,   kRelRead,
};

}  // namespace message

// Writes a fixed message on standard error; returns -1, a mode's failure.
int fail(const char* message);

// After a refused first header: the second line, kUnreadCompression, when
// `what` names the compression the input is in (not null). Returns -1.
int noteUnreadCompression(const char* what);

}  // namespace kotar
