// What the POSIX backend refuses to act on in and below a configured folder,
// each rule with the one errno value it is reported as. Every check site
// names the rule it applies; nothing else in the backend produces these
// values on purpose.
#ifndef TOLVANE_POSIXACL_REFUSALS_H
#define TOLVANE_POSIXACL_REFUSALS_H

#include <cerrno>

namespace posixacl::refusal {

// In the configured folder's own path, a symbolic link that root does not
// own: never followed, for its owner could point it anywhere; the path is
// refused as one that cannot be read. Root's links are followed, at most
// kMaxFollowedLinks of them (ELOOP beyond, as the kernel would).
constexpr int kForeignLink = ENOLINK;
constexpr int kMaxFollowedLinks = 40;
// A symbolic link in any component below the configured folder: never
// followed, never changed (whoever can write the tree could point it anywhere).
constexpr int kLink = ELOOP;
// Inside a tree, a path spelt neither as the configured folder nor below it:
// refused rather than opened some other way.
constexpr int kOutsideTree = EXDEV;

} // namespace posixacl::refusal

#endif
