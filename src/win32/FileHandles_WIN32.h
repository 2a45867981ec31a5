// Files reached by handle. Below a configured folder every entry is opened
// relative to its folder's open handle, by its one name exactly as the
// listing gave it, so that nothing a user renames or replaces after the walk
// met a folder can redirect what the walk opens next: a reparse point is
// opened as itself, never followed, and no path is looked up again.
#ifndef TOLVANE_FILE_HANDLES_WIN32_H
#define TOLVANE_FILE_HANDLES_WIN32_H

#include "winsec/SecurityTypes.h"

#include <memory>
#include <string>

namespace winsec {

// One open handle, closed with its last owner.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle(handle) {}
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return handle; }

private:
    HANDLE handle;
};
using SharedFile = std::shared_ptr<const FileHandle>;

// What an entry is to the walk.
enum class EntryClass {
    NameSurrogate, // junction, symbolic link, mount point: neither entered nor changed
    Folder,
    File,          // any other file, tagged (deduplicated, placeholder, ...) or not
};

// Rule: only a name surrogate is kept out of the walk; a reparse point whose
// tag the system does not give counts as one, since it may lead anywhere.
EntryClass classOf(DWORD attributes, DWORD reparseTag);

// What an entry handle may do: read its attributes and ID, read and write its
// DACL.
constexpr ACCESS_MASK kEntryAccess = FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC | SYNCHRONIZE;
// What a folder on the way to a configured folder may do: be opened through.
constexpr ACCESS_MASK kPassageAccess = FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;

// Opens `name`, one name as the system lists it (trailing dots and blanks,
// device names and any length are names like others), in the open folder
// `folder`: the reparse point itself if it is one, with backup intent and
// without recalling a placeholder's data. kErrorSuccess or a Win32 error.
DWORD openInFolder(HANDLE folder, const std::wstring& name, ACCESS_MASK access,
                   SharedFile* entry);

// Opens an NT path (\??\C:\) as the system resolves it; only the root of a
// configured folder's path is opened this way.
DWORD openNtPath(const std::wstring& ntPath, ACCESS_MASK access, SharedFile* entry);

// The entry's class from its own handle.
DWORD classify(HANDLE entry, EntryClass* kind);

// The class the listing of the open folder `folder` gives its entry `name`
// (no wildcard: no file name holds one).
DWORD listedClassOf(HANDLE folder, const std::wstring& name, EntryClass* kind);

// The 128-bit ID of the entry's file.
DWORD fileIdOf(HANDLE entry, BYTE (*fileId)[16]);

// The GUID ("{...}") of the volume the entry is on. Unlike the serial
// number, it differs between a disk and its clone.
DWORD volumeGuidOf(HANDLE entry, std::wstring* volumeGuid);

// The entries of a folder, read from a listing handle opened on the folder's
// own handle.
class FolderReader {
public:
    explicit FolderReader(HANDLE folder);
    DWORD openError() const { return error; }
    // The next entry but "." and ".."; false at the end or on `*readError`.
    bool next(std::wstring* name, DWORD* attributes, DWORD* reparseTag, DWORD* readError);

private:
    bool refill(DWORD* readError);

    SharedFile listing;
    DWORD error;
    bool started = false;
    std::unique_ptr<BYTE[]> buffer;
    std::size_t at = 0;
    bool filled = false;
};

// Enables SeBackupPrivilege and SeRestorePrivilege in the process's token,
// so that an entry whose DACL leaves out the run's account is still read and
// written. Without them (not an administrator) opens simply get less. True
// when both are enabled; calling it again changes nothing.
bool enableBackupPrivileges();

} // namespace winsec

#endif
