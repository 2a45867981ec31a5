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

} // namespace

bool TreeRewrite::run(const std::string& folder)
{
    const auto started = std::chrono::steady_clock::now();
    const bool result = walkTree(folder);
    reportUnrecordedLocked(folder);
    reportSummary(folder,
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return result;
}

walk::Visit TreeRewrite::visit(const walk::WalkEntry& entry)
{
    if (entry.failure != walk::WalkFailure::None) {
        ++failed;
        return walkFailure(entry);
    }
    try {
        return visitEntry(entry);
    } catch (...) {
        ++failed;
        return walk::Visit{false, nullptr}; // no memory left even for its line
    }
}

// A report only for an entry with something to say: most have nothing.
walk::Visit TreeRewrite::visitEntry(const walk::WalkEntry& entry)
{
    EntryOutcome outcome = entries.rewrite(*entry.object);
    count(outcome);
    noteErrors(outcome.errors);
    walk::Visit visit = visitWith(outcome.changed, std::move(outcome.lines));
    if (outcome.unrecordedLocked) {
        if (visit.report == nullptr)
            visit.report = std::make_unique<EntryReport>();
        static_cast<EntryReport&>(*visit.report).unrecordedLocked = entry.path.path();
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
    if (!entry.unrecordedLocked.empty() && unrecordedLocked++ == 0)
        firstUnrecordedLocked = entry.unrecordedLocked;
}

// A tree locked by hand, or by a run whose records were lost, is not for
// -unlock to guess at, but the administrator may want to know.
void TreeRewrite::reportUnrecordedLocked(const std::string& folder)
{
    if (unrecordedLocked != 0)
        log.info(taggedHead(logtext::kWalkTag) + " :: " + std::to_string(unrecordedLocked) +
                 logtext::kUnrecordedEntriesBelow + folder + logtext::kUnrecordedLeft +
                 firstUnrecordedLocked);
    unrecordedLocked = 0;
    firstUnrecordedLocked.clear();
}

// The whole tree, where the success line speaks for the folder and the
// files directly in it only.
void TreeRewrite::reportSummary(const std::string& folder, double seconds)
{
    log.info(taggedHead(logtext::kWalkTag) + " :: " +
             (entries.locks() ? logtext::kLockWord : logtext::kUnlockWord) + logtext::kSummaryOf +
             folder + logtext::kSummaryDone + std::to_string(changed) + logtext::kSummaryChanged +
             std::to_string(failed) + logtext::kSummaryFailed + std::to_string(withoutRecord) +
             logtext::kSummaryWithoutRecord + secondsText(seconds) + logtext::kSummarySeconds);
}
