// The guard is a mutex that is never waited for or owned: only the
// existence of the object matters, and it lasts while any handle to it is
// open. It lives in a private namespace whose boundary holds the
// Administrators SID and whose DACL admits only Administrators and SYSTEM:
// a user, who may create any name under Global\, can neither create this
// namespace nor open it, so cannot take the name first and keep every
// scheduled run out. Only where the system has no private namespaces at all
// (it makes no boundary descriptor, as Wine does not) is the name under
// Global\ used as it is; where the namespace exists but cannot be had, the
// run goes on unguarded rather than under a name a user may hold.
#include "app/InstanceGuard.h"
#include "win32/WideString_WIN32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <sddl.h>

namespace {

constexpr wchar_t kNamespaceAlias[] = L"Tolvane";
// Create fails since another run made it, open fails since that run closed
// it meanwhile: tried again this often.
constexpr int kNamespaceTries = 8;
constexpr wchar_t kGuardSecurity[] = L"D:P(A;;GA;;;BA)(A;;GA;;;SY)";
constexpr char kPublicName[] =
    "the instance guard is its name under Global\\ itself: this system has no private "
    "namespaces, and any user may take the name first";
constexpr char kNoGuard[] = "no instance guard could be made: runs are not kept apart";

// What the guard holds open: the namespace (while it is open its names
// stay reachable) and the mutex.
struct GuardHandles {
    HANDLE space = nullptr;
    HANDLE boundary = nullptr;
    HANDLE mutex = nullptr;
};

void closeAll(GuardHandles* handles)
{
    if (handles->mutex != nullptr)
        CloseHandle(handles->mutex);
    if (handles->space != nullptr)
        ClosePrivateNamespace(handles->space, 0);
    if (handles->boundary != nullptr)
        DeleteBoundaryDescriptor(handles->boundary);
    delete handles;
}

// Adds the Administrators SID to the boundary of the namespace.
bool boundToAdministrators(HANDLE* boundary)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
           AddSIDToBoundaryDescriptor(boundary, sid);
}

// Created, or opened where another run created it.
HANDLE openNamespace(HANDLE boundary, SECURITY_ATTRIBUTES* security)
{
    for (int tries = 0; tries < kNamespaceTries; ++tries) {
        HANDLE space = CreatePrivateNamespaceW(security, boundary, kNamespaceAlias);
        if (space != nullptr || GetLastError() != ERROR_ALREADY_EXISTS)
            return space;
        space = OpenPrivateNamespaceW(boundary, kNamespaceAlias);
        if (space != nullptr)
            return space;
    }
    return nullptr;
}

// The namespace, opened into `handles`; false where it exists but cannot be
// had. `handles->space` stays null where there are no private namespaces.
bool openGuardSpace(GuardHandles* handles, SECURITY_ATTRIBUTES* security)
{
    handles->boundary = CreateBoundaryDescriptorW(kNamespaceAlias, 0);
    if (handles->boundary == nullptr)
        return true;
    if (!boundToAdministrators(&handles->boundary))
        return false;
    handles->space = openNamespace(handles->boundary, security);
    return handles->space != nullptr;
}

// `name` inside the namespace: its last part, behind the alias.
std::string namespacedName(const std::string& name)
{
    const std::size_t slash = name.rfind('\\');
    return std::string("Tolvane\\") + (slash == std::string::npos ? name : name.substr(slash + 1));
}

} // namespace

InstanceGuard InstanceGuard::acquire(const std::string& name)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kGuardSecurity, SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return InstanceGuard(std::nullopt, false, kNoGuard);
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    GuardHandles* handles = new GuardHandles;
    if (openGuardSpace(handles, &security)) {
        const std::optional<std::wstring> wideName =
            utf8ToWide(handles->space != nullptr ? namespacedName(name) : name);
        if (wideName)
            handles->mutex = CreateMutexW(&security, FALSE, wideName->c_str());
    }
    // Read before anything else can overwrite it; it tells an opened mutex
    // from a created one whatever CreateMutexW returned.
    const DWORD lastError = GetLastError();
    LocalFree(descriptor);
    if (handles->mutex == nullptr) {
        closeAll(handles);
        return InstanceGuard(std::nullopt, false, kNoGuard);
    }
    const bool publicName = handles->space == nullptr;
    return InstanceGuard(reinterpret_cast<std::intptr_t>(handles),
                         lastError == ERROR_ALREADY_EXISTS, publicName ? kPublicName : "");
}

void InstanceGuard::closeHandle(std::intptr_t openHandle) noexcept
{
    closeAll(reinterpret_cast<GuardHandles*>(openHandle));
}
