#include "TreeScope.h"

TreeScope::TreeScope(const std::string& folder, int& depth) : depth(depth)
{
    if (depth == 0)
        resolvedKind = enter(folder);
    ++depth;
}

TreeScope::~TreeScope()
{
    if (--depth == 0)
        leave();
}
