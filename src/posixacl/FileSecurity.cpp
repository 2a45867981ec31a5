// Each path costs one open, one fstat, one xattr read per ACL kind read and
// one xattr write per ACL kind written, and one close; its record one xattr
// read, and one xattr write when a lock changes it or an unlock gives it
// back. What the listing called a regular file or a folder is opened for
// reading (never anything else: a FIFO or a device is never opened for I/O),
// and its ACLs and record are read and written through that descriptor.
// Anything else, or an entry that refuses that open, is held by an O_PATH
// descriptor and reached through /proc/self/fd/N, a name that leads to the
// inode opened whatever the path names by then. The xattr values are decoded
// here rather than through libacl, whose path functions would follow links
// again.
#include "posixacl/FileSecurity.h"

#include "posixacl/AttributeNames.h"
#include "posixacl/AttributePrefetch.h"
#include "posixacl/RecordStore.h"
#include "posixacl/Refusals.h"
#include "posixacl/TreeResolver.h"
#include "winsec/WriteRecord.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <utility>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace posixacl {

namespace {

constexpr std::size_t kFirstReadSize = 256;
constexpr mode_t kSpecialBits = S_ISUID | S_ISGID | S_ISVTX;

// "/proc/self/fd/" and the decimal digits of any int, with its NUL.
constexpr std::size_t kProcFdNameSize = 32;

// An inode other than a link, held open for reading (a regular file or
// folder the listing named) or by an O_PATH descriptor: a FIFO, socket or
// device is never opened for I/O, so none of them can block or act.
class OpenInode {
public:
    int open(const std::string& path);
    // Takes a regular file fetched ahead, opened for reading.
    int adopt(FetchedFile* fetched);
    // Lets the descriptor go with the next batch of closes.
    void closeLater() { posixacl::closeLater(std::move(descriptor)); }
    const struct stat& status() const { return fileStatus; }
    bool isDirectory() const { return S_ISDIR(fileStatus.st_mode); }
    bool isOpen() const { return descriptor.isOpen(); }
    // For calls that name the inode by descriptor, O_PATH ones included.
    int descriptorNumber() const { return descriptor.get(); }

    // The inode's extended attributes and mode, reached only through the
    // descriptor. 0 or an errno value (ENODATA: no such attribute).
    int readAttribute(const char* attribute, Bytes* value) const;
    int writeAttribute(const char* attribute, const Bytes& value) const;
    int removeAttribute(const char* attribute) const;
    int changeMode(mode_t mode) const;

private:
    int openHandle(const std::string& path);
    // Names this inode for calls that take a path (O_PATH only).
    const char* name() const { return procName; }
    void nameByProc();
    int checkKind() const;

