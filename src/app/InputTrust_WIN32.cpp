// A file is the administrators' when its owner is Administrators, SYSTEM,
// TrustedInstaller or the account of this elevated run itself, and its DACL
// lets no one else write it, and when every folder on its path lets no one
// else rename or replace what lies below. The run's own account counts: an
// administrator who starts it by hand owns what he made, as root does on
// Linux (and under Wine every file is the user's).
// The path is resolved the way a configured folder is: a reparse point on
// it that is not the administrators' is refused rather than followed.
#include "app/InputTrust.h"

#include "win32/AdministrativeSids_WIN32.h"
#include "win32/FolderResolver_WIN32.h"
#include "win32/WideString_WIN32.h"

#include <sddl.h>

#include <cstring>
#include <vector>

namespace {

// Rights that change what a file says, or that make it say something else.
constexpr ACCESS_MASK kWritesFile = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                    FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER |
                                    GENERIC_WRITE | GENERIC_ALL;
// Rights on a folder of the path that let its entries be renamed or
// replaced. Creating new entries in it is harmless to an existing one.
constexpr ACCESS_MASK kReplacesBelow = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER |
                                       GENERIC_ALL;
// A missing file may be created by whoever may add a file to its folder.
constexpr ACCESS_MASK kCreatesIn = kReplacesBelow | FILE_ADD_FILE | GENERIC_WRITE;

// The account of this run, in `user` (a TOKEN_USER); null if unknown.
PSID runningAccount(const std::vector<BYTE>& user)
{
    return user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
}

bool isTrusted(PSID sid, PSID account)
{
    return winsec::isAdministrativeSid(sid) || (account != nullptr && EqualSid(sid, account));
}

// Why `shown` (the object behind `handle`) is not the administrators' alone.
std::string whyNotAdministrators(HANDLE handle, ACCESS_MASK rights, const std::string& shown)
{
    winsec::OwnerAndDacl security;
    const DWORD error = security.read(handle, SE_FILE_OBJECT);
    if (error != ERROR_SUCCESS)
        return shown + " has security that cannot be read (error " + std::to_string(error) + ")";
    const std::vector<BYTE> user = winsec::accountOfThisProcess();
    if (!isTrusted(security.owner, runningAccount(user)))
        return shown + " is not owned by Administrators, SYSTEM, TrustedInstaller or this run's account";
    const std::string who = winsec::whoElseMay(security.dacl, rights, runningAccount(user));
    return who.empty() ? "" : shown + " may be written by " + who;
}

std::wstring fullPathOf(const std::wstring& path)
{
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(length, L'\0');
    const DWORD written = length == 0 ? 0 : GetFullPathNameW(path.c_str(), length, &full[0], nullptr);
    full.resize(written < length ? written : 0);
    return full;
}

// How much of a full path is its root: C:\, \\server\share\, \\?\C:\,
// \\?\UNC\server\share\.
std::size_t rootLengthOf(const std::wstring& full)
{
    std::size_t at = 0;
    std::size_t names = 1;
    if (full.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        at = 8;
        names = 2;
    } else if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) {
        at = 4;
    } else if (full.compare(0, 2, L"\\\\") == 0) {
        at = 2;
        names = 2;
    }
    for (; names > 0 && at < full.size(); --names)
        at = std::min(full.find(L'\\', at), full.size()) + 1;
    return at;
}

// The folder holding `full`, or empty for a root.
std::wstring parentOf(const std::wstring& full)
{
    std::wstring trimmed = full;
    while (trimmed.size() > rootLengthOf(full) && trimmed.back() == L'\\')
        trimmed.pop_back();
    const std::size_t slash = trimmed.rfind(L'\\');
    if (trimmed.size() <= rootLengthOf(full) || slash == std::wstring::npos)
        return std::wstring();
    return trimmed.substr(0, slash + 1);
}

std::string whyEntryUntrusted(const std::wstring& full, ACCESS_MASK rights, const std::string& shown)
{
    const winsec::OpenEntry entry = winsec::resolveWidePath(full, winsec::kPassageAccess);
    if (entry.openError == winsec::kErrorRefusedReparsePoint)
        return shown + " passes a reparse point that is not the administrators'";
    if (entry.handle == nullptr)
        return shown + " cannot be opened (error " + std::to_string(entry.openError) + ")";
    return whyNotAdministrators(entry.handle->get(), rights, shown);
}

} // namespace

std::string whyUntrusted(const std::string& path, bool mayBeMissing)
{
    const std::optional<std::wstring> wide = utf8ToWide(path);
    const std::wstring full = wide ? fullPathOf(*wide) : std::wstring();
    if (full.empty())
        return path + " is not a valid path";
    const winsec::OpenEntry entry = winsec::resolveWidePath(full, winsec::kPassageAccess);
    const bool missing = entry.openError == ERROR_FILE_NOT_FOUND;
    std::string why;
    if (missing && mayBeMissing)
        why = whyEntryUntrusted(parentOf(full), kCreatesIn, "the folder of " + path);
    else
        why = whyEntryUntrusted(full, kWritesFile, path);
    for (std::wstring folder = parentOf(full); why.empty() && !folder.empty();
         folder = parentOf(folder))
        why = whyEntryUntrusted(folder, kReplacesBelow, wideToLogText(folder));
    return why;
}

bool runsAsAdministrator()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
        elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return elevated;
}
