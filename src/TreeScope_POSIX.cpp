#include "TreeScope.h"

#include "FolderListing.h"
#include "posixacl/TreeResolver.h"

void TreeScope::enter(const std::string& folder)
{
    posixacl::TreeResolver::enter(folder, FolderListing::prefixOf(folder));
}

void TreeScope::leave()
{
    posixacl::TreeResolver::leave();
}
