#include "app/InputTrust.h"

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Links followed before a path counts as a loop, as the kernel counts them.
constexpr int kMaxFollowedLinks = 40;

std::vector<std::string> componentsOf(const std::string& path)
{
    std::vector<std::string> names;
    std::size_t begin = 0;
    while (begin <= path.size()) {
        const std::size_t end = std::min(path.find('/', begin), path.size());
        if (end > begin && path.compare(begin, end - begin, ".") != 0)
            names.push_back(path.substr(begin, end - begin));
        begin = end + 1;
    }
    return names;
}

std::string ownershipProblem(const std::string& path, const struct stat& status, bool stickyWill)
{
    if (status.st_uid != 0)
        return path + " is owned by uid " + std::to_string(status.st_uid) + ", not root";
    const bool othersWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    // In a root-owned sticky folder only an entry's owner may rename or
    // remove it: what lies below is safe as long as it is root's too.
    if (othersWrite && !(stickyWill && S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX)))
        return path + " is writable by group or others";
    return "";
}

// Follows `path` one name at a time, so that every folder it passes, and
// every link on the way, is looked at. Relative paths start at the current
// directory, which the caller checks on its own.
class PathCheck {
public:
    explicit PathCheck(const std::string& path)
        : reached(path.size() > 0 && path[0] == '/' ? "/" : "."), names(componentsOf(path))
    {
    }
    std::string run(bool mayBeMissing);

private:
    std::string step(const std::string& name, bool last, bool mayBeMissing);
    std::string follow(const std::string& link, const struct stat& status);
    std::string joined(const std::string& name) const
    {
        return reached == "/" ? "/" + name : reached + "/" + name;
    }

    std::string reached;
    std::vector<std::string> names;
    std::size_t next = 0;
    int followed = 0;
};

std::string PathCheck::run(bool mayBeMissing)
{
    struct stat status;
    if (names.empty() && lstat(reached.c_str(), &status) == 0)
        return ownershipProblem(reached == "." ? "the working directory" : reached, status, false);
    if (reached == "/" && lstat("/", &status) == 0) {
        const std::string problem = ownershipProblem("/", status, true);
        if (!problem.empty())
            return problem;
    }
    while (next < names.size()) {
        const std::string& name = names[next++];
        const std::string problem = step(name, next == names.size(), mayBeMissing);
        if (!problem.empty())
            return problem;
    }
    return "";
}

std::string PathCheck::step(const std::string& name, bool last, bool mayBeMissing)
{
    const std::string path = joined(name);
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        if ((errno != ENOENT && errno != ENOTDIR) || !mayBeMissing)
            return path + " cannot be looked at";
        // What is missing is made by the run itself, so whoever may write
        // the folder it goes into could make it first.
        struct stat folder;
        return lstat(reached.c_str(), &folder) == 0 ? ownershipProblem(reached, folder, false)
                                                    : reached + " cannot be looked at";
    }
    if (S_ISLNK(status.st_mode))
        return follow(path, status);
    const std::string problem = ownershipProblem(path, status, !last);
    if (problem.empty())
        reached = path;
    return problem;
}

// Only root's own links are followed; the rest of the path goes on from
// where the link points.
std::string PathCheck::follow(const std::string& link, const struct stat& status)
{
    if (status.st_uid != 0)
        return link + " is a symbolic link root does not own";
    if (++followed > kMaxFollowedLinks)
        return link + " leads through too many symbolic links";
    char target[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof target)
        return link + " cannot be read";
    const std::string to(target, static_cast<std::size_t>(length));
    std::vector<std::string> rest = componentsOf(to);
    rest.insert(rest.end(), names.begin() + static_cast<std::ptrdiff_t>(next), names.end());
    names = std::move(rest);
    next = 0;
    if (to[0] == '/')
        reached = "/";
    return "";
}

} // namespace

std::string whyUntrusted(const std::string& path, bool mayBeMissing)
{
    return PathCheck(path).run(mayBeMissing);
}

bool runsAsAdministrator()
{
    return geteuid() == 0;
}
