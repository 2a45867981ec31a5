// Windows opens every entry while listing it (OpenFolder_WIN32.cpp): there
// is nothing left to open ahead.
#include "walk/OpenAhead.h"

namespace walk {

struct OpenAhead::State {
};

OpenAhead::OpenAhead(std::unique_ptr<State> state) : state(std::move(state)) {}

OpenAhead::~OpenAhead() = default;

std::unique_ptr<OpenAhead> OpenAhead::forThread(unsigned)
{
    return nullptr;
}

std::size_t OpenAhead::window() const
{
    return 0;
}

void OpenAhead::open(const OpenFolder&, ListedEntry*, ListedEntry*) {}

void OpenAhead::release(ListedEntry*, ListedEntry*) {}

std::string openAheadProblem()
{
    return "Windows opens each entry while listing it";
}

} // namespace walk
