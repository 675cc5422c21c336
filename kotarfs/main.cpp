// kotarfs: mounts an indexed archive read-only through FUSE.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <linux/fuse.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "kotar/reader.h"
#include "kotarfs/inode_tree.h"
#include "kotarfs/isal_on_demand.h"
#include "kotarfs/mount_options.h"
#include "kotarfs/operations.h"

namespace {

void warn(const std::string& message) { std::fprintf(stderr, "kotarfs: %s\n", message.c_str()); }

// Leaves the mounting command behind: the command exits as soon as the
// daemon is forked, and the daemon takes a session of its own and "/" as
// its directory. (libfuse's fuse_daemonize also has the command wait until
// the daemon has done so: a round trip between processors that measured
// 0.2 ms of the 5 ms that mounting the /usr/bin archive and a first stat
// take.) False when the fork fails.
bool goToBackground() {
    const pid_t daemon = ::fork();
    if (daemon < 0) return false;
    if (daemon > 0) ::_exit(0);
    ::setsid();
    (void)!::chdir("/");
    return true;
}

// Points the daemon's standard streams at /dev/null, once it has nothing
// more to say to the command's.
void leaveStandardStreams() {
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0) return;
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) ::dup2(null, stream);
    if (null > STDERR_FILENO) ::close(null);
}

// Opens /dev/null on every standard stream that is closed, as libfuse does
// before it mounts. Left closed, the archive's descriptor would take the
// stream's number, and the daemon would point it at /dev/null with the
// streams it lets go: a ktar's files then read as empty, a kgz's reads
// failed.
void openStandardStreams() {
    for (;;) {
        const int null = ::open("/dev/null", O_RDWR);
        if (null < 0) return;
        if (null > STDERR_FILENO) {
            ::close(null);
            return;
        }
    }
}

// The first read of a file's data, answered on a thread of its own while
// this one runs the loop, so that it holds up no other request (a kgz's
// first read may decompress for a while). The thread blocks every signal,
// as the loop's workers do, so that signals reach the loop and end it. It
// is joined when this goes, before the session and the tree.
class FirstRead {
public:
    explicit FirstRead(fuse_session* session) : session_(session) {}
    FirstRead(const FirstRead&) = delete;
    FirstRead& operator=(const FirstRead&) = delete;
    ~FirstRead() {
        if (started_) pthread_join(thread_, nullptr);
        std::free(request_.mem);
    }

    // Takes `request` over and answers it: on a thread of its own when
    // `apart` and one can be had, else here.
    void answer(const fuse_buf& request, bool apart) {
        request_ = request;
        if (apart) {
            sigset_t all;
            sigset_t previous;
            sigfillset(&all);
            pthread_sigmask(SIG_SETMASK, &all, &previous);
            started_ = pthread_create(&thread_, nullptr, &FirstRead::main, this) == 0;
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        }
        if (!started_) main(this);
    }

private:
    static void* main(void* self) {
        auto& read = *static_cast<FirstRead*>(self);
        fuse_session_process_buf(read.session_, &read.request_);
        return nullptr;
    }

    fuse_session* session_;
    fuse_buf request_{};
    pthread_t thread_{};
    bool started_ = false;
};

// Answers requests on this thread until the first read of a file's data,
// which it hands to `firstRead`, or the session's end (the loop then
// returns at once). Everything else is answered from the tree in memory. A
// mount that is only looked through (a stat, an ls) then starts no thread:
// the multi-threaded loop starts a second worker as soon as its first takes
// a request, and threads started while the mount was new slowed the program
// run next (mounting the /usr/bin archive, one stat and an unmount took
// 0.2 ms longer, 3 %).
void answerUntilFirstRead(fuse_session* session, FirstRead& firstRead, bool apart) {
    fuse_buf buffer{};
    while (!fuse_session_exited(session)) {
        const int got = fuse_session_receive_buf(session, &buffer);
        if (got == -EINTR) continue;
        if (got <= 0) break;
        // The request's header leads the buffer, unless libfuse handed a
        // pipe over (answered here, then the loop takes over).
        const bool inPipe = (buffer.flags & FUSE_BUF_IS_FD) != 0;
        if (inPipe || static_cast<std::size_t>(got) < sizeof(fuse_in_header) ||
            reinterpret_cast<const fuse_in_header*>(buffer.mem)->opcode == FUSE_READ) {
            firstRead.answer(buffer, apart && !inPipe);
            return;
        }
        fuse_session_process_buf(session, &buffer);
    }
    std::free(buffer.mem);
}

// Owns the FUSE arguments, the archive and the session, released in order.
struct Mount {
    fuse_args args;
    kotar_archive* archive = nullptr;
    fuse_session* session = nullptr;
    bool mounted = false;
    bool handlers = false;

    ~Mount() {
        if (mounted) fuse_session_unmount(session);
        if (handlers) fuse_remove_signal_handlers(session);
        if (session != nullptr) fuse_session_destroy(session);
        kotar_close(archive);
        fuse_opt_free_args(&args);
    }
};

