// The configured folder whose tree a walk is in. While the outermost scope
// of a walk lives, the platform may resolve every path below that folder
// from the folder itself (POSIX: without following any link); on Windows
// there is nothing to hold.
#ifndef TOLVANE_TREE_SCOPE_H
#define TOLVANE_TREE_SCOPE_H

#include "FolderListing.h"

#include <optional>
#include <string>

class TreeScope {
public:
    // `depth` counts the levels of the walk in progress: only the scope that
    // finds it at 0 enters the tree of `folder`, and leaves it again.
    TreeScope(const std::string& folder, int& depth);
    ~TreeScope();
    TreeScope(const TreeScope&) = delete;
    TreeScope& operator=(const TreeScope&) = delete;

    // For the scope that entered the tree, what the platform resolved the
    // configured folder to (FileKind::Link: a path it refuses to follow);
    // nothing for a sub-folder, or where paths are taken as they are.
    std::optional<FileKind> configuredFolderKind() const { return resolvedKind; }

private:
    // Defined once per platform.
    static std::optional<FileKind> enter(const std::string& folder);
    static void leave();

    int& depth;
    std::optional<FileKind> resolvedKind;
};

#endif
