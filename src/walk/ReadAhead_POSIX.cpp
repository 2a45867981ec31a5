// Each thread of the walk has its own ring and its own CPU: the thread and
// the ring's kernel worker bound to the same one, the threads spread over
// the CPUs the run may use by turns. A thread gives its CPU back when it
// ends (the one that runs the walk goes on with other work).
#include "walk/ReadAhead.h"

#include "posixacl/BatchRing.h"
#include "posixacl/FolderHandle.h"

#include <sched.h>

namespace walk {

struct ReadAhead::State {
    std::unique_ptr<posixacl::BatchRing> ring;
    std::vector<posixacl::EntryRead> reads; // the piece being visited
    cpu_set_t previous;                     // the thread's CPUs before
};

namespace {

// The `thread`-th of the CPUs in `allowed`, counted round; -1 for none.
int cpuByTurns(const cpu_set_t& allowed, unsigned thread)
{
    const int count = CPU_COUNT(&allowed);
    if (count == 0)
        return -1;
    int turn = static_cast<int>(thread % static_cast<unsigned>(count));
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed) && turn-- == 0)
            return cpu;
    return -1;
}

} // namespace

ReadAhead::ReadAhead(std::unique_ptr<State> state) : state(std::move(state)) {}

ReadAhead::~ReadAhead()
{
    if (state != nullptr)
        sched_setaffinity(0, sizeof state->previous, &state->previous);
}

std::unique_ptr<ReadAhead> ReadAhead::forThread(unsigned thread)
{
    auto state = std::make_unique<State>();
    if (sched_getaffinity(0, sizeof state->previous, &state->previous) != 0)
        return nullptr;
    std::string problem;
    state->ring = posixacl::BatchRing::open(cpuByTurns(state->previous, thread), &problem);
    if (state->ring == nullptr) {
        sched_setaffinity(0, sizeof state->previous, &state->previous);
        return nullptr;
    }
    return std::make_unique<ReadAhead>(std::move(state));
}

void ReadAhead::read(const OpenFolder& folder, std::vector<ListedEntry>* entries)
{
    std::vector<posixacl::EntryRead>& reads = state->reads;
    reads.clear();
    for (const ListedEntry& entry : *entries)
        if (entry.kind == FileKind::File)
            reads.emplace_back().name = entry.name;
    if (reads.empty())
        return;
    state->ring->read(folder.handle().descriptor.get(), &reads);
    auto read = reads.begin();
    for (ListedEntry& entry : *entries)
        if (entry.kind == FileKind::File) // not owned: held in `reads` until release
            entry.opened = std::shared_ptr<const winsec::EntryHandle>(std::shared_ptr<void>(), &*read++);
}

void ReadAhead::release(std::vector<ListedEntry>* entries)
{
    for (ListedEntry& entry : *entries)
        entry.opened.reset();
    state->ring->closeAll(&state->reads);
    state->reads.clear();
}

std::string readAheadProblem()
{
    std::string problem;
    posixacl::BatchRing::open(-1, &problem);
    return problem;
}

} // namespace walk
