#include "app/TreeRewrite.h"

#include "app/EntryRewrite.h"
#include "app/LogTexts.h"
#include "app/RunLog.h"

#include <chrono>
#include <cstdio>

namespace {

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

std::uint64_t nanosecondsNow()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// The unlock of a folder, for the entries listed in it.
struct UnlockNote final : walk::FolderNote {
    explicit UnlockNote(std::shared_ptr<const winsec::UnlockedFolder> folder)
        : folder(std::move(folder))
    {
    }
    std::shared_ptr<const winsec::UnlockedFolder> folder;
};

std::shared_ptr<const winsec::UnlockedFolder> unlockedFolderOf(const walk::WalkEntry& entry)
{
    const auto* note = static_cast<const UnlockNote*>(entry.folderNote);
    return note != nullptr ? note->folder : nullptr;
}

std::string walkNote(const std::string& text)
{
    return taggedHead(logtext::kWalkTag) + " :: " + text;
}

} // namespace

bool TreeRewrite::run(const std::string& folder)
{
    owner.lockTime = nanosecondsNow();
    const auto started = std::chrono::steady_clock::now();
    const bool result = walkTree(folder);
    reportLeftAsTheyWere(folder);
    reportSummary(folder,
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return result;
}

walk::Visit TreeRewrite::visit(const walk::WalkEntry& entry)
{
    if (entry.failure == walk::WalkFailure::OtherFileSystem)
        return walkFailure(entry);
    if (entry.failure != walk::WalkFailure::None) {
        ++failed;
        return walkFailure(entry);
    }
    try {
        return visitEntry(entry);
    } catch (...) {
        ++failed;
        return walk::Visit{false, nullptr, nullptr}; // no memory left even for its line
    }
}

// A report only for an entry with something to say: most have nothing.
walk::Visit TreeRewrite::visitEntry(const walk::WalkEntry& entry)
{
    if (entry.configuredFolder)
        owner.folder = entries.identify(*entry.object);
    EntryOutcome outcome = entries.rewrite(*entry.object, owner, unlockedFolderOf(entry));
    count(outcome);
    noteErrors(outcome.errors);
    walk::Visit visit = visitWith(outcome.changed, std::move(outcome.lines));
    if (outcome.unlockedFolder != nullptr)
        visit.note = std::make_shared<UnlockNote>(outcome.unlockedFolder);
    if (outcome.unrecordedLocked || outcome.foreignRecord) {
        if (visit.report == nullptr)
            visit.report = std::make_unique<EntryReport>();
        auto& report = static_cast<EntryReport&>(*visit.report);
        (outcome.unrecordedLocked ? report.unrecordedLocked : report.foreignRecord) =
            entry.path.path();
    }
    return visit;
}

// An entry lock could keep no record of is locked all the same.
void TreeRewrite::count(const EntryOutcome& outcome)
{
    if (!outcome.changed)
        ++failed;
    else if (!outcome.withoutRecord || entries.locks())
        ++changed;
    if (outcome.changed && outcome.withoutRecord)
        ++withoutRecord;
}

void TreeRewrite::deliver(std::unique_ptr<walk::VisitReport> report)
{
    const auto& entry = static_cast<const EntryReport&>(*report);
    log.write(entry.lines);
    if (!entry.unrecordedLocked.empty()) {
        ++unrecordedLocked;
        log.warn(walkNote(entry.unrecordedLocked + logtext::kUnrecordedEntry));
    }
    if (!entry.foreignRecord.empty() && foreignRecords++ == 0)
        firstForeignRecord = entry.foreignRecord;
}

// A tree locked by hand, or by a run whose records were lost, is not for
// -unlock to guess at, nor is an entry another configured folder's lock
// holds; the administrator needs to know of both.
void TreeRewrite::reportLeftAsTheyWere(const std::string& folder)
{
    if (unrecordedLocked != 0)
        log.warn(walkNote(std::to_string(unrecordedLocked) + logtext::kEntriesBelow + folder +
                          logtext::kUnrecordedLeft));
    if (foreignRecords != 0)
        log.warn(walkNote(std::to_string(foreignRecords) + logtext::kEntriesBelow + folder +
                          logtext::kForeignLeft + firstForeignRecord));
    unrecordedLocked = 0;
    foreignRecords = 0;
}

// The whole tree, where the success line speaks for the folder and the
// files directly in it only.
void TreeRewrite::reportSummary(const std::string& folder, double seconds)
{
    log.info(walkNote(std::string(entries.locks() ? logtext::kLockWord : logtext::kUnlockWord) +
                      logtext::kSummaryOf + folder + logtext::kSummaryDone +
                      std::to_string(changed) + logtext::kSummaryChanged + std::to_string(failed) +
                      logtext::kSummaryFailed + std::to_string(withoutRecord) +
                      logtext::kSummaryWithoutRecord + secondsText(seconds) +
                      logtext::kSummarySeconds));
}
