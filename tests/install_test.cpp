// Installation and packaging: `cmake --install` into a scratch prefix gives
// a working kotar and its manual page, and cpack builds a Debian package
// with the same files. The package is only inspected, never installed.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"

namespace kotar::test {
namespace {

namespace fs = std::filesystem;

// The kotar binary sits at the top of its build folder.
std::string buildDir() { return fs::path(kotarBinary()).parent_path(); }

bool haveCommand(const std::string& name) { return runCommand({"sh", "-c", "command -v " + name}).status == 0; }

const char kUsage[] =
    "Usage: kotar {[-x ktar/kgz-file] [-c tar/tgz-file] [-v] -o destination} | -t < ktar/kgz-file\n";

class InstallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        prefix_ = new TempDir;
        install_ = new CommandResult(runCommand({"cmake", "--install", buildDir(), "--prefix", prefix_->path()}));
    }
    static void TearDownTestSuite() {
        delete prefix_;
        delete install_;
    }
    void SetUp() override {
        ASSERT_EQ(install_->status, 0) << install_->out << install_->err;
    }
    static std::string installed(const std::string& relative) { return *prefix_ / relative; }
    static std::string kotar() { return installed("bin/kotar"); }

    static TempDir* prefix_;
    static CommandResult* install_;
};

TempDir* InstallTest::prefix_ = nullptr;
CommandResult* InstallTest::install_ = nullptr;

