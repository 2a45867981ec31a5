// The lock or the unlock of one configured folder and everything below it:
// the walk's entries go to the entry rewrite on the walk's threads, and
// their lines come back to the run's log in the order one thread would have
// written them.
#ifndef TOLVANE_APP_TREE_REWRITE_H
#define TOLVANE_APP_TREE_REWRITE_H

#include "walk/Visit.h"

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
    walk::Visit visitEntry(const walk::WalkEntry& entry) const;
    void reportUnrecordedLocked(const std::string& folder);

    const EntryRewrite& entries;
    RunLog& log;
    const unsigned threads;
    // Entries -unlock left as they were for want of a record although they
    // look locked, counted per configured folder for one debug line.
    std::uint64_t unrecordedLocked = 0;
    std::string firstUnrecordedLocked;
};

#endif