    Descriptor descriptor;
    bool readable = false; // opened for reading: the f*xattr calls work on it
    // Attribute reads done ahead of time, each handed out once instead of
    // being read again.
    mutable std::vector<FetchedAttribute> fetchedAttributes;
    struct stat fileStatus {};
    char procName[kProcFdNameSize] = {};
};

// The one place where a path turns into an inode (the tree resolver decides
// which links count). The O_PATH descriptor is the only open: a FIFO or a
// device is never opened for I/O, and its ACL is changed like a file's.
int OpenInode::open(const std::string& path)
{
    if (path.find('\0') != std::string::npos)
        return EINVAL;
    int error = openHandle(path);
    if (error == 0)
        error = checkKind();
    if (error == 0 && !readable)
        nameByProc();
    return error;
}

int OpenInode::adopt(FetchedFile* fetched)
{
    descriptor = std::move(fetched->descriptor);
    fileStatus = fetched->status;
    fetchedAttributes.swap(fetched->attributes);
    readable = true;
    return checkKind();
}

// What was opened for reading is used only if it is what the listing said:
// anything else (swapped in since) is closed unused and taken again by O_PATH.
int OpenInode::openHandle(const std::string& path)
{
    int error = TreeResolver::openForAttributes(path, &descriptor, &readable);
    if (error == 0 && fstat(descriptor.get(), &fileStatus) != 0)
        error = errno;
    if (error != 0 || !readable || S_ISREG(fileStatus.st_mode) || S_ISDIR(fileStatus.st_mode))
        return error;
    readable = false;
    error = TreeResolver::open(path, O_PATH, &descriptor);
    if (error == 0 && fstat(descriptor.get(), &fileStatus) != 0)
        error = errno;
    return error;
}

void OpenInode::nameByProc()
{
    static constexpr char kFdFolder[] = "/proc/self/fd/";
    std::memcpy(procName, kFdFolder, sizeof kFdFolder - 1);
    char* const end = procName + sizeof procName - 1;
    *std::to_chars(procName + sizeof kFdFolder - 1, end, descriptor.get()).ptr = '\0';
}

int OpenInode::checkKind() const
{
    const mode_t mode = fileStatus.st_mode;
    if (S_ISLNK(mode))
        return refusal::kLink;
    return 0;
}

// A small first try: the kernel allocates as much as it is offered, and most
// values are a few dozen bytes. A larger one is read again at its size.
int OpenInode::readAttribute(const char* attribute, Bytes* value) const
{
    for (FetchedAttribute& fetched : fetchedAttributes)
        if (fetched.name != nullptr && std::strcmp(fetched.name, attribute) == 0) {
            fetched.name = nullptr;
            value->swap(fetched.value);
            return fetched.error;
        }
    value->resize(std::max(value->capacity(), kFirstReadSize));
    for (;;) {
        const ssize_t size = readable
                                 ? fgetxattr(descriptor.get(), attribute, value->data(), value->size())
                                 : getxattr(name(), attribute, value->data(), value->size());
        if (size >= 0) {
            value->resize(static_cast<std::size_t>(size));
            return 0;
        }
        if (errno != ERANGE)
            return errno;
        const ssize_t needed = readable ? fgetxattr(descriptor.get(), attribute, nullptr, 0)
                                        : getxattr(name(), attribute, nullptr, 0);
        if (needed < 0)
            return errno;
        value->resize(static_cast<std::size_t>(needed));
    }
}

int OpenInode::writeAttribute(const char* attribute, const Bytes& value) const
{
    const int result = readable
                           ? fsetxattr(descriptor.get(), attribute, value.data(), value.size(), 0)
                           : setxattr(name(), attribute, value.data(), value.size(), 0);
    return result == 0 ? 0 : errno;
}

int OpenInode::removeAttribute(const char* attribute) const
{
    const int result = readable ? fremovexattr(descriptor.get(), attribute)
                                : removexattr(name(), attribute);
    return result == 0 ? 0 : errno;
}

int OpenInode::changeMode(mode_t mode) const
{
    const int result = readable ? fchmod(descriptor.get(), mode) : chmod(name(), mode);
    return result == 0 ? 0 : errno;
}

// 0, ENODATA when the inode has no such ACL, EOPNOTSUPP without ACL
// support, EIO for a value that is not a valid ACL.
int readAcl(const OpenInode& inode, const char* aclName, Entries* entries)
{
    // One buffer for the process, reused: reads never overlap.
    static Bytes value;
    const int error = inode.readAttribute(aclName, &value);
    if (error != 0)
        return error;
    return decodeXattr(value.data(), value.size(), entries) ? 0 : EIO;
}

int writeAcl(const OpenInode& inode, const char* aclName, const Entries& entries)
{
    // One buffer for the process, reused: writes never overlap.
    static Bytes value;
    encodeXattr(entries, &value);
    return inode.writeAttribute(aclName, value);
}

bool hasNoAcl(int error)
{
    return error == ENODATA || error == EOPNOTSUPP;
}

int readAccessAcl(const OpenInode& inode, Entries* entries)
{
    const int error = readAcl(inode, kAccessAclName, entries);
    if (hasNoAcl(error))
        entriesFromMode(inode.status().st_mode, entries);
    return hasNoAcl(error) ? 0 : error;
}

int readDefaultAcl(const OpenInode& inode, Entries* entries)
{
    const int error = readAcl(inode, kDefaultAclName, entries);
    if (hasNoAcl(error))
        entries->clear();
    return hasNoAcl(error) ? 0 : error;
}

// What was fetched ahead for `path`, when there is such a thing, else the
// inode opened now.
int openInode(const std::string& path, OpenInode* inode)
{
    FetchedFile fetched;
    return takeFetched(path, &fetched) ? inode->adopt(&fetched) : inode->open(path);
}

// Only the permission bits change; the special bits are those the inode had.
int writeModeBits(const OpenInode& inode, const Entries& minimal)
{
    const mode_t mode = (inode.status().st_mode & kSpecialBits) | modeFromMinimal(minimal);
    return inode.changeMode(mode);
}

// Through the xattr even for a minimal ACL: the kernel then drops the
// extended ACL and sets the permission bits. It keeps the special bits,
// setgid only for a caller in the file's group or with CAP_FSETID, as chmod
// does.
int writeAccessAcl(const OpenInode& inode, const Entries& entries)
{
    const int error = writeAcl(inode, kAccessAclName, entries);
    if (error == EOPNOTSUPP && isMinimal(entries))
        return writeModeBits(inode, entries);
    return error;
}

void restoreDefaultAcl(const OpenInode& inode, bool hadDefault, const Entries& previous)
{
    if (hadDefault)
        writeAcl(inode, kDefaultAclName, previous);
    else
        inode.removeAttribute(kDefaultAclName);
}

// The default ACL goes first, so that a failed access write can be undone
// with the one ACL read beforehand: `known` when this inode's default ACL
// was just read, else read here.
int writeBothAcls(const OpenInode& inode, const PosixAcls& acls, const Entries* known)
{
    Entries previous;
    const int readError = known != nullptr && !known->empty()
                              ? 0
                              : readAcl(inode, kDefaultAclName, &previous);
    if (readError != 0 && readError != ENODATA)
        return readError;
    if (known != nullptr && !known->empty())
        previous = *known;
    const int defaultError = writeAcl(inode, kDefaultAclName, acls.defaults);
    if (defaultError != 0)
        return defaultError;
    const int accessError = writeAccessAcl(inode, acls.access);
    if (accessError != 0)
        restoreDefaultAcl(inode, readError == 0, previous);
    return accessError;
}

// The inode of the last path read, kept open for the write that follows the
// read of the same path: the write then goes to the inode that was read,
// whatever the path names by then, and costs no second open.
struct LastRead {
    std::string path;
    OpenInode inode;
    Entries defaults;
    bool recordInStore = false; // its record was read from the record store
};
LastRead lastRead;

void forgetLastRead()
{
    lastRead.inode.closeLater();
}

// The inode the last read of `path` opened, else `fresh`, opened now.
int inodeOf(const std::string& path, OpenInode& fresh, const OpenInode** inode)
{
    const bool reused = lastRead.inode.isOpen() && lastRead.path == path;
    *inode = reused ? &lastRead.inode : &fresh;
    return reused ? 0 : fresh.open(path);
}

bool isWellFormedRecord(const Bytes& record)
{
    bool givenBack = false;
    return winsec::parseWriteRecord(record.data(), record.size(), nullptr, &givenBack);
}

// Where the inode itself cannot keep a record, the record store does:
// no room left, no trusted namespace, or no CAP_SYS_ADMIN for it.
bool belongsInStore(int error)
{
    return error == ENOSPC || error == E2BIG || error == EOPNOTSUPP || error == EPERM;
}

} // namespace