TEST_F(InstallTest, PutsProgramManualPageAndFormatDocumentInPlace) {
    struct stat info {};
    ASSERT_EQ(stat(kotar().c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IXUSR);
    // The manual page goes in as gzip -9n makes it: the same bytes on every build.
    EXPECT_FALSE(fs::exists(installed("share/man/man1/kotar.1")));
    const CommandResult page = runCommand({"gzip", "-9n", "-c", KOTAR_SOURCE_DIR "/docs/kotar.1"});
    EXPECT_TRUE(readFile(installed("share/man/man1/kotar.1.gz")) == page.out);
    // kotarfs comes with its own page.
    ASSERT_EQ(stat(installed("bin/kotarfs").c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IXUSR);
    const CommandResult mountPage = runCommand({"gzip", "-9n", "-c", KOTAR_SOURCE_DIR "/docs/kotarfs.1"});
    EXPECT_TRUE(readFile(installed("share/man/man1/kotarfs.1.gz")) == mountPage.out);
    EXPECT_EQ(runCommand({installed("bin/kotarfs"), "--version"}).out.rfind("kotarfs ", 0), 0u);
    EXPECT_NE(readFile(installed("share/doc/kotar/format.md")).find("kerix"), std::string::npos);
    EXPECT_NE(readFile(installed("share/doc/kotar/copyright")).find("Copyright (c) 2026 kotar developers"),
              std::string::npos);
    // The completion offers the long options to bash, and after a mode
    // option the files it reads (with extglob on, as bash-completion sets).
    TempDir files;
    for (const char* name : {"a.tar", "a.tar.zst", "a.txz", "a.tar.lz", "a.ktar", "a.kgz", "a.txt"}) {
        writeFile(files / name, "");
    }
    const std::pair<std::vector<std::string>, std::string> completions[] = {
        {{"--v"}, "--verify --version"},
        {{"-c", "a"}, "a.tar a.tar.zst a.txz"},
        {{"-t", "a"}, "a.kgz a.ktar"},
        {{"--verify", "a"}, "a.ktar"},
    };
    for (const auto& [words, offered] : completions) {
        SCOPED_TRACE(testing::PrintToString(words));
        std::vector<std::string> argv = {
            "bash", "-c",
            "cd \"$1\" && shopt -s extglob && source \"$2\" && shift 2 && COMP_WORDS=(kotar \"$@\")"
            " COMP_CWORD=$# && { _kotar; printf '%s\\n' \"${COMPREPLY[@]}\" | sort | paste -sd ' '; }",
            "bash", files.path(), installed("share/bash-completion/completions/kotar")};
        argv.insert(argv.end(), words.begin(), words.end());
        const CommandResult completion = runCommand(argv);
        EXPECT_EQ(completion.out, offered + "\n") << completion.err;
    }
}

TEST_F(InstallTest, InstalledProgramPrintsUsageWithoutArguments) {
    const CommandResult result = runCommand({kotar()});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, kUsage);
    EXPECT_EQ(result.out, "");
}

TEST_F(InstallTest, InstalledProgramConvertsListsAndExtracts) {
    TempDir work;
    writeFile(work / "note.txt", "installed kotar\n");
    shell("cd '" + work.path() + "' && chmod 644 note.txt && tar --format=gnu --owner=0 --group=0 --numeric-owner -czf in.tgz note.txt");

    const CommandResult create = runCommand({kotar(), "-c", work / "in.tgz", "-o", work / "out.ktar"});
    ASSERT_EQ(create.status, 0) << create.err;

    const CommandResult listing = runCommand({kotar(), "-t" + (work / "out.ktar")});
    ASSERT_EQ(listing.status, 0) << listing.err;
    EXPECT_TRUE(std::regex_match(listing.out, std::regex("-rw-r--r-- 0/0         16 [0-9-]{10} [0-9:]{5} note\\.txt\n")))
        << listing.out;

    // The same listing from a gzip-compressed copy on standard input.
    shell("gzip -c " + test::shellQuoted(work / "out.ktar") + " > " + test::shellQuoted(work / "out.kgz"));
    const CommandResult fromStdin = runCommand({kotar(), "-t"}, work / "out.kgz");
    EXPECT_EQ(fromStdin.status, 0) << fromStdin.err;
    EXPECT_EQ(fromStdin.out, listing.out);

    const CommandResult extract = runCommand({kotar(), "-x", work / "out.ktar", "-o", work / "back.tar"});
    ASSERT_EQ(extract.status, 0) << extract.err;
    const CommandResult content = runCommand({"tar", "-xOf", work / "back.tar", "note.txt"});
    EXPECT_EQ(content.out, "installed kotar\n");
}

// The example, built against the installed library with its CMake package
// (shared and static) and with pkg-config, maps the text of an executable from an archive.
TEST_F(InstallTest, ExampleBuildsAgainstTheInstalledLibraryBothWays) {
    TempDir work;
    shell("cd " + shellQuoted(work.path()) + " && cp /usr/bin/true true && chmod 755 true" +
          " && tar --format=gnu -cf in.tar true");
    ASSERT_EQ(runCommand({kotar(), "-c", work / "in.tar", "-o", work / "in.ktar"}).status, 0);
    const std::string libdir = installed(KOTAR_INSTALL_LIBDIR);

    // A library built with the sanitizers needs their runtime first in the
    // program that loads it: the example is built with them too.
#if defined(__SANITIZE_ADDRESS__)
    const std::string sanitize = "-fsanitize=address,undefined";
#else
    const std::string sanitize;
#endif
    const CommandResult configure = runCommand({"cmake", "-S", KOTAR_SOURCE_DIR "/examples", "-B", work / "cmake",
                                                "-DCMAKE_PREFIX_PATH=" + prefix_->path(), "-DCMAKE_C_FLAGS=" + sanitize});
    ASSERT_EQ(configure.status, 0) << configure.out << configure.err;
    const CommandResult build = runCommand({"cmake", "--build", work / "cmake"});
    ASSERT_EQ(build.status, 0) << build.out << build.err;
    shell("cc -std=c99 " + sanitize + " -o " + shellQuoted(work / "map_text") + " " KOTAR_SOURCE_DIR "/examples/map_text.c" +
          " $(PKG_CONFIG_PATH=" + shellQuoted(libdir + "/pkgconfig") + " pkg-config --cflags --libs kotar)");

    const CommandResult viaCmake = runCommand({work / "cmake/map_text", work / "in.ktar", "true"});
    EXPECT_EQ(viaCmake.status, 0) << viaCmake.err;
    EXPECT_TRUE(std::regex_match(viaCmake.out, std::regex("7 0755 [0-9]+ [0-9]+ [0-9]+ [1-9][0-9]* [0-9]+ true\n"
                                                         "text [1-9][0-9]* fnv1a [0-9a-f]{16}\n")))
        << viaCmake.out;
    // The static library from the CMake package links into the C example
    // as it is, the C++ runtime it needs included.
    const CommandResult viaCmakeStatic = runCommand({work / "cmake/map_text_static", work / "in.ktar", "true"});
    EXPECT_EQ(viaCmakeStatic.out, viaCmake.out) << viaCmakeStatic.err;
    const CommandResult viaPkgConfig =
        runCommand({work / "map_text", work / "in.ktar", "true"}, "", {"LD_LIBRARY_PATH=" + libdir});
    EXPECT_EQ(viaPkgConfig.status, 0) << viaPkgConfig.err;
    EXPECT_EQ(viaPkgConfig.out, viaCmake.out);
    // Linked statically, pkg-config --static names the decompressors the
    // library needs; the example opens a kgz with them (whose text has no
    // file to be mapped from).
    shell("cc -std=c99 " + sanitize + " -o " + shellQuoted(work / "map_text_static") + " " KOTAR_SOURCE_DIR "/examples/map_text.c" +
          " $(PKG_CONFIG_PATH=" + shellQuoted(libdir + "/pkgconfig") + " pkg-config --cflags kotar) " + shellQuoted(libdir + "/libkotar.a") +
          " $(PKG_CONFIG_PATH=" + shellQuoted(libdir + "/pkgconfig") + " pkg-config --static --libs-only-l kotar | sed 's/-lkotar//')");
    shell("gzip -c " + shellQuoted(work / "in.ktar") + " > " + shellQuoted(work / "in.kgz"));
    const CommandResult fromKgz = runCommand({work / "map_text_static", work / "in.kgz", "true"});
    EXPECT_EQ(fromKgz.err, "map_text: true: the archive is compressed\n");
    EXPECT_EQ(fromKgz.out.substr(0, 7), viaCmake.out.substr(0, 7));

    // The shared library exports its C interface and nothing else.
    const CommandResult symbols = runCommand({"nm", "-D", "--defined-only", libdir + "/libkotar.so"});
    EXPECT_TRUE(std::regex_match(symbols.out, std::regex("([0-9a-f]+ T kotar_[a-z_]+\n)+"))) << symbols.out;
}

TEST_F(InstallTest, ManFindsTheInstalledPage) {
    if (!haveCommand("man")) GTEST_SKIP() << "man is not installed";
    const CommandResult page =
        runCommand({"man", "-M", installed("share/man"), "kotar"}, "", {"MANWIDTH=80", "LC_ALL=C", "MANPAGER=cat"});
    EXPECT_EQ(page.status, 0) << page.err;
    EXPECT_NE(page.out.find("DIAGNOSTICS"), std::string::npos);
}

TEST(InstallPackageTest, DebianPackageHoldsProgramAndManualPage) {
    if (!haveCommand("cpack") || !haveCommand("dpkg-deb")) GTEST_SKIP() << "cpack or dpkg-deb is missing";
    TempDir out;
    const CommandResult pack =
        runCommand({"cpack", "-G", "DEB", "--config", buildDir() + "/CPackConfig.cmake", "-B", out.path()});
    ASSERT_EQ(pack.status, 0) << pack.out << pack.err;

    std::vector<std::string> packages;
    for (const auto& entry : fs::directory_iterator(out.path())) {
        if (entry.path().extension() == ".deb") packages.push_back(entry.path());
    }
    ASSERT_EQ(packages.size(), 1u) << pack.out;
    const std::string deb = packages[0];

    const CommandResult contents = runCommand({"dpkg-deb", "-c", deb});
    ASSERT_EQ(contents.status, 0) << contents.err;
    EXPECT_TRUE(std::regex_search(contents.out, std::regex("-rwxr-xr-x [^\n]* \\./usr/bin/kotar\n")))
        << contents.out;
    EXPECT_TRUE(std::regex_search(contents.out, std::regex("-rwxr-xr-x [^\n]* \\./usr/bin/kotarfs\n")))
        << contents.out;
    for (const char* file : {"man/man1/kotar\\.1\\.gz", "man/man1/kotarfs\\.1\\.gz", "doc/kotar/copyright",
                             "bash-completion/completions/kotar"}) {
        EXPECT_TRUE(std::regex_search(contents.out, std::regex(" \\./usr/share/" + std::string(file) + "\n")))
            << file << "\n" << contents.out;
    }
    for (const char* library : {"/libkotar\\.so\\.[0-9.]+", "/libkotar\\.a", "/pkgconfig/kotar\\.pc",
                                "/cmake/kotar/kotarConfig\\.cmake", "/cmake/kotar/kotarTargets\\.cmake"}) {
        EXPECT_TRUE(std::regex_search(contents.out, std::regex(" \\./usr/lib[^ ]*" + std::string(library) + "\n")))
            << library << "\n" << contents.out;
    }
    EXPECT_TRUE(std::regex_search(contents.out, std::regex(" \\./usr/include/kotar/reader\\.h\n"))) << contents.out;

    const auto control = [&](const std::string& name) {
        std::string value = runCommand({"dpkg-deb", "-f", deb, name}).out;
        while (!value.empty() && value.back() == '\n') value.pop_back();
        return value;
    };
    EXPECT_EQ(control("Package"), "kotar");
    // Versions as dpkg-shlibdeps derives them (kotarfs holds its own fuse3).
    for (const char* library : {"libisal2", "libzstd1", "liblzma5", "liblz4-1", "libc6", "libstdc\\+\\+6"}) {
        EXPECT_TRUE(std::regex_search(control("Depends"), std::regex("(^|, )" + std::string(library) + " \\(>= [0-9]")))
            << library << ": " << control("Depends");
    }
    // libbz2's own shlibs entry names no version.
    EXPECT_TRUE(std::regex_search(control("Depends"), std::regex("(^|, )libbz2-1\\.0(,|$| )"))) << control("Depends");
    EXPECT_FALSE(control("Maintainer").empty());
    EXPECT_EQ(control("Recommends"), "fuse3");
    // The package and the manual page carry the same version.
    const std::string version = control("Version");
    ASSERT_FALSE(version.empty());
    EXPECT_NE(deb.find("kotar_" + version + "_"), std::string::npos) << deb;
    const CommandResult page = runCommand(
        {"sh", "-c", "dpkg-deb --fsys-tarfile \"$1\" | tar -xOf - ./usr/share/man/man1/kotar.1.gz | gzip -dc", "sh", deb});
    EXPECT_NE(page.out.find("\"kotar " + version + "\""), std::string::npos);
}

}  // namespace
}  // namespace kotar::test
