// The extended attributes the backend reads and writes on each inode.
#ifndef TOLVANE_POSIXACL_ATTRIBUTE_NAMES_H
#define TOLVANE_POSIXACL_ATTRIBUTE_NAMES_H

namespace posixacl {

constexpr char kAccessAclName[] = "system.posix_acl_access";
constexpr char kDefaultAclName[] = "system.posix_acl_default";
// What -lock took. Only CAP_SYS_ADMIN reads or writes the trusted.
// namespace, so the users a lock is aimed at can neither read nor forge it.
// Short, so that with an ordinary ACL it still fits inside an ext4 inode.
constexpr char kWriteRecordName[] = "trusted.tolvane";

} // namespace posixacl

#endif
