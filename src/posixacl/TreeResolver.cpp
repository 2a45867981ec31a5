#include "posixacl/TreeResolver.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace posixacl {

namespace {

struct Tree {
    std::string root;
    std::string listingPrefix;
    int descriptor = -1;
    int openError = 0; // why the folder could not be opened
};

Tree tree;
bool openat2Missing = false;

int descriptorOrError(int descriptor)
{
    return descriptor >= 0 ? descriptor : -errno;
}

// The fallback for kernels without openat2: one component at a time, each
// refused if it is a link, every one but the last required to be a folder.
int openComponentwise(int start, const std::string& relative, int flags)
{
    int current = start;
    std::size_t begin = 0;
    while (begin < relative.size()) {
        std::size_t end = relative.find('/', begin);
        const bool last = end == std::string::npos;
        if (last)
            end = relative.size();
        const std::string name = relative.substr(begin, end - begin);
        begin = end + 1;
        if (name.empty())
            continue;
        const int componentFlags =
            O_NOFOLLOW | O_CLOEXEC | (last ? flags : O_PATH | O_DIRECTORY);
        const int next =
            name == ".." ? (errno = EXDEV, -1) : openat(current, name.c_str(), componentFlags);
        const int error = errno;
        if (current != start)
            close(current);
        if (next < 0)
            return -error;
        current = next;
    }
    return current != start ? current : -ENOENT;
}

int openBeneath(int start, const char* relative, int flags)
{
    if (!openat2Missing) {
        open_how how{};
        how.flags = static_cast<unsigned>(flags | O_NOFOLLOW | O_CLOEXEC);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        const long descriptor = syscall(SYS_openat2, start, relative, &how, sizeof how);
        if (descriptor >= 0 || errno != ENOSYS)
            return descriptorOrError(static_cast<int>(descriptor));
        openat2Missing = true;
    }
    return openComponentwise(start, relative, flags);
}

bool liesBelowTree(const std::string& path)
{
    return path.size() > tree.listingPrefix.size() &&
           path.compare(0, tree.listingPrefix.size(), tree.listingPrefix) == 0;
}

// The configured folder is the inode opened on entering the tree, so that
// it and everything resolved below it are one and the same tree.
int openRoot(int flags)
{
    if (tree.descriptor < 0)
        return -tree.openError;
    if ((flags & O_PATH) != 0)
        return descriptorOrError(fcntl(tree.descriptor, F_DUPFD_CLOEXEC, 0));
    return descriptorOrError(openat(tree.descriptor, ".", flags | O_CLOEXEC));
}

} // namespace

void TreeResolver::enter(const std::string& root, const std::string& listingPrefix)
{
    leave();
    tree.root = root;
    tree.listingPrefix = listingPrefix;
    tree.descriptor = ::open(root.c_str(), O_PATH | O_CLOEXEC);
    tree.openError = tree.descriptor < 0 ? errno : 0;
}

void TreeResolver::leave()
{
    if (tree.descriptor >= 0)
        close(tree.descriptor);
    tree = Tree();
}

bool TreeResolver::isTreeRoot(const std::string& path)
{
    return !tree.root.empty() && path == tree.root;
}

// Inside a tree, a path that is neither the folder nor spelt as lying below
// it is refused rather than opened some other way.
int TreeResolver::open(const std::string& path, int flags)
{
    if (tree.root.empty())
        return descriptorOrError(::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
    if (path == tree.root)
        return openRoot(flags);
    if (!liesBelowTree(path))
        return -EXDEV;
    if (tree.descriptor < 0)
        return -tree.openError;
    return openBeneath(tree.descriptor, path.c_str() + tree.listingPrefix.size(), flags);
}

} // namespace posixacl
