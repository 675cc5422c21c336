// kotar -c: GNU tar archives (plain and gzip), made by tar from real files
// and real gcc-built executables, turned into indexed archives and checked
// with the independent layout checker; then the inputs and destinations
// that creation must refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/support/indexed_builder.h"
#include "tests/support/indexed_checker.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::ElfFacts;
using test::IndexedArchive;
using test::IndexedMember;
using test::TempDir;
using test::filesIn;
using test::kEarlierDestination;
using test::shellQuoted;

const std::string kReadFailure = "unable to read input file\n";
const std::string kInvalidPax = "invalid pax header\n";
const std::string kTooBig = "file too big, max supported size is 2147483648\n";


std::string pseudoRandomBytes(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(random() >> 24);
    return bytes;
}

CommandResult create(const std::string& source, const std::string& destination, bool verbose = false) {
    std::vector<std::string> args;
    if (verbose) args.push_back("-v");
    args.insert(args.end(), {"-c", source, "-o", destination});
    return test::runKotar(args);
}

// The trace lines that the analysis prints on standard output for an
// executable with these facts, worked out from readelf's view of it.
std::string analysisTrace(const ElfFacts& facts, const std::string& nameField) {
    std::string out;
    char line[256];
    for (const ElfFacts::Load& load : facts.loads) {
        const std::string addr = load.vaddr == 0 ? "0" : [&] {
            char hex[32];
            std::snprintf(hex, sizeof hex, "%#llx", static_cast<unsigned long long>(load.vaddr));
            return std::string(hex);
        }();
        std::snprintf(line, sizeof line, "addr: %s, sz: %lld, flags: %u\n", addr.c_str(),
                      static_cast<long long>(load.memsz), load.flags);
        out += line;
    }
    const ExecutableLayout layout = test::layoutFromElf(facts);
    for (const ElfFacts::Load& load : facts.loads) {
        if ((load.flags & 1u) == 0) continue;
        const std::uint64_t textEnd = load.vaddr + std::uint64_t{layout.textPgs} * 4096;
        for (const std::uint64_t offset : facts.relocations) {
            if (offset < load.vaddr || offset >= textEnd) continue;
            std::snprintf(line, sizeof line, "textAddr: 0x%llx, textEnd: 0x%llx, off: 0x%llx\n",
                          static_cast<unsigned long long>(load.vaddr), static_cast<unsigned long long>(textEnd),
                          static_cast<unsigned long long>(offset));
            out += line;
        }
    }
    std::snprintf(line, sizeof line, ": textPgs: %u, fixUpPgs: %u\n", layout.textPgs, layout.fixUpPgs);
    return out + nameField.substr(0, 100) + line;
}

ElfFacts factsOf(const std::string& path) {
    ElfFacts facts;
    EXPECT_TRUE(test::readElfFacts(path, facts)) << path;
    return facts;
}

const IndexedMember* findMember(const IndexedArchive& archive, const std::string& name) {
    for (const IndexedMember& member : archive.members) {
        if (member.name == name) return &member;
    }
    ADD_FAILURE() << "no member " << name;
    return nullptr;
}

// A tar made in code: headers as GNU tar writes them, data padded, and the
// two zero blocks at the end.
struct CodedMember {
    test::HeaderSpec spec;
    std::string data;
};
std::string codedTar(const std::vector<CodedMember>& members) {
    std::string tar;
    for (const CodedMember& member : members) {
        test::HeaderSpec spec = member.spec;
        spec.size = member.data.size();
        test::appendBlock(tar, test::makeHeader(spec));
        test::appendPadded(tar, member.data);
    }
    return tar + std::string(1024, '\0');
}

void resetChecksum(std::string& tar, std::size_t headerAt) {
    HeaderBlock block;
    std::memcpy(block.data(), tar.data() + headerAt, block.size());
    setHeaderChecksum(block, false);
    tar.replace(headerAt, block.size(), reinterpret_cast<const char*>(block.data()), block.size());
}

// What -v reports for a member of the source tree.
enum class Candidate { none, aligned, notAligned };
struct TreeEntry {
    std::string path;
    Candidate candidate;
};

const std::string kName100 = std::string(97, 's') + ".sh";  // fills the name field, no NUL
const std::string kLongName = "dir/" + std::string(120, 'n');
const std::string kLongExecutable = "dir/" + std::string(110, 'e') + "-exe";
const std::string kLongTarget = std::string(150, 't');
const std::string kHighBytesName = "h\xc3\xa9llo-w\xc3\xb6rld.txt";

// The members of the main source tar, in tar order.
const std::vector<TreeEntry>& tree() {
    static const std::vector<TreeEntry> entries = {
        {"dir", Candidate::none},           {"dir/sub", Candidate::none},
        {"empty", Candidate::none},         {"empty-exec", Candidate::none},
        {"one", Candidate::none},           {"b511", Candidate::none},
        {"b512", Candidate::none},          {"b513", Candidate::none},
        {"big", Candidate::none},           {"link", Candidate::none},
        {"hard", Candidate::none},          {"setuid-pie", Candidate::aligned},
        {kLongName, Candidate::none},       {"longlink", Candidate::none},
        {kName100, Candidate::notAligned},  {"script.sh", Candidate::notAligned},
        {"pie", Candidate::aligned},        {"nopie", Candidate::aligned},
        {"emit-relocs", Candidate::aligned}, {"textrel", Candidate::aligned},
        {"static", Candidate::aligned},     {kLongExecutable, Candidate::aligned},
        {"libshared.so", Candidate::none},  {"elf3", Candidate::notAligned},
        {kHighBytesName, Candidate::none},
    };
    return entries;
}

constexpr const char kProgram[] = R"(#include <stdio.h>
int counter = 3;
int main(void) { printf("%d\n", counter); return 0; }
)";

// Words holding absolute addresses inside the text, on two pages: a
// position-independent executable needs a relocation for each of them, and
// --emit-relocs keeps the link-time ones of any executable.
constexpr const char kTextRelocations[] = R"(int main(void) { return 0; }
__asm__(".text\n.p2align 12\ntbl: .quad main\n.quad tbl\n.skip 8192\n.quad main\n.skip 5000\n");
)";

constexpr const char kLibrary[] = "int twice(int x) { return 2 * x; }\n";

class CreateArchiveTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        fs::permissions(dir_->path(), fs::perms(0755));
        const std::string src = source("");
        fs::create_directories(src + "dir/sub");
        const std::string build = *dir_ / "build";
        fs::create_directories(build);
        test::writeFile(build + "/prog.c", kProgram);
        test::writeFile(build + "/textrel.c", kTextRelocations);
        test::writeFile(build + "/lib.c", kLibrary);
        test::shell("cd " + shellQuoted(build) +
                    " && gcc -O1 -fPIE -pie prog.c -o pie"
                    " && gcc -O1 -fno-pie -no-pie prog.c -o nopie"
                    " && gcc -O1 -fno-pie -no-pie -Wl,--emit-relocs textrel.c -o emit-relocs"
                    " && gcc -O1 -fPIE -pie -Wl,-z,notext textrel.c -o textrel 2>/dev/null"
                    " && gcc -O1 -static prog.c -o static"
                    " && gcc -O1 -shared -fPIC lib.c -o libshared.so");
        for (const char* name : {"pie", "nopie", "emit-relocs", "textrel", "static", "libshared.so"}) {
            fs::copy_file(build + "/" + name, src + name);
        }
        fs::copy_file(build + "/pie", src + "setuid-pie");
        fs::copy_file(build + "/nopie", src + kLongExecutable);

        test::writeFile(src + "empty", "");
        test::writeFile(src + "empty-exec", "");
        test::writeFile(src + "one", "x");
        test::writeFile(src + "b511", pseudoRandomBytes(511, 1));
        test::writeFile(src + "b512", pseudoRandomBytes(512, 2));
        test::writeFile(src + "b513", pseudoRandomBytes(513, 3));
        test::writeFile(src + "big", pseudoRandomBytes(100 * 1024 + 77, 4));
        test::writeFile(src + kLongName, pseudoRandomBytes(700, 5));
        test::writeFile(src + kName100, "#!/bin/sh\necho long\n");
        test::writeFile(src + "script.sh", "#!/bin/sh\necho hello\n");
        test::writeFile(src + "elf3", "\x7f\x45\x4c");
        test::writeFile(src + kHighBytesName, "high bytes in the name\n");
        fs::create_symlink("one", src + "link");
        fs::create_symlink(kLongTarget, src + "longlink");
        fs::create_hard_link(src + "b513", src + "hard");

        const auto executable = static_cast<fs::perms>(0755);
        for (const std::string& name :
             {std::string("empty-exec"), std::string("script.sh"), kName100, std::string("elf3")}) {
            fs::permissions(src + name, executable);
        }
        fs::permissions(src + "setuid-pie", fs::perms(04755));
        fs::permissions(src + "libshared.so", fs::perms(0644));

        std::string list;
        for (const TreeEntry& entry : tree()) list += entry.path + "\n";
        test::writeFile(*dir_ / "list", list);
        makeTar("main", "--no-recursion --verbatim-files-from -T " + shellQuoted(*dir_ / "list"));
        makeTar("small", "one b513 dir/sub link " + shellQuoted(kLongName) + " script.sh elf3");

        // "head" is the start of an executable and "tail" the rest of it
        // minus the 512 bytes that tail's own header takes in the stream:
        // in the tar, everything from head's data start on lines up with
        // the original file, except that one header.
        const std::string image = test::readFile(src + "emit-relocs");
        test::writeFile(src + "head", image.substr(0, kHeadSize));
        test::writeFile(src + "tail", image.substr(kHeadSize + 512));
        fs::permissions(src + "head", executable);
        makeTar("split", "head tail");
    }

    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    static constexpr std::size_t kHeadSize = 4096;

    static std::string source(const std::string& name) { return *dir_ / ("src/" + name); }
    static std::string tarPath(const std::string& name) { return *dir_ / (name + ".tar"); }
    static std::string tgzPath(const std::string& name) { return *dir_ / (name + ".tgz"); }

    static void makeTar(const std::string& name, const std::string& members) {
        test::shell("cd " + shellQuoted(source("")) + " && tar --format=gnu -cf " + shellQuoted(tarPath(name)) + " " +
                    members + " && gzip -9 -c " + shellQuoted(tarPath(name)) + " > " + shellQuoted(tgzPath(name)));
    }

    // The -v output expected for the main tar.
    static std::string expectedAligningLines() {
        std::string out;
        for (const TreeEntry& entry : tree()) {
            if (entry.candidate == Candidate::none) continue;
            out += std::string(entry.candidate == Candidate::aligned ? "A" : "Not a") + "ligning executable " +
                   entry.path.substr(0, 100) + "\n";
        }
        return out;
    }
    static std::string expectedTrace() {
        std::string out;
        for (const TreeEntry& entry : tree()) {
            if (entry.candidate == Candidate::aligned) out += analysisTrace(factsOf(source(entry.path)), entry.path);
        }
        return out;
    }

    static TempDir* dir_;
    TempDir out_;
};

TempDir* CreateArchiveTest::dir_ = nullptr;

TEST_F(CreateArchiveTest, LaysOutEveryKindOfMember) {
    const std::string destination = out_ / "main.ktar";
    const CommandResult run = create(tarPath("main"), destination);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");

    const IndexedArchive archive = test::checkIndexedArchive(test::readFile(destination), test::readFile(tarPath("main")));
    ASSERT_EQ(archive.members.size(), tree().size());

    std::set<std::string> aligned;
    for (const IndexedMember& member : archive.members) {
        if (member.aligned) aligned.insert(member.name);
    }
    EXPECT_EQ(aligned, (std::set<std::string>{"setuid-pie", "pie", "nopie", "emit-relocs", "textrel", "static",
                                              kLongExecutable}));

    struct Expected {
        std::string name;
        char type;
    };
    const Expected types[] = {{"dir/", '5'},        {"empty", '0'},  {"empty-exec", '0'}, {"link", '2'},
                              {"hard", '1'},       {kLongName, '0'}, {"longlink", '2'},  {"script.sh", '0'},
                              {"libshared.so", '0'}, {"elf3", '0'},  {"pie", '7'},       {kHighBytesName, '0'}};
    for (const Expected& expected : types) {
        SCOPED_TRACE(expected.name);
        if (const IndexedMember* member = findMember(archive, expected.name)) {
            EXPECT_EQ(member->type, expected.type);
        }
    }

    // The fixture's executables carry what the test means to exercise.
    if (const IndexedMember* member = findMember(archive, "textrel")) {
        EXPECT_EQ(member->layout.fixUpPgs, 2u);
    }
    if (const IndexedMember* member = findMember(archive, "emit-relocs")) {
        EXPECT_GT(member->layout.fixUpPgs, 0u);
    }
    if (const IndexedMember* member = findMember(archive, "static")) {
        EXPECT_GT(member->size, 256u * 1024);
    }

    // The long name's 'L' entry and its block sit in the table before the
    // member's own header, and push every later header down by them.
    const IndexedMember* longNamed = findMember(archive, kLongName);
    const IndexedMember* longLink = findMember(archive, "longlink");
    ASSERT_TRUE(longNamed != nullptr && longLink != nullptr);
    EXPECT_EQ(longNamed->headerOffset, 14u * 512);  // 12 members, the 'L' header and its block before it
    EXPECT_EQ(longLink->headerOffset, 17u * 512);   // then a 'K' header and its block
}

