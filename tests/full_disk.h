// A small disk that fills up, for the tests of what a full disk does: a
// tmpfs of a given size mounted on a folder in a mount namespace of the
// calling process's own (with a user namespace of its own when it is not
// root, where the system allows one), so that nothing outside it sees the
// mount. Meant for a child process the test forks: the namespace is the
// child's for the rest of its life.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace vxt::testing {

namespace full_disk_detail {

inline bool WriteFile(const char* path, const std::string& text)
{
    const int fd = ::open(path, O_WRONLY);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return written;
}

}  // namespace full_disk_detail

// Mounts a tmpfs of `bytes` on `folder` (which must exist). Returns false
// when the system lets this process have no mount of its own (a container
// without the right, user namespaces turned off): the test then skips.
inline bool MountSmallDisk(const std::string& folder, std::size_t bytes)
{
    if (::geteuid() == 0) {
        if (::unshare(CLONE_NEWNS) != 0)
            return false;
    } else {
        const std::string uid = std::to_string(::geteuid());
        const std::string gid = std::to_string(::getegid());
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 ||
            !full_disk_detail::WriteFile("/proc/self/setgroups", "deny") ||
            !full_disk_detail::WriteFile("/proc/self/uid_map", uid + " " + uid + " 1") ||
            !full_disk_detail::WriteFile("/proc/self/gid_map", gid + " " + gid + " 1"))
            return false;
    }
    // Nothing mounted here goes back to the namespace it came from.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    const std::string size = "size=" + std::to_string(bytes);
    return ::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) == 0;
}

}  // namespace vxt::testing
