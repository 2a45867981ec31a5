// One io_uring for one thread of the walk: the reads a piece of a folder's
// regular files begins with (open, status, access ACL, record) and the
// closes it ends with, each stage submitted for the whole piece at once, so
// that a piece of a few hundred entries costs a handful of system calls
// instead of five per entry. xattr and statx requests run on the ring's
// kernel worker; it is bound to the CPU the thread is bound to, for a
// hand-off between CPUs costs more than the plain call it replaces.
//
// The reads change nothing and decide nothing: what they could not do is
// left undone (kNotRead, or no descriptor), and the entry's visit does it
// with plain calls as it would without the ring.
#ifndef TOLVANE_POSIXACL_BATCH_RING_H
#define TOLVANE_POSIXACL_BATCH_RING_H

#include "posixacl/PosixAcl.h"
#include "winsec/ObjectName.h"

#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace posixacl {

// An attribute read ahead: its value, or the errno of the read, or kNotRead.
struct AttributeRead {
    static constexpr int kNotRead = -1;
    Bytes value;
    int error = kNotRead;
};

} // namespace posixacl

namespace winsec {

// What the reads found of one entry, named `name` in the folder read: the
// handle its ObjectName carries to the backend.
struct EntryHandle {
    std::string name;
    int descriptor = -1; // opened for reading (kReadFlags); -1: not opened
    bool statusRead = false;
    struct stat status {};
    posixacl::AttributeRead accessAcl;
    posixacl::AttributeRead record;
};

} // namespace winsec

namespace posixacl {

using EntryRead = winsec::EntryHandle;

class BatchRing {
public:
    // A ring for the calling thread, bound with its kernel workers to `cpu`
    // (-1: left unbound); null with the reason in `*problem` where the
    // kernel, or a system-call filter, refuses it or any operation needed.
    static std::unique_ptr<BatchRing> open(int cpu, std::string* problem);
    ~BatchRing();
    BatchRing(const BatchRing&) = delete;
    BatchRing& operator=(const BatchRing&) = delete;

    // Opens every entry relative to `folder`, then reads the status and the
    // two attributes of each one opened.
    void read(int folder, std::vector<EntryRead>* entries);
    // Closes every descriptor the last read opened, and forgets them.
    void closeAll(std::vector<EntryRead>* entries);

    struct Ring;

private:
    explicit BatchRing(std::unique_ptr<Ring> ring);
    std::unique_ptr<Ring> ring;
};

} // namespace posixacl

#endif
