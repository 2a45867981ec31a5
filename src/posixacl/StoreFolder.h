// The record store's folder, reached one name at a time from "/" by openat
// of a descriptor, each folder looked at through the descriptor it was
// opened as, so that the folder checked is the folder used however its path
// changes since. Every folder on the way belongs to root or the run's user
// and is writable by nobody else, except a sticky folder (as /tmp), where
// only an entry's owner may rename it: whatever is below it is checked in
// turn. The store's own folder belongs to the run's user. Symbolic links of
// root or the run's user are followed, refusal::kMaxFollowedLinks at most;
// anybody else's are refused. A relative path starts at the current
// directory's real path.
#ifndef TOLVANE_POSIXACL_STORE_FOLDER_H
#define TOLVANE_POSIXACL_STORE_FOLDER_H

#include "posixacl/Descriptor.h"

#include <string>

namespace posixacl {

// 0 with the folder held by an O_PATH descriptor in `folder`. ENOENT where it
// or a folder on the way is missing and not `create`d (as folders of the
// run's user alone); EACCES where a folder on the way breaks the rule; else
// an errno value. `why` says what went wrong, naming the path.
int openStoreFolder(const std::string& path, bool create, Descriptor* folder, std::string* why);

} // namespace posixacl

#endif
