// Owner, group and POSIX ACLs of one path, read and written through a handle
// on the inode the path names, never through the path again. Files of every
// kind are handled (FIFOs, sockets and devices without being opened for
// I/O), and a symbolic link in the path's last component is refused, not
// followed. Results are 0 or an errno value.
#ifndef TOLVANE_POSIX_FILE_SECURITY_H
#define TOLVANE_POSIX_FILE_SECURITY_H

#include "posixacl/PosixAcl.h"

#include <cstdint>
#include <string>

namespace posixacl {

struct FileSecurity {
    std::uint32_t owner;
    std::uint32_t group;
    PosixAcls acls; // defaults only for a directory that has a default ACL
};

// Without ACL support in the file system, or without an extended ACL, the
// access ACL is the one the permission bits stand for. `security` is
// written in place, reusing its memory; after a failure it holds nothing of
// use.
int readFileSecurity(const std::string& path, FileSecurity* security);

// Replaces the access ACL and, when `acls` has default entries, the default
// ACL (directories only); without default entries the default ACL stays as
// it is. Both ACLs must be valid. The path changes completely or not at all;
// owner, group and the setuid, setgid and sticky bits are kept. Without ACL
// support in the file system only a minimal access ACL can be written, as
// permission bits.
int writeFileAcls(const std::string& path, const PosixAcls& acls);

// The record of what -lock took (winsec/WriteRecord.h), kept in the inode's
// trusted.tolvane attribute, which only a process with CAP_SYS_ADMIN can
// read or write, or, where the inode cannot keep it, in the record store
// (posixacl/RecordStore.h). Reached through the inode that the last
// readFileSecurity of the same path opened (else opened here), never
// through the path. Reading gives ENODATA for no well-formed record;
// storing gives EOPNOTSUPP where neither the inode nor the store can keep
// it; removing removes what the last read found.
int readWriteRecord(const std::string& path, Bytes* record);
int storeWriteRecord(const std::string& path, const Bytes& record);
int removeWriteRecord(const std::string& path);

} // namespace posixacl

#endif
