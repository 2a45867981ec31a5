// The guard is a Unix domain socket bound to the name in the abstract
// namespace (Linux). The name belongs to the socket, not to a file: the
// kernel drops it when the descriptor closes, however the process ends, so a
// crash or SIGKILL leaves no stale guard and there is nothing to clean up.
//
// The abstract namespace is per network namespace: runs in different network
// namespaces (containers, unshare -n) do not see each other. Any local user
// can bind the name too, and so keep runs from starting; that holds for the
// machine-wide Windows mutex as well and costs availability only.
#include "InstanceGuard.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The abstract address: a NUL, then the name's bytes, counted by length
// rather than terminated. False if the name is empty or does not fit.
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

} // namespace

InstanceGuard InstanceGuard::acquire(const std::string& name)
{
    sockaddr_un address;
    socklen_t length = 0;
    if (!abstractAddress(name, &address, &length))
        return InstanceGuard(std::nullopt, false);
    // Close-on-exec: a child the run starts must not keep the name alive.
    const int socketFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0)
        return InstanceGuard(std::nullopt, false);
    if (bind(socketFd, reinterpret_cast<const sockaddr*>(&address), length) == 0)
        return InstanceGuard(socketFd, false);
    const int bindError = errno;
    close(socketFd);
    return InstanceGuard(std::nullopt, bindError == EADDRINUSE);
}

void InstanceGuard::closeHandle(std::intptr_t openHandle) noexcept
{
    close(static_cast<int>(openHandle));
}
