#include "app/InputTrust.h"

#include "posixacl/Refusals.h"
#include "posixacl/RootLinkPath.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Any nonzero answer: the reason is kept by the rule.
constexpr int kUntrusted = EPERM;

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

// Every folder the path passes, and what it names, must be root's and
// written by nobody else. The working directory of a relative path is the
// caller's to check.
class RootOnly final : public posixacl::PathRule {
public:
    explicit RootOnly(bool mayBeMissing) : mayBeMissing(mayBeMissing) {}

    int reached(const posixacl::PathStep& step) override
    {
        if (S_ISLNK(step.status.st_mode))
            return 0; // links are judged by the resolution itself
        if (step.spelt == ".")
            return step.last ? refuse(ownershipProblem("the working directory", step.status, false))
                             : 0;
        return refuse(ownershipProblem(step.spelt, step.status, !step.last));
    }

    // What is missing is made by the run itself, so whoever may write the
    // folder it goes into could make it first.
    int notFound(const posixacl::PathStep& folder, const std::string& spelt, int error) override
    {
        if ((error != ENOENT && error != ENOTDIR) || !mayBeMissing)
            return refuse(spelt + " cannot be looked at");
        return refuse(ownershipProblem(folder.spelt, folder.status, false));
    }

    std::string reason;

private:
    int refuse(std::string why)
    {
        reason = std::move(why);
        return reason.empty() ? 0 : kUntrusted;
    }

    const bool mayBeMissing;
};

std::string reasonOfStop(const posixacl::PathStop& stop, const std::string& ruleReason)
{
    if (stop.error == 0 || stop.error == kUntrusted)
        return ruleReason;
    if (stop.error == posixacl::refusal::kForeignLink)
        return stop.at + " is a symbolic link root does not own";
    if (stop.linkTarget)
        return stop.at + " cannot be read";
    if (stop.error == ELOOP)
        return stop.at + " leads through too many symbolic links";
    return stop.at + " cannot be looked at";
}

} // namespace

std::string whyUntrusted(const std::string& path, bool mayBeMissing)
{
    RootOnly rule(mayBeMissing);
    posixacl::Descriptor opened;
    const posixacl::PathStop stop = posixacl::resolveRootLinkPath(path, rule, &opened);
    return reasonOfStop(stop, rule.reason);
}

bool runsAsAdministrator()
{
    return geteuid() == 0;
}
