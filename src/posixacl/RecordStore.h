// Records of what -lock took from inodes that cannot keep them in their own
// trusted.tolvane attribute (no room left, no trusted namespace on the file
// system, or a run without CAP_SYS_ADMIN), kept in an SQLite database that
// only the run's user can write: $STATE_DIRECTORY (systemd's
// StateDirectory=), else /var/lib/tolvane for root, else
// $XDG_STATE_HOME/tolvane. An inode is named by its file system's id and the
// handle name_to_handle_at gives for it, which carries the inode's generation:
// it outlives reboots and never names another file, however the inode
// number is reused. The database is created by the first record stored; a
// run that finds none reads nothing. Safe to call from any thread.
// Results are 0 or an errno value (ENODATA: no record for this inode).
#ifndef TOLVANE_POSIXACL_RECORD_STORE_H
#define TOLVANE_POSIXACL_RECORD_STORE_H

#include "posixacl/PosixAcl.h"

namespace posixacl::recordstore {

// `inode` is any open descriptor of the inode, O_PATH ones included.
int read(int inode, Bytes* record);
int store(int inode, const Bytes& record);
int remove(int inode);

} // namespace posixacl::recordstore

#endif
