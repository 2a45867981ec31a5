// Reading a piece of a folder's entries ahead of their visits, all at once,
// where the platform can (POSIX: through io_uring, posixacl/BatchRing.h):
// what each visit would first ask of the system is asked for the whole
// piece in a few calls. One per thread of the walk, used by it alone.
#ifndef TOLVANE_WALK_READ_AHEAD_H
#define TOLVANE_WALK_READ_AHEAD_H

#include "walk/OpenFolder.h"

#include <memory>
#include <string>
#include <vector>

namespace walk {

class ReadAhead {
public:
    struct State; // defined by each platform's half
    explicit ReadAhead(std::unique_ptr<State> state);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // For the calling thread, the walk's thread number `thread`: bound to
    // one CPU of those the run may use, by turns, until destroyed. Null
    // where the platform cannot read ahead.
    static std::unique_ptr<ReadAhead> forThread(unsigned thread);

    // Reads ahead for the regular files among `entries`, listed in
    // `folder`: each gets what was read as its handle (ListedEntry::opened),
    // held until release.
    void read(const OpenFolder& folder, std::vector<ListedEntry>* entries);
    // Takes the handles back from `entries` and closes what they hold.
    void release(std::vector<ListedEntry>* entries);

private:
    std::unique_ptr<State> state;
};

// Empty where this machine lets the walk read ahead, else why it does not
// (no io_uring, one without the operations, or a system-call filter that
// refuses it). Asked once per run, before the walk.
std::string readAheadProblem();

} // namespace walk

#endif