int readFileSecurity(const std::string& path, FileSecurity* security)
{
    forgetLastRead();
    OpenInode inode;
    int error = openInode(path, &inode);
    security->owner = inode.status().st_uid;
    security->group = inode.status().st_gid;
    security->acls.defaults.clear();
    if (error == 0)
        error = readAccessAcl(inode, &security->acls.access);
    if (error == 0 && inode.isDirectory())
        error = readDefaultAcl(inode, &security->acls.defaults);
    if (error == 0) {
        lastRead.path = path;
        lastRead.inode = std::move(inode);
        lastRead.defaults = security->acls.defaults;
        lastRead.recordInStore = false;
    }
    return error;
}

// The inode read stays open after the write, for the record that unlock
// marks given back only once the ACLs are written.
int writeFileAcls(const std::string& path, const PosixAcls& acls)
{
    if (!isValid(acls.access) || (!acls.defaults.empty() && !isValid(acls.defaults)))
        return EINVAL;
    OpenInode fresh;
    const OpenInode* inode = nullptr;
    const int error = inodeOf(path, fresh, &inode);
    if (error != 0)
        return error;
    Entries readDefaults;
    if (inode == &lastRead.inode)
        readDefaults.swap(lastRead.defaults); // what is on disk may change now
    if (acls.defaults.empty())
        return writeAccessAcl(*inode, acls.access);
    return inode->isDirectory()
               ? writeBothAcls(*inode, acls, inode == &fresh ? nullptr : &readDefaults)
               : ENOTDIR;
}

// A record in the inode wins over one in the store.
int readWriteRecord(const std::string& path, Bytes* record)
{
    OpenInode fresh;
    const OpenInode* inode = nullptr;
    int error = inodeOf(path, fresh, &inode);
    if (error != 0)
        return error;
    // Read into a buffer kept for the process: most entries have no record,
    // and then `record` costs nothing.
    static Bytes value;
    error = inode->readAttribute(kWriteRecordName, &value);
    const bool fromStore = error == ENODATA || error == EOPNOTSUPP;
    if (fromStore)
        error = recordstore::read(inode->descriptorNumber(), &value);
    if (error == 0 && !isWellFormedRecord(value))
        error = ENODATA;
    if (error == 0)
        record->assign(value.begin(), value.end());
    if (inode == &lastRead.inode)
        lastRead.recordInStore = fromStore && error == 0;
    return error;
}

// A record the inode takes again leaves the store, so that no stale copy
// outlives it there.
int storeWriteRecord(const std::string& path, const Bytes& record)
{
    OpenInode fresh;
    const OpenInode* inode = nullptr;
    int error = inodeOf(path, fresh, &inode);
    if (error != 0)
        return error;
    error = inode->writeAttribute(kWriteRecordName, record);
    if (belongsInStore(error))
        return recordstore::store(inode->descriptorNumber(), record) == 0 ? 0 : EOPNOTSUPP;
    if (error == 0 && inode == &lastRead.inode && lastRead.recordInStore)
        recordstore::remove(inode->descriptorNumber());
    return error;
}

// Removes the record the last read of `path` found, wherever it was kept.
int removeWriteRecord(const std::string& path)
{
    OpenInode fresh;
    const OpenInode* inode = nullptr;
    const int error = inodeOf(path, fresh, &inode);
    if (error != 0)
        return error;
    if (inode == &lastRead.inode && lastRead.recordInStore)
        return recordstore::remove(inode->descriptorNumber());
    return inode->removeAttribute(kWriteRecordName);
}

} // namespace posixacl
