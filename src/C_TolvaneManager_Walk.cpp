#include "C_TolvaneManager.h"

#include "C_Logger.h"

#include "FolderListing.h"
#include "TreeScope.h"

#include <optional>

namespace {

const std::string walkTag = "C_TolvaneManager::recursiveFolderPermissionAccess";
const std::string modificationTag = "C_TolvaneManager::filePermissionModification";

} // namespace

bool C_TolvaneManager::recursiveFolderPermissionAccess(const std::string& path, bool lock)
{
    const bool configured = walkDepth == 0;
    try {
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
        if (kind == FileKind::Folder) {
            FolderListing listing(path);
            while (listing.next())
                result = visitEntry(listing.path(), listing.kind(), lock) && result;
        }
        if (configured)
            reportUnrecordedLocked(path);
        return result;
    } catch (...) {
        fatalWithCurrentException(walkTag, kPocoUpperLabel);
    }
    if (configured)
        reportUnrecordedLocked(path);
    return false;
}

void C_TolvaneManager::UnrecordedCount::count(const std::string& path)
{
    if (paths++ == 0)
        first = path;
}

// Debug only: a tree locked by hand, or by a run whose records were lost,
// is not for -unlock to guess at, but the administrator may want to know.
void C_TolvaneManager::reportUnrecordedLocked(const std::string& folder)
{
    if (unrecordedLocked.paths != 0)
        C_Logger::getInstance()->logDebug(
            taggedHead(walkTag) + " :: " + std::to_string(unrecordedLocked.paths) +
            " entries below " + folder +
            " have no write record and look locked; left as they are, the first: " +
            unrecordedLocked.first);
    unrecordedLocked = UnrecordedCount();
}

// One entry of a folder's listing; false when it counts against the
// folder's success. The rules, in the order they are checked:
// - a link below a configured folder is neither entered nor modified:
//   whoever can write the tree could otherwise point it anywhere;
// - an entry gone by the time it is looked at is reported as missing;
// - a sub-folder is walked at once, and its own outcome does not change its
//   parent's result;
// - every other entry is handled whatever happened to those before it: one
//   that fails must not leave the rest of its folder writable.
bool C_TolvaneManager::visitEntry(const std::string& entry, FileKind kind, bool lock)
{
    switch (kind) {
    case FileKind::Link:
        return true;
    case FileKind::Missing:
        reportMissing(entry);
        return true;
    case FileKind::Folder:
        recursiveFolderPermissionAccess(entry, lock);
        return true;
    case FileKind::Other:
        break;
    }
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
