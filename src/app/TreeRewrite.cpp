#include "app/TreeRewrite.h"

#include "app/EntryRewrite.h"
#include "app/ExceptionText.h"
#include "app/FolderList.h"
#include "app/ListingError.h"
#include "app/LogTexts.h"
#include "app/RunLog.h"
#include "walk/FolderWalk.h"

namespace {

struct EntryReport final : walk::VisitReport {
    LogLines lines;
    // Set when the entry was left unlocked-looking without a record.
    std::string unrecordedLocked;
};

// A report only for an entry with something to say: most have nothing.
walk::Visit visitOf(EntryOutcome outcome, const walk::WalkEntry& entry)
{
    walk::Visit visit{outcome.changed, nullptr};
    if (outcome.lines.empty() && !outcome.unrecordedLocked)
        return visit;
    auto report = std::make_unique<EntryReport>();
    report->lines = std::move(outcome.lines);
    if (outcome.unrecordedLocked)
        report->unrecordedLocked = entry.path.path();
    visit.report = std::move(report);
    return visit;
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
    bool result = false;
    try {
        walk::FolderWalk walk(*this, threads);
        result = walk.run(folder);
    } catch (...) {
        log.fatal(logtext::kWalkTag,
                  exceptionText(std::current_exception(), logtext::kPocoUpperLabel));
    }
    reportUnrecordedLocked(folder);
    return result;
}

walk::Visit TreeRewrite::visit(const walk::WalkEntry& entry)
{
    try {
        return visitEntry(entry);
    } catch (...) {
        return walk::Visit{false, nullptr}; // no memory left even for its line
    }
}

walk::Visit TreeRewrite::visitEntry(const walk::WalkEntry& entry) const
{
    LogLines lines;
    switch (entry.failure) {
    case walk::WalkFailure::None:
        return visitOf(entries.rewrite(*entry.object), entry);
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
        lines.note(LogLines::Level::Warn, taggedHead(logtext::kWalkTag) + " :: " +
                                              entry.path.path() + logtext::kMountPointLeft);
        return walk::Visit{true, reportOf(std::move(lines))};
    }
    return walk::Visit{false, reportOf(std::move(lines))};
}

void TreeRewrite::deliver(std::unique_ptr<walk::VisitReport> report)
{
    const auto& entry = static_cast<const EntryReport&>(*report);
    log.write(entry.lines);
    if (!entry.unrecordedLocked.empty() && unrecordedLocked++ == 0)
        firstUnrecordedLocked = entry.unrecordedLocked;
}

// Debug only: a tree locked by hand, or by a run whose records were lost,
// is not for -unlock to guess at, but the administrator may want to know.
void TreeRewrite::reportUnrecordedLocked(const std::string& folder)
{
    if (unrecordedLocked != 0)
        log.debug(taggedHead(logtext::kWalkTag) + " :: " + std::to_string(unrecordedLocked) +
                  logtext::kUnrecordedEntriesBelow + folder + logtext::kUnrecordedLeft +
                  firstUnrecordedLocked);
    unrecordedLocked = 0;
    firstUnrecordedLocked.clear();
}
