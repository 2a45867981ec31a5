// Each object costs one open, one fstat (two for a file with several links,
// whose visits take turns), one xattr read per ACL kind read and one xattr
// write per ACL kind written, and one close; its record one xattr write for
// a first lock (created unread), one xattr read for a lock that finds it,
// and one xattr read and one removal for an unlock. The record store costs
// an inode whose number it holds no record of nothing.
// What the listing called a regular file is opened for reading (never
// anything else: a FIFO or a device is never opened for I/O), and a folder is
// reached through the descriptor its listing is read from; their ACLs and
// record are read and written through that descriptor. Anything else, or an
// entry that refuses that open, is held by an O_PATH descriptor and reached
// through /proc/self/fd/N, a name that leads to the inode opened whatever its
// name leads to by then. The xattr values are decoded here rather than
// through libacl, whose path functions would follow links again.
#include "posixacl/FileSecurity.h"

#include "posixacl/AttributeNames.h"
#include "posixacl/BatchRing.h"
#include "posixacl/Descriptor.h"
#include "posixacl/FolderHandle.h"
#include "posixacl/Refusals.h"
#include "winsec/WriteRecord.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <utility>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace posixacl {

namespace {

constexpr std::size_t kFirstReadSize = 256;
constexpr mode_t kSpecialBits = S_ISUID | S_ISGID | S_ISVTX;

// "/proc/self/fd/" and the decimal digits of any int, with its NUL.
constexpr std::size_t kProcFdNameSize = 32;

// An inode other than a link, held open for reading (a regular file the
// listing named, a folder being listed) or by an O_PATH descriptor: a FIFO,
// socket or device is never opened for I/O, so none of them can block or act.
// Kept with its ObjectName, so every call on the object reaches this inode.
class OpenInode final : public winsec::OpenedObject {
public:
    int open(const winsec::ObjectName& object, LinkedInodes& linked);
    const struct stat& status() const { return fileStatus; }
    bool isDirectory() const { return S_ISDIR(fileStatus.st_mode); }
    // For calls that name the inode by descriptor, O_PATH ones included.
    int descriptorNumber() const { return descriptor; }

    // The inode's extended attributes and mode, reached only through the
    // descriptor. 0 or an errno value (ENODATA: no such attribute).
    int readAttribute(const char* attribute, Bytes* value) const;
    // `flags` as setxattr takes them (XATTR_CREATE: only where it has none).
    int writeAttribute(const char* attribute, const Bytes& value, int flags = 0) const;
    int removeAttribute(const char* attribute) const;
    int changeMode(mode_t mode) const;

    // The default ACL as the last read found it, for a write that must be
    // able to put it back.
    Entries readDefaults;
    // Reused for every xattr value of this inode.
    mutable Bytes buffer;
    // Its record was read from the record store.
    bool recordInStore = false;

private:
    int openHandle(const winsec::ObjectName& object);
    bool openForReading(int folder, const winsec::ObjectName& object);
    int openHandleOnly(int folder, const char* name);
    int takeStatus();
    int takeTurn(LinkedInodes& linked);
    // Names this inode for calls that take a path (O_PATH only).
    const char* name() const { return procName; }
    void nameByProc();

