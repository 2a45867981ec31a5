#include "posixacl/ConfiguredFolder.h"

#include "posixacl/Refusals.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace posixacl {

namespace {

// Takes a system call's result: the descriptor into `opened`, else errno.
int keep(int descriptor, Descriptor* opened)
{
    if (descriptor < 0)
        return errno;
    opened->reset(descriptor);
    return 0;
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
} // namespace

int openConfiguredPath(const std::string& path, Descriptor* opened)
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

} // namespace posixacl
