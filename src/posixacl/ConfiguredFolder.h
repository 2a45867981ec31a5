// The one place where a configured path turns into an inode. It is resolved
// one component at a time without following any link but root's
// (refusal::kForeignLink): whoever can write a folder above it could
// otherwise swap it for a link to anywhere.
#ifndef TOLVANE_POSIXACL_CONFIGURED_FOLDER_H
#define TOLVANE_POSIXACL_CONFIGURED_FOLDER_H

#include "posixacl/Descriptor.h"

#include <string>

namespace posixacl {

// An O_PATH descriptor of what `path` names into `opened`; 0 or an errno
// value (ENOENT for an empty path or one holding a NUL byte).
int openConfiguredPath(const std::string& path, Descriptor* opened);

} // namespace posixacl

#endif
