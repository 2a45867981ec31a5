// The configured folder is resolved once into a handle (winsec/
// FolderResolver_WIN32.h) and registered under its path for as long as its
// tree is walked; everything below is opened from it. Records of files gone
// from its volume are pruned on the way in.
#include "TreeScope.h"

#include "EntryKind_WIN32.h"
#include "winsec/FolderResolver_WIN32.h"
#include "winsec/RecordStore_WIN32.h"

#include <memory>
#include <vector>

namespace {

std::vector<std::unique_ptr<winsec::PathRegistration>>& enteredFolders()
{
    static std::vector<std::unique_ptr<winsec::PathRegistration>> folders;
    return folders;
}

} // namespace

std::optional<FileKind> TreeScope::enter(const std::string& folder)
{
    const winsec::OpenEntry entry = winsec::resolveFolder(folder);
    winsec::pruneRecordsOfGoneFiles(entry);
    enteredFolders().emplace_back(new winsec::PathRegistration(folder, entry));
    // A refused reparse point reads as a link: it exists for the walk, and
    // its operations fail like those of a path that cannot be read.
    return fileKindOf(entry);
}

void TreeScope::leave()
{
    if (!enteredFolders().empty())
        enteredFolders().pop_back();
}
