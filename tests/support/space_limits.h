#pragma once
// Two ways for a test to run out of room for a file, each undone when the object goes:
// - SmallFilesystem: a tmpfs of a few pages mounted on a directory, in a mount namespace of
//   the calling thread's own, so nothing outside the test sees it. It needs the right to
//   mount (root, or CAP_SYS_ADMIN); mounted() says whether it was granted.
// - FileSizeLimit: a limit on the size of the files this process writes, with SIGXFSZ
//   ignored while it holds, so that a write beyond it fails with EFBIG instead of ending
//   the test program.

#include <csignal>
#include <filesystem>
#include <string>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>

namespace lmtest {

class SmallFilesystem {
public:
    SmallFilesystem(const std::filesystem::path& mountPoint, std::size_t bytes) : mMountPoint(mountPoint) {
        std::filesystem::create_directories(mountPoint);
        // Private first, so that the mount below does not reach the namespace we came from.
        if (::unshare(CLONE_NEWNS) != 0) return;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
        const std::string options = "size=" + std::to_string(bytes);
        mMounted = ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallFilesystem() {
        if (mMounted) ::umount2(mMountPoint.c_str(), MNT_DETACH);
    }
    SmallFilesystem(const SmallFilesystem&) = delete;
    SmallFilesystem& operator=(const SmallFilesystem&) = delete;

    bool mounted() const { return mMounted; }

private:
    std::filesystem::path mMountPoint;
    bool mMounted = false;
};

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &mPrevious);
        mPreviousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = mPrevious;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { lift(); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    // Gives the room back before the object goes.
    void lift() {
        if (mLifted) return;
        ::setrlimit(RLIMIT_FSIZE, &mPrevious);
        std::signal(SIGXFSZ, mPreviousHandler);
        mLifted = true;
    }

private:
    rlimit mPrevious{};
    void (*mPreviousHandler)(int) = SIG_DFL;
    bool mLifted = false;
};

}  // namespace lmtest
