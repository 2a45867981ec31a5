// The lock or the unlock of one configured folder and everything below it:
// the walk's entries go to the entry rewrite on the walk's threads, and
// their lines come back to the run's log in the order one thread would have
// written them.
#ifndef TOLVANE_APP_TREE_REWRITE_H
#define TOLVANE_APP_TREE_REWRITE_H

#include "app/TreeVisit.h"
#include "winsec/WriteRecord.h"

#include <atomic>
#include <cstdint>
#include <string>

class EntryRewrite;
struct EntryOutcome;

class TreeRewrite final : public TreeVisit {
public:
    TreeRewrite(const EntryRewrite& entries, RunLog& log, const walk::WalkOptions& options)
        : TreeVisit(log, options), entries(entries)
    {
    }

    // True when `folder` itself and every file listed directly in it were
    // changed. A failure never stops the rest of the tree from being handled.
    // Ends with the folder's summary line.
    bool run(const std::string& folder);

    walk::Visit visit(const walk::WalkEntry& entry) override;
    void deliver(std::unique_ptr<walk::VisitReport> report) override;

private:
    walk::Visit visitEntry(const walk::WalkEntry& entry);
    void count(const EntryOutcome& outcome);
    void reportLeftAsTheyWere(const std::string& folder);
    void reportSummary(const std::string& folder, double seconds);

    const EntryRewrite& entries;
    // The lock this walk's records belong to; set when the configured folder
    // itself is visited, before anything below it.
    winsec::RecordOwner owner;
    // Counted on the walk's threads, for the summary.
    std::atomic<std::uint64_t> changed{0};
    std::atomic<std::uint64_t> failed{0};
    std::atomic<std::uint64_t> withoutRecord{0};
    // Entries -unlock left as they were, counted in the walk's order.
    std::uint64_t unrecordedLocked = 0;
    std::uint64_t foreignRecords = 0;
    std::string firstForeignRecord;
};

#endif
