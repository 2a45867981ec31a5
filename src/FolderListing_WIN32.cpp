#include "FolderListing.h"

#include "winsec/WideString_WIN32.h"

#include <Poco/DirectoryIterator.h>
#include <Poco/Exception.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

struct FolderListing::State {
    explicit State(const std::string& folder) : current(folder) {}
    Poco::DirectoryIterator current;
    Poco::DirectoryIterator end;
    bool started = false;
};

namespace {

// A reparse point (symbolic link, junction, mount point) is never entered.
FileKind kindOf(const std::string& path)
{
    const std::optional<std::wstring> wide = utf8ToWide(path);
    if (!wide)
        throw Poco::PathSyntaxException(path);
    const DWORD attributes = GetFileAttributesW(wide->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return FileKind::Missing;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return FileKind::Link;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::Folder : FileKind::Other;
}

} // namespace

FolderListing::FolderListing(const std::string& folder) : state(new State(folder)) {}

FileKind FolderListing::kindAt(const std::string& path)
{
    return kindOf(path);
}

FolderListing::~FolderListing() = default;

bool FolderListing::next()
{
    if (state->started)
        ++state->current;
    state->started = true;
    if (state->current == state->end)
        return false;
    entryPath = state->current->path();
    entryKind = kindOf(entryPath);
    return true;
}
