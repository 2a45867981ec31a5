#include "posixacl/TreeResolver.h"

#include "posixacl/Refusals.h"

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
    Descriptor folder;
    int openError = 0; // why the folder could not be opened
};

Tree tree;
bool openat2Missing = false;

// Takes a system call's result: the descriptor into `opened`, else errno.
int keep(int descriptor, Descriptor* opened)
{
    if (descriptor < 0)
        return errno;
    opened->reset(descriptor);
    return 0;
}

// The fallback for kernels without openat2: one component at a time, each
// refused if it is a link (refusal::kLink, through O_NOFOLLOW), every one
// but the last required to be a folder.
int openComponentwise(int start, const std::string& relative, int flags, Descriptor* opened)
{
    Descriptor current;
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
        if (name == "..")
            return refusal::kOutsideTree;
        const int componentFlags = O_NOFOLLOW | O_CLOEXEC | (last ? flags : O_PATH | O_DIRECTORY);
        const int from = current.isOpen() ? current.get() : start;
        Descriptor next;
        const int error = keep(openat(from, name.c_str(), componentFlags), &next);
        if (error != 0)
            return error;
        current = std::move(next);
    }
    if (!current.isOpen())
        return ENOENT;
    *opened = std::move(current);
    return 0;
}

int openBeneath(int start, const char* relative, int flags, Descriptor* opened)
{
    if (!openat2Missing) {
        open_how how{};
        how.flags = static_cast<unsigned>(flags | O_NOFOLLOW | O_CLOEXEC);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        const long descriptor = syscall(SYS_openat2, start, relative, &how, sizeof how);
        if (descriptor >= 0 || errno != ENOSYS)
            return keep(static_cast<int>(descriptor), opened);
        openat2Missing = true;
    }
    return openComponentwise(start, relative, flags, opened);
}

bool liesBelowTree(const std::string& path)
{
    return path.size() > tree.listingPrefix.size() &&
           path.compare(0, tree.listingPrefix.size(), tree.listingPrefix) == 0;
}

// The configured folder is the inode opened on entering the tree, so that
// it and everything resolved below it are one and the same tree.
int openRoot(int flags, Descriptor* opened)
{
    if (!tree.folder.isOpen())
        return tree.openError;
    if ((flags & O_PATH) != 0)
        return keep(fcntl(tree.folder.get(), F_DUPFD_CLOEXEC, 0), opened);
    return keep(openat(tree.folder.get(), ".", flags | O_CLOEXEC), opened);
}

} // namespace

void TreeResolver::enter(const std::string& root, const std::string& listingPrefix)
{
    leave();
    tree.root = root;
    tree.listingPrefix = listingPrefix;
    tree.openError = keep(::open(root.c_str(), O_PATH | O_CLOEXEC), &tree.folder);
}

void TreeResolver::leave()
{
    tree = Tree();
}

bool TreeResolver::isTreeRoot(const std::string& path)
{
    return !tree.root.empty() && path == tree.root;
}

int TreeResolver::open(const std::string& path, int flags, Descriptor* opened)
{
    if (tree.root.empty())
        return keep(::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC), opened);
    if (path == tree.root)
        return openRoot(flags, opened);
    if (!liesBelowTree(path))
        return refusal::kOutsideTree;
    if (!tree.folder.isOpen())
        return tree.openError;
    return openBeneath(tree.folder.get(), path.c_str() + tree.listingPrefix.size(), flags, opened);
}

} // namespace posixacl
