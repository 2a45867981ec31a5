// An iphlpapi.dll planted beside tolvane.exe. Once loaded, whether at start
// or at a first call, it leaves the file planted-dll-loaded in the folder
// the program runs in.
#include <windows.h>

extern "C" __declspec(dllexport) DWORD WINAPI GetAdaptersInfo(void*, ULONG*)
{
    return ERROR_NOT_SUPPORTED;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE marker = CreateFileW(L"planted-dll-loaded", GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (marker != INVALID_HANDLE_VALUE)
            CloseHandle(marker);
    }
    return TRUE;
}
