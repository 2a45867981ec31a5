// Run as root, the guard is an exclusive flock on /run/tolvane-<name>.lock
// (the part of the name after its last backslash: the GUID, for a real run).
// Only root can create a file in /run, so no other user can hold the guard
// and keep runs from starting. The kernel releases the lock when the
// descriptor closes, however the process ends; the empty file stays, and a
// file left behind holds nothing.
//
// Run by any other user, or when /run is not a folder only root can write,
// the guard is a Unix domain socket bound to the name in the abstract
// namespace (Linux). The name belongs to the socket: the kernel drops it when
// the descriptor closes, so there is no stale guard either. The abstract
// namespace is per network namespace (containers, unshare -n do not see each
// other), and any local user can bind the name first and keep such runs from
// starting. A run as root and a run as another user do not see each other.
#include "app/InstanceGuard.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char kRootOnlyFolder[] = "/run";

// What one way of taking the guard found: the descriptor that holds it, or
// -1 and whether another holder was there first.
struct Taken {
    int fd;
    bool existed;
};

// The abstract address: a NUL, then the name's bytes, counted by length
// rather than terminated. False if the name is empty or does not fit; both
// ways of taking the guard accept the same names.
bool abstractAddress(const std::string& name, sockaddr_un* address, socklen_t* length)
{
    if (name.empty() || name.size() > sizeof(address->sun_path) - 1)
        return false;
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path + 1, name.data(), name.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

Taken bindAbstractSocket(const sockaddr_un& address, socklen_t length)
{
    // Close-on-exec: a child the run starts must not keep the name alive.
    const int socketFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0)
        return {-1, false};
    if (bind(socketFd, reinterpret_cast<const sockaddr*>(&address), length) == 0)
        return {socketFd, false};
    const int bindError = errno;
    close(socketFd);
    return {-1, bindError == EADDRINUSE};
}

// The lock file's name in /run; empty when the name cannot make one.
std::string lockFileName(const std::string& name)
{
    const std::string tail = name.substr(name.rfind('\\') + 1);
    if (tail.empty() || tail.find('/') != std::string::npos)
        return {};
    return "tolvane-" + tail + ".lock";
}

// A descriptor of /run when it is a folder that only root can write, else -1.
int openRootOnlyFolder()
{
    const int folder = open(kRootOnlyFolder, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status;
    if (folder >= 0 && fstat(folder, &status) == 0 && status.st_uid == 0 &&
        (status.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return folder;
    if (folder >= 0)
        close(folder);
    return -1;
}

Taken lockFileIn(int folder, const std::string& fileName)
{
    if (fileName.empty())
        return {-1, false};
    const int fd = openat(folder, fileName.c_str(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) == 0)
        return {fd, false};
    const int lockError = errno;
    close(fd);
    return {-1, lockError == EWOULDBLOCK};
}

Taken take(const std::string& name)
{
    sockaddr_un address;
    socklen_t length = 0;
    if (!abstractAddress(name, &address, &length))
        return {-1, false};
    const int folder = geteuid() == 0 ? openRootOnlyFolder() : -1;
    if (folder < 0)
        return bindAbstractSocket(address, length);
    const Taken taken = lockFileIn(folder, lockFileName(name));
    close(folder);
    return taken;
}

} // namespace

InstanceGuard InstanceGuard::acquire(const std::string& name)
{
    const Taken taken = take(name);
    if (taken.fd < 0)
        return InstanceGuard(std::nullopt, taken.existed);
    return InstanceGuard(taken.fd, false);
}

void InstanceGuard::closeHandle(std::intptr_t openHandle) noexcept
{
    close(static_cast<int>(openHandle));
}
