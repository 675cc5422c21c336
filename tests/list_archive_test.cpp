// The listing, end to end through the kotar binary: indexed archives are
// built here block by block, then listed from a path, from standard input
// (a file or a pipe, plain or gzip-compressed).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "format/header_block.h"
#include "format/indexed_layout.h"
#include "tests/support/damaged_tables.h"
#include "tests/support/indexed_builder.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

using test::CommandResult;
using test::HeaderSpec;
using test::TempDir;
using test::ArchiveBuilder;
using test::indexedHeader;
using test::nameText;
using test::setFieldText;
using test::IndexedEntry;
using test::indexedArchive;

constexpr char kUtc[] = "TZ=UTC";
const std::string kReadFailure = "unable to read input file\n";

// Where the listing reads its input from.
enum class Source { path, gzipPath, stdinFile, gzipStdinFile, pipe, gzipPipe, fifo };

const Source kAllSources[] = {Source::path,          Source::gzipPath, Source::stdinFile,
                              Source::gzipStdinFile, Source::pipe,     Source::gzipPipe, Source::fifo};

const char* sourceName(Source source) {
    switch (source) {
        case Source::path: return "-tPATH";
        case Source::gzipPath: return "-tPATH gzip";
        case Source::stdinFile: return "stdin file";
        case Source::gzipStdinFile: return "stdin gzip file";
        case Source::pipe: return "pipe";
        case Source::gzipPipe: return "gzip pipe";
        case Source::fifo: return "-tFIFO";
    }
    return "?";
}

using test::shellQuoted;

// Runs a shell command line with kotar's standard output and error captured.
CommandResult runShellCapture(const TempDir& dir, const std::string& commandLine) {
    CommandResult result;
    result.status = test::shell(commandLine + " > " + shellQuoted(dir / "out") + " 2> " + shellQuoted(dir / "err"), false);
    result.out = test::readFile(dir / "out");
    result.err = test::readFile(dir / "err");
    return result;
}

std::string gzipped(const std::string& path) {
    test::shell("gzip -c " + shellQuoted(path) + " > " + shellQuoted(path + ".gz"));
    return path + ".gz";
}

// Lists `archive` from the given source with the TZ setting `tz`.
CommandResult listArchiveBytes(const std::string& archive, Source source, const std::string& tz = kUtc) {
    TempDir dir;
    std::string path = dir / "archive.ktar";
    test::writeFile(path, archive);
    const bool compressed =
        source == Source::gzipPath || source == Source::gzipStdinFile || source == Source::gzipPipe;
    if (compressed) path = gzipped(path);
    switch (source) {
        case Source::path:
        case Source::gzipPath:
            return test::runKotar({"-t" + path}, "", {tz});
        case Source::stdinFile:
        case Source::gzipStdinFile:
            return test::runKotar({"-t"}, path, {tz});
        case Source::pipe:
        case Source::gzipPipe:
            return runShellCapture(dir, "cat " + shellQuoted(path) + " | " + tz + " " + shellQuoted(test::kotarBinary()) + " -t");
        case Source::fifo:
            // Opened once: a second open would wait for a writer that is gone.
            return runShellCapture(dir, "mkfifo " + shellQuoted(dir / "fifo") + " && { cat " + shellQuoted(path) + " > " +
                                            shellQuoted(dir / "fifo") + " & } && " + tz + " timeout 60 " +
                                            shellQuoted(test::kotarBinary()) + " -t" + shellQuoted(dir / "fifo"));
    }
    return {};
}

void expectListing(const CommandResult& result, const std::string& out, const std::string& err, int status) {
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.status, status);
}

