// What the visitors of one configured folder's tree share: the walk over
// their threads, the lines of what kept the walk from an entry with their
// reason, the reports written to the run's log in the order one thread would
// have written them, and whether the system refused a right anywhere.
#ifndef TOLVANE_APP_TREE_VISIT_H
#define TOLVANE_APP_TREE_VISIT_H

#include "app/LogLines.h"
#include "walk/FolderWalk.h"
#include "walk/Visit.h"

#include <atomic>
#include <string>
#include <vector>

class RunLog;

// What a visitor hands back of an entry with something to say.
struct EntryReport final : walk::VisitReport {
    LogLines lines;
    // The entry's path, where -unlock left it as it was: unlocked-looking
    // without a record, or with another configured folder's record.
    std::string unrecordedLocked;
    std::string foreignRecord;
};

class TreeVisit : public walk::WalkVisitor {
public:
    // The system refused a right (EACCES, EPERM) for some entry.
    bool metAccessDenial() const { return accessDenied; }

    void deliver(std::unique_ptr<walk::VisitReport> report) override;

protected:
    TreeVisit(RunLog& log, const walk::WalkOptions& options) : log(log), options(options) {}
    ~TreeVisit() = default;

    // True when `folder` itself and every entry listed directly in it were
    // visited with success; an exception that ends the walk is logged.
    bool walkTree(const std::string& folder);
    // The failure's own lines, then its reason.
    walk::Visit walkFailure(const walk::WalkEntry& entry);
    void noteErrors(const std::vector<int>& errors);
    // A report for `lines`; none when there are none.
    static walk::Visit visitWith(bool changed, LogLines lines);

    RunLog& log;

private:
    LogLines walkFailureLines(const walk::WalkEntry& entry);

    const walk::WalkOptions options;
    std::atomic<bool> accessDenied{false};
};

#endif
