#include "walk/OpenAhead.h"

#include "posixacl/BatchRing.h"
#include "posixacl/FolderHandle.h"

#include <algorithm>
#include <sys/resource.h>

namespace walk {

namespace {

// Enough entries per window that a window's two calls cost nothing next to
// its entries' own.
constexpr std::size_t kLargestWindow = 64;
constexpr std::size_t kSmallestWindow = 8;

// A quarter of the descriptors the process may hold, shared by the threads;
// the rest is for the folders the walk holds open and everything else.
std::size_t windowFor(unsigned threads)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return kLargestWindow;
    const std::size_t share = static_cast<std::size_t>(limit.rlim_cur) / 4 / std::max(threads, 1u);
    return std::clamp(share, kSmallestWindow, kLargestWindow);
}

} // namespace

struct OpenAhead::State {
    std::unique_ptr<posixacl::BatchRing> ring;
    std::size_t window = kLargestWindow;
    std::vector<posixacl::EntryOpening> openings; // the window being visited
};

OpenAhead::OpenAhead(std::unique_ptr<State> state) : state(std::move(state)) {}

OpenAhead::~OpenAhead() = default;

std::unique_ptr<OpenAhead> OpenAhead::forThread(unsigned threads)
{
    auto state = std::make_unique<State>();
    std::string problem;
    state->ring = posixacl::BatchRing::open(&problem);
    if (state->ring == nullptr)
        return nullptr;
    state->window = windowFor(threads);
    return std::make_unique<OpenAhead>(std::move(state));
}

std::size_t OpenAhead::window() const
{
    return state->window;
}

void OpenAhead::open(const OpenFolder& folder, ListedEntry* first, ListedEntry* last)
{
    std::vector<posixacl::EntryOpening>& openings = state->openings;
    openings.clear();
    for (const ListedEntry* entry = first; entry != last; ++entry)
        if (entry->kind == FileKind::File)
            openings.emplace_back().name = entry->name.c_str();
    if (openings.empty())
        return;
    state->ring->openAll(folder.handle().descriptor.get(), &openings);
    auto opening = openings.begin();
    for (ListedEntry* entry = first; entry != last; ++entry)
        if (entry->kind == FileKind::File) // not owned: held in `openings` until release
            entry->opened = std::shared_ptr<const winsec::EntryHandle>(std::shared_ptr<void>(),
                                                                       &*opening++);
}

void OpenAhead::release(ListedEntry* first, ListedEntry* last)
{
    for (ListedEntry* entry = first; entry != last; ++entry)
        entry->opened.reset();
    state->ring->closeAll(&state->openings);
    state->openings.clear();
}

std::string openAheadProblem()
{
    std::string problem;
    posixacl::BatchRing::open(&problem);
    return problem;
}

} // namespace walk