    Descriptor owned; // unset when the inode is the folder's own descriptor
    int descriptor = -1;
    bool readable = false; // opened for reading: the f*xattr calls work on it
    struct stat fileStatus {};
    char procName[kProcFdNameSize] = {};
    LinkedInodes::Turn turn;
};

int OpenInode::open(const winsec::ObjectName& object, LinkedInodes& linked)
{
    if (object.refusal() != 0)
        return object.refusal();
    int error = openHandle(object);
    if (error == 0 && S_ISLNK(fileStatus.st_mode))
        error = refusal::kLink;
    if (error == 0)
        error = takeTurn(linked);
    if (error == 0 && !readable)
        nameByProc();
    return error;
}

// Another visit of the inode may have changed it while this one waited.
int OpenInode::takeTurn(LinkedInodes& linked)
{
    turn = linked.take(fileStatus);
    return turn.isHeld() ? takeStatus() : 0;
}

int OpenInode::openHandle(const winsec::ObjectName& object)
{
    if (object.folder() == nullptr)
        return EBADF;
    const int folder = object.folder()->descriptor.get();
    if (object.isFolderItself()) {
        descriptor = folder;
        const int flags = fcntl(descriptor, F_GETFL);
        readable = flags >= 0 && (flags & O_PATH) == 0;
        return takeStatus();
    }
    if (object.isRegularFile() && openForReading(folder, object))
        return 0;
    return openHandleOnly(folder, object.name());
}

// What was opened for reading, here or by the walk ahead of the visit (which
// then holds the descriptor), is used only if it is what the listing said:
// anything else (swapped in since) is left unused and taken again by O_PATH.
bool OpenInode::openForReading(int folder, const winsec::ObjectName& object)
{
    const winsec::EntryHandle* openedAhead = object.entry();
    if (openedAhead != nullptr && openedAhead->descriptor >= 0) {
        descriptor = openedAhead->descriptor;
    } else {
        owned.reset(openat(folder, object.name(), kReadFlags));
        descriptor = owned.get();
    }
    readable = descriptor >= 0 && takeStatus() == 0 &&
               (S_ISREG(fileStatus.st_mode) || S_ISDIR(fileStatus.st_mode));
    return readable;
}

// An O_PATH descriptor, by name from the folder.
int OpenInode::openHandleOnly(int folder, const char* name)
{
    owned.reset(openat(folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    descriptor = owned.get();
    return owned.isOpen() ? takeStatus() : errno;
}

int OpenInode::takeStatus()
{
    return fstat(descriptor, &fileStatus) == 0 ? 0 : errno;
}

void OpenInode::nameByProc()
{
    static constexpr char kFdFolder[] = "/proc/self/fd/";
    std::memcpy(procName, kFdFolder, sizeof kFdFolder - 1);
    char* const end = procName + sizeof procName - 1;
    *std::to_chars(procName + sizeof kFdFolder - 1, end, descriptor).ptr = '\0';
}

// A small first try: the kernel allocates as much as it is offered, and most
// values are a few dozen bytes. A larger one is read again at its size.
int OpenInode::readAttribute(const char* attribute, Bytes* value) const
{
    value->resize(std::max(value->capacity(), kFirstReadSize));
    for (;;) {
        const ssize_t size = readable
                                 ? fgetxattr(descriptor, attribute, value->data(), value->size())
                                 : getxattr(name(), attribute, value->data(), value->size());
        if (size >= 0) {
            value->resize(static_cast<std::size_t>(size));
            return 0;
        }
        if (errno != ERANGE)
            return errno;
        const ssize_t needed = readable ? fgetxattr(descriptor, attribute, nullptr, 0)
                                        : getxattr(name(), attribute, nullptr, 0);
        if (needed < 0)
            return errno;
        value->resize(static_cast<std::size_t>(needed));
    }
}

int OpenInode::writeAttribute(const char* attribute, const Bytes& value, int flags) const
{
    const int result = readable
                           ? fsetxattr(descriptor, attribute, value.data(), value.size(), flags)
                           : setxattr(name(), attribute, value.data(), value.size(), flags);
    return result == 0 ? 0 : errno;
}

int OpenInode::removeAttribute(const char* attribute) const
{
    const int result = readable ? fremovexattr(descriptor, attribute)
                                : removexattr(name(), attribute);
    return result == 0 ? 0 : errno;
}

int OpenInode::changeMode(mode_t mode) const
{
    const int result = readable ? fchmod(descriptor, mode) : chmod(name(), mode);
    return result == 0 ? 0 : errno;
}

// 0, ENODATA when the inode has no such ACL, EOPNOTSUPP without ACL
// support, EIO for a value that is not a valid ACL.
int readAcl(const OpenInode& inode, const char* aclName, Entries* entries)
{
    const int error = inode.readAttribute(aclName, &inode.buffer);
    if (error != 0)
        return error;
    return decodeXattr(inode.buffer.data(), inode.buffer.size(), entries) ? 0 : EIO;
}

int writeAcl(const OpenInode& inode, const char* aclName, const Entries& entries)
{
    encodeXattr(entries, &inode.buffer);
    return inode.writeAttribute(aclName, inode.buffer);
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

// The inode the object's first call opened, opened now for the first.
int inodeOf(const winsec::ObjectName& object, BackendState& state, OpenInode** inode)
{
    *inode = dynamic_cast<OpenInode*>(object.opened());
    if (*inode != nullptr)
        return 0;
    auto fresh = std::make_unique<OpenInode>();
    const int error = fresh->open(object, state.linkedInodes);
    if (error != 0)
        return error;
    *inode = fresh.get();
    object.keepOpened(std::move(fresh));
    return 0;
}

bool isWellFormedRecord(const Bytes& record)
{
    return winsec::parseWriteRecord(record.data(), record.size(), nullptr, nullptr);
}

// Where the inode itself cannot keep a record, the record store does:
// no room left, no trusted namespace, or no CAP_SYS_ADMIN for it.
bool belongsInStore(int error)
{
    return error == ENOSPC || error == E2BIG || error == EOPNOTSUPP || error == EPERM;
}

// A store that may hold a record it cannot give counts as one that cannot
// be read: see readWriteRecord.
int storeReadError(int error)
{
    return error == 0 || error == ENODATA ? error : EOPNOTSUPP;
}

} // namespace

int readFileSecurity(const winsec::ObjectName& object, BackendState& state,
                     FileSecurity* security)
{
    OpenInode* inode = nullptr;
    int error = inodeOf(object, state, &inode);
    if (error != 0)
        return error;
    security->owner = inode->status().st_uid;
    security->group = inode->status().st_gid;
    security->acls.defaults.clear();
    error = readAccessAcl(*inode, &security->acls.access);
    if (error == 0 && inode->isDirectory())
        error = readDefaultAcl(*inode, &security->acls.defaults);
    if (error == 0)
        inode->readDefaults = security->acls.defaults;
    return error;
}

int writeFileAcls(const winsec::ObjectName& object, BackendState& state, const PosixAcls& acls)
{
    if (!isValid(acls.access) || (!acls.defaults.empty() && !isValid(acls.defaults)))
        return EINVAL;
    const bool wasRead = object.opened() != nullptr;
    OpenInode* inode = nullptr;
    const int error = inodeOf(object, state, &inode);
    if (error != 0)
        return error;
    Entries readDefaults;
    readDefaults.swap(inode->readDefaults); // what is on disk may change now
    if (acls.defaults.empty())
        return writeAccessAcl(*inode, acls.access);
    return inode->isDirectory() ? writeBothAcls(*inode, acls, wasRead ? &readDefaults : nullptr)
                                : ENOTDIR;
}

namespace {

constexpr std::uint8_t kIdentityByHandle = 1;
constexpr std::uint8_t kIdentityByInode = 2;
constexpr std::size_t kMaxHandleBytes = 128; // MAX_HANDLE_SZ

template <typename Value>
void appendBytes(Bytes* bytes, const Value& value)
{
    const auto* at = reinterpret_cast<const std::uint8_t*>(&value);
    bytes->insert(bytes->end(), at, at + sizeof value);
}

bool appendHandle(int descriptor, Bytes* identity)
{
    alignas(file_handle) unsigned char buffer[sizeof(file_handle) + kMaxHandleBytes];
    auto* handle = reinterpret_cast<file_handle*>(buffer);
    handle->handle_bytes = kMaxHandleBytes;
    int mountId = 0;
    if (name_to_handle_at(descriptor, "", handle, &mountId, AT_EMPTY_PATH) != 0)
        return false;
    appendBytes(identity, handle->handle_type);
    identity->insert(identity->end(), handle->f_handle, handle->f_handle + handle->handle_bytes);
    return true;
}

} // namespace

bool bornAfter(int descriptor, std::uint64_t time)
{
    struct statx status;
    if (statx(descriptor, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BTIME, &status) != 0 ||
        (status.stx_mask & STATX_BTIME) == 0)
        return false;
    const std::uint64_t born = static_cast<std::uint64_t>(status.stx_btime.tv_sec) * 1000000000u +
                               status.stx_btime.tv_nsec;
    return born > time;
}

bool aclsOfDaclBytes(const std::vector<std::uint8_t>& dacl, PosixAcls* acls)
{
    return aclsFromDacl(dacl.data(), dacl.size(), acls);
}

int inheritAfterUnlock(const winsec::ObjectName& object, BackendState& state,
                       const winsec::UnlockedFolder& folder)
{
    FileSecurity security{};
    int error = readFileSecurity(object, state, &security);
    if (error != 0)
        return error;
    const auto* inode = static_cast<const OpenInode*>(object.opened());
    PosixAcls locked;
    PosixAcls restored;
    unsigned mode = 0;
    if (!bornAfter(inode->descriptorNumber(), folder.lockTime) ||
        !aclsOfDaclBytes(folder.lockedDacl, &locked) ||
        !aclsOfDaclBytes(folder.restoredDacl, &restored) || locked.defaults.empty() ||
        !creationModeOf(security.acls.access, locked.defaults, &mode) ||
        (inode->isDirectory() && !(security.acls.defaults == locked.defaults)))
        return ENODATA;
    PosixAcls given;
    given.access = inheritedAccess(restored.defaults, mode);
    if (inode->isDirectory())
        given.defaults = restored.defaults;
    return writeFileAcls(object, state, given);
}

int identityOf(const winsec::ObjectName& object, BackendState& state, Bytes* identity)
{
    OpenInode* inode = nullptr;
    const int error = inodeOf(object, state, &inode);
    if (error != 0)
        return error;
    struct statfs system;
    if (fstatfs(inode->descriptorNumber(), &system) != 0)
        return errno;
    identity->assign(1, kIdentityByHandle);
    appendBytes(identity, system.f_fsid);
    if (appendHandle(inode->descriptorNumber(), identity))
        return 0;
    identity->assign(1, kIdentityByInode);
    appendBytes(identity, inode->status().st_dev);
    appendBytes(identity, inode->status().st_ino);
    return 0;
}

// A record in the inode wins over one in the store.
int readWriteRecord(const winsec::ObjectName& object, BackendState& state, Bytes* record)
{
    OpenInode* inode = nullptr;
    int error = inodeOf(object, state, &inode);
    if (error != 0)
        return error;
    error = inode->readAttribute(kWriteRecordName, &inode->buffer);
    const bool fromStore = error == ENODATA || error == EOPNOTSUPP;
    if (fromStore)
        error = storeReadError(
            state.records.read(inode->descriptorNumber(), inode->status().st_ino, &inode->buffer));
    if (error == 0 && !isWellFormedRecord(inode->buffer))
        error = ENODATA;
    if (error == 0)
        record->assign(inode->buffer.begin(), inode->buffer.end());
    inode->recordInStore = fromStore && error == 0;
    return error;
}

// A record the inode takes again leaves the store, so that no stale copy
// outlives it there.
int storeWriteRecord(const winsec::ObjectName& object, BackendState& state, const Bytes& record)
{
    OpenInode* inode = nullptr;
    int error = inodeOf(object, state, &inode);
    if (error != 0)
        return error;
    error = inode->writeAttribute(kWriteRecordName, record);
    if (belongsInStore(error))
        return state.records.store(inode->descriptorNumber(), inode->status().st_ino, record) == 0
                   ? 0
                   : EOPNOTSUPP;
    if (error == 0 && inode->recordInStore)
        state.records.remove(inode->descriptorNumber());
    return error;
}

// Where the store may hold a record of the inode, or the inode has one (of
// any form) or cannot keep it, nothing is written: the lock then reads.
bool createWriteRecord(const winsec::ObjectName& object, BackendState& state, const Bytes& record)
{
    OpenInode* inode = nullptr;
    return inodeOf(object, state, &inode) == 0 && !state.records.mayHold(inode->status().st_ino) &&
           inode->writeAttribute(kWriteRecordName, record, XATTR_CREATE) == 0;
}

// Removes the record the last read of the object found, wherever it was kept.
int removeWriteRecord(const winsec::ObjectName& object, BackendState& state)
{
    OpenInode* inode = nullptr;
    const int error = inodeOf(object, state, &inode);
    if (error != 0)
        return error;
    if (inode->recordInStore)
        return state.records.remove(inode->descriptorNumber());
    return inode->removeAttribute(kWriteRecordName);
}

} // namespace posixacl
