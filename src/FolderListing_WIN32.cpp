// A folder listed from its own open handle, and each entry opened relative
// to it by the name the listing gave, in UTF-16 as the system spells it. The
// entry's handle stays registered under the entry's path while the listing
// is at it, so that every operation of the walk on that path acts on that
// handle. An entry that cannot be opened is reported as such and the
// listing goes on with the next.
#include "FolderListing.h"

#include "EntryKind_WIN32.h"
#include "winsec/WideString_WIN32.h"

#include <Poco/Exception.h>
#include <Poco/File.h>

struct FolderListing::State {
    std::string folder;
    std::string prefix;
    winsec::OpenEntry open;
    std::unique_ptr<winsec::FolderReader> reader;
    std::unique_ptr<winsec::PathRegistration> current;
};

namespace {

// The exception Poco::DirectoryIterator throws for the same error.
[[noreturn]] void throwFileError(const std::string& path, DWORD error)
{
    SetLastError(error);
    Poco::File::handleLastError(path);
    throw Poco::FileException(path, static_cast<int>(error));
}

// A name surrogate by the listing's word is not even opened; any other
// entry is classified again on its handle, which shows what the name is
// now: a folder swapped for a junction since the listing is kept out too.
winsec::OpenEntry openListed(HANDLE folder, const std::wstring& name, DWORD attributes,
                             DWORD reparseTag)
{
    winsec::OpenEntry entry;
    entry.kind = winsec::classOf(attributes, reparseTag);
    if (entry.kind == winsec::EntryClass::NameSurrogate)
        return entry;
    entry.openError = winsec::openInFolder(folder, name, winsec::kEntryAccess, &entry.handle);
    if (entry.openError == ERROR_SUCCESS)
        entry.openError = winsec::classify(entry.handle->get(), &entry.kind);
    if (entry.openError != ERROR_SUCCESS)
        entry.handle.reset();
    return entry;
}

} // namespace

FolderListing::FolderListing(const std::string& folder) : state(new State)
{
    state->folder = folder;
    state->open = winsec::entryAt(folder);
    if (state->open.handle == nullptr)
        throwFileError(folder, state->open.openError);
    state->reader.reset(new winsec::FolderReader(state->open.handle->get()));
    if (state->reader->openError() != ERROR_SUCCESS)
        throwFileError(folder, state->reader->openError());
    state->prefix = prefixOf(folder);
}

FileKind FolderListing::kindAt(const std::string& path)
{
    return fileKindOf(winsec::entryAt(path));
}

FolderListing::~FolderListing() = default;

bool FolderListing::next()
{
    state->current.reset();
    std::wstring name;
    DWORD attributes = 0;
    DWORD reparseTag = 0;
    DWORD readError = ERROR_SUCCESS;
    if (!state->reader->next(&name, &attributes, &reparseTag, &readError)) {
        if (readError != ERROR_SUCCESS)
            throwFileError(state->folder, readError);
        return false;
    }
    entryPath = state->prefix + wideToLogText(name);
    winsec::OpenEntry entry = openListed(state->open.handle->get(), name, attributes, reparseTag);
    entry.volume = state->open.volume;
    entryKind = fileKindOf(entry);
    state->current.reset(new winsec::PathRegistration(entryPath, entry));
    return true;
}