TEST_F(CreateArchiveTest, HeadersAreRewrittenWithSignedChecksums) {
    const std::string destination = out_ / "main.ktar";
    ASSERT_EQ(create(tarPath("main"), destination).status, 0);
    const std::string indexed = test::readFile(destination);
    const IndexedArchive archive = test::checkIndexedArchive(indexed, test::readFile(tarPath("main")));
    const IndexedMember* member = findMember(archive, kHighBytesName);
    ASSERT_NE(member, nullptr);
    HeaderBlock block;
    std::memcpy(block.data(), indexed.data() + member->headerOffset, block.size());
    const HeaderSums sums = computeHeaderSums(block);
    EXPECT_LT(sums.signedSum, sums.unsignedSum);
    EXPECT_EQ(parseOctalField(block, field::chksum), sums.signedSum);
}

TEST_F(CreateArchiveTest, VerboseTraceIsExactAndGzipInputChangesNothing) {
    const std::string expectedErr = expectedAligningLines();
    const std::string expectedOut = expectedTrace();
    std::string plainArchive;
    for (const std::string& input : {tarPath("main"), tgzPath("main")}) {
        SCOPED_TRACE(input);
        const std::string destination = out_ / "v.ktar";
        const CommandResult run = create(input, destination, true);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, expectedErr);
        EXPECT_EQ(run.out, expectedOut);
        const std::string archive = test::readFile(destination);
        if (plainArchive.empty()) {
            plainArchive = archive;
            test::checkIndexedArchive(archive, test::readFile(tarPath("main")));
        } else {
            EXPECT_TRUE(archive == plainArchive) << "gzip input gives a different archive";
        }
    }
    // An archive on standard output keeps it to itself: the analysis trace
    // goes to standard error, with the aligning lines.
    for (const std::string destination : {"-", "/dev/fd/1"}) {
        const CommandResult run = create(tarPath("main"), destination, true);
        EXPECT_TRUE(run.status == 0 && run.out == plainArchive) << destination << ": the trace is in the archive";
        EXPECT_EQ(run.err.size(), expectedErr.size() + expectedOut.size()) << destination;
    }
    // The aligning line quotes the name field: at most 100 characters.
    EXPECT_NE(expectedErr.find("Not aligning executable " + kName100 + "\n"), std::string::npos);
    EXPECT_NE(expectedErr.find("Aligning executable " + kLongExecutable.substr(0, 100) + "\n"), std::string::npos);
}

// Runs kotar so that it can write its destination but not read it back,
// which makes the executable analysis read the input again. Empty when that
// cannot be arranged here.
std::optional<CommandResult> createWithWriteOnlyDestination(const std::string& source, const std::string& destination) {
    test::writeFile(destination, "");
    ::chmod(destination.c_str(), 0222);
    const std::vector<std::string> args = {"-v", "-c", source, "-o", destination};
    if (geteuid() != 0) return test::runKotar(args);
    if (access("/usr/bin/setpriv", X_OK) != 0) return std::nullopt;
    std::vector<std::string> argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                     test::kotarBinary()};
    // kotar reachable and runnable as that user?
    if (test::runCommand(argv).status != 255) return std::nullopt;
    argv.insert(argv.end(), args.begin(), args.end());
    return test::runCommand(argv);
}

// Creation lets the analysis read an executable back from the destination;
// reading the input (plain or gzip) instead must give the same results, also
// for tables that lie past the member's own data.
TEST_F(CreateArchiveTest, WhereTheAnalysisReadsFromIsInvisible) {
    fs::permissions(out_.path(), fs::perms(0777));
    for (const std::string tar : {"main", "split"}) {
        SCOPED_TRACE(tar);
        const std::string reference = out_ / (tar + ".ktar");
        const CommandResult expected = create(tarPath(tar), reference, true);
        ASSERT_EQ(expected.status, 0) << expected.err;
        const std::string expectedArchive = test::readFile(reference);

        struct Way {
            std::string input;
            bool writeOnly;
        };
        for (const Way& way : {Way{tgzPath(tar), false}, Way{tarPath(tar), true}, Way{tgzPath(tar), true}}) {
            SCOPED_TRACE(way.input + (way.writeOnly ? " to a write-only destination" : ""));
            const std::string destination = out_ / "other.ktar";
            std::optional<CommandResult> run;
            if (way.writeOnly) {
                run = createWithWriteOnlyDestination(way.input, destination);
                if (!run) {
                    std::printf("note: cannot run kotar with a write-only destination here\n");
                    continue;
                }
            } else {
                run = create(way.input, destination, true);
            }
            EXPECT_EQ(run->status, 0);
            EXPECT_EQ(run->out, expected.out);
            EXPECT_EQ(run->err, expected.err);
            ::chmod(destination.c_str(), 0644);
            EXPECT_TRUE(test::readFile(destination) == expectedArchive) << "the archives differ";
            fs::remove(destination);
        }
    }
}

