#include "win32/FolderResolver_WIN32.h"

#include "win32/AdministrativeSids_WIN32.h"
#include "win32/WideString_WIN32.h"

#include <winioctl.h>

#include <cstring>
#include <vector>

namespace winsec {

namespace {

// As many as the system itself follows in one path.
constexpr int kMaximumFollows = 63;
// Rights on a name surrogate that let another account point it elsewhere
// or put another in its place; and on the folder holding it, the right to
// remove it from there.
constexpr ACCESS_MASK kRedirectsLink = FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | WRITE_DAC |
                                       WRITE_OWNER | DELETE | GENERIC_WRITE | GENERIC_ALL;
constexpr ACCESS_MASK kRemovesChildren = FILE_DELETE_CHILD | GENERIC_ALL;
constexpr ULONG kSymlinkRelative = 1;

// An NT path split into the root the system resolves (\??\C:\,
// \??\UNC\server\share\, \??\Volume{...}\) and the names below it.
struct NtPath {
    std::wstring root;
    std::vector<std::wstring> names;
};

std::vector<std::wstring> split(const std::wstring& text)
{
    std::vector<std::wstring> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(L'\\', start), text.size());
        if (end > start)
            parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// "." and ".." taken lexically, as the system takes them in a relative
// symbolic link's target; ".." never climbs above the root.
void appendNames(std::vector<std::wstring>& names, const std::vector<std::wstring>& added)
{
    for (const std::wstring& name : added) {
        if (name == L"..") {
            if (!names.empty())
                names.pop_back();
        } else if (name != L".") {
            names.push_back(name);
        }
    }
}

bool parseNtPath(const std::wstring& text, NtPath* path)
{
    if (text.compare(0, 4, L"\\??\\") != 0)
        return false;
    std::vector<std::wstring> parts = split(text.substr(4));
    const std::size_t rootParts = !parts.empty() && _wcsicmp(parts[0].c_str(), L"UNC") == 0 ? 3 : 1;
    if (parts.size() < rootParts)
        return false;
    path->root = L"\\??";
    for (std::size_t i = 0; i < rootParts; ++i)
        path->root += L"\\" + parts[i];
    path->root += L"\\";
    path->names.clear();
    appendNames(path->names, std::vector<std::wstring>(parts.begin() + rootParts, parts.end()));
    return true;
}

// The Win32 path as the system would take it, in NT form.
bool ntPathOf(const std::wstring& path, NtPath* parsed)
{
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0)
        return false;
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), length, &full[0], nullptr);
    if (written == 0 || written >= length)
        return false;
    full.resize(written);
    std::wstring nt;
    if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0)
        nt = L"\\??\\" + full.substr(4);
    else if (full.compare(0, 2, L"\\\\") == 0)
        nt = L"\\??\\UNC\\" + full.substr(2);
    else
        nt = L"\\??\\" + full;
    return parseNtPath(nt, parsed);
}

std::uint16_t readShort(const std::vector<BYTE>& data, std::size_t at)
{
    std::uint16_t value = 0;
    if (at + sizeof value <= data.size())
        std::memcpy(&value, data.data() + at, sizeof value);
    return value;
}

// The target of a junction or symbolic link, as an NT path: absolute, or a
// relative link's target taken from the folder holding it.
bool targetOf(HANDLE link, const NtPath& holder, NtPath* target)
{
    std::vector<BYTE> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD returned = 0;
    if (!DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                         static_cast<DWORD>(data.size()), &returned, nullptr) ||
        returned < 16)
        return false;
    data.resize(returned);
    ULONG tag = 0;
    std::memcpy(&tag, data.data(), sizeof tag);
    std::size_t names = 16; // behind tag, lengths and the four name fields
    ULONG flags = 0;
    if (tag == IO_REPARSE_TAG_SYMLINK) {
        if (data.size() < 20)
            return false;
        std::memcpy(&flags, data.data() + 16, sizeof flags);
        names = 20;
    } else if (tag != IO_REPARSE_TAG_MOUNT_POINT) {
        return false;
    }
    const std::size_t offset = readShort(data, 8);
    const std::size_t length = readShort(data, 10);
    if (names + offset + length > data.size() || length % sizeof(wchar_t) != 0)
        return false;
    std::wstring substitute(length / sizeof(wchar_t), L'\0');
    std::memcpy(&substitute[0], data.data() + names + offset, length);
    if ((flags & kSymlinkRelative) == 0)
        return parseNtPath(substitute, target);
    *target = holder;
    appendNames(target->names, split(substitute));
    return true;
}

