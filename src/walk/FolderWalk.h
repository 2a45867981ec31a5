// The walk of one configured folder: depth-first, pre-order, each folder
// handed to the visitor before its entries, in the order its listing gives
// them. The work is spread over a pool of threads, by folder and, within a
// large folder, by chunks of its entries; the visitor's reports come back on
// the calling thread in exactly the order one thread would make them
// (ResultOrder.h).
//
// The walk owns the open folders. Each folder below the configured one is
// opened from its parent's descriptor by its one name and closed once its
// listing is read and its entries and sub-folders no longer need it: a
// folder waiting its turn keeps its parent open, so the descriptors held
// grow with the folders met but not yet walked, never with the path; a path
// is spelt only for a report that names it.
#ifndef TOLVANE_WALK_FOLDER_WALK_H
#define TOLVANE_WALK_FOLDER_WALK_H

#include "walk/Visit.h"

#include <string>

namespace walk {

struct WalkOptions {
    // A walk on `threads` threads, opening ahead or not.
    WalkOptions(unsigned threads = 1, bool openAhead = false)
        : threads(threads), openAhead(openAhead)
    {
    }
    // At least one thread, the calling one, whatever this says.
    unsigned threads;
    // Each thread opens its pieces of a folder a window at a time
    // (OpenAhead.h), where the platform can.
    bool openAhead;
};

class FolderWalk {
public:
    FolderWalk(WalkVisitor& visitor, const WalkOptions& options);
    FolderWalk(const FolderWalk&) = delete;
    FolderWalk& operator=(const FolderWalk&) = delete;

    // Walks `configuredFolder`; true when it and every entry directly in it
    // were changed. A failure never leaves the rest of a folder: every entry
    // is handed to the visitor whatever happened to those before it; a
    // sub-folder's outcome does not change its parent's; a link is neither
    // entered nor changed.
    bool run(const std::string& configuredFolder);

private:
    WalkVisitor& visitor;
    WalkOptions options;
};

} // namespace walk

#endif
