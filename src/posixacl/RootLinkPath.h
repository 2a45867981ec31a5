// The one place where a path the administrator wrote turns into an inode:
// the configured folders and the run's own inputs. It is resolved one
// component at a time from / (or the working directory) without following
// any link but root's: whoever can write a folder on the way could
// otherwise swap a component for a link to anywhere. Every component is
// shown to a rule before the next one is taken.
#ifndef TOLVANE_POSIXACL_ROOT_LINK_PATH_H
#define TOLVANE_POSIXACL_ROOT_LINK_PATH_H

#include "posixacl/Descriptor.h"

#include <string>
#include <sys/stat.h>

namespace posixacl {

// One component met on the way.
struct PathStep {
    // How the path reaches it: "/" or "." for the start, then each name
    // joined to the folder it lies in ("./a", "/a/b"); a link's target goes
    // on from the folder the link lies in.
    const std::string& spelt;
    const struct stat& status; // a link not followed
    bool last;                 // nothing of the path, links resolved, comes after it
};

// What a caller asks of every component; each answer is 0 to go on, or the
// error that ends the resolution.
class PathRule {
public:
    // The start and every component reached, a link before it is followed.
    virtual int reached(const PathStep& step) = 0;
    // The next component, spelt `spelt`, cannot be opened (`error`);
    // `folder` is the last one reached. 0 ends the resolution there without
    // an error.
    virtual int notFound(const PathStep& folder, const std::string& spelt, int error) = 0;

protected:
    ~PathRule() = default;
};

// Why a resolution stopped, and at what: 0 when `path` was resolved, or
// when a rule ended it without an error.
struct PathStop {
    int error = 0;
    std::string at;         // the spelt path of the component it stopped at
    bool linkTarget = false; // the error came from reading a link's target
};

// Resolves `path`; on success (error 0 and nothing left) an O_PATH
// descriptor of what it names goes into `opened`. A link that root does not
// own is refused (refusal::kForeignLink), beyond refusal::kMaxFollowedLinks
// links ELOOP, as the kernel would. A path that is empty or holds a NUL byte
// is ENOENT.
PathStop resolveRootLinkPath(const std::string& path, PathRule& rule, Descriptor* opened);

// The configured path with no rule but root's links: 0 or the error.
int openConfiguredPath(const std::string& path, Descriptor* opened);

} // namespace posixacl

#endif
