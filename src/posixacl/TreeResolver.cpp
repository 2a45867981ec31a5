#include "posixacl/TreeResolver.h"

#include "posixacl/Refusals.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace posixacl {

namespace {

struct Tree {
    std::string root;
    std::string listingPrefix;
    Descriptor folder;
    int openError = 0; // why the folder could not be opened
};

struct Listed {
    std::string name;
    unsigned char type;
};

// A folder whose listing is in progress, with the entries it has read: the
// one it hands out now in front, then those read ahead.
struct Held {
    const std::string* prefix;
    int descriptor;
    unsigned long number;
    std::deque<Listed> entries;
};

Tree tree;
std::vector<Held> held;
unsigned long listingsOpened = 0;
bool openat2Missing = false;

constexpr int kReadFlags = TreeResolver::kReadFlags;
constexpr std::size_t kLongestPiece = PATH_MAX - 1;

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

// The next component of `rest`, taken off its front; empty when none is left.
std::string takeComponent(std::string* rest)
{
    const std::size_t begin = rest->find_first_not_of('/');
    if (begin == std::string::npos) {
        rest->clear();
        return {};
    }
    const std::size_t end = std::min(rest->find('/', begin), rest->size());
    std::string name = rest->substr(begin, end - begin);
    rest->erase(0, end);
    return name;
}

int readLinkTarget(const Descriptor& link, std::string* target)
{
    char buffer[PATH_MAX];
    const ssize_t size = readlinkat(link.get(), "", buffer, sizeof buffer);
    if (size < 0)
        return errno;
    if (static_cast<std::size_t>(size) == sizeof buffer)
        return ENAMETOOLONG;
    target->assign(buffer, static_cast<std::size_t>(size));
    return 0;
}

int openStart(const std::string& path, Descriptor* start)
{
    return keep(::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC), start);
}

// Puts root's link `link` in front of what is left to resolve; `current`
// moves to `/` for a target spelt from there.
int followRootLink(const Descriptor& link, const struct stat& status, std::string* rest,
                   Descriptor* current, int* followed)
{
    if (status.st_uid != 0)
        return refusal::kForeignLink;
    if (++*followed > refusal::kMaxFollowedLinks)
        return ELOOP;
    std::string target;
    const int error = readLinkTarget(link, &target);
    if (error != 0 || target.empty())
        return error != 0 ? error : ENOENT;
    *rest = target + "/" + *rest;
    return target[0] == '/' ? openStart(target, current) : 0;
}

// Resolves the configured path one component at a time from `/` (or the
// current directory) with O_NOFOLLOW; only root's links are followed.
int resolveConfiguredFolder(const std::string& path, Descriptor* opened)
{
    if (path.empty() || path.find('\0') != std::string::npos)
        return ENOENT;
    Descriptor current;
    int error = openStart(path, &current);
    std::string rest = path;
    int followed = 0;
    for (std::string name = takeComponent(&rest); error == 0 && !name.empty();
         name = takeComponent(&rest)) {
        Descriptor next;
        struct stat status;
        error = keep(openat(current.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC), &next);
        if (error == 0 && fstat(next.get(), &status) != 0)
            error = errno;
        if (error == 0 && S_ISLNK(status.st_mode))
            error = followRootLink(next, status, &rest, &current, &followed);
        else if (error == 0)
            current = std::move(next);
    }
    if (error == 0)
        *opened = std::move(current);
    return error;
}

// Opens `relative` beneath `start` in pieces that each fit in PATH_MAX,
// split between components, so that no depth is too deep.
int openInPieces(int start, const std::string& relative, int flags, Descriptor* opened)
{
    Descriptor current;
    int from = start;
    std::size_t begin = 0;
    while (relative.size() - begin > kLongestPiece) {
        const std::size_t end = relative.rfind('/', begin + kLongestPiece);
        if (end == std::string::npos || end <= begin)
            return ENAMETOOLONG;
        Descriptor next;
        const std::string piece = relative.substr(begin, end - begin);
        const int error = openBeneath(from, piece.c_str(), O_PATH | O_DIRECTORY, &next);
        if (error != 0)
            return error;
        current = std::move(next);
        from = current.get();
        begin = end + 1;
    }
    return openBeneath(from, relative.c_str() + begin, flags, opened);
}

// The held folder `path` lies directly in (the innermost listing), or null.
const Held* holderOf(const std::string& path)
{
    if (held.empty())
        return nullptr;
    const std::string& prefix = *held.back().prefix;
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0 ||
        path.find('/', prefix.size()) != std::string::npos)
        return nullptr;
    return &held.back();
}

const char* nameIn(const Held& holder, const std::string& path)
{
    return path.c_str() + holder.prefix->size();
}

// The flags to open the entry for reading with, 0 when it must not be.
int readFlagsFor(const Held& holder, const char* name)
{
    if (holder.entries.empty() || holder.entries.front().name != name)
        return 0;
    if (holder.entries.front().type == DT_REG)
        return kReadFlags;
    return holder.entries.front().type == DT_DIR ? kReadFlags | O_DIRECTORY : 0;
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
    tree.openError = resolveConfiguredFolder(root, &tree.folder);
}

