#include "app/TreeRewrite.h"

#include "app/EntryRewrite.h"
#include "app/ExceptionText.h"
#include "app/FolderList.h"
#include "app/ListingError.h"
#include "app/LogTexts.h"
#include "app/RunLog.h"
#include "walk/FolderWalk.h"

#include <chrono>

namespace {

// The unlock of a folder, for the entries listed in it.
struct UnlockNote final : walk::FolderNote {
    explicit UnlockNote(std::shared_ptr<const winsec::UnlockedFolder> folder)
        : folder(std::move(folder))
    {
    }
    std::shared_ptr<const winsec::UnlockedFolder> folder;
};

struct EntryReport final : walk::VisitReport {
    LogLines lines;
    // The entry's path, where unlock left it as it was.
    std::string path;
    bool unrecordedLocked = false;
    bool foreignRecord = false;
};

// A report only for an entry with something to say: most have nothing.
walk::Visit visitOf(EntryOutcome outcome, const walk::WalkEntry& entry)
{
    walk::Visit visit{outcome.changed, nullptr, nullptr};
    if (outcome.unlockedFolder != nullptr)
        visit.note = std::make_shared<UnlockNote>(outcome.unlockedFolder);
    if (outcome.lines.empty() && !outcome.unrecordedLocked && !outcome.foreignRecord)
        return visit;
    auto report = std::make_unique<EntryReport>();
    report->lines = std::move(outcome.lines);
    report->unrecordedLocked = outcome.unrecordedLocked;
    report->foreignRecord = outcome.foreignRecord;
    if (outcome.unrecordedLocked || outcome.foreignRecord)
        report->path = entry.path.path();
    visit.report = std::move(report);
    return visit;
}

std::shared_ptr<const winsec::UnlockedFolder> unlockedFolderOf(const walk::WalkEntry& entry)
{
    const auto* note = static_cast<const UnlockNote*>(entry.folderNote);
    return note != nullptr ? note->folder : nullptr;
}

std::string walkNote(const std::string& text)
{
    return taggedHead(logtext::kWalkTag) + " :: " + text;
}

std::unique_ptr<walk::VisitReport> reportOf(LogLines lines)
{
    auto report = std::make_unique<EntryReport>();
    report->lines = std::move(lines);
    return report;
}

} // namespace

bool TreeRewrite::run(const std::string& folder)
{
    owner.lockTime = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count());
    bool result = false;
    try {
        walk::FolderWalk walk(*this, threads);
        result = walk.run(folder);
    } catch (...) {
        log.fatal(logtext::kWalkTag,
                  exceptionText(std::current_exception(), logtext::kPocoUpperLabel));
    }
    reportLeftAsTheyWere(folder);
    return result;
}

walk::Visit TreeRewrite::visit(const walk::WalkEntry& entry)
{
    try {
        return visitEntry(entry);
    } catch (...) {
        return walk::Visit{false, nullptr, nullptr}; // no memory left even for its line
    }
}

walk::Visit TreeRewrite::visitEntry(const walk::WalkEntry& entry)
{
    LogLines lines;
    switch (entry.failure) {
    case walk::WalkFailure::None:
        if (entry.configuredFolder)
            owner.folder = entries.identify(*entry.object);
        return visitOf(entries.rewrite(*entry.object, owner, unlockedFolderOf(entry)), entry);
    case walk::WalkFailure::Missing:
        lines.error(ReturnCode::Missing, logtext::kExistsTag, missingPathText(entry.path.path()));
        break;
    case walk::WalkFailure::Unlistable:
        lines.fatal(logtext::kWalkTag, exceptionText(listingError(entry.path.path(), entry.error),
                                                     logtext::kPocoUpperLabel));
        break;
    case walk::WalkFailure::Broken:
        lines.fatal(logtext::kWalkTag, exceptionText(entry.exception, logtext::kPocoUpperLabel));
        break;
    case walk::WalkFailure::OtherFileSystem:
        lines.note(LogLines::Level::Warn, walkNote(entry.path.path() + logtext::kMountPointLeft));
        return walk::Visit{true, reportOf(std::move(lines)), nullptr};
    }
    return walk::Visit{false, reportOf(std::move(lines)), nullptr};
}

void TreeRewrite::deliver(std::unique_ptr<walk::VisitReport> report)
{
    const auto& entry = static_cast<const EntryReport&>(*report);
    log.write(entry.lines);
    if (entry.unrecordedLocked) {
        ++unrecordedLocked;
        log.warn(walkNote(entry.path + logtext::kUnrecordedEntry));
    }
    if (entry.foreignRecord && foreignRecords++ == 0)
        firstForeignRecord = entry.path;
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
