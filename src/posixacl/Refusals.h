// What the POSIX backend refuses to act on below a configured folder, each
// rule with the one errno value it is reported as. Every check site names the
// rule it applies; nothing else in the backend produces these values on
// purpose.
#ifndef TOLVANE_POSIXACL_REFUSALS_H
#define TOLVANE_POSIXACL_REFUSALS_H

#include <cerrno>

namespace posixacl::refusal {

// A symbolic link in any component below the configured folder: never
// followed, never changed (whoever can write the tree could point it anywhere).
constexpr int kLink = ELOOP;
// Inside a tree, a path spelt neither as the configured folder nor below it:
// refused rather than opened some other way.
constexpr int kOutsideTree = EXDEV;
// Neither a regular file nor a directory (FIFO, socket, device): never opened
// for I/O.
constexpr int kOtherKind = EINVAL;
// A regular file with more than one link below the configured folder, and
// no record of what -lock took from it: its other names may lie outside the
// tree, so -unlock's broad rule could grant rights on somebody else's file.
// -lock goes on (taking write away is always safe); -unlock refuses it.
constexpr int kHardLink = EMLINK;

} // namespace posixacl::refusal

#endif
