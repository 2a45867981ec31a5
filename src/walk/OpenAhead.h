// Opening a window of a folder's regular files ahead of their visits, all
// at once, and closing them together after, where the platform can (POSIX:
// through io_uring, posixacl/BatchRing.h). One per thread of the walk, used
// by it alone.
#ifndef TOLVANE_WALK_OPEN_AHEAD_H
#define TOLVANE_WALK_OPEN_AHEAD_H

#include "walk/OpenFolder.h"

#include <memory>
#include <string>
#include <vector>

namespace walk {

class OpenAhead {
public:
    struct State; // defined by each platform's half
    explicit OpenAhead(std::unique_ptr<State> state);
    ~OpenAhead();
    OpenAhead(const OpenAhead&) = delete;
    OpenAhead& operator=(const OpenAhead&) = delete;

    // For one of the `threads` threads of a walk; null where the platform
    // cannot open ahead.
    static std::unique_ptr<OpenAhead> forThread(unsigned threads);

    // How many entries a window holds at most: what is opened ahead stays
    // within the descriptors a process may hold, whatever the threads.
    std::size_t window() const;
    // Opens the regular files among the entries [first, last) of `folder`:
    // each gets its handle (ListedEntry::opened) until release.
    void open(const OpenFolder& folder, ListedEntry* first, ListedEntry* last);
    // Takes the handles back from the same entries and closes them.
    void release(ListedEntry* first, ListedEntry* last);

private:
    std::unique_ptr<State> state;
};

// Empty where this machine lets the walk open ahead, else why it does not
// (no io_uring, one without the operations, or a system-call filter that
// refuses it). Asked once per run, before the walk.
std::string openAheadProblem();

} // namespace walk

#endif