// "head" is cut short: its section and relocation tables lie past its data
// and are read from the stream that follows it, where the tar puts the same
// bytes as the original file.
TEST_F(CreateArchiveTest, AnalysisReadsTablesPastTheMemberFromTheInputStream) {
    const ElfFacts original = factsOf(source("emit-relocs"));
    const ExecutableLayout want = test::layoutFromElf(original);
    ASSERT_GT(want.fixUpPgs, 0u);
    for (const std::string& input : {tarPath("split"), tgzPath("split")}) {
        SCOPED_TRACE(input);
        const std::string destination = out_ / "split.ktar";
        const CommandResult run = create(input, destination, true);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "Aligning executable head\n");
        EXPECT_EQ(run.out, analysisTrace(original, "head"));
        const IndexedArchive archive = test::checkIndexedArchive(test::readFile(destination),
                                                                 test::readFile(tarPath("split")), {{"head", want}});
        ASSERT_EQ(archive.members.size(), 2u);
        EXPECT_TRUE(archive.members[0].aligned);
        EXPECT_EQ(archive.members[0].size, kHeadSize);
    }
}

TEST_F(CreateArchiveTest, SmallSourcesHaveTheirExactLength) {
    test::shell("cd " + shellQuoted(source("")) + " && tar --format=gnu --no-recursion -cf " +
                shellQuoted(out_ / "dirs.tar") + " dir dir/sub && tar --format=gnu -cf " + shellQuoted(out_ / "one.tar") +
                " one");
    test::writeFile(out_ / "empty.tar", std::string(1024, '\0'));
    struct Case {
        std::string tar;
        std::size_t length;
    };
    const Case cases[] = {
        {"empty.tar", 1024},  // an unwritten block, then the zero block
        {"dirs.tar", 1536},   // two headers and the zero block, no data
        {"one.tar", 1025},    // header, zero block, one data byte at 1024
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tar);
        const std::string destination = out_ / (c.tar + ".ktar");
        const CommandResult run = create(out_ / c.tar, destination);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string archive = test::readFile(destination);
        EXPECT_EQ(archive.size(), c.length);
        test::checkIndexedArchive(archive, test::readFile(out_ / c.tar));
    }
    EXPECT_EQ(test::readFile(out_ / "empty.tar.ktar"), std::string(1024, '\0'));
}

// Which members are tested for the ELF magic, and what -v says about them.
TEST_F(CreateArchiveTest, ExecutableCandidates) {
    const std::string elf = test::readFile(source("pie"));
    const std::string pieTrace = analysisTrace(factsOf(source("pie")), "x");
    struct Case {
        std::string what;
        std::string data;
        unsigned mode;
        char type;
        char expectedType;
        std::string err;
        std::string out;
    };
    const Case cases[] = {
        {"3 bytes of the magic, then padding", "\x7f\x45\x4c", 0755, '0', '0', "Not aligning executable x\n", ""},
        {"the magic alone", "\x7f" "ELF", 0755, '0', '7', "not a valid exec file\nAligning executable x\n",
         "x: textPgs: 0, fixUpPgs: 0\n"},
        {"shell script", "#!/bin/sh\nexit 0\n", 0755, '0', '0', "Not aligning executable x\n", ""},
        {"ELF without any execute bit", elf, 0644, '0', '0', "", ""},
        {"ELF executable by group and others only", elf, 0655, '0', '0', "", ""},
        {"ELF executable by its owner only", elf, 0100, '0', '7', "Aligning executable x\n", pieTrace},
        {"ELF that is set-user-ID", elf, 04755, '0', '7', "Aligning executable x\n", pieTrace},
        {"ELF already of type 7", elf, 0755, '7', '7', "", ""},
        {"ELF of another type", elf, 0755, 'C', 'C', "", ""},
        {"empty executable", "", 0755, '0', '0', "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string tar = codedTar({{{.name = "x", .mode = c.mode, .typeflag = c.type}, c.data}});
        test::writeFile(out_ / "x.tar", tar);
        const std::string destination = out_ / "x.ktar";
        const CommandResult run = create(out_ / "x.tar", destination, true);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, c.out);
        // The magic alone is no image readelf can read: its layout is zeros.
        std::map<std::string, ExecutableLayout> layouts;
        if (c.data.size() == 4) layouts["x"] = ExecutableLayout{};
        const IndexedArchive archive = test::checkIndexedArchive(test::readFile(destination), tar, layouts);
        ASSERT_EQ(archive.members.size(), 1u);
        EXPECT_EQ(archive.members[0].type, c.expectedType);
        // The data area starts at 1024: 512-aligned members stay there.
        if (!c.data.empty()) {
            EXPECT_EQ(archive.members[0].dataOffset, c.expectedType == '7' && c.type == '0' ? 4096u : 1024u);
        }
    }
}

// Bytes 496..511 of the source headers: long-name entries keep all of them,
// members without data get zeros, other members keep 500..511 unless they
// are aligned executables, whose analysis replaces them.
TEST_F(CreateArchiveTest, ExtensionBytesOfTheSourceHeaders) {
    const std::string elf = test::readFile(source("nopie"));
    const std::string longName = std::string(130, 'q');
    std::string tar;
    std::vector<std::size_t> headers;
    auto add = [&](const test::HeaderSpec& spec, const std::string& data) {
        headers.push_back(tar.size());
        test::HeaderSpec sized = spec;
        sized.size = data.size();
        test::appendBlock(tar, test::makeHeader(sized));
        test::appendPadded(tar, data);
    };
    add({.name = "././@LongLink", .mode = 0644, .typeflag = 'L'}, longName + '\0');
    add({.name = longName.substr(0, 100), .mode = 0644}, "named at length\n");
    add({.name = "nothing", .mode = 0755}, "");
    add({.name = "kept-7", .mode = 0755, .typeflag = '7'}, elf);
    add({.name = "exe", .mode = 0755}, elf);
    add({.name = "link", .mode = 0777, .typeflag = '2', .linkname = "exe"}, "");
    tar += std::string(1024, '\0');
    for (std::size_t i = 0; i < headers.size(); ++i) {
        for (std::size_t b = 496; b < 512; ++b) tar[headers[i] + b] = static_cast<char>(0xA0 + i + b % 7);
        resetChecksum(tar, headers[i]);
    }
    test::writeFile(out_ / "ext.tar", tar);
    const std::string destination = out_ / "ext.ktar";
    const CommandResult run = create(out_ / "ext.tar", destination);
    ASSERT_EQ(run.status, 0) << run.err;
    const IndexedArchive archive = test::checkIndexedArchive(test::readFile(destination), tar);
    ASSERT_EQ(archive.members.size(), 5u);
    EXPECT_EQ(archive.members[0].name, longName);
    EXPECT_EQ(archive.members[2].type, '7');
    EXPECT_EQ(archive.members[2].dataOffset % 4096, 512u);  // kept 512 alignment off a page boundary
    EXPECT_EQ(archive.members[3].type, '7');
    EXPECT_EQ(archive.members[3].dataOffset % 4096, 0u);
}

