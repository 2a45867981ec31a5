// One io_uring for one thread of the walk: the opens a piece of a folder's
// regular files begins with and the closes it ends with, each submitted for
// a whole window of entries at once, so that a window costs two system
// calls instead of two per entry. The kernel does both at once, on the
// submitting thread. Status and attribute requests are not made here: the
// kernel hands those to a worker thread, which costs more than the plain
// call it would replace.
//
// The opens change nothing and decide nothing: an entry the ring did not
// open is opened by its visit, as it would be without the ring.
#ifndef TOLVANE_POSIXACL_BATCH_RING_H
#define TOLVANE_POSIXACL_BATCH_RING_H

#include "winsec/ObjectName.h"

#include <memory>
#include <string>
#include <vector>

namespace winsec {

// An entry as the ring opened it, named `name` in its folder (the listing's
// own text, which outlives the window): the handle its ObjectName carries to
// the backend.
struct EntryHandle {
    const char* name = nullptr;
    int descriptor = -1; // opened for reading (kReadFlags) by the ring; -1: not opened
};

} // namespace winsec

namespace posixacl {

using EntryOpening = winsec::EntryHandle;

class BatchRing {
public:
    // A ring for the calling thread; null with the reason in `*problem`
    // where the kernel, or a system-call filter, refuses it or an operation
    // it needs.
    static std::unique_ptr<BatchRing> open(std::string* problem);
    ~BatchRing();
    BatchRing(const BatchRing&) = delete;
    BatchRing& operator=(const BatchRing&) = delete;

    // Opens every entry relative to `folder`; the ring holds what it opened
    // until closeAll.
    void openAll(int folder, std::vector<EntryOpening>* entries);
    void closeAll(std::vector<EntryOpening>* entries);

    struct Ring;

private:
    explicit BatchRing(std::unique_ptr<Ring> ring);
    std::unique_ptr<Ring> ring;
};

} // namespace posixacl

#endif
