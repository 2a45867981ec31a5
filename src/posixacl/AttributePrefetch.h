// Reads ahead, through io_uring, what the security read of a regular file
// needs: the file opened for reading, its status and the extended
// attributes every read takes (the access ACL), for a run of the files a
// listing has read ahead, in two submissions per run.
// Only reads are done ahead: nothing is logged or changed for a file before
// the walk reaches it. Whatever went wrong ahead of time (an open refused, a
// file gone, anything but a regular file found) is not handed out: the
// caller then reads that file itself, so errors are those of the reads done
// in turn. Only with TOLVANE_IO_URING=1 in the environment, and only where
// io_uring works (kernel 5.19 or later, not disabled, not refused by seccomp
// or a security module); otherwise nothing is fetched ahead and descriptors
// close at once.
#ifndef TOLVANE_POSIXACL_ATTRIBUTE_PREFETCH_H
#define TOLVANE_POSIXACL_ATTRIBUTE_PREFETCH_H

#include "posixacl/Descriptor.h"
#include "posixacl/PosixAcl.h"

#include <string>
#include <sys/stat.h>
#include <vector>

namespace posixacl {

struct FetchedAttribute {
    const char* name;
    int error;   // of reading it: 0, ENODATA, ...
    Bytes value; // when error is 0
};

struct FetchedFile {
    Descriptor descriptor; // opened for reading, a regular file
    struct stat status;    // mode, owner, group and link count
    std::vector<FetchedAttribute> attributes;
};

// Hands out the reads of `path` fetched ahead, fetching them first, with
// those of the regular files listed after it, when needed; false when there
// are none to hand out.
bool takeFetched(const std::string& path, FetchedFile* fetched);

// Closes `descriptor` with the next submission (at once without io_uring).
void closeLater(Descriptor descriptor);

} // namespace posixacl

#endif
