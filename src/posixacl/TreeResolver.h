// Turns the paths of one folder tree into descriptors. The configured folder
// is resolved once, on entering its tree, one component at a time without
// following any link but root's (refusal::kForeignLink): whoever can write a
// folder above it could otherwise swap it for a link to anywhere. Everything
// below it is resolved from that folder's descriptor without
// following any link in any component (refusal::kLink), so a folder swapped
// for a link while the tree is walked makes the open fail instead of leading
// out of the tree.
#ifndef TOLVANE_POSIXACL_TREE_RESOLVER_H
#define TOLVANE_POSIXACL_TREE_RESOLVER_H

#include "posixacl/Descriptor.h"

#include <string>
#include <sys/stat.h>

namespace posixacl {

class TreeResolver {
public:
    // Paths below `root` start with `listingPrefix`.
    static void enter(const std::string& root, const std::string& listingPrefix);
    static void leave();

    // What entering found at the configured folder: 0 and its status, or
    // the errno value of why it could not be resolved.
    static int rootStatus(struct stat* status);

    // Opens `path` with `flags` (O_PATH, or O_RDONLY | O_DIRECTORY for a
    // listing) into `opened`; 0 or an errno value. Inside a tree, a path that
    // is neither the configured folder nor below it is refused
    // (refusal::kOutsideTree); outside any tree only a link in the last
    // component is refused.
    static int open(const std::string& path, int flags, Descriptor* opened);

    // Whether `path` is the configured folder of the tree being walked.
    static bool isTreeRoot(const std::string& path);
};

} // namespace posixacl

#endif