// One member of every kind, with long names of every shape, then the zero
// block and data-area bytes that the listing must not read.
ArchiveBuilder everyKindOfMember() {
    ArchiveBuilder a;
    const std::string utc = " 2009-02-13 23:31 ";  // the default mtime, 1234567890
    a.member({.name = "usr/bin/tool", .mode = 0755, .size = 1234, .uid = 0, .gid = 0},
             "-rwxr-xr-x 0/0       1234" + utc + "usr/bin/tool\n");
    a.member({.name = "old-style", .size = 7, .typeflag = '\0', .uid = 1000, .gid = 100},
             "-rw-r--r-- 1000/100          7" + utc + "old-style\n");
    a.member({.name = "hard", .mode = 0755, .typeflag = '1', .linkname = "usr/bin/tool"},
             "hrwxr-xr-x 1000/1000          0" + utc + "hard\n");
    a.member({.name = "symlink", .mode = 0777, .typeflag = '2', .linkname = "usr/bin/tool"},
             "lrwxrwxrwx 1000/1000          0" + utc + "symlink\n");
    a.member({.name = "dev/tty0", .mode = 0620, .typeflag = '3', .uid = 0, .gid = 5},
             "crw--w---- 0/5          0" + utc + "dev/tty0\n");
    a.member({.name = "dev/sda", .mode = 0660, .typeflag = '4', .uid = 0, .gid = 6},
             "drw-rw---- 0/6          0" + utc + "dev/sda\n");
    a.member({.name = "bin/", .mode = 0755, .typeflag = '5', .uid = 0, .gid = 0},
             "drwxr-xr-x 0/0          0" + utc + "bin/\n");
    a.member({.name = "tmp/", .mode = 01777, .typeflag = '5', .uid = 0, .gid = 0},
             "drwxrwxrwt 0/0          0" + utc + "tmp/\n");
    a.member({.name = "spool/", .mode = 01776, .typeflag = '5', .uid = 0, .gid = 0},
             "drwxrwxrwT 0/0          0" + utc + "spool/\n");
    a.member({.name = "fifo", .mode = 0600, .typeflag = '6'},
             "prw------- 1000/1000          0" + utc + "fifo\n");
    a.member({.name = "bin/exe", .mode = 0755, .size = 8192, .typeflag = '7'},
             "mrwxr-xr-x 1000/1000       8192" + utc + "bin/exe\n");
    a.member({.name = "bin/su", .mode = 04755, .size = 10, .typeflag = '0', .uid = 0, .gid = 0},
             "-rwsr-xr-x 0/0         10" + utc + "bin/su\n");
    a.member({.name = "bin/wall", .mode = 02745, .size = 10, .typeflag = '0', .uid = 0, .gid = 0},
             "-rwxr-Sr-x 0/0         10" + utc + "bin/wall\n");
    // pax entries hold records for other members: no line.
    a.member({.name = "pax", .mode = 0644, .size = 30, .typeflag = 'x'}, "");
    a.member({.name = "pax-global", .mode = 0644, .size = 30, .typeflag = 'g'}, "");
    a.member({.name = "bigids", .mode = 0, .uid = 07777777, .gid = 07654321},
             "---------- 2097151/2054353          0" + utc + "bigids\n");

    // A name filling all 100 bytes: exactly those, nothing of the fields after.
    const std::string fullName = nameText(100, 'F');
    a.member({.name = fullName, .size = 1, .linkname = "LINKNAME"},
             "-rw-r--r-- 1000/1000          1" + utc + fullName + "\n");

    // Sizes at and beyond ten columns, in 64 bits.
    a.member({.name = "max", .size = 017777777777}, "-rw-r--r-- 1000/1000 2147483647" + utc + "max\n");
    a.member({.name = "wide", .size = 020000000000}, "-rw-r--r-- 1000/1000 2147483648" + utc + "wide\n");
    a.member({.name = "wrapped", .size = 040000000005}, "-rw-r--r-- 1000/1000 4294967301" + utc + "wrapped\n");

    // Names with bytes of 0x80 and above: both checksum conventions verify.
    HeaderBlock signedSum = indexedHeader({.name = "caf\xc3\xa9-\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"});
    HeaderBlock unsignedSum = signedSum;
    setHeaderChecksum(unsignedSum, false);
    const HeaderSums sums = computeHeaderSums(signedSum);
    EXPECT_NE(sums.signedSum, sums.unsignedSum);
    a.member(signedSum, "-rw-r--r-- 1000/1000          0" + utc + "caf\xc3\xa9-\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\n");
    a.member(unsignedSum, "-rw-r--r-- 1000/1000          0" + utc + "caf\xc3\xa9-\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\n");

    // Long names. The member's own header holds a cut name, never printed.
    const HeaderSpec cut{.name = "CUT-NAME", .size = 99};
    a.longName('L', "");  // n = 0: no text block at all
    a.member(cut, "-rw-r--r-- 1000/1000         99" + utc + "\n");
    const std::string name511 = nameText(511, 'A');
    a.longName('L', name511 + '\0');  // n = 512: one text block
    a.member({.name = "CUT-NAME", .mode = 0750, .typeflag = '5'},
             "drwxr-x--- 1000/1000          0" + utc + name511 + "\n");
    const std::string name599 = nameText(599, 'B');
    a.longName('L', name599 + '\0');  // n = 600: two text blocks
    a.member(cut, "-rw-r--r-- 1000/1000         99" + utc + name599 + "\n");
    const std::string name100 = nameText(100, 'C');
    a.longName('L', name100);  // no NUL in the text
    a.member(cut, "-rw-r--r-- 1000/1000         99" + utc + name100 + "\n");
    a.longName('L', std::string("short\0garbage", 13));  // up to the first NUL
    a.member(cut, "-rw-r--r-- 1000/1000         99" + utc + "short\n");

    // Long link name and long name: the name is the 'L' text, in either order.
    const std::string linkTarget = nameText(150, 'T');
    const std::string linkName = nameText(130, 'N');
    a.longName('K', linkTarget + '\0');
    a.longName('L', linkName + '\0');
    a.member({.name = "CUT-NAME", .mode = 0777, .typeflag = '2', .linkname = "CUT-TARGET"},
             "lrwxrwxrwx 1000/1000          0" + utc + linkName + "\n");
    a.longName('L', linkName + "-2" + '\0');
    a.longName('K', linkTarget + "-2" + '\0');
    a.member({.name = "CUT-NAME", .mode = 0777, .typeflag = '1', .linkname = "CUT-TARGET"},
             "hrwxrwxrwx 1000/1000          0" + utc + linkName + "-2\n");
    // A lone long link name is the target, not the name.
    a.longName('K', linkTarget + '\0');
    a.member({.name = "short-link", .mode = 0777, .typeflag = '2', .linkname = "CUT-TARGET"},
             "lrwxrwxrwx 1000/1000          0" + utc + "short-link\n");
    // An empty name is a member, not the end of the table.
    a.member({.name = "", .size = 4}, "-rw-r--r-- 1000/1000          4" + utc + "\n");

    a.member({.name = "last", .size = 3}, "-rw-r--r-- 1000/1000          3" + utc + "last\n");
    a.zeroBlock();
    a.bytes += std::string(5000, '\x7f');  // a data area; never read
    return a;
}

