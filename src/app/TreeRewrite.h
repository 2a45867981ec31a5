// The lock or the unlock of one configured folder and everything below it:
// the walk's entries go to the entry rewrite on the walk's threads, and
// their lines come back to the run's log in the order one thread would have
// written them.
#ifndef TOLVANE_APP_TREE_REWRITE_H
#define TOLVANE_APP_TREE_REWRITE_H

#include "walk/Visit.h"
#include "winsec/WriteRecord.h"

#include <cstdint>
#include <string>

class EntryRewrite;
class RunLog;

class TreeRewrite final : public walk::WalkVisitor {
public:
    TreeRewrite(const EntryRewrite& entries, RunLog& log, unsigned threads)
        : entries(entries), log(log), threads(threads)
    {
    }

    // True when `folder` itself and every file listed directly in it were
    // changed. A failure never stops the rest of the tree from being handled.
    bool run(const std::string& folder);

    walk::Visit visit(const walk::WalkEntry& entry) override;
    void deliver(std::unique_ptr<walk::VisitReport> report) override;

private:
    walk::Visit visitEntry(const walk::WalkEntry& entry);
    void reportLeftAsTheyWere(const std::string& folder);

    const EntryRewrite& entries;
    RunLog& log;
    const unsigned threads;
    // The lock this walk's records belong to; set when the configured folder
    // itself is visited, before anything below it.
    winsec::RecordOwner owner;
    // Entries -unlock left as they were, counted for the configured folder.
    std::uint64_t unrecordedLocked = 0;
    std::uint64_t foreignRecords = 0;
    std::string firstForeignRecord;
};

#endif
