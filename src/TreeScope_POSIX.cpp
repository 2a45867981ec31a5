#include "TreeScope.h"

#include "posixacl/Refusals.h"
#include "posixacl/TreeResolver.h"

// A configured path that crosses a link the resolver may not follow is
// reported as a link: it exists, yet nothing of it can be read.
std::optional<FileKind> TreeScope::enter(const std::string& folder)
{
    posixacl::TreeResolver::enter(folder, FolderListing::prefixOf(folder));
    struct stat status;
    const int error = posixacl::TreeResolver::rootStatus(&status);
    if (error == posixacl::refusal::kForeignLink)
        return FileKind::Link;
    if (error != 0)
        return FileKind::Missing;
    return S_ISDIR(status.st_mode) ? FileKind::Folder : FileKind::Other;
}

void TreeScope::leave()
{
    posixacl::TreeResolver::leave();
}
