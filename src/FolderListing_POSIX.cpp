// A folder is opened through the tree resolver, so that below a configured
// folder no link is followed in any component of its path, and read through
// that descriptor; an entry's kind comes from the listing (d_type) or, where
// the file system does not say, from a query relative to the open folder.
#include "FolderListing.h"

#include "posixacl/TreeResolver.h"

#include <Poco/Exception.h>
#include <Poco/File.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

struct FolderListing::State {
    DIR* directory = nullptr;
    std::string prefix; // the folder's path as a directory, as Poco spells it
    std::optional<posixacl::HeldFolder> held; // its entries are opened from it
    bool started = false;
    bool ended = false;
    int readError = 0; // met while reading ahead, thrown when reached

    void readAhead();
};

namespace {

[[noreturn]] void throwFor(const std::string& path, int error)
{
    errno = error;
    Poco::File::handleLastError(path);
    throw Poco::FileException(path, error); // not reached: the call above throws
}

bool isSelfOrParent(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

FileKind kindOfMode(mode_t mode)
{
    if (S_ISLNK(mode))
        return FileKind::Link;
    return S_ISDIR(mode) ? FileKind::Folder : FileKind::Other;
}

// Entries are read this far ahead of the one handed out, so that the
// security layer may fetch theirs together.
constexpr std::size_t kReadAhead = 64;

FileKind kindOf(DIR* directory, const std::string& name, unsigned char type,
                const std::string& path)
{
    switch (type) {
    case DT_LNK:
        return FileKind::Link;
    case DT_DIR:
        return FileKind::Folder;
    case DT_UNKNOWN:
        break;
    default:
        return FileKind::Other;
    }
    struct stat status;
    if (fstatat(dirfd(directory), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
        return kindOfMode(status.st_mode);
    if (errno == ENOENT)
        return FileKind::Missing;
    throwFor(path, errno);
}

} // namespace

FolderListing::FolderListing(const std::string& folder) : state(new State())
{
    state->prefix = prefixOf(folder);
    posixacl::Descriptor descriptor;
    const int error = posixacl::TreeResolver::openFolder(folder, &descriptor);
    if (error != 0)
        throwFor(folder, error);
    state->directory = fdopendir(descriptor.get());
    if (state->directory == nullptr)
        throwFor(folder, errno);
    descriptor.release(); // the listing owns it now
    state->held.emplace(state->prefix, dirfd(state->directory));
}

FolderListing::~FolderListing()
{
    state->held.reset();
    if (state->directory != nullptr)
        closedir(state->directory);
}

FileKind FolderListing::kindAt(const std::string& path)
{
    struct stat status;
    if (path.empty() || path.find('\0') != std::string::npos ||
        posixacl::TreeResolver::status(path, &status) != 0)
        return FileKind::Missing;
    return kindOfMode(status.st_mode);
}

// The error of a failed read is kept for the moment the walk reaches it,
// so that reading ahead changes nothing the walk sees.
void FolderListing::State::readAhead()
{
    while (!ended && held->waiting() < kReadAhead) {
        errno = 0;
        const dirent* entry = readdir(directory);
        if (entry == nullptr) {
            ended = true;
            readError = errno;
        } else if (!isSelfOrParent(entry->d_name)) {
            held->append(entry->d_name, entry->d_type);
        }
    }
}

bool FolderListing::next()
{
    if (state->started)
        state->held->advance();
    state->started = true;
    state->readAhead();
    if (state->held->waiting() == 0) {
        if (state->readError != 0)
            throwFor(state->prefix, state->readError);
        return false;
    }
    const std::string& name = state->held->name();
    entryPath.assign(state->prefix).append(name);
    entryKind = kindOf(state->directory, name, state->held->type(), entryPath);
    return true;
}
