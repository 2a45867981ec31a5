#include "posixacl/StoreFolder.h"

#include "posixacl/Refusals.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace posixacl {

namespace {

constexpr int kStepFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;

std::deque<std::string> componentsOf(const std::string& path)
{
    std::deque<std::string> names;
    std::size_t begin = 0;
    while (begin <= path.size()) {
        const std::size_t end = std::min(path.find('/', begin), path.size());
        if (end > begin && path.compare(begin, end - begin, ".") != 0)
            names.push_back(path.substr(begin, end - begin));
        begin = end + 1;
    }
    return names;
}

std::string absolute(const std::string& path)
{
    char current[PATH_MAX];
    if (!path.empty() && path[0] == '/')
        return path;
    return getcwd(current, sizeof current) != nullptr ? std::string(current) + "/" + path : path;
}

bool isTrustedOwner(uid_t owner, bool last)
{
    return owner == geteuid() || (!last && owner == 0);
}

class FolderChain {
public:
    FolderChain(bool create, std::string* why) : create(create), why(why) {}
    int open(const std::string& path, Descriptor* folder);

private:
    int startAtRoot();
    int step(const std::string& name);
    int openName(const std::string& name, Descriptor* next) const;
    int follow(int link, const struct stat& status, const std::string& spelt);
    int trust(const struct stat& status, const std::string& spelt) const;
    int fail(int error, const std::string& text) const;
    std::string spelt(const std::string& name) const { return reached + "/" + name; }

    const bool create;
    std::string* const why;
    std::deque<std::string> names;
    Descriptor current;
    std::string reached; // the path spelt so far, "" for the root
    int followed = 0;
};

int FolderChain::open(const std::string& path, Descriptor* folder)
{
    names = componentsOf(absolute(path));
    int error = startAtRoot();
    while (error == 0 && !names.empty()) {
        const std::string name = std::move(names.front());
        names.pop_front();
        error = step(name);
    }
    if (error == 0)
        *folder = std::move(current);
    return error;
}

int FolderChain::startAtRoot()
{
    reached.clear();
    current.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat status;
    if (!current.isOpen() || fstat(current.get(), &status) != 0)
        return fail(errno, "/ cannot be looked at");
    return trust(status, "/");
}

int FolderChain::step(const std::string& name)
{
    Descriptor next;
    int error = openName(name, &next);
    struct stat status;
    if (error == 0 && fstat(next.get(), &status) != 0)
        error = errno;
    if (error != 0)
        return fail(error, spelt(name) + ": " + std::strerror(error));
    if (S_ISLNK(status.st_mode))
        return follow(next.get(), status, spelt(name));
    error = trust(status, spelt(name));
    if (error == 0) {
        current = std::move(next);
        reached = spelt(name);
    }
    return error;
}

// A missing folder is made for the run's user alone, in a folder that only
// root or that user can write (or a sticky one, where a folder somebody else
// made first is then refused as theirs).
int FolderChain::openName(const std::string& name, Descriptor* next) const
{
    next->reset(openat(current.get(), name.c_str(), kStepFlags));
    if (next->isOpen())
        return 0;
    if (errno != ENOENT || !create)
        return errno;
    if (mkdirat(current.get(), name.c_str(), S_IRWXU) != 0 && errno != EEXIST)
        return errno;
    next->reset(openat(current.get(), name.c_str(), kStepFlags));
    return next->isOpen() ? 0 : errno;
}

// The rest of the path goes on from where the link points.
int FolderChain::follow(int link, const struct stat& status, const std::string& spelt)
{
    if (!isTrustedOwner(status.st_uid, false))
        return fail(EACCES, spelt + " is a symbolic link of uid " + std::to_string(status.st_uid));
    if (++followed > refusal::kMaxFollowedLinks)
        return fail(ELOOP, spelt + " leads through too many symbolic links");
    char target[PATH_MAX];
    const ssize_t length = readlinkat(link, "", target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof target)
        return fail(EIO, spelt + " cannot be read");
    const std::deque<std::string> rest = componentsOf(std::string(target, length));
    names.insert(names.begin(), rest.begin(), rest.end());
    return target[0] == '/' ? startAtRoot() : 0;
}

// The store's own folder is the last one; a sticky folder is acceptable on
// the way only.
int FolderChain::trust(const struct stat& status, const std::string& spelt) const
{
    const bool last = names.empty();
    if (!S_ISDIR(status.st_mode))
        return fail(ENOTDIR, spelt + " is not a folder");
    if (!isTrustedOwner(status.st_uid, last))
        return fail(EACCES, spelt + " is owned by uid " + std::to_string(status.st_uid));
    const bool othersWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (othersWrite && (last || (status.st_mode & S_ISVTX) == 0))
        return fail(EACCES, spelt + " is writable by group or others");
    return 0;
}

int FolderChain::fail(int error, const std::string& text) const
{
    *why = text;
    return error;
}

} // namespace

int openStoreFolder(const std::string& path, bool create, Descriptor* folder, std::string* why)
{
    return FolderChain(create, why).open(path, folder);
}

} // namespace posixacl