OpenEntry refused()
{
    OpenEntry entry;
    entry.openError = kErrorRefusedReparsePoint;
    entry.kind = EntryClass::NameSurrogate;
    return entry;
}

OpenEntry failed(DWORD error)
{
    OpenEntry entry;
    entry.openError = error;
    return entry;
}

// A name surrogate is followed only where nobody but the administrators may
// change it or replace it: neither it, nor the folder it is listed in,
// grants another account any of the rights that would.
bool mayFollow(HANDLE link, HANDLE holder)
{
    bool linkSafe = false;
    bool holderSafe = false;
    return onlyAdministrationMay(link, SE_FILE_OBJECT, kRedirectsLink, &linkSafe) ==
               ERROR_SUCCESS &&
           linkSafe &&
           onlyAdministrationMay(holder, SE_FILE_OBJECT, kRemovesChildren, &holderSafe) ==
               ERROR_SUCCESS &&
           holderSafe;
}

// A name its folder lists as a name surrogate while its open handle is not
// one was followed by the open itself (a system that follows some links
// whatever it is asked): it can be neither judged nor trusted.
bool listsAsNameSurrogate(HANDLE folder, const std::wstring& name, DWORD* error)
{
    EntryClass listed = EntryClass::File;
    *error = listedClassOf(folder, name, &listed);
    return *error == ERROR_SUCCESS && listed == EntryClass::NameSurrogate;
}

// One pass from the root; on a trusted name surrogate, `*path` becomes its
// target followed by the names still to walk, and the pass ends unfinished.
bool walk(NtPath* path, ACCESS_MASK lastAccess, OpenEntry* result)
{
    const bool rootOnly = path->names.empty();
    SharedFile current;
    DWORD error = openNtPath(path->root, rootOnly ? lastAccess : kPassageAccess, &current);
    const SharedFile root = current;
    EntryClass kind = EntryClass::Folder;
    if (error == ERROR_SUCCESS && rootOnly)
        error = classify(current->get(), &kind);
    NtPath holder{path->root, {}};
    for (std::size_t i = 0; error == ERROR_SUCCESS && i < path->names.size(); ++i) {
        const bool last = i + 1 == path->names.size();
        SharedFile next;
        error = openInFolder(current->get(), path->names[i], last ? lastAccess : kPassageAccess,
                             &next);
        if (error == ERROR_SUCCESS)
            error = classify(next->get(), &kind);
        if (error == ERROR_SUCCESS && kind != EntryClass::NameSurrogate &&
            listsAsNameSurrogate(current->get(), path->names[i], &error)) {
            *result = refused();
            return true;
        }
        if (error != ERROR_SUCCESS)
            break;
        if (kind == EntryClass::NameSurrogate) {
            NtPath target;
            if (!mayFollow(next->get(), current->get()) ||
                !targetOf(next->get(), holder, &target)) {
                *result = refused();
                return true;
            }
            appendNames(target.names,
                        std::vector<std::wstring>(path->names.begin() + i + 1, path->names.end()));
            *path = target;
            return false;
        }
        holder.names.push_back(path->names[i]);
        current = next;
    }
    *result = error == ERROR_SUCCESS ? OpenEntry{current, ERROR_SUCCESS, kind, nullptr}
                                     : failed(error);
    Volume volume{std::wstring(), root};
    if (error == ERROR_SUCCESS && volumeGuidOf(current->get(), &volume.guid) == ERROR_SUCCESS)
        result->volume = std::make_shared<const Volume>(volume);
    return true;
}

} // namespace

OpenEntry resolveWidePath(const std::wstring& path, ACCESS_MASK lastAccess)
{
    enableBackupPrivileges();
    NtPath parsed;
    if (!ntPathOf(path, &parsed))
        return failed(ERROR_BAD_PATHNAME);
    OpenEntry result;
    for (int follows = 0; follows <= kMaximumFollows; ++follows) {
        if (walk(&parsed, lastAccess, &result))
            return result;
    }
    return failed(ERROR_CANT_RESOLVE_FILENAME);
}

OpenEntry resolveFolder(const std::string& path)
{
    const std::optional<std::wstring> wide = utf8ToWide(path);
    if (!wide || wide->empty())
        return failed(wide ? ERROR_BAD_PATHNAME : ERROR_NO_UNICODE_TRANSLATION);
    return resolveWidePath(*wide, kEntryAccess);
}

} // namespace winsec
