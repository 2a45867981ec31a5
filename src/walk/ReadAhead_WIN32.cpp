// Windows opens every entry while listing it (OpenFolder_WIN32.cpp): there
// is nothing left to read ahead.
#include "walk/ReadAhead.h"

namespace walk {

struct ReadAhead::State {
};

ReadAhead::ReadAhead(std::unique_ptr<State> state) : state(std::move(state)) {}

ReadAhead::~ReadAhead() = default;

std::unique_ptr<ReadAhead> ReadAhead::forThread(unsigned)
{
    return nullptr;
}

void ReadAhead::read(const OpenFolder&, std::vector<ListedEntry>*) {}

void ReadAhead::release(std::vector<ListedEntry>*) {}

std::string readAheadProblem()
{
    return "entries are opened while they are listed";
}

} // namespace walk
