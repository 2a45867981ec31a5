// Each path costs one open, one fstat, one xattr read per ACL kind read and
// one xattr write per ACL kind written, and one close. The ACLs are reached
// through /proc/self/fd/N of an O_PATH descriptor: that name leads to the
// inode opened, whatever the path names by then, and works for inodes that
// must not be opened for I/O. The xattr values are decoded here rather than
// through libacl, whose path functions would follow links again.
#include "posixacl/FileSecurity.h"

#include "posixacl/TreeResolver.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <utility>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace posixacl {

namespace {

constexpr char kAccessAclName[] = "system.posix_acl_access";
constexpr char kDefaultAclName[] = "system.posix_acl_default";
constexpr std::size_t kMaxXattrSize = 65536; // the kernel's XATTR_SIZE_MAX
constexpr mode_t kSpecialBits = S_ISUID | S_ISGID | S_ISVTX;

// A regular file or directory held by an O_PATH descriptor.
class OpenInode {
public:
    OpenInode() = default;
    OpenInode(const OpenInode&) = delete;
    OpenInode& operator=(const OpenInode&) = delete;
    OpenInode& operator=(OpenInode&& other) noexcept
    {
        std::swap(descriptor, other.descriptor);
        std::swap(fileStatus, other.fileStatus);
        std::swap(procName, other.procName);
        return *this;
    }
    ~OpenInode()
    {
        if (descriptor >= 0)
            close(descriptor);
    }

    int open(const std::string& path);
    const struct stat& status() const { return fileStatus; }
    bool isDirectory() const { return S_ISDIR(fileStatus.st_mode); }
    bool isOpen() const { return descriptor >= 0; }
    // Names this inode for calls that take a path.
    const char* name() const { return procName; }

private:
    int descriptor = -1;
    struct stat fileStatus {};
    char procName[32] = {};
};

// The one place where a path turns into an inode (the tree resolver decides
// which links count). The type test comes before any other call, so a FIFO
// or a device is never opened for I/O.
int OpenInode::open(const std::string& path)
{
    if (path.find('\0') != std::string::npos)
        return EINVAL;
    descriptor = TreeResolver::open(path, O_PATH);
    if (descriptor < 0)
        return -descriptor;
    if (fstat(descriptor, &fileStatus) != 0)
        return errno;
    if (S_ISLNK(fileStatus.st_mode))
        return ELOOP;
    if (!S_ISREG(fileStatus.st_mode) && !S_ISDIR(fileStatus.st_mode))
        return EINVAL;
    // Whoever can write a folder can hard-link into it any file of the same
    // file system that they may read and write; its ACL is not the tree's to
    // change. The configured path itself is the administrator's choice.
    if (S_ISREG(fileStatus.st_mode) && fileStatus.st_nlink > 1 && !TreeResolver::isTreeRoot(path))
        return EMLINK;
    static constexpr char kFdFolder[] = "/proc/self/fd/";
    std::memcpy(procName, kFdFolder, sizeof kFdFolder - 1);
    char* const end = procName + sizeof procName - 1;
    *std::to_chars(procName + sizeof kFdFolder - 1, end, descriptor).ptr = '\0';
    return 0;
}

// 0, ENODATA when the inode has no such ACL, EOPNOTSUPP without ACL
// support, EIO for a value that is not a valid ACL.
int readAcl(const OpenInode& inode, const char* aclName, Entries* entries)
{
    // One buffer for the process: reads never overlap, and the largest
    // value fits.
    static std::uint8_t value[kMaxXattrSize];
    const ssize_t size = getxattr(inode.name(), aclName, value, sizeof value);
    if (size < 0)
        return errno;
    return decodeXattr(value, static_cast<std::size_t>(size), entries) ? 0 : EIO;
}

int writeAcl(const OpenInode& inode, const char* aclName, const Entries& entries)
{
    const Bytes value = encodeXattr(entries);
    return setxattr(inode.name(), aclName, value.data(), value.size(), 0) == 0 ? 0 : errno;
}

bool hasNoAcl(int error)
{
    return error == ENODATA || error == EOPNOTSUPP;
}

int readAccessAcl(const OpenInode& inode, Entries* entries)
{
    const int error = readAcl(inode, kAccessAclName, entries);
    if (hasNoAcl(error))
        *entries = entriesFromMode(inode.status().st_mode);
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
    return chmod(inode.name(), mode) == 0 ? 0 : errno;
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
        removexattr(inode.name(), kDefaultAclName);
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
};
LastRead lastRead;

void forgetLastRead()
{
    lastRead.inode = OpenInode();
}

} // namespace

int readFileSecurity(const std::string& path, FileSecurity* security)
{
    forgetLastRead();
    OpenInode inode;
    int error = inode.open(path);
    FileSecurity read{inode.status().st_uid, inode.status().st_gid, {}};
    if (error == 0)
        error = readAccessAcl(inode, &read.acls.access);
    if (error == 0 && inode.isDirectory())
        error = readDefaultAcl(inode, &read.acls.defaults);
    if (error == 0) {
        *security = std::move(read);
        lastRead.path = path;
        lastRead.inode = std::move(inode);
        lastRead.defaults = security->acls.defaults;
    }
    return error;
}

int writeFileAcls(const std::string& path, const PosixAcls& acls)
{
    if (!isValid(acls.access) || (!acls.defaults.empty() && !isValid(acls.defaults)))
        return EINVAL;
    OpenInode inode;
    Entries readDefaults;
    const bool reused = lastRead.inode.isOpen() && lastRead.path == path;
    if (reused) {
        inode = std::move(lastRead.inode);
        readDefaults.swap(lastRead.defaults);
    }
    forgetLastRead();
    const int error = inode.isOpen() ? 0 : inode.open(path);
    if (error != 0)
        return error;
    if (acls.defaults.empty())
        return writeAccessAcl(inode, acls.access);
    return inode.isDirectory() ? writeBothAcls(inode, acls, reused ? &readDefaults : nullptr)
                               : ENOTDIR;
}

} // namespace posixacl
