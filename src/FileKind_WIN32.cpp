#include "FileKind.h"

#include "WideString_WIN32.h"

#include <Poco/Exception.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// A reparse point (symbolic link, junction, mount point) is never entered.
FileKind fileKindOf(const std::string& path)
{
    const std::optional<std::wstring> wide = utf8ToWide(path);
    if (!wide)
        throw Poco::PathSyntaxException(path);
    const DWORD attributes = GetFileAttributesW(wide->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        throw Poco::FileNotFoundException(path, static_cast<int>(GetLastError()));
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return FileKind::Link;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::Folder : FileKind::Other;
}
