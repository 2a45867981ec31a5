#include "app/C_TolvaneManager.h"

#include "winsec/DaclRewrite.h"

namespace {

// Built once: a tag is handed on by reference for every entry.
const std::string lockTag = "C_TolvaneManager::lockWritingPermission";
const std::string unlockTag = "C_TolvaneManager::unlockWritingPermission";

} // namespace

// Holds a failed step of the rewrite of an entry as a -4 line.
class C_TolvaneManager::FailedStepLog final : public winsec::FailureReport {
public:
    FailedStepLog(const winsec::ObjectName& entry, const std::string& tag, HeldLines& log)
        : entry(entry), tag(tag), log(log)
    {
    }
    void failed(const char* text) override
    {
        log.error(ReturnCode::Permission, tag, text + entry.path());
    }
    void leftWithoutRecord(bool looksLocked) override
    {
        if (looksLocked)
            log.unrecordedLocked(entry.path());
    }

private:
    const winsec::ObjectName& entry;
    const std::string& tag;
    HeldLines& log;
};

bool C_TolvaneManager::lockWritingPermission(const winsec::ObjectName& entry, HeldLines& log)
{
    return rewriteWritePermission(entry, lockTag, winsec::lockRule, log);
}

bool C_TolvaneManager::unlockWritingPermission(const winsec::ObjectName& entry, HeldLines& log)
{
    return rewriteWritePermission(entry, unlockTag, winsec::unlockRule, log);
}

bool C_TolvaneManager::lockWritingPermission(const std::string& path)
{
    HeldLines lines;
    const bool locked = lockWritingPermission(winsec::ObjectName(path), lines);
    write(lines);
    return locked;
}

bool C_TolvaneManager::unlockWritingPermission(const std::string& path)
{
    HeldLines lines;
    const bool unlocked = unlockWritingPermission(winsec::ObjectName(path), lines);
    write(lines);
    return unlocked;
}

bool C_TolvaneManager::rewriteWritePermission(const winsec::ObjectName& entry,
                                              const std::string& tag,
                                              const winsec::AceRule& rule, HeldLines& log)
{
    try {
        FailedStepLog report(entry, tag, log);
        winsec::DaclRewrite rewrite(entry, rule, report);
        return rewrite.run();
    } catch (...) {
        holdCurrentException(tag, nullptr, log);
    }
    return false;
}