// Folding decisions that the producers in tar_producers_test do not reach:
// the members after an 'x' entry, and the records kept for them.
TEST_F(CreateArchiveTest, PaxRecordsFoldOrStay) {
    using test::paxRecord;
    std::string longEntry;
    test::appendBlock(longEntry, test::makeHeader({.name = "././@LongLink", .size = 5, .typeflag = 'L'}));
    test::appendPadded(longEntry, std::string("long") + '\0');
    const std::string keptTwo = paxRecord("mtime", "-3.25") + paxRecord("uname", std::string(33, 'u'));
    const std::string fraction = paxRecord("mtime", "1.5"), longUname = paxRecord("uname", std::string(33, 'u'));
    struct Case {
        std::string records;
        std::string members;  // "type:name:data" of each, the kept 'x' entry's data being its records
        std::string before = "";  // input entries between the 'x' entry and the member
        std::string fields = "1000 1000 1234567890 ";  // the member's uid, gid, mtime and uname
        bool named = false;  // the member's header names its owner and group ("user")
        std::string global = "";  // the records of a 'g' entry "g" before all
    };
    const std::string uid5 = paxRecord("uid", "5"), gid7 = paxRecord("gid", "7");
    const std::string globalTwo = paxRecord("uname", "builder") + paxRecord("mtime", "1000");
    const Case cases[] = {
        {paxRecord("mtime", "123.000") + paxRecord("uid", "2097151"), "0:m:data ", "", "2097151 1000 123 "},
        // Beyond octal, base-256 as GNU tar writes it: ids up to 2^56 - 1,
        // any whole time; a fraction stays, its seconds rounded down.
        {keptTwo + paxRecord("path", "p") + paxRecord("uid", "2097152"),
         "x:x/m:" + keptTwo + paxRecord("uid", "2097152") + " 0:p:data ", "", "2097152 1000 -4 "},
        {paxRecord("uid", "72057594037927935") + paxRecord("gid", "3000001") + paxRecord("mtime", "-1"), "0:m:data ",
         "", "72057594037927935 3000001 -1 "},
        {paxRecord("mtime", "10413792000") + paxRecord("uid", "72057594037927936"),
         "x:x/m:" + paxRecord("uid", "72057594037927936") + " 0:m:data ", "", "1000 1000 10413792000 "},
        {paxRecord("mtime", "-631152000.000"), "0:m:data ", "", "1000 1000 -631152000 "},
        // A member that names its owner and group keeps the folded ids as
        // records too: GNU tar lets a pax id win over a name, a header id
        // yields to it.
        {uid5 + gid7, "x:x/m:" + uid5 + gid7 + " 0:m:data ", "", "5 7 1234567890 user", true},
        {uid5 + paxRecord("uname", "") + gid7, "x:x/m:" + uid5 + gid7 + " 0:m:data ", "", "5 7 1234567890 user", true},
        {uid5 + paxRecord("uname", std::string(33, 'u')), "x:x/m:" + uid5 + longUname + " 0:m:data ", "",
         "5 1000 1234567890 "},
        // The last record of a keyword wins, whether it folds or stays.
        {fraction + paxRecord("mtime", "100") + paxRecord("uid", "99999999") + uid5, "0:m:data ", "",
         "5 1000 100 "},
        {paxRecord("mtime", "100") + fraction + uid5 + paxRecord("uid", "99999999"),
         "x:x/m:" + fraction + " 0:m:data ", "", "99999999 1000 1 "},
        {paxRecord("uid", "99999999") + uid5, "x:x/m:" + uid5 + " 0:m:data ", "", "5 1000 1234567890 user", true},
        {longUname + paxRecord("uname", "short"), "0:m:data ", "", "1000 1000 1234567890 short"},
        {paxRecord("uname", "short") + longUname, "x:x/m:" + longUname + " 0:m:data "},
        {paxRecord("path", "x") + paxRecord("path", ""), "0:m:data "},
        // A pax sparse file (version 0.1) becomes a GNU sparse member under
        // its real name; nothing of its records stays.
        {paxRecord("GNU.sparse.size", "10") + paxRecord("GNU.sparse.numblocks", "2") +
             paxRecord("GNU.sparse.map", "2,3,9,1") + paxRecord("GNU.sparse.name", "real") + fraction,
         "x:x/m:" + fraction + " S:real:data ", "", "1000 1000 1 "},
        {paxRecord("size", "2"), "0:m:da "},
        {paxRecord("path", "short"), "0:short:data ", longEntry},
        // The kept 'x' entry stays before the input's long-name entries.
        {fraction, "x:x/m:" + fraction + " 0:long:data ", longEntry, "1000 1000 1 "},
        {"", "0:long:data ", longEntry},
        // Over a global record, tar applies the member's own record but not
        // its header field: such a record stays, folded as well. A global
        // name names the owner, whose pax id then stays too.
        {paxRecord("mtime", "123.000") + paxRecord("uname", "j"), "g:g:" + globalTwo + " x:x/m:" +
             paxRecord("mtime", "123.000") + paxRecord("uname", "j") + " 0:m:data ", "", "1000 1000 123 j", false,
         globalTwo},
        {uid5, "g:g:" + paxRecord("uname", "daemon") + " x:x/m:" + uid5 + " 0:m:data ", "", "5 1000 1234567890 ",
         false, paxRecord("uname", "daemon")},
        {uid5, "g:g:" + paxRecord("comment", "c") + " 0:m:data ", "", "5 1000 1234567890 ", false,
         paxRecord("comment", "c")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.records);
        std::string tar;
        if (!c.global.empty()) {
            test::appendBlock(tar, test::makeHeader({.name = "g", .size = c.global.size(), .typeflag = 'g', .posix = true}));
            test::appendPadded(tar, c.global);
        }
        if (!c.records.empty()) {
            const test::HeaderSpec spec{.name = "x/m", .size = c.records.size(), .typeflag = 'x', .posix = true};
            test::appendBlock(tar, test::makeHeader(spec));
            test::appendPadded(tar, c.records);
        }
        std::string member = codedTar({{{.name = "m", .posix = true}, "data"}});
        if (!c.named) {
            std::memset(member.data() + field::uname.offset, 0, field::uname.width + field::gname.width);
            resetChecksum(member, 0);
        }
        test::writeFile(out_ / "p.tar", tar + c.before + member);
        ASSERT_EQ(create(out_ / "p.tar", out_ / "p.ktar").status, 0);
        ASSERT_EQ(test::runKotar({"-x", out_ / "p.ktar", "-o", out_ / "back.tar"}).status, 0);
        const std::string indexed = test::readFile(out_ / "p.ktar");
        std::string members, fields;  // the fields of the last member
        for (const IndexedMember& m : test::checkIndexedArchive(indexed, test::readFile(out_ / "back.tar")).members) {
            members += std::string(1, m.type) + ":" + m.name + ":" + indexed.substr(m.dataOffset, m.size) + " ";
            HeaderBlock header;
            std::memcpy(header.data(), indexed.data() + m.headerOffset, kBlockSize);
            fields = std::to_string(*parseNumericField(header, field::uid)) + " " +
                     std::to_string(*parseNumericField(header, field::gid)) + " " +
                     std::to_string(*parseNumericField(header, field::mtime)) + " " +
                     std::string(fieldText(header, field::uname));
        }
        EXPECT_EQ(members, c.members);
        EXPECT_EQ(fields, c.fields);
    }
}

