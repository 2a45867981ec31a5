// How the POSIX backend holds a folder open: one descriptor, opened for
// reading when the folder can be listed, else by O_PATH. Entries are reached
// from it by one name each; none is opened while listing.
#ifndef TOLVANE_POSIXACL_FOLDER_HANDLE_H
#define TOLVANE_POSIXACL_FOLDER_HANDLE_H

#include "posixacl/Descriptor.h"
#include "winsec/ObjectName.h"

namespace winsec {

struct FolderHandle {
    posixacl::Descriptor descriptor;
};

} // namespace winsec

#endif
