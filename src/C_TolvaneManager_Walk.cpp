#include "C_TolvaneManager.h"

#include "FolderListing.h"
#include "TreeScope.h"

#include <optional>

namespace {

const std::string walkTag = "C_TolvaneManager::recursiveFolderPermissionAccess";
const std::string modificationTag = "C_TolvaneManager::filePermissionModification";

} // namespace

bool C_TolvaneManager::recursiveFolderPermissionAccess(const std::string& path, bool lock)
{
    try {
        if (walkDepth == 0)
            recordLossReported = false;
        const TreeScope scope(path, walkDepth);
        // The configured folder is what its tree scope resolved, never looked
        // up by name again; one the resolver refused exists for the walk, and
        // then fails like a path that cannot be read.
        const std::optional<FileKind> resolved = scope.configuredFolderKind();
        const FileKind kind = resolved ? *resolved : FolderListing::kindAt(path);
        if (kind == FileKind::Missing) {
            reportMissing(path);
            return false;
        }
        bool result = filePermissionModification(path, lock);
        if (kind != FileKind::Folder)
            return result;
        FolderListing listing(path);
        while (listing.next())
            result = visitEntry(listing.path(), listing.kind(), lock, result);
        return result;
    } catch (...) {
        fatalWithCurrentException(walkTag, kPocoUpperLabel);
    }
    return false;
}

// One entry of a folder's listing, `runningResult` being the folder's result
// so far. The rules, in the order they are checked:
// - a link below a configured folder is neither entered nor modified:
//   whoever can write the tree could otherwise point it anywhere;
// - an entry gone by the time it is looked at is reported as missing, and
//   the rest of the folder is still handled;
// - a sub-folder is walked at once, and its own outcome does not change its
//   parent's result;
// - once a file of this folder has failed, the files listed after it are
//   left as they are until the next run.
bool C_TolvaneManager::visitEntry(const std::string& entry, FileKind kind, bool lock,
                                  bool runningResult)
{
    switch (kind) {
    case FileKind::Link:
        return runningResult;
    case FileKind::Missing:
        reportMissing(entry);
        return runningResult;
    case FileKind::Folder:
        recursiveFolderPermissionAccess(entry, lock);
        return runningResult;
    case FileKind::Other:
        break;
    }
    if (!runningResult)
        return false;
    return filePermissionModification(entry, lock);
}

bool C_TolvaneManager::filePermissionModification(const std::string& path, bool lock)
{
    try {
        if (lock ? lockWritingPermission(path) : unlockWritingPermission(path))
            return true;
        failWith(ReturnCode::Permission, modificationTag,
                 std::string(lock ? "Locking" : "Unlocking") + " writing permission for File ( " +
                     path + " ) failed ");
    } catch (...) {
        fatalWithCurrentException(modificationTag, nullptr);
    }
    return false;
}
