#include "posixacl/RootLinkPath.h"

#include "posixacl/Refusals.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
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

// The next component of `rest`, taken off its front; empty when none is
// left. "." names nothing new and is passed over.
std::string takeComponent(std::string* rest)
{
    for (;;) {
        const std::size_t begin = rest->find_first_not_of('/');
        if (begin == std::string::npos) {
            rest->clear();
            return {};
        }
        const std::size_t end = std::min(rest->find('/', begin), rest->size());
        std::string name = rest->substr(begin, end - begin);
        rest->erase(0, end);
        if (name != ".")
            return name;
    }
}

bool hasComponent(const std::string& rest)
{
    std::string copy = rest;
    return !takeComponent(&copy).empty();
}

int readLinkTarget(const Descriptor& link, std::string* target)
{
    char buffer[PATH_MAX];
    const ssize_t size = readlinkat(link.get(), "", buffer, sizeof buffer);
    if (size < 0)
        return errno;
    if (size == 0)
        return ENOENT;
    if (static_cast<std::size_t>(size) == sizeof buffer)
        return ENAMETOOLONG;
    target->assign(buffer, static_cast<std::size_t>(size));
    return 0;
}

// The state of one resolution: where it stands and what is left of the path.
class Resolver {
public:
    Resolver(const std::string& path, PathRule& rule) : rule(rule), rest(path) {}
    PathStop run(Descriptor* opened);

private:
    int start(bool absolute);
    int step(const std::string& name);
    int follow(const Descriptor& link, const struct stat& status);
    PathStop stop(int error, bool linkTarget = false) { return PathStop{error, spelt, linkTarget}; }

    PathRule& rule;
    std::string rest;
    Descriptor current;
    struct stat currentStatus {};
    std::string spelt;
    int followed = 0;
    bool ended = false; // a rule ended it early without an error
    bool linkFailed = false;
};

int Resolver::start(bool absolute)
{
    spelt = absolute ? "/" : ".";
    int error = keep(::open(spelt.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC), &current);
    if (error == 0 && fstat(current.get(), &currentStatus) != 0)
        error = errno;
    return error;
}

PathStop Resolver::run(Descriptor* opened)
{
    if (rest.empty() || rest.find('\0') != std::string::npos)
        return PathStop{ENOENT, rest, false};
    int error = start(rest[0] == '/');
    if (error == 0)
        error = rule.reached(PathStep{spelt, currentStatus, !hasComponent(rest)});
    for (std::string name = takeComponent(&rest); error == 0 && !ended && !name.empty();
         name = takeComponent(&rest))
        error = step(name);
    if (error == 0 && !ended)
        *opened = std::move(current);
    return stop(error, linkFailed);
}

int Resolver::step(const std::string& name)
{
    const std::string folder = spelt;
    const std::string joined = (spelt == "/" ? "/" : spelt + "/") + name;
    Descriptor next;
    struct stat status;
    int error = keep(openat(current.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC), &next);
    if (error == 0 && fstat(next.get(), &status) != 0)
        error = errno;
    if (error != 0) {
        error = rule.notFound(PathStep{folder, currentStatus, false}, joined, error);
        ended = error == 0;
        return error;
    }
    spelt = joined;
    error = rule.reached(PathStep{spelt, status, !hasComponent(rest)});
    if (error != 0)
        return error;
    if (S_ISLNK(status.st_mode)) {
        spelt = folder;
        const int followError = follow(next, status);
        if (followError != 0)
            spelt = joined;
        return followError;
    }
    current = std::move(next);
    currentStatus = status;
    return 0;
}

// Puts root's link `link` in front of what is left to resolve; the
// resolution moves to `/` for a target spelt from there.
int Resolver::follow(const Descriptor& link, const struct stat& status)
{
    if (status.st_uid != 0)
        return refusal::kForeignLink;
    if (++followed > refusal::kMaxFollowedLinks)
        return ELOOP;
    std::string target;
    const int error = readLinkTarget(link, &target);
    if (error != 0) {
        linkFailed = true;
        return error;
    }
    rest = target + "/" + rest;
    return target[0] == '/' ? start(true) : 0;
}

// Nothing but root's links.
class AnyComponent final : public PathRule {
public:
    int reached(const PathStep&) override { return 0; }
    int notFound(const PathStep&, const std::string&, int error) override { return error; }
};

} // namespace

PathStop resolveRootLinkPath(const std::string& path, PathRule& rule, Descriptor* opened)
{
    return Resolver(path, rule).run(opened);
}

int openConfiguredPath(const std::string& path, Descriptor* opened)
{
    AnyComponent anything;
    return resolveRootLinkPath(path, anything, opened).error;
}

} // namespace posixacl
