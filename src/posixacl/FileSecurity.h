// Owner, group and POSIX ACLs of one object, read and written through a
// handle on its inode: opened once per ObjectName, by one openat of its name
// in its open folder, and kept with the name for every later call. Files of every kind are handled (FIFOs,
// sockets and devices without being opened for I/O), and a symbolic link is
// refused (refusal::kLink), not followed. Results are 0 or an errno value.
#ifndef TOLVANE_POSIX_FILE_SECURITY_H
#define TOLVANE_POSIX_FILE_SECURITY_H

#include "posixacl/LinkedInodes.h"
#include "posixacl/PosixAcl.h"
#include "posixacl/RecordStore.h"
#include "winsec/ObjectName.h"
#include "winsec/SecurityApi.h"

#include <cstdint>
#include <string>
#include <utility>

namespace posixacl {

// What the calls on all objects of a run share: where records go that no
// inode can keep, and the turns of inodes reached by several links.
struct BackendState {
    explicit BackendState(std::string storeFolder) : records(std::move(storeFolder)) {}
    RecordStore records;
    LinkedInodes linkedInodes;
};

struct FileSecurity {
    std::uint32_t owner;
    std::uint32_t group;
    PosixAcls acls; // defaults only for a directory that has a default ACL
};

// Without ACL support in the file system, or without an extended ACL, the
// access ACL is the one the permission bits stand for. `security` is
// written in place, reusing its memory; after a failure it holds nothing of
// use.
int readFileSecurity(const winsec::ObjectName& object, BackendState& state,
                     FileSecurity* security);

// Replaces the access ACL and, when `acls` has default entries, the default
// ACL (directories only); without default entries the default ACL stays as
// it is. Both ACLs must be valid. The path changes completely or not at all;
// owner, group and the setuid, setgid and sticky bits are kept. Without ACL
// support in the file system only a minimal access ACL can be written, as
// permission bits.
int writeFileAcls(const winsec::ObjectName& object, BackendState& state, const PosixAcls& acls);

// The record of what -lock took (winsec/WriteRecord.h), kept in the inode's
// trusted.tolvane attribute, which only a process with CAP_SYS_ADMIN can
// read or write, or, where the inode cannot keep it, in the record store of
// `state`. Reached through the inode of the object.
// Reading gives ENODATA for no well-formed record, and EOPNOTSUPP where the
// inode has none and the store cannot be read (it may hold one); storing
// gives EOPNOTSUPP where neither the inode nor the store can keep it;
// removing removes what the last read found.
int readWriteRecord(const winsec::ObjectName& object, BackendState& state, Bytes* record);
int storeWriteRecord(const winsec::ObjectName& object, BackendState& state, const Bytes& record);
// Stores `record` only where neither the inode nor the store holds one:
// true when it did (winsec::SecurityApi::createWriteRecord).
bool createWriteRecord(const winsec::ObjectName& object, BackendState& state, const Bytes& record);
int removeWriteRecord(const winsec::ObjectName& object, BackendState& state);

// Unlock of an object without a record in `folder`: gives it what the
// folder's restored default ACL gives a new entry, where it was born after
// the folder was locked (no birth time, no change) and holds exactly what
// the locked default ACL gave it for some creation mode (a folder, the
// locked default ACL too). 0 when it did, ENODATA when the object is no
// such entry, else an errno value.
int inheritAfterUnlock(const winsec::ObjectName& object, BackendState& state,
                       const winsec::UnlockedFolder& folder);

// The identity records name a configured folder's lock by: its file
// system's id and its file handle, or, where the file system gives no
// handle, its device and inode numbers.
int identityOf(const winsec::ObjectName& object, BackendState& state, Bytes* identity);

} // namespace posixacl

#endif
