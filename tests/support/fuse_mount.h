// A kotarfs mount for a test: kotarfs runs in the foreground as a child
// process, its messages kept in a log, and the mount goes when the holder
// goes (fusermount3 -u, else a lazy -uz), so that no test leaves one behind.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kotar::test {

// Why kotarfs cannot be mounted here ("" when it can): no /dev/fuse, or no
// fusermount3.
std::string fuseMissing();

const char* kotarfsBinary();

class FuseMount {
public:
    // Runs `kotarfs ARCHIVE MOUNTPOINT -f OPTIONS...` and waits until the
    // mount is in place or kotarfs has ended.
    FuseMount(const std::string& archive, const std::string& mountPoint, const std::vector<std::string>& options = {});
    ~FuseMount();
    FuseMount(const FuseMount&) = delete;
    FuseMount& operator=(const FuseMount&) = delete;

    bool mounted() const { return mounted_; }
    // kotarfs's exit status once it has ended (-1 before), and its messages.
    int status() const { return status_; }
    std::string log() const;
    // Unmounts and waits for kotarfs to end; true when it ended with 0.
    bool unmount();
    // Sends kotarfs `signal` and waits for it to end; true when it ended
    // with 0 and left nothing mounted.
    bool stop(int signal);

private:
    void waitForEnd();
    std::string mountPoint_;
    std::string logPath_;
    pid_t child_ = -1;
    bool mounted_ = false;
    int status_ = -1;
};

// Whether `path` is a mount point (in /proc/self/mountinfo).
bool isMountPoint(const std::string& path);

}  // namespace kotar::test
