#include "C_TolvaneManager.h"

#include "winsec/DaclRewrite.h"

namespace {

// Built once: a tag is handed on by reference for every entry.
const std::string lockTag = "C_TolvaneManager::lockWritingPermission";
const std::string unlockTag = "C_TolvaneManager::unlockWritingPermission";

} // namespace

// Logs a failed step of the rewrite of `path` and stores -4.
class C_TolvaneManager::FailedStepLog final : public winsec::FailureReport {
public:
    FailedStepLog(C_TolvaneManager& manager, const std::string& path, const std::string& tag)
        : manager(manager), path(path), tag(tag)
    {
    }
    void failed(const char* text) override
    {
        manager.failWith(ReturnCode::Permission, tag, text + path);
    }
    void leftWithoutRecord(bool looksLocked) override
    {
        if (looksLocked)
            manager.unrecordedLocked.count(path);
    }

private:
    C_TolvaneManager& manager;
    const std::string& path;
    const std::string& tag;
};

bool C_TolvaneManager::lockWritingPermission(const std::string& path)
{
    return rewriteWritePermission(path, lockTag, winsec::lockRule);
}

bool C_TolvaneManager::unlockWritingPermission(const std::string& path)
{
    return rewriteWritePermission(path, unlockTag, winsec::unlockRule);
}

bool C_TolvaneManager::rewriteWritePermission(const std::string& path, const std::string& tag,
                                              const winsec::AceRule& rule)
{
    try {
        FailedStepLog log(*this, path, tag);
        winsec::DaclRewrite rewrite(path, rule, log);
        return rewrite.run();
    } catch (...) {
        fatalWithCurrentException(tag, nullptr);
    }
    return false;
}