// GNU tar writes a volume label ('V') and a continuation ('M') with a magic
// of zeros: they are GNU headers, kept as they are (in GNU form on the way
// back), the continuation's data included.
TEST_F(CreateArchiveTest, LabelsAndContinuationsWithoutMagicAreKept) {
    std::string tar = codedTar({{{.name = "My label", .typeflag = 'V'}, ""},
                                {{.name = "part", .typeflag = 'M'}, "the rest"},
                                {{.name = "next"}, "data"}});
    for (const std::size_t at : {std::size_t{0}, std::size_t{512}}) {
        std::memset(tar.data() + at + 257, 0, 8);
        resetChecksum(tar, at);
    }
    test::writeFile(out_ / "v.tar", tar);
    const CommandResult run = create(out_ / "v.tar", out_ / "v.ktar");
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(test::runKotar({"-x", out_ / "v.ktar", "-o", out_ / "back.tar"}).status, 0);
    const std::string back = test::readFile(out_ / "back.tar");
    ASSERT_EQ(back.size(), tar.size());
    for (const std::size_t at : {std::size_t{0}, std::size_t{512}}) {
        std::memcpy(tar.data() + at + 257, "ustar  ", 8);
        resetChecksum(tar, at);
    }
    EXPECT_TRUE(back == tar);
    EXPECT_EQ(test::runCommand({"tar", "-tf", out_ / "back.tar"}).out, "My label\npart\nnext\n");
}