int run(int argc, char** argv) {
    openStandardStreams();
    Mount mount{FUSE_ARGS_INIT(argc, argv)};
    kotarfs::MountOptions options;
    if (!kotarfs::parseMountOptions(mount.args, options)) return 1;
    if (options.help) {
        kotarfs::printUsage(stdout, argv[0]);
        std::printf("FUSE options:\n");
        std::fflush(stdout);
        fuse_cmdline_help();
        fuse_lowlevel_help();
        return 0;
    }
    if (options.version) {
        std::printf("kotarfs %s\n", KOTAR_VERSION);
        std::fflush(stdout);
        fuse_lowlevel_version();
        return 0;
    }

    fuse_cmdline_opts cmdline{};
    if (fuse_parse_cmdline(&mount.args, &cmdline) != 0) return 1;
    const std::string mountPoint = cmdline.mountpoint != nullptr ? cmdline.mountpoint : "";
    free(cmdline.mountpoint);
    if (mountPoint.empty()) {
        std::fprintf(stderr, "kotarfs: no mount point given\n");
        kotarfs::printUsage(stderr, argv[0]);
        return 1;
    }

    // FUSE mounts on a file too, with a root whose type the tree's root
    // (a directory) then contradicts: every call on it failed with EIO.
    struct stat pointInfo {};
    if (::stat(mountPoint.c_str(), &pointInfo) == 0 && !S_ISDIR(pointInfo.st_mode)) {
        std::fprintf(stderr, "kotarfs: %s: the mount point is not a directory\n", mountPoint.c_str());
        return 1;
    }

    const int status = kotar_open(options.archive.c_str(), &mount.archive);
    if (status != KOTAR_OK) {
        // Without ISA-L a kgz reads as damaged: the line that told why is
        // all there is to say.
        if (!kotarfs::isalUnavailable()) {
            std::fprintf(stderr, "kotarfs: %s: %s\n", options.archive.c_str(), kotar_strerror(status));
        }
        return 1;
    }
    struct stat archiveInfo {};
    if (::stat(options.archive.c_str(), &archiveInfo) != 0) {
        std::fprintf(stderr, "kotarfs: %s: %s\n", options.archive.c_str(), kotar_strerror(KOTAR_EOPEN));
        return 1;
    }
    // Directories the archive does not hold are shown as the mounting user's.
    archiveInfo.st_uid = ::getuid();
    archiveInfo.st_gid = ::getgid();

    kotarfs::MountedArchive mounted;
    mounted.archive = mount.archive;
    mounted.archiveBytes = static_cast<std::uint64_t>(archiveInfo.st_size);
    mounted.maxRead = options.maxRead;
    kotarfs::TreeOptions treeOptions;
    treeOptions.uid = options.uid;
    treeOptions.gid = options.gid;
    mount.session = fuse_session_new(&mount.args, &kotarfs::archiveOperations(), sizeof(fuse_lowlevel_ops), &mounted);
    if (mount.session == nullptr) return 1;
    if (fuse_set_signal_handlers(mount.session) != 0) return 1;
    mount.handlers = true;
    if (fuse_session_mount(mount.session, mountPoint.c_str()) != 0) return 1;
    mount.mounted = true;
    if (!cmdline.foreground && !goToBackground()) {
        std::fprintf(stderr, "kotarfs: unable to go to the background: %s\n", std::strerror(errno));
        return 1;
    }
    // The daemon builds the tree, while the command has returned and the
    // program run next starts: mounting the /usr/bin archive, one stat and
    // an unmount took 2 to 15 % less time than with the tree built by the
    // command before it mounted (same rounds). Requests wait in the kernel
    // until it is built. Its warnings still reach the command's standard
    // error, which the daemon lets go only then. Without the memory for the
    // tree, the mount is undone.
    try {
        mounted.tree.build(*mount.archive, treeOptions, archiveInfo, warn);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "kotarfs: %s: %s\n", options.archive.c_str(), kotar_strerror(KOTAR_ENOMEM));
        return 1;
    }
    if (!cmdline.foreground) leaveStandardStreams();

    FirstRead firstRead(mount.session);
    answerUntilFirstRead(mount.session, firstRead, !cmdline.singlethread);
    int loop;
    // A session already ended (unmounted before any read) needs no worker:
    // the single loop returns at once, with the signal that ended it.
    if (cmdline.singlethread || fuse_session_exited(mount.session)) {
        loop = fuse_session_loop(mount.session);
    } else {
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_clone_fd(config, cmdline.clone_fd);
        // Values FUSE's parser leaves unset (UINT_MAX) keep the loop's defaults.
        if (cmdline.max_threads >= 1 && cmdline.max_threads <= 100000) {
            fuse_loop_cfg_set_max_threads(config, cmdline.max_threads);
        }
        if (cmdline.max_idle_threads != UINT_MAX) fuse_loop_cfg_set_idle_threads(config, cmdline.max_idle_threads);
        loop = fuse_session_loop_mt(mount.session, config);
        fuse_loop_cfg_destroy(config);
    }
    // The loop gives the number of the signal that ended it (SIGTERM,
    // SIGINT, ...), after which the mount is undone as by fusermount3 -u;
    // only a negative errno is a failure.
    return loop >= 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
