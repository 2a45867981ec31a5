#include "app/EntryRewrite.h"

#include "app/ExceptionText.h"
#include "app/FailureReason.h"
#include "app/LogTexts.h"
#include "winsec/DaclRewrite.h"

namespace {

const char* failedStepText(winsec::RewriteStep step)
{
    using winsec::RewriteStep;
    switch (step) {
    case RewriteStep::ReadSecurity:
    case RewriteStep::ReadRecord:
        return logtext::kReadSecurityFailed;
    case RewriteStep::AllocDescriptor:
        return logtext::kAllocDescriptorFailed;
    case RewriteStep::InitDescriptor:
        return logtext::kInitDescriptorFailed;
    case RewriteStep::TakeDacl:
        return logtext::kTakeDaclFailed;
    case RewriteStep::QuerySize:
        return logtext::kQuerySizeFailed;
    case RewriteStep::AllocDacl:
        return logtext::kAllocDaclFailed;
    case RewriteStep::InitDacl:
        return logtext::kInitDaclFailed;
    case RewriteStep::GetAce:
        return logtext::kGetAceFailed;
    case RewriteStep::AddAce:
        return logtext::kAddAceFailed;
    case RewriteStep::AttachDacl:
        return logtext::kAttachDaclFailed;
    case RewriteStep::StoreRecord:
    case RewriteStep::WriteDacl:
        return logtext::kWriteDaclFailed;
    case RewriteStep::RecordNotKept:
        return logtext::kRecordNotKept;
    case RewriteStep::RemoveRecord:
        return logtext::kRemoveRecordFailed;
    }
    return logtext::kReadSecurityFailed;
}

// The -4 line of each failed step, then the -7 line of what ended it.
void addLines(const winsec::RewriteResult& result, const char* tag, const std::string& path,
              LogLines* lines)
{
    for (const winsec::FailedStep& failed : result.failedSteps)
        lines->error(ReturnCode::Permission, tag, failedStepText(failed.step) + path);
    if (result.exception != nullptr)
        lines->fatal(tag, exceptionText(result.exception, nullptr));
}

} // namespace

EntryOutcome EntryRewrite::rewriteDacl(const winsec::ObjectName& entry,
                                       const winsec::RecordOwner& owner) const
{
    const char* tag = lock ? logtext::kLockTag : logtext::kUnlockTag;
    EntryOutcome outcome;
    try {
        winsec::DaclRewrite rewrite(api, entry, lock ? winsec::lockRule : winsec::unlockRule,
                                    owner);
        const winsec::RewriteResult result = rewrite.run();
        outcome.changed = result.done;
        outcome.unrecordedLocked = result.unrecordedLocked;
        outcome.foreignRecord = result.foreignRecord;
        outcome.unlockedFolder = result.unlockedFolder;
        outcome.withoutRecord = result.withoutRecord;
        for (const winsec::FailedStep& failed : result.failedSteps) {
            outcome.errors.push_back(static_cast<int>(failed.error));
            if (failed.step == winsec::RewriteStep::RecordNotKept)
                outcome.withoutRecord = true;
        }
        if (!result.failedSteps.empty() || result.exception != nullptr)
            addLines(result, tag, entry.path(), &outcome.lines);
    } catch (...) {
        outcome.changed = false;
        outcome.lines.fatal(tag, exceptionText(std::current_exception(), nullptr));
    }
    return outcome;
}

EntryOutcome EntryRewrite::rewrite(const winsec::ObjectName& entry,
                                   const winsec::RecordOwner& owner,
                                   const std::shared_ptr<const winsec::UnlockedFolder>& folder) const
{
    EntryOutcome outcome = rewriteDacl(entry, owner);
    if (outcome.changed && outcome.withoutRecord && folder != nullptr)
        outcome.changed = inheritAfterUnlock(entry, folder, &outcome);
    if (!outcome.changed) {
        try {
            outcome.lines.error(ReturnCode::Permission, logtext::kModificationTag,
                                std::string(lock ? logtext::kLockingWord : logtext::kUnlockingWord) +
                                    logtext::kModificationBefore + entry.path() +
                                    logtext::kModificationAfter);
        } catch (...) {
            outcome.lines.fatal(logtext::kModificationTag,
                                exceptionText(std::current_exception(), nullptr));
        }
    }
    addReason(entry, &outcome);
    return outcome;
}

std::vector<winsec::BYTE> EntryRewrite::identify(const winsec::ObjectName& folder) const
{
    std::vector<winsec::BYTE> identity;
    if (api.identifyObject(folder, &identity) != winsec::kErrorSuccess)
        identity.clear();
    return identity;
}

// A new entry that only the lock made read-only opens with its folder.
bool EntryRewrite::inheritAfterUnlock(const winsec::ObjectName& entry,
                                      const std::shared_ptr<const winsec::UnlockedFolder>& folder,
                                      EntryOutcome* outcome) const
{
    const winsec::DWORD error = api.inheritAfterUnlock(entry, *folder);
    if (error == winsec::kErrorNoWriteRecord)
        return true;
    if (error != winsec::kErrorSuccess) {
        outcome->errors.push_back(static_cast<int>(error));
        return false;
    }
    outcome->unrecordedLocked = false;
    outcome->unlockedFolder = folder;
    outcome->lines.info(taggedHead(logtext::kWalkTag) + " :: " + entry.path() +
                        logtext::kMadeWhileLocked);
    return true;
}


// Only tells: a line that cannot be made, for want of memory, is left out.
void EntryRewrite::addReason(const winsec::ObjectName& entry, EntryOutcome* outcome) const
{
    if (outcome->errors.empty())
        return;
    try {
        std::string line = reasonLine(lock ? logtext::kLockTag : logtext::kUnlockTag,
                                      outcome->errors, entry.path());
        if (!line.empty())
            outcome->lines.warn(std::move(line));
    } catch (...) {
    }
}
