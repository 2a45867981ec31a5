// The guard is a named mutex that is never waited for or owned: only the
// existence of the object matters, and it lasts while any handle to it is
// open. A second run keeps its handle to the first run's mutex until its own
// guard goes, as the first run does.
#include "InstanceGuard.h"
#include "winsec/WideString_WIN32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

InstanceGuard InstanceGuard::acquire(const std::string& name)
{
    const std::optional<std::wstring> wideName = utf8ToWide(name);
    if (!wideName)
        return InstanceGuard(std::nullopt, false);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, wideName->c_str());
    // Read before anything else can overwrite it; it tells an opened mutex
    // from a created one whatever CreateMutexW returned.
    const DWORD lastError = GetLastError();
    std::optional<std::intptr_t> openHandle;
    if (mutex != nullptr)
        openHandle = reinterpret_cast<std::intptr_t>(mutex);
    return InstanceGuard(openHandle, lastError == ERROR_ALREADY_EXISTS);
}

void InstanceGuard::closeHandle(std::intptr_t openHandle) noexcept
{
    CloseHandle(reinterpret_cast<HANDLE>(openHandle));
}
