#include "walk/ResultOrder.h"

namespace walk {

void PieceResults::add(std::unique_ptr<VisitReport> report)
{
    if (report != nullptr)
        items.push_back(Item{std::move(report), nullptr});
}

std::shared_ptr<FolderResults> PieceResults::addFolder()
{
    items.push_back(Item{nullptr, std::make_shared<FolderResults>()});
    return items.back().folder;
}

PieceResults& FolderResults::addPiece()
{
    pieces.push_back(std::make_unique<PieceResults>());
    return *pieces.back();
}

ResultOrder::ResultOrder() : top(std::make_shared<FolderResults>())
{
    cursors.push_back(Cursor{top});
}

void ResultOrder::takeAll(PieceResults& piece, std::vector<std::unique_ptr<VisitReport>>* ready)
{
    for (PieceResults::Item& item : piece.items)
        ready->push_back(std::move(item.report));
    piece.items.clear();
}

// A piece is let go of as soon as it is taken, so that a walk holds only
// what is still to be written.
bool ResultOrder::takeReady(std::vector<std::unique_ptr<VisitReport>>* ready)
{
    while (!cursors.empty()) {
        Cursor& at = cursors.back();
        FolderResults& folder = *at.folder;
        if (!at.headTaken) {
            if (!folder.ownHead.done)
                return false;
            takeAll(folder.ownHead, ready);
            at.headTaken = true;
        }
        if (at.piece == folder.pieces.size()) {
            if (!folder.ownTail.done)
                return false;
            takeAll(folder.ownTail, ready);
            cursors.pop_back();
            continue;
        }
        if (!takeFromPiece(at, ready))
            return false;
    }
    return true;
}

// Takes the next item of the piece `at` stands in; false when the piece is
// not finished yet.
bool ResultOrder::takeFromPiece(Cursor& at, std::vector<std::unique_ptr<VisitReport>>* ready)
{
    std::unique_ptr<PieceResults>& piece = at.folder->pieces[at.piece];
    if (!piece->done)
        return false;
    if (at.item == piece->items.size()) {
        piece.reset();
        ++at.piece;
        at.item = 0;
        return true;
    }
    PieceResults::Item& item = piece->items[at.item++];
    if (item.report != nullptr)
        ready->push_back(std::move(item.report));
    if (item.folder != nullptr)
        cursors.push_back(Cursor{std::move(item.folder)});
    return true;
}

} // namespace walk
