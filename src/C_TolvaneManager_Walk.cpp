#include "C_TolvaneManager.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>

#include "FolderListing.h"
#include "SecurityApi.h"

#include <exception>

namespace {

const std::string walkTag = "C_TolvaneManager::recursiveFolderPermissionAccess";
const std::string modificationTag = "C_TolvaneManager::filePermissionModification";

// Tells the security layer, for the length of one configured folder's walk,
// which folder the paths lie in and how the listing spells the paths below
// it, so that it can refuse any link below that folder.
class TreeScope {
public:
    TreeScope(const std::string& path, int& depth) : depth(depth)
    {
        if (depth == 0)
            winsec::securityApi().beginTree(path, Poco::Path(path).makeDirectory().toString());
        ++depth;
    }
    ~TreeScope()
    {
        if (--depth == 0)
            winsec::securityApi().endTree();
    }
    TreeScope(const TreeScope&) = delete;
    TreeScope& operator=(const TreeScope&) = delete;

private:
    int& depth;
};

} // namespace

bool C_TolvaneManager::recursiveFolderPermissionAccess(const std::string& path, bool lock)
{
    try {
        const TreeScope scope(path, walkDepth);
        Poco::File folder(path);
        if (!isFileExists(path))
            return false;
        bool result = filePermissionModification(path, lock);
        if (!folder.isDirectory())
            return result;
        FolderListing listing(path);
        while (listing.next())
            result = visitEntry(listing.path(), listing.kind(), lock, result);
        return result;
    } catch (const Poco::Exception& e) {
        fatalWith(messagePrefix(walkTag) + " :: ReturnCode = -7 : POCO Exception " + e.name() +
                  " -- " + e.message());
    } catch (const std::exception& e) {
        fatalWith(messagePrefix(walkTag) + " :: ReturnCode = -7 : STD Exception " + e.what());
    } catch (...) {
        fatalWith(messagePrefix(walkTag) + " :: ReturnCode = -7 : Exception Uknown Error");
    }
    return false;
}

// A link below a configured folder is neither entered nor modified: whoever
// can write the tree could otherwise point it anywhere. An entry that is gone
// by the time it is looked at is reported as missing, and the rest of the
// folder is still handled. A sub-folder's own outcome does not change its
// parent's result.
bool C_TolvaneManager::visitEntry(const std::string& entry, FileKind kind, bool lock,
                                  bool runningResult)
{
    switch (kind) {
    case FileKind::Link:
        return runningResult;
    case FileKind::Missing:
        isFileExists(entry);
        return runningResult;
    case FileKind::Folder:
        recursiveFolderPermissionAccess(entry, lock);
        return runningResult;
    case FileKind::Other:
        break;
    }
    return runningResult && filePermissionModification(entry, lock);
}

bool C_TolvaneManager::filePermissionModification(const std::string& path, bool lock)
{
    try {
        if (lock ? lockWritingPermission(path) : unlockWritingPermission(path))
            return true;
        failWith(-4, messagePrefix(modificationTag) + " :: ReturnCode = -4 : " +
                         (lock ? "Locking" : "Unlocking") + " writing permission for File ( " +
                         path + " ) failed ");
    } catch (const std::exception& e) {
        fatalWith(messagePrefix(modificationTag) + " :: ReturnCode = -7 : STD Exception " + e.what());
    } catch (...) {
        fatalWith(messagePrefix(modificationTag) + " :: ReturnCode = -7 : Exception Uknown Error");
    }
    return false;
}