TEST(ListArchive, ListsEveryKindOfMemberFromEverySource) {
    const ArchiveBuilder archive = everyKindOfMember();
    for (const Source source : kAllSources) {
        SCOPED_TRACE(sourceName(source));
        expectListing(listArchiveBytes(archive.bytes, source), archive.listing, "", 0);
    }
}

// mtime is broken down in the local time zone of the process.
TEST(ListArchive, PrintsTimesInTheLocalZone) {
    struct Stamp {
        std::string mtimeField;  // octal text
        const char* utc;
        const char* plusFiveThirty;
        const char* minusThree;
    };
    const Stamp stamps[] = {
        {"00000000000", "1970-01-01 00:00", "1970-01-01 05:30", "1969-12-31 21:00"},
        {"11145401322", "2009-02-13 23:31", "2009-02-14 05:01", "2009-02-13 20:31"},  // 1234567890
        {"14551164034", "2024-01-15 08:09", "2024-01-15 13:39", "2024-01-15 05:09"},  // a January day
        {"14544400177", "2023-12-31 23:59", "2024-01-01 05:29", "2023-12-31 20:59"},  // New Year's Eve
        {"17777777777", "2038-01-19 03:14", "2038-01-19 08:44", "2038-01-19 00:14"},  // 2^31 - 1
        {"37777777777", "2106-02-07 06:28", "2106-02-07 11:58", "2106-02-07 03:28"},  // 2^32 - 1
        {"-1", "1969-12-31 23:59", "1970-01-01 05:29", "1969-12-31 20:59"},
        // Beyond what a calendar date can hold (base-256): shown as the epoch.
        {std::string("\x80\0\0\0\x40\0\0\0\0\0\0\0", 12), "1970-01-01 00:00", "1970-01-01 05:30",
         "1969-12-31 21:00"},
        // The last second of the year 2^31 - 1 + 1900, whose year number overflows an int.
        {std::string("\x80\0\0\0\0\xF0\xC2\xAB\x7C\x54\xA9\x7F", 12), "1970-01-01 00:00", "1970-01-01 05:30",
         "1969-12-31 21:00"},
    };
    struct Zone {
        std::string tz;
        const char* Stamp::*date;
    };
    const Zone zones[] = {
        {"TZ=UTC", &Stamp::utc},
        {"TZ=XST-5:30", &Stamp::plusFiveThirty},
        {"TZ=Asia/Kolkata", &Stamp::plusFiveThirty},
        {"TZ=ABC+3", &Stamp::minusThree},
    };
    for (const Zone& zone : zones) {
        SCOPED_TRACE(zone.tz);
        std::string bytes;
        std::string expected;
        for (std::size_t i = 0; i < std::size(stamps); ++i) {
            const Stamp& stamp = stamps[i];
            std::string name = "t";
            name += std::to_string(i);
            HeaderBlock header = indexedHeader({.name = name, .uid = 0, .gid = 0});
            setFieldText(header, field::mtime, stamp.mtimeField);
            test::appendBlock(bytes, header);
            expected += std::string("-rw-r--r-- 0/0          0 ") + stamp.*zone.date + " " + name + "\n";
        }
        // A long-name member is printed with the same date.
        test::appendBlock(bytes, indexedHeader({.name = "././@LongLink", .size = 4, .typeflag = 'L'}));
        test::appendPadded(bytes, "long");
        HeaderBlock member = indexedHeader({.name = "x", .uid = 0, .gid = 0});
        setFieldText(member, field::mtime, stamps[3].mtimeField);
        test::appendBlock(bytes, member);
        expected += std::string("-rw-r--r-- 0/0          0 ") + stamps[3].*zone.date + " long\n";
        test::appendBlock(bytes, HeaderBlock{});
        for (const Source source : {Source::path, Source::gzipPipe}) {
            SCOPED_TRACE(sourceName(source));
            expectListing(listArchiveBytes(bytes, source, zone.tz), expected, "", 0);
        }
    }
}

