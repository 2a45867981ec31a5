// The one owner of a file descriptor in the POSIX backend: move-only, closed
// exactly once, by whoever holds it last. Only the descriptors the walk opens
// a window at a time are not held here: the ring that opened them closes
// them together (BatchRing.h). Errors in this layer are 0 or a
// positive errno value, never -1 or -errno.
#ifndef TOLVANE_POSIXACL_DESCRIPTOR_H
#define TOLVANE_POSIXACL_DESCRIPTOR_H

#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace posixacl {

// How a regular file or a folder is opened for reading, which costs no path
// per attribute call later: never through a link, never blocking (a file
// with a lease), never becoming a controlling terminal, leaving no access
// time.
constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_NOATIME | O_CLOEXEC;

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int descriptor) : fd(descriptor) {}
    Descriptor(Descriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.fd, -1));
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }
    void reset(int descriptor = -1)
    {
        if (fd >= 0)
            ::close(fd);
        fd = descriptor;
    }

private:
    int fd = -1;
};

} // namespace posixacl

#endif
