#include "app/C_TolvaneManager.h"

#include "app/C_Logger.h"
#include "walk/FolderWalk.h"

namespace {

const std::string walkTag = "C_TolvaneManager::recursiveFolderPermissionAccess";
const std::string modificationTag = "C_TolvaneManager::filePermissionModification";

} // namespace

// The walk's entries, locked or unlocked by the manager; the lines are
// written, and their codes stored, in the walk's order.
class C_TolvaneManager::WalkVisitor final : public EntryVisitor {
public:
    WalkVisitor(C_TolvaneManager& manager, bool lock) : manager(manager), lock(lock) {}

    bool visit(const winsec::ObjectName& entry, HeldLines& log) override
    {
        return manager.filePermissionModification(entry, lock, log);
    }
    void missing(const std::string& path, HeldLines& log) override
    {
        reportMissing(path, log);
    }
    void walkFailed(HeldLines& log) override
    {
        holdCurrentException(walkTag, kPocoUpperLabel, log);
    }
    void write(const HeldLines& lines) override { manager.write(lines); }

private:
    C_TolvaneManager& manager;
    const bool lock;
};

bool C_TolvaneManager::recursiveFolderPermissionAccess(const std::string& path, bool lock)
{
    bool result = false;
    try {
        WalkVisitor visitor(*this, lock);
        result = FolderWalk(visitor, walkThreads()).run(path);
    } catch (...) {
        HeldLines lines;
        holdCurrentException(walkTag, kPocoUpperLabel, lines);
        write(lines);
    }
    reportUnrecordedLocked(path);
    return result;
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

bool C_TolvaneManager::filePermissionModification(const winsec::ObjectName& entry, bool lock,
                                                  HeldLines& log)
{
    try {
        if (lock ? lockWritingPermission(entry, log) : unlockWritingPermission(entry, log))
            return true;
        log.error(ReturnCode::Permission, modificationTag,
                  std::string(lock ? "Locking" : "Unlocking") + " writing permission for File ( " +
                      entry.path() + " ) failed ");
    } catch (...) {
        holdCurrentException(modificationTag, nullptr, log);
    }
    return false;
}
