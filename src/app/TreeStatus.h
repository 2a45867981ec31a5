// What -status says of one configured folder: the walk's entries are read,
// never changed, and counted by what EntryStatus finds of each; the folder
// ends as one line of seven tab-separated fields.
#ifndef TOLVANE_APP_TREE_STATUS_H
#define TOLVANE_APP_TREE_STATUS_H

#include "app/EntryStatus.h"
#include "app/TreeVisit.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class TreeStatus final : public TreeVisit {
public:
    TreeStatus(const EntryStatus& entries, RunLog& log, const walk::WalkOptions& options)
        : TreeVisit(log, options), entries(entries)
    {
    }

    // Walks `folder`; its line, without the line end: state (locked,
    // unlocked, partly, missing), entries, those with a record, those
    // without one and without write, those without one and with write,
    // those that could not be read, and `folder` as given, escaped as the
    // log escapes it (no tab or line end can break the line). A folder that
    // cannot be listed counts as one more entry that could not be read.
    std::string run(const std::string& folder);

    walk::Visit visit(const walk::WalkEntry& entry) override;

private:
    walk::Visit visitEntry(const walk::WalkEntry& entry);
    std::uint64_t count(EntryState state) const;
    const char* stateWord(std::uint64_t total) const;

    const EntryStatus& entries;
    // What records of this folder's lock name it by; set when the configured
    // folder itself is visited, before anything below it.
    std::vector<unsigned char> folderIdentity;
    // Counted on the walk's threads, one per EntryState.
    std::array<std::atomic<std::uint64_t>, kEntryStates> counts{};
};

#endif
