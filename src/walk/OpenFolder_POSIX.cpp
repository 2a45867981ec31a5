// A folder is held by one descriptor, opened for reading when it can be, and
// listed through it with getdents64 into a buffer of the call; an entry's kind
// comes from the listing (d_type) or, where the file system does not say,
// from a query relative to the open folder. The configured path is resolved
// by posixacl::openConfiguredPath, the only place that follows a link.
#include "walk/OpenFolder.h"

#include "posixacl/RootLinkPath.h"
#include "posixacl/Descriptor.h"
#include "posixacl/FolderHandle.h"
#include "posixacl/Refusals.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace walk {

struct OpenFolder::State {
    winsec::FolderHandle folder; // O_PATH when it could not be opened for reading
    dev_t device = 0;            // the file system it lies on
    int listError = 0;           // why it cannot be listed, then
    bool ended = false;
};

namespace {

// A folder is opened for listing and for its own ACLs as any file is read.
constexpr int kListFlags = posixacl::kReadFlags | O_DIRECTORY;

// One getdents64 call's worth of entries.
constexpr std::size_t kListingBufferSize = 32 * 1024;

struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

bool isSelfOrParent(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

FileKind kindOfMode(mode_t mode)
{
    if (S_ISLNK(mode))
        return FileKind::Link;
    if (S_ISDIR(mode))
        return FileKind::Folder;
    return S_ISREG(mode) ? FileKind::File : FileKind::Other;
}

// 0 and the kind of `name` in `folder`, a link not followed; else errno.
int kindAt(int folder, const char* name, FileKind* kind)
{
    struct stat status;
    if (fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    *kind = kindOfMode(status.st_mode);
    return 0;
}

// Whether `name` in `folder` is the root of a mount, and the device it lies
// on. Asked without syncing with a network or FUSE server, so that a server
// that never answers cannot hold the walk here; where the kernel cannot say
// (before Linux 5.8), a folder on another device counts as one.
bool isMountPoint(int folder, const char* name, dev_t folderDevice, dev_t* device)
{
    struct statx status;
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC;
    if (statx(folder, name, flags, STATX_TYPE, &status) != 0)
        return false;
    *device = makedev(status.stx_dev_major, status.stx_dev_minor);
    if ((status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
        return (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    return *device != folderDevice;
}

FileKind kindOfType(unsigned char type)
{
    switch (type) {
    case DT_LNK:
        return FileKind::Link;
    case DT_DIR:
        return FileKind::Folder;
    case DT_REG:
        return FileKind::File;
    default:
        return FileKind::Other;
    }
}

} // namespace

OpenFolder::OpenFolder(std::unique_ptr<State> state) : state(std::move(state)) {}

OpenFolder::~OpenFolder() = default;

const winsec::FolderHandle& OpenFolder::handle() const
{
    return state->folder;
}

// A configured path that crosses a link that may not be followed is reported
// as a link: it exists, yet nothing of it can be read.
FolderOpening OpenFolder::openConfigured(const std::string& path)
{
    auto state = std::make_unique<State>();
    posixacl::Descriptor& descriptor = state->folder.descriptor;
    const int error = posixacl::openConfiguredPath(path, &descriptor);
    if (error == posixacl::refusal::kForeignLink)
        return FolderOpening{FileKind::Link, nullptr, 0, error};
    FileKind kind = FileKind::Missing;
    struct stat status;
    if (error != 0 || fstat(descriptor.get(), &status) != 0)
        return FolderOpening{kind, nullptr, error != 0 ? error : errno};
    kind = kindOfMode(status.st_mode);
    state->device = status.st_dev;
    if (kind == FileKind::Folder) {
        posixacl::Descriptor readable(openat(descriptor.get(), ".", kListFlags));
        if (readable.isOpen())
            descriptor = std::move(readable);
        else
            state->listError = errno;
    }
    return FolderOpening{kind, std::make_unique<OpenFolder>(std::move(state))};
}

// One name, opened from this folder's descriptor: it can name nothing
// outside it, and O_NOFOLLOW with O_DIRECTORY takes only a folder that is not
// a link. Anything else is looked at again, without following it.
FolderOpening OpenFolder::openChild(const ListedEntry& entry) const
{
    const std::string& name = entry.name;
    if (name.empty() || name.find('/') != std::string::npos || isSelfOrParent(name.c_str()))
        return FolderOpening{FileKind::Missing, nullptr};
    const int folder = state->folder.descriptor.get();
    auto child = std::make_unique<State>();
    if (isMountPoint(folder, name.c_str(), state->device, &child->device))
        return FolderOpening{FileKind::Mount, nullptr};
    child->folder.descriptor.reset(openat(folder, name.c_str(), kListFlags));
    if (child->folder.descriptor.isOpen())
        return FolderOpening{FileKind::Folder, std::make_unique<OpenFolder>(std::move(child))};
    const int openError = errno;
    FileKind kind = FileKind::Missing;
    if (const int kindError = kindAt(folder, name.c_str(), &kind); kindError != 0)
        return FolderOpening{FileKind::Missing, nullptr, kindError};
    return FolderOpening{kind, nullptr, kind == FileKind::Folder ? openError : 0};
}

bool OpenFolder::read(std::vector<ListedEntry>* entries, std::size_t least, int* error)
{
    *error = state->listError;
    const int folder = state->folder.descriptor.get();
    const std::size_t goal = entries->size() + least;
    alignas(LinuxDirent64) char buffer[kListingBufferSize];
    while (*error == 0 && !state->ended && entries->size() < goal) {
        const long size = syscall(SYS_getdents64, folder, buffer, sizeof buffer);
        if (size < 0) {
            *error = errno;
            break;
        }
        state->ended = size == 0;
        for (long offset = 0; offset < size;) {
            const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
            offset += entry->d_reclen;
            if (isSelfOrParent(entry->d_name))
                continue;
            FileKind kind = kindOfType(entry->d_type);
            if (entry->d_type == DT_UNKNOWN) {
                const int kindError = kindAt(folder, entry->d_name, &kind);
                if (kindError == ENOENT)
                    kind = FileKind::Missing;
                else if (kindError != 0) {
                    *error = kindError;
                    break;
                }
            }
            entries->push_back(ListedEntry{entry->d_name, kind, nullptr});
        }
    }
    return *error == 0 && !state->ended;
}

} // namespace walk