// Sources that are refused in the first pass, before anything is written.
TEST_F(CreateArchiveTest, RefusedSourcesLeaveTheDestinationAlone) {
    const std::string good = codedTar({{{.name = "first"}, "abc"}});

    std::string badChecksum = test::readFile(tarPath("small"));
    badChecksum[0] ^= 1;

    const std::string noEnd = codedTar({{{.name = "a"}, "0123456789"}}).substr(0, 1024);

    std::string oddMagic = codedTar({{{.name = "odd"}, "abc"}});
    std::memcpy(oddMagic.data() + 257, "abcdefgh", 8);  // runs on into uname "user"
    resetChecksum(oddMagic, 0);

    // No magic at all (v7), and the POSIX magic with another version.
    std::string v7 = good;
    std::memset(v7.data() + 257, 0, 8);
    resetChecksum(v7, 0);
    std::string otherVersion = codedTar({{{.name = "v", .posix = true}, "abc"}});
    std::memcpy(otherVersion.data() + 263, "  ", 2);
    resetChecksum(otherVersion, 0);

    // An 'x' entry with these records (its size field as given, when one
    // is), then what follows it.
    auto withPax = [](const std::string& records, const std::string& after, const char* sizeField = nullptr) {
        std::string tar;
        HeaderBlock header =
            test::makeHeader({.name = "PaxHeaders/m", .size = records.size(), .typeflag = 'x', .posix = true});
        if (sizeField != nullptr) {
            std::memset(header.data() + 124, 0, 12);
            std::memcpy(header.data() + 124, sizeField, std::strlen(sizeField));
            setHeaderChecksum(header, false);
        }
        test::appendBlock(tar, header);
        test::appendPadded(tar, records);
        return tar + after;
    };
    const std::string member = codedTar({{{.name = "m", .posix = true}, "data"}});
    const std::string mtime = test::paxRecord("mtime", "1.5");
    const std::string globalThenMember = codedTar({{{.name = "g", .typeflag = 'g', .posix = true}, mtime}});

    auto withSizeField = [](const char* text, char type = '0') {
        std::string tar = codedTar({{{.name = "huge", .typeflag = type}, ""}});
        std::memset(tar.data() + 124, 0, 12);
        std::memcpy(tar.data() + 124, text, std::strlen(text));
        resetChecksum(tar, 0);
        return tar;
    };

    // A member that ends on a page 4096 bytes below 2 GiB, then an
    // executable: the sizes fit, its alignment takes the archive to 2 GiB.
    // The first member's data is a hole of the source file.
    const std::uint64_t holeSize = (std::uint64_t{1} << 31) - 3 * kBlockSize - 4096;
    std::string executableAfterHole;
    test::appendBlock(executableAfterHole, test::makeHeader({.name = "exe", .mode = 0755, .size = 4}));
    test::appendPadded(executableAfterHole, "\x7f" "ELF");
    executableAfterHole += std::string(1024, '\0');

    // A GNU volume label leaves its magic all zeros; its checksum counts.
    std::string labelBadChecksum = codedTar({{{.name = "label", .typeflag = 'V'}, ""}});
    std::memset(labelBadChecksum.data() + 257, 0, 8);

    // A pax sparse file of 10 bytes whose regions are `map`, in version
    // 0.1's records, or 1.0's whose map is in the data.
    const auto sparseRecords = [](const std::string& map) {
        return test::paxRecord("GNU.sparse.size", "10") +
               test::paxRecord("GNU.sparse.numblocks", std::to_string((std::count(map.begin(), map.end(), ',') + 1) / 2)) +
               test::paxRecord("GNU.sparse.map", map);
    };
    const auto sparseData = [](const std::string& map, const std::string& data) {
        return codedTar({{{.name = "m", .posix = true}, map + std::string(kBlockSize - map.size(), '\0') + data}});
    };
    const std::string sparse10 = test::paxRecord("GNU.sparse.major", "1") + test::paxRecord("GNU.sparse.minor", "0") +
                                 test::paxRecord("GNU.sparse.realsize", "10");

    struct Case {
        std::string what;
        std::string tar;
        std::string err;
        std::uint64_t hole = 0;   // zero bytes that follow `tar` in the file
        std::string afterHole;  // then these bytes
    };
    const Case cases[] = {
        {"alignment padding takes the archive to 2 GiB",
         test::bytesOf(test::makeHeader({.name = "big", .size = holeSize})), kTooBig, holeSize, executableAfterHole},
        {"no magic (v7)", v7, "invalid tar magic ''\n"},
        {"POSIX magic, version not 00", good.substr(0, 1024) + otherVersion, "invalid tar magic 'ustar'\n"},
        {"pax record longer than stated", withPax("31 path=abc\n", member), kInvalidPax},
        {"pax record shorter than stated", withPax("11 path=abc\n", member), kInvalidPax},
        {"pax length not a number", withPax("xx path=abc\n", member), kInvalidPax},
        {"pax length without its space", withPax("12_path=abc\n", member), kInvalidPax},
        {"pax record without '='", withPax("11 pathabc\n", member), kInvalidPax},
        {"pax data after the last record", withPax(mtime + "junk", member), kInvalidPax},
        {"pax uid not a number", withPax(test::paxRecord("uid", "12a"), member), kInvalidPax},
        {"pax gid negative", withPax(test::paxRecord("gid", "-1"), member), kInvalidPax},
        {"pax size with a fraction", withPax(test::paxRecord("size", "1.0"), member), kInvalidPax},
        {"pax mtime not a time", withPax(test::paxRecord("mtime", "1.5.0"), member), kInvalidPax},
        {"pax entry at the end", withPax(mtime, std::string(1024, '\0')), kInvalidPax},
        {"pax entry before another", withPax(mtime, withPax(mtime, member)), kInvalidPax},
        {"pax entry before a global one", withPax(mtime, globalThenMember), kInvalidPax},
        {"pax entry after a long name", codedTar({{{.name = "././@LongLink", .typeflag = 'L'}, "n"}}).substr(0, 1024) +
                                           withPax(mtime, member), kInvalidPax},
        {"pax entry over 1 MiB, refused unread", withPax(mtime, member, "4000001"), kInvalidPax},
        {"pax entry of base-256 size", withPax(mtime, member, "\x80"), kInvalidPax},
        {"pax size 2^31 - 512", withPax(test::paxRecord("size", "2147483136"), member), kTooBig},
        {"pax size past 64 bits", withPax(test::paxRecord("size", "99999999999999999999"), member), kInvalidPax},
        {"magic quoted up to its NUL", oddMagic, "invalid tar magic 'abcdefgh'\n"},
        {"label without magic, bad checksum", labelBadChecksum, "invalid tar, checksum mismatch\n"},
        {"pax sparse map short of the data", withPax(sparseRecords("0,3"), member), kInvalidPax},
        {"pax sparse map past the file's end", withPax(sparseRecords("0,1,9,3"), member), kInvalidPax},
        {"pax sparse regions out of order", withPax(sparseRecords("5,2,0,2"), member), kInvalidPax},
        {"pax sparse map without its count", withPax(test::paxRecord("GNU.sparse.size", "10") +
                                                     test::paxRecord("GNU.sparse.map", "0,4"), member), kInvalidPax},
        {"pax sparse 0.0 size before offset", withPax(test::paxRecord("GNU.sparse.numbytes", "4"), member),
         kInvalidPax},
        {"pax sparse directory", withPax(sparseRecords("0,4"), codedTar({{{.name = "d/", .typeflag = '5'}, ""}})),
         kInvalidPax},
        {"pax sparse 1.0 map not a number", withPax(sparse10, sparseData("1\n0\nx\n", "abcd")), kInvalidPax},
        {"pax sparse 1.0 map not the data", withPax(sparse10, sparseData("1\n0\n9\n", "abcd")), kInvalidPax},
        {"pax sparse 1.0 map without its data", withPax(sparse10, codedTar({{{.name = "m"}, "1\n0\n4\n"}})),
         kInvalidPax},
        {"bad checksum", badChecksum, "invalid tar, checksum mismatch\n"},
        {"no end blocks", noEnd, kReadFailure},
        {"a long name for no member", codedTar({{{.name = "././@LongLink", .typeflag = 'L'}, "n"}}), kReadFailure},
        {"size -1", withSizeField("-1"), kTooBig},
        {"size 2^31 - 512", withSizeField("17777777000"), kTooBig},
        {"size 2^31 - 1", withSizeField("17777777777"), kTooBig},
        // Refused before its data is read: no room is left for it after
        // even the smallest header table.
        {"size 2^31 - 513, data missing", withSizeField("17777776777"), kTooBig},
        // Its blocks alone would fill the 2 GiB before any data.
        {"long name of 2^31 - 1024 bytes", withSizeField("17777776000", 'L'), kTooBig},
    };
    const std::size_t fileCountBefore = filesIn(out_.path()) + 2;  // bad.tar and bad.ktar
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::writeFile(out_ / "bad.tar", c.tar);
        if (c.hole > 0) {
            ASSERT_EQ(truncate((out_ / "bad.tar").c_str(), static_cast<off_t>(c.tar.size() + c.hole)), 0);
            std::FILE* file = std::fopen((out_ / "bad.tar").c_str(), "ab");
            ASSERT_NE(file, nullptr);
            EXPECT_EQ(std::fwrite(c.afterHole.data(), 1, c.afterHole.size(), file), c.afterHole.size());
            std::fclose(file);
        }
        const std::string destination = out_ / "bad.ktar";
        test::writeFile(destination, kEarlierDestination);
        const CommandResult run = create(out_ / "bad.tar", destination, true);
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(test::readFile(destination), kEarlierDestination);
        EXPECT_EQ(filesIn(out_.path()), fileCountBefore) << "a temporary file stays behind";
        // Nothing goes to a pipe either.
        const CommandResult piped = test::runCommand(
            {"/bin/sh", "-c", test::shellQuoted(test::kotarBinary()) + " -c " + test::shellQuoted(out_ / "bad.tar") +
                                  " -o /dev/stdout | cat"});
        EXPECT_EQ(piped.err, c.err);
        EXPECT_EQ(piped.out, "");

        // The same gzip-compressed, from a pipe whose writer stays: the
        // refusal does not wait for the writer (timeout's 124 would show).
        // An input cut short rightly waits for the rest; a source with a
        // hole is too large to wait whole in a pipe.
        if (c.err == kReadFailure || c.hole > 0) continue;
        test::shell("gzip -c " + shellQuoted(out_ / "bad.tar") + " > " + shellQuoted(out_ / "bad.tgz"));
        const std::string compressed = test::readFile(out_ / "bad.tgz");
        int pipeEnds[2];
        ASSERT_EQ(pipe(pipeEnds), 0);
        ASSERT_EQ(write(pipeEnds[1], compressed.data(), compressed.size()), static_cast<ssize_t>(compressed.size()));
        const std::string pipePath = "/proc/self/fd/" + std::to_string(pipeEnds[0]);
        const CommandResult stalled =
            test::runCommand({"timeout", "20", test::kotarBinary(), "-c", "/dev/stdin", "-o", destination}, pipePath);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        std::filesystem::remove(out_ / "bad.tgz");
        EXPECT_EQ(stalled.status, 255);
        EXPECT_EQ(stalled.err, c.err);
        EXPECT_EQ(test::readFile(destination), kEarlierDestination);
    }
}

