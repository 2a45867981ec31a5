#include "TreeScope.h"

// Windows resolves every path as it is; a reparse point below a configured
// folder is kept out of the walk by the listing instead.
std::optional<FileKind> TreeScope::enter(const std::string&)
{
    return std::nullopt;
}

void TreeScope::leave() {}