// A long text larger than the gzip input's window of recent bytes, and more
// than a few blocks of skipping, from a pipe.
TEST(ListArchive, VeryLongNameFromEverySource) {
    ArchiveBuilder a;
    a.member({.name = "first"}, "-rw-r--r-- 1000/1000          0 2009-02-13 23:31 first\n");
    const std::string name = nameText(300000, 'V');
    a.longName('L', name + '\0' + "tail that is not part of the name");
    a.member({.name = "cut"}, "-rw-r--r-- 1000/1000          0 2009-02-13 23:31 " + name + "\n");
    a.member({.name = "after"}, "-rw-r--r-- 1000/1000          0 2009-02-13 23:31 after\n");
    a.zeroBlock();
    for (const Source source : kAllSources) {
        SCOPED_TRACE(sourceName(source));
        expectListing(listArchiveBytes(a.bytes, source), a.listing, "", 0);
    }
}

TEST(ListArchive, StopsAtTheFirstBadBlock) {
    for (const test::DamagedTable& c : test::damagedTables()) {
        SCOPED_TRACE(c.name);
        for (const Source source : kAllSources) {
            SCOPED_TRACE(sourceName(source));
            expectListing(listArchiveBytes(c.bytes, source), c.listing, c.listError, c.listStatus);
        }
    }
}

