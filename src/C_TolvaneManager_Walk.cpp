#include "C_TolvaneManager.h"

#include "FolderWalk.h"

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
    recordLossReported = false;
    try {
        WalkVisitor visitor(*this, lock);
        return FolderWalk(visitor, walkThreads()).run(path);
    } catch (...) {
        HeldLines lines;
        holdCurrentException(walkTag, kPocoUpperLabel, lines);
        write(lines);
    }
    return false;
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
