// Turns the paths of one folder tree into O_PATH descriptors. The configured
// folder is opened as configured, links and all: the administrator chose it.
// Everything below it is resolved from that folder's descriptor without
// following any link in any component, so a folder swapped for a link while
// the tree is walked makes the open fail instead of leading out of the tree.
#ifndef TOLVANE_TREE_RESOLVER_H
#define TOLVANE_TREE_RESOLVER_H

#include <string>

namespace posixacl {

class TreeResolver {
public:
    // Paths below `root` start with `listingPrefix`.
    static void enter(const std::string& root, const std::string& listingPrefix);
    static void leave();

    // A descriptor for `path` opened with `flags` (O_PATH, or O_RDONLY |
    // O_DIRECTORY for a listing), or -errno. Inside a tree, a path that is
    // neither the configured folder nor below it fails with EXDEV; outside
    // any tree only a link in the last component is refused.
    static int open(const std::string& path, int flags);

    // Whether `path` is the configured folder of the tree being walked.
    static bool isTreeRoot(const std::string& path);
};

} // namespace posixacl

#endif