// Fields must not be taken as amounts of memory to obtain: with little
// address space the listing still ends as it should. A long-name size beyond
// the input is a read failure; a table longer than the first read whose data
// lies 512 MiB after it (a hole) is read only as far as it goes.
TEST(ListArchive, FieldsAreNoAmountsOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer runtime needs a large address space";
#else
    std::string hugeLongName;
    HeaderBlock longName = indexedHeader({.name = "././@LongLink", .typeflag = 'L'});
    setFieldText(longName, field::size, "17777777000");
    test::appendBlock(hugeLongName, longName);
    test::appendPadded(hugeLongName, nameText(2000, 'H'));

    constexpr std::uint32_t kFarData = 512u << 20;
    ArchiveBuilder farData;
    HeaderBlock member = indexedHeader({.name = "far", .size = 1});
    writeExtensionField(member, kDataOffsetAt, kFarData);
    setHeaderChecksum(member, true);
    farData.member(member, "-rw-r--r-- 1000/1000          1 2009-02-13 23:31 far\n");
    const std::string name = nameText(70000, 'F');  // 137 blocks of text: past the first 64 KiB
    farData.longName('L', name);
    farData.member(indexedHeader({.name = "after"}), "-rw-r--r-- 1000/1000          0 2009-02-13 23:31 " + name + "\n");
    farData.zeroBlock();

    const struct {
        const char* what;
        std::string bytes;
        std::uint64_t fileSize;  // the file is extended to this size with a hole
        std::string listing;
        std::string err;
        int status;
        const char* mode = "-t";
    } cases[] = {
        {"long-name size of 2 GiB", hugeLongName, 0, "", kReadFailure, 255},
        {"data 512 MiB after a long table", farData.bytes, kFarData + 1, farData.listing, "", 0},
        // --verify reads the table through the library alone.
        {"data 512 MiB after a long table, verified", farData.bytes, kFarData + 1,
         "2 members, 0 aligned executables: ok\n", "", 0, "--verify "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        test::writeFile(dir / "huge.ktar", c.bytes);
        if (c.fileSize > c.bytes.size()) {
            ASSERT_EQ(truncate((dir / "huge.ktar").c_str(), static_cast<off_t>(c.fileSize)), 0);
        }
        const CommandResult result = runShellCapture(
            dir, "ulimit -v 262144; TZ=UTC " + shellQuoted(test::kotarBinary()) + " " + c.mode + shellQuoted(dir / "huge.ktar"));
        expectListing(result, c.listing, c.err, c.status);
    }
#endif
}

// Archives made by GNU tar itself are plain tars, not indexed ones.
TEST(ListArchive, RejectsArchivesMadeByTar) {
    TempDir dir;
    test::shell("cd " + shellQuoted(dir.path()) +
                " && mkdir src && echo hello > src/file && tar --format=gnu -cf gnu.tar src"
                " && tar --format=ustar -cf ustar.tar src && gzip -k gnu.tar");
    struct Case {
        const char* file;
        const char* err;
    };
    const Case cases[] = {
        {"gnu.tar", "invalid kotar magic 'ustar  '\n"},
        {"gnu.tar.gz", "invalid kotar magic 'ustar  '\n"},
        {"ustar.tar", "invalid kotar magic 'ustar'\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        expectListing(test::runKotar({"-t" + dir / c.file}, "", {kUtc}), "", c.err, 255);
        expectListing(test::runKotar({"-t"}, dir / c.file, {kUtc}), "", c.err, 255);
    }
}

// Values as real tools write them, converted and then listed: an empty name
// is a member, times and owner ids beyond the octal fields come in base-256,
// and a long link target alone does not rename its member.
TEST(ListArchive, ValuesThatRealToolsWrite) {
    struct Case {
        const char* what;
        std::string make;  // shell commands, in a fresh folder, that write x.tar
        std::string listing;
    };
    const std::string gnuTar = "tar --format=gnu --owner=0 --group=0 --mode=644 --mtime=@1234567890 ";
    const Case cases[] = {
        {"an empty name (Python's tarfile)",
         "python3 -c \"import io, tarfile\n"
         "with tarfile.open('x.tar', 'w', format=tarfile.GNU_FORMAT) as t:\n"
         "    for name, data in (('', b'empty name'), ('after', b'x')):\n"
         "        i = tarfile.TarInfo(name); i.size = len(data); i.mtime = 1234567890\n"
         "        t.addfile(i, io.BytesIO(data))\"",
         "-rw-r--r-- 0/0         10 2009-02-13 23:31 \n-rw-r--r-- 0/0          1 2009-02-13 23:31 after\n"},
        {"an mtime after 2038", "echo x > f && " + gnuTar + "--mtime=@4102444800 -cf x.tar f",
         "-rw-r--r-- 0/0          2 2100-01-01 00:00 f\n"},
        {"an mtime before 1970", "echo x > f && " + gnuTar + "--mtime=@-315619200 -cf x.tar f",
         "-rw-r--r-- 0/0          2 1960-01-01 00:00 f\n"},
        {"owner ids above 2097151", "echo x > f && " + gnuTar + "--owner=3000000 --group=4000000 -cf x.tar f",
         "-rw-r--r-- 3000000/4000000          2 2009-02-13 23:31 f\n"},
        {"a long link target alone", "ln -s " + std::string(150, 't') + " link && " + gnuTar + "-cf x.tar link",
         "lrw-r--r-- 0/0          0 2009-02-13 23:31 link\n"},  // --mode applies to links too
        // Sparse files show their real name and size, whatever form tar
        // stored them in.
        {"a GNU sparse file", "truncate -s 2M f && printf HEAD | dd of=f conv=notrunc 2>/dev/null && " + gnuTar +
                                  "-S -cf x.tar f",
         "-rw-r--r-- 0/0    2097152 2009-02-13 23:31 f\n"},
        {"a pax sparse file, version 1.0", "truncate -s 2M f && printf HEAD | dd of=f conv=notrunc 2>/dev/null && "
                                           "tar --posix -S --sparse-version=1.0 --owner=0 --group=0 --mtime=@1234567890 "
                                           "-cf x.tar f",
         "-rw-r--r-- 0/0    2097152 2009-02-13 23:31 f\n"},
        {"ids and times beyond octal in pax records", "echo x > f && tar --posix --owner=3000000 --group=4000000 "
                                                      "--mtime=@-631152000 -cf x.tar f",
         "-rw-r--r-- 3000000/4000000          2 1950-01-01 00:00 f\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        test::shell("cd " + shellQuoted(dir.path()) + " && " + c.make);
        ASSERT_EQ(test::runKotar({"-c", dir / "x.tar", "-o", dir / "x.ktar"}).status, 0);
        expectListing(test::runKotar({"-t" + dir / "x.ktar"}, "", {kUtc}), c.listing, "", 0);
        const CommandResult extracted = test::runKotar({"-x", dir / "x.ktar", "-o", dir / "back.tar"});
        EXPECT_EQ(extracted.status, 0) << extracted.err;
        EXPECT_EQ(test::runCommand({"tar", "-tvf", dir / "back.tar"}).out, test::runCommand({"tar", "-tvf", dir / "x.tar"}).out);
    }
}

// A kept 'x' entry's records go to the line after it, as tar -tv applies
// them, where its data can be read: from a file. A stream shows the
// header's values (which kotar -c makes agree with the records).
TEST(ListArchive, KeptPaxRecordsApplyToTheNextLine) {
    using test::paxRecord;
    const std::string records = paxRecord("path", "real/name") + paxRecord("uid", "72057594037927936") +
                                paxRecord("gid", "5") + paxRecord("mtime", "-1.5") + paxRecord("size", "3") +
                                paxRecord("comment", "not listed");
    const std::string sparse = paxRecord("GNU.sparse.name", "sparse") + paxRecord("GNU.sparse.realsize", "9999");
    const auto pax = [](const std::string& data) {
        return IndexedEntry{indexedHeader({.name = "PaxHeaders/x", .size = data.size(), .typeflag = 'x'}), "", data};
    };
    const std::string archive = indexedArchive({
        pax(records),
        {indexedHeader({.name = "placeholder", .size = 4}), "", "abcd"},
        pax(sparse),
        {indexedHeader({.name = "GNUSparseFile.1/sparse", .size = 4}), "", "abcd"},
        {indexedHeader({.name = "after", .size = 4}), "", "abcd"},
        pax("damaged"),
        {indexedHeader({.name = "last", .size = 4}), "", "abcd"},
    });
    const std::string utc = " 2009-02-13 23:31 ";
    const std::string headers = "-rw-r--r-- 1000/1000          4" + utc + "placeholder\n"
                                "-rw-r--r-- 1000/1000          4" + utc + "GNUSparseFile.1/sparse\n";
    const std::string applied = "-rw-r--r-- 72057594037927936/5          3 1969-12-31 23:59 real/name\n"
                                "-rw-r--r-- 1000/1000       9999" + utc + "sparse\n";
    const std::string rest = "-rw-r--r-- 1000/1000          4" + utc + "after\n"
                             "-rw-r--r-- 1000/1000          4" + utc + "last\n";
    for (const Source source : kAllSources) {
        SCOPED_TRACE(sourceName(source));
        expectListing(listArchiveBytes(archive, source), (source == Source::path ? applied : headers) + rest, "", 0);
    }
}

// Every cut of a good archive before its zero block ends the listing with
// the read failure after the lines whose headers are complete; every cut
// after it lists the whole archive.
TEST(ListArchive, TruncatedAnywhere) {
    ArchiveBuilder a;
    const std::string utc = " 2009-02-13 23:31 ";
    a.member({.name = "one", .size = 1}, "-rw-r--r-- 1000/1000          1" + utc + "one\n");
    a.longName('L', nameText(599, 'L') + '\0');
    a.member({.name = "cut"}, "-rw-r--r-- 1000/1000          0" + utc + nameText(599, 'L') + "\n");
    a.longName('L', nameText(511, 'M') + '\0');
    a.member({.name = "cut"}, "-rw-r--r-- 1000/1000          0" + utc + nameText(511, 'M') + "\n");
    a.longName('L', "");
    a.member({.name = "cut"}, "-rw-r--r-- 1000/1000          0" + utc + "\n");
    a.longName('K', "target");
    a.longName('L', nameText(40, 'K'));
    a.member({.name = "cut", .typeflag = '2'}, "lrw-r--r-- 1000/1000          0" + utc + nameText(40, 'K') + "\n");
    a.member({.name = "two", .size = 2}, "-rw-r--r-- 1000/1000          2" + utc + "two\n");
    a.zeroBlock();
    const std::size_t tableEnd = a.bytes.size();
    a.bytes += std::string(1500, 'd');  // the data area

    std::vector<std::size_t> cuts;
    for (std::size_t block = 0; block * kBlockSize <= a.bytes.size(); ++block) {
        for (const std::size_t within : {0, 1, 100, 511}) {
            if (block * kBlockSize + within <= a.bytes.size()) cuts.push_back(block * kBlockSize + within);
        }
    }
    for (const std::size_t cut : cuts) {
        SCOPED_TRACE(testing::Message() << "cut at " << cut);
        const std::string bytes = a.bytes.substr(0, cut);
        for (const Source source : {Source::path, Source::gzipStdinFile}) {
            SCOPED_TRACE(sourceName(source));
            if (cut >= tableEnd) {
                expectListing(listArchiveBytes(bytes, source), a.listing, "", 0);
            } else {
                expectListing(listArchiveBytes(bytes, source), a.listingUpTo(cut), kReadFailure, 255);
            }
        }
    }
}

// Compressed input cut short inside the compressed stream.
TEST(ListArchive, TruncatedGzipStream) {
    ArchiveBuilder a;
    for (int i = 0; i < 2000; ++i) {
        const std::string name = "member-" + std::to_string(i * 7919 % 100003);
        a.member({.name = name, .size = static_cast<std::uint64_t>(i)}, "");
    }
    a.zeroBlock();
    TempDir dir;
    test::writeFile(dir / "a.ktar", a.bytes);
    const std::string compressed = test::readFile(gzipped(dir / "a.ktar"));
    test::writeFile(dir / "cut.kgz", compressed.substr(0, compressed.size() / 2));
    const CommandResult full = test::runKotar({"-t" + dir / "a.ktar.gz"}, "", {kUtc});
    ASSERT_EQ(full.status, 0);
    const CommandResult cut = test::runKotar({"-t"}, dir / "cut.kgz", {kUtc});
    EXPECT_EQ(cut.err, kReadFailure);
    EXPECT_EQ(cut.status, 255);
    EXPECT_LT(cut.out.size(), full.out.size());
    EXPECT_EQ(full.out.compare(0, cut.out.size(), cut.out), 0) << "the lines before are the archive's first ones";
    EXPECT_TRUE(cut.out.empty() || cut.out.back() == '\n');
}

TEST(ListArchive, InputThatCannotBeOpened) {
    TempDir dir;
    std::string good;
    test::appendBlock(good, indexedHeader({.name = "x"}));
    test::appendBlock(good, HeaderBlock{});
    test::writeFile(dir / "good.ktar", good);
    const std::string kotar = shellQuoted(test::kotarBinary());
    struct Case {
        const char* name;
        std::string commandLine;
        std::string err;
    };
    const Case cases[] = {
        {"missing file", kotar + " -t" + shellQuoted(dir / "missing.ktar"),
         "Unable to open input file: " + dir / "missing.ktar" + "\n"},
        {"a folder", kotar + " -t" + shellQuoted(dir.path()), kReadFailure},
        {"closed standard input", kotar + " -t <&-", "Unable to open input file: stdin\n"},
        {"closed standard input, -o ignored", kotar + " -t -o " + shellQuoted(dir / "out.ktar") + " <&-",
         "Unable to open input file: stdin\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CommandResult result = runShellCapture(dir, c.commandLine);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, 255);
    }
    EXPECT_FALSE(test::fileExists(dir / "out.ktar"));
}

// Standard input that is a terminal holds no archive: the listing does not
// wait for typing.
TEST(ListArchive, TerminalStandardInput) {
    if (test::shell("command -v script > /dev/null", false) != 0) GTEST_SKIP() << "no script(1)";
    TempDir dir;
    const int status = test::shell("timeout 20 script -qec " +
                                       shellQuoted(shellQuoted(test::kotarBinary()) + " -t > " + shellQuoted(dir / "out") +
                                              " 2> " + shellQuoted(dir / "err")) +
                                       " /dev/null < /dev/null > /dev/null 2>&1",
                                   false);
    if (!test::fileExists(dir / "err")) GTEST_SKIP() << "no terminal could be made (status " << status << ")";
    EXPECT_EQ(test::readFile(dir / "out"), "");
    EXPECT_EQ(test::readFile(dir / "err"), "Unable to open input file: stdin\n");
    EXPECT_EQ(status, 255);
}

}  // namespace
}  // namespace kotar