TEST_F(CreateArchiveTest, PathsThatCannotBeOpened) {
    const std::string missing = out_ / "missing.tar";
    const std::string destination = out_ / "never.ktar";
    CommandResult run = create(missing, destination);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "Unable to open input file: " + missing + "\n");
    EXPECT_FALSE(test::fileExists(destination));

    const std::string inMissingFolder = out_ / "no/such/folder/out.ktar";
    run = create(tarPath("small"), inMissingFolder);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "Unable to open output file: " + inMissingFolder + "\n");
}

TEST_F(CreateArchiveTest, DestinationThatIsTheInputIsRefusedUntouched) {
    const std::string original = test::readFile(tarPath("small"));
    const std::string input = out_ / "in.tar";
    test::writeFile(input, original);
    fs::create_hard_link(input, out_ / "hard.tar");
    fs::create_symlink(input, out_ / "symlink.tar");
    fs::create_symlink("in.tar", out_ / "relative.tar");
    struct Case {
        std::string source;
        std::string destination;
    };
    const Case cases[] = {
        {input, input},
        {input, out_ / "hard.tar"},
        {input, out_ / "symlink.tar"},
        {out_ / "symlink.tar", input},
        {out_ / "relative.tar", out_ / "hard.tar"},
        {input, out_.path() + "/./in.tar"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source + " -> " + c.destination);
        const CommandResult run = create(c.source, c.destination, true);
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.err, "Unable to open output file: " + c.destination + "\n");
        EXPECT_TRUE(test::readFile(input) == original) << "the source was changed";
    }
}

TEST_F(CreateArchiveTest, FailedWritesAreFailures) {
    // No member (only the final zero block is written, and it stays in the
    // output buffer until the file is closed), a few small members, an
    // executable, and more data than any buffer holds.
    test::writeFile(out_ / "empty.tar", std::string(1024, '\0'));
    for (const std::string& input :
         {out_ / "empty.tar", tarPath("small"), tarPath("split"), tarPath("main"), tgzPath("main")}) {
        SCOPED_TRACE(input);
        const CommandResult run = create(input, "/dev/full");
        EXPECT_EQ(run.status, 255);
        // The table fails first, whichever thread would copy the data.
        EXPECT_EQ(run.err, "unable to write to output file\n");
    }
}

// A good source cut short anywhere fails in the first pass, with an empty
// destination, unless the cut leaves its first zero block whole.
TEST_F(CreateArchiveTest, TruncatedSources) {
    const std::string full = test::readFile(tarPath("small"));
    const std::string reference = out_ / "full.ktar";
    ASSERT_EQ(create(tarPath("small"), reference).status, 0);
    const std::string expected = test::readFile(reference);

    std::size_t end = 0;  // the first zero block
    while (full[end] != '\0') {
        HeaderBlock block;
        std::memcpy(block.data(), full.data() + end, block.size());
        end += 512 + (static_cast<std::size_t>(parseOctalField(block, field::size)) + 511) / 512 * 512;
    }
    for (std::size_t cut = 0; cut <= end + 1024; cut += 512) {
        for (const std::size_t inside : {0, 1, 100, 511}) {
            const std::size_t length = cut + inside;
            SCOPED_TRACE(length);
            test::writeFile(out_ / "cut.tar", full.substr(0, length));
            const std::string destination = out_ / "cut.ktar";
            const CommandResult run = create(out_ / "cut.tar", destination);
            if (length >= end + 512) {
                EXPECT_EQ(run.status, 0) << run.err;
                EXPECT_TRUE(test::readFile(destination) == expected);
            } else {
                EXPECT_EQ(run.status, 255);
                EXPECT_EQ(run.err, kReadFailure);
                EXPECT_FALSE(test::fileExists(destination));
            }
        }
    }

    // gzip input cut short anywhere, its trailer included, fails: the
    // stream cannot be checked, even when the tar itself is whole.
    const std::string compressed = test::readFile(tgzPath("small"));
    for (std::size_t parts = 0; parts < 8; ++parts) {
        const std::size_t length = parts == 0 ? compressed.size() - 4 : compressed.size() * parts / 8;
        SCOPED_TRACE("gzip cut at " + std::to_string(length));
        test::writeFile(out_ / "cut.tgz", compressed.substr(0, length));
        const std::string destination = out_ / "cut.ktar";
        fs::remove(destination);
        const CommandResult run = create(out_ / "cut.tgz", destination);
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.err, kReadFailure);
        EXPECT_FALSE(test::fileExists(destination));
    }
}

}  // namespace
}  // namespace kotar