int TreeResolver::rootStatus(struct stat* status)
{
    if (!tree.folder.isOpen())
        return tree.openError;
    return fstat(tree.folder.get(), status) == 0 ? 0 : errno;
}

void TreeResolver::leave()
{
    tree = Tree();
}

namespace {

// What every open decides before it resolves anything below the configured
// folder: outside any tree, the folder itself, a path not spelt below it
// (refusal::kOutsideTree), a folder that could not be resolved. True when it
// decided, its result in *result.
bool openedWithoutDescending(const std::string& path, int flags, Descriptor* opened, int* result)
{
    if (tree.root.empty())
        *result = keep(::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC), opened);
    else if (path == tree.root)
        *result = openRoot(flags, opened);
    else if (!liesBelowTree(path))
        *result = refusal::kOutsideTree;
    else if (!tree.folder.isOpen())
        *result = tree.openError;
    else
        return false;
    return true;
}

} // namespace

int TreeResolver::open(const std::string& path, int flags, Descriptor* opened)
{
    int result = 0;
    if (openedWithoutDescending(path, flags, opened, &result))
        return result;
    if (const Held* holder = holderOf(path))
        return keep(openat(holder->descriptor, nameIn(*holder, path), flags | O_NOFOLLOW | O_CLOEXEC),
                    opened);
    return openBeneath(tree.folder.get(), path.c_str() + tree.listingPrefix.size(), flags, opened);
}

int TreeResolver::openForAttributes(const std::string& path, Descriptor* opened, bool* readable)
{
    *readable = false;
    const Held* holder = tree.root.empty() ? nullptr : holderOf(path);
    const int readFlags = holder != nullptr ? readFlagsFor(*holder, nameIn(*holder, path)) : 0;
    if (readFlags != 0 && liesBelowTree(path) &&
        keep(openat(holder->descriptor, nameIn(*holder, path), readFlags), opened) == 0) {
        *readable = true;
        return 0;
    }
    return open(path, O_PATH, opened);
}

int TreeResolver::openFolder(const std::string& path, Descriptor* opened)
{
    constexpr int kListFlags = O_RDONLY | O_DIRECTORY;
    int result = 0;
    if (openedWithoutDescending(path, kListFlags, opened, &result))
        return result;
    return openInPieces(tree.folder.get(), path.substr(tree.listingPrefix.size()), kListFlags,
                        opened);
}

int TreeResolver::status(const std::string& path, struct stat* result)
{
    const Held* holder = tree.root.empty() || !liesBelowTree(path) ? nullptr : holderOf(path);
    if (holder != nullptr)
        return fstatat(holder->descriptor, nameIn(*holder, path), result, AT_SYMLINK_NOFOLLOW) == 0
                   ? 0
                   : errno;
    Descriptor inode;
    const int error = open(path, O_PATH, &inode);
    if (error != 0)
        return error;
    return fstat(inode.get(), result) == 0 ? 0 : errno;
}

namespace {

// The innermost listing, when `path` is the regular file it hands out now.
const Held* listingOfFileAt(const std::string& path)
{
    const Held* holder = tree.root.empty() || !liesBelowTree(path) ? nullptr : holderOf(path);
    if (holder == nullptr || readFlagsFor(*holder, nameIn(*holder, path)) != kReadFlags)
        return nullptr;
    return holder;
}

} // namespace

unsigned long TreeResolver::listingOfFile(const std::string& path)
{
    const Held* holder = listingOfFileAt(path);
    return holder != nullptr ? holder->number : 0;
}

std::vector<std::string> TreeResolver::filesAheadFrom(const std::string& path, std::size_t most,
                                                      int* folder)
{
    std::vector<std::string> names;
    const Held* holder = listingOfFileAt(path);
    if (holder == nullptr)
        return names;
    *folder = holder->descriptor;
    for (const Listed& entry : holder->entries)
        if (entry.type == DT_REG && names.size() < most)
            names.push_back(entry.name);
    return names;
}

HeldFolder::HeldFolder(const std::string& prefix, int descriptor) : level(held.size())
{
    held.push_back(Held{&prefix, descriptor, ++listingsOpened, {}});
}

HeldFolder::~HeldFolder()
{
    held.resize(level);
}

void HeldFolder::append(const char* name, unsigned char type)
{
    held[level].entries.push_back(Listed{name, type});
}

void HeldFolder::advance()
{
    std::deque<Listed>& entries = held[level].entries;
    if (!entries.empty())
        entries.pop_front();
}

std::size_t HeldFolder::waiting() const
{
    return held[level].entries.size();
}

const std::string& HeldFolder::name() const
{
    return held[level].entries.front().name;
}

unsigned char HeldFolder::type() const
{
    return held[level].entries.front().type;
}

} // namespace posixacl
