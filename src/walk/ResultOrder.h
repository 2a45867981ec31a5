// The reports of a walk in the order one thread would have made them: a
// folder's own reports, then for each entry of its listing, in order, its
// reports or, for a sub-folder, every report of that sub-folder's walk; then
// the reports that ended its listing. Reports are filled in on any thread,
// in any order, and taken out as soon as everything before them is in.
//
// Each piece is filled by one thread at a time and finished, like every
// change to the structure, under the lock of the walk that owns the order;
// takeReady runs under that lock too.
#ifndef TOLVANE_WALK_RESULT_ORDER_H
#define TOLVANE_WALK_RESULT_ORDER_H

#include "walk/Visit.h"

#include <memory>
#include <vector>

namespace walk {

class FolderResults;

// The reports of a run of entries of one folder.
class PieceResults {
public:
    // A null report adds nothing.
    void add(std::unique_ptr<VisitReport> report);
    // A sub-folder whose whole walk comes at this place.
    std::shared_ptr<FolderResults> addFolder();
    // Nothing more comes: its reports may be taken.
    void finish() { done = true; }

private:
    friend class ResultOrder;
    struct Item {
        std::unique_ptr<VisitReport> report;
        std::shared_ptr<FolderResults> folder;
    };
    std::vector<Item> items;
    bool done = false;
};

class FolderResults {
public:
    // Its own reports, before anything in it.
    PieceResults& head() { return ownHead; }
    // The next piece of its listing.
    PieceResults& addPiece();
    // What ended its listing; finishing it says the listing has ended.
    PieceResults& tail() { return ownTail; }

private:
    friend class ResultOrder;
    PieceResults ownHead;
    std::vector<std::unique_ptr<PieceResults>> pieces;
    PieceResults ownTail;
};

class ResultOrder {
public:
    ResultOrder();
    // The configured folder's results.
    const std::shared_ptr<FolderResults>& root() const { return top; }

    // Moves out every report whose turn has come; true once every report of
    // the walk is out.
    bool takeReady(std::vector<std::unique_ptr<VisitReport>>* ready);

private:
    // Where the taking stands in one folder.
    struct Cursor {
        std::shared_ptr<FolderResults> folder;
        bool headTaken = false;
        std::size_t piece = 0;
        std::size_t item = 0;
    };
    static void takeAll(PieceResults& piece, std::vector<std::unique_ptr<VisitReport>>* ready);
    bool takeFromPiece(Cursor& at, std::vector<std::unique_ptr<VisitReport>>* ready);

    std::shared_ptr<FolderResults> top;
    std::vector<Cursor> cursors;
};

} // namespace walk

#endif
