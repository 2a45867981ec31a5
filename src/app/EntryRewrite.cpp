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

EntryOutcome EntryRewrite::rewriteDacl(const winsec::ObjectName& entry) const
{
    const char* tag = lock ? logtext::kLockTag : logtext::kUnlockTag;
    EntryOutcome outcome;
    try {
        winsec::DaclRewrite rewrite(api, entry, lock ? winsec::lockRule : winsec::unlockRule);
        const winsec::RewriteResult result = rewrite.run();
        outcome.changed = result.done;
        outcome.unrecordedLocked = result.unrecordedLocked;
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

EntryOutcome EntryRewrite::rewrite(const winsec::ObjectName& entry) const
{
    EntryOutcome outcome = rewriteDacl(entry);
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
